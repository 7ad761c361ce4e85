-- Destinations that no host connected to before a moment:
--   psql -d sockvane -v since=today -f new-destinations.sql
WITH recent AS (
    SELECT event->>'dst_ip' AS dst_ip, min(logged) AS first_seen, count(*) AS connections,
           string_agg(DISTINCT host, ',' ORDER BY host) AS hosts
    FROM sockvane_log
    WHERE event @> '{"event": "new"}' AND logged >= :'since'
    GROUP BY 1
)
SELECT * FROM recent AS r
WHERE NOT EXISTS (
    SELECT 1 FROM sockvane_log AS o
    WHERE o.event @> jsonb_build_object('event', 'new', 'dst_ip', r.dst_ip)
      AND o.logged < :'since')
ORDER BY first_seen;
