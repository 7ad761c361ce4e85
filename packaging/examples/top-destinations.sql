-- Each program's most frequent destinations, across all hosts:
--   psql -d sockvane -v since="$(date -d '7 days ago' -Is)" -v top=5 -f top-destinations.sql
SELECT process, dst_ip, dst_port, connections, hosts
FROM (
    SELECT event->>'process' AS process, event->>'dst_ip' AS dst_ip,
           (event->>'dst_port')::int AS dst_port,
           count(*) AS connections, count(DISTINCT host) AS hosts,
           row_number() OVER (PARTITION BY event->>'process'
                              ORDER BY count(*) DESC, event->>'dst_ip', (event->>'dst_port')::int) AS rank
    FROM sockvane_log
    WHERE event @> '{"event": "new"}' AND logged >= :'since'
    GROUP BY 1, 2, 3
) AS ranked
WHERE rank <= :top
ORDER BY process, rank;
