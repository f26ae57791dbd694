-- kiv_router_counts: per router of the groups and measure, the counts of its counted reports
-- (once per IDENT, time and measure; the earliest report's only when it counts).
SELECT grp, ident, measure, sum(cnt) AS cnt
FROM (
  SELECT ident, time_ms, measure, c_count AS cnt, c_stage AS stage, c_serial AS serial
  FROM (
    SELECT ident, time_ms, measure, any(count) AS c_count, any(stage) AS c_stage,
           any(serial) AS c_serial
    FROM kiv.counts
    WHERE status = 200 AND ident != '' AND rule_serial = toString(serial)
      AND serial <= published AND published = {serial}
    GROUP BY ident, time_ms, measure
  )
) ANY INNER JOIN kiv_entries USING (ident, stage, serial)
WHERE (time_ms != first_t OR first_ok) AND e_reports > 0
GROUP BY grp, ident, measure
