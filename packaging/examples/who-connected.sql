-- Which program on which host connected to an address, in a time window:
--   psql -d sockvane -v dst_ip=203.0.113.7 -v since='yesterday 18:00' \
--        -v until='today 06:00' -f who-connected.sql
SELECT host, event->>'process' AS process, event->>'pid' AS pid,
       count(*) AS connections, min(logged) AS first, max(logged) AS last
FROM sockvane_log
WHERE event @> jsonb_build_object('event', 'new', 'dst_ip', :'dst_ip')
  AND logged >= :'since' AND logged < :'until'
GROUP BY 1, 2, 3
ORDER BY first;
