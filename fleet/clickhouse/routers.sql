-- kiv_entries: each router's reports of one stage and serial in the groups: in the stage on
-- {serial} ('A'), outside it on the base {base} ('B'). Its earliest report counts only when it
-- began after {serial} was first published ({first_ms}); a report covers at most 3 days.
SELECT ident, stage, serial, if(serial = {serial}, 'A', 'B') AS grp,
       first_t >= {first_ms} + 1000 * first_s AS first_ok,
       total_s - if(first_ok, 0, first_s) AS e_secs,
       n - if(first_ok, 0, 1) AS e_reports,
       if(e_reports > 0, last_t, 0) AS e_last, first_t, last_t, model, fwver, tcode
FROM (
  SELECT ident, stage, serial, min(time_ms) AS first_t, argMin(seconds, time_ms) AS first_s,
         sum(seconds) AS total_s, count() AS n, max(time_ms) AS last_t,
         argMax(model, time_ms) AS model, argMax(fwver, time_ms) AS fwver,
         argMax(tcode, time_ms) AS tcode
  FROM kiv_reports
  GROUP BY ident, stage, serial
)
WHERE (serial = {serial} AND bucket(ident) < stage) OR (serial = {base} AND bucket(ident) >= stage)
