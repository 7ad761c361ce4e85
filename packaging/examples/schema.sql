-- sockvane's lines from many hosts, one row per line.
--   createdb --encoding=UTF8 --template=template0 sockvane
--   psql -d sockvane -f schema.sql
-- The database must be UTF8: jsonb refuses \u escapes above 007F otherwise.

-- The line as jsonb, or NULL where it is not JSON: anyone on a host can log a
-- line under sockvane's name, and one that fails to parse must not fail the
-- batch it arrives in.
CREATE FUNCTION sockvane_jsonb(line text) RETURNS jsonb
LANGUAGE plpgsql IMMUTABLE STRICT PARALLEL SAFE AS $$
BEGIN
    RETURN line::jsonb;
EXCEPTION WHEN others THEN
    RETURN NULL;
END
$$;

CREATE TABLE sockvane_log (
    id       bigint      GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    host     text        NOT NULL,  -- the sending host's name, as its rsyslog gives it
    sender   inet,                  -- the address the line arrived from
    logged   timestamptz NOT NULL,  -- when the host's syslog took the line
    received timestamptz NOT NULL,  -- when the central rsyslog received it
    line     text        NOT NULL,  -- the line exactly as sockvane printed it
    event    jsonb       GENERATED ALWAYS AS (sockvane_jsonb(line)) STORED
);

-- Delivery is at least once: a line may arrive twice after a restart. A repeat
-- is the same line from the same host (with --timestamp iso8601 every line
-- carries its date and milliseconds, its event, ports and PID), so this key
-- keeps the first and the writer's ON CONFLICT DO NOTHING drops the rest.
CREATE UNIQUE INDEX sockvane_log_once ON sockvane_log (host, md5(line));

CREATE INDEX sockvane_log_event ON sockvane_log USING gin (event jsonb_path_ops);
CREATE INDEX sockvane_log_logged ON sockvane_log (logged);

-- The central rsyslog writes as this role and can do nothing else.
CREATE ROLE sockvane_writer LOGIN;
GRANT INSERT ON sockvane_log TO sockvane_writer;
-- The writer's SQL doubles quotes and leaves backslashes alone, which is safe
-- only with standard strings.
ALTER ROLE sockvane_writer SET standard_conforming_strings = on;
