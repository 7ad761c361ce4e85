-- New connections per host and hour (in the session's time zone):
--   psql -d sockvane -v since="$(date -d '1 day ago' -Is)" -f connections-per-hour.sql
SELECT host, date_trunc('hour', logged) AS hour, count(*) AS connections
FROM sockvane_log
WHERE event @> '{"event": "new"}' AND logged >= :'since'
GROUP BY 1, 2
ORDER BY 1, 2;
