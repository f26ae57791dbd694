-- kiv_reports: the counted reports while {serial} was the published set, once per IDENT and
-- time, each server grouping the rows of its own routers: a report counts when it is what a
-- router writes and names the line's RuleSerial and no serial above the published one.
SELECT ident, time_ms, r_stage AS stage, r_serial AS serial, r_seconds AS seconds,
       r_model AS model, r_fwver AS fwver, r_tcode AS tcode
FROM (
  SELECT ident, time_ms, any(stage) AS r_stage, any(serial) AS r_serial,
         any(least(seconds, 259200)) AS r_seconds, any(model) AS r_model,
         any(fwver) AS r_fwver, any(tcode) AS r_tcode
  FROM kiv.requests
  WHERE status = 200 AND report = 1 AND has_published = 1 AND ident != ''
    AND rule_serial = toString(serial) AND serial <= published AND published = {serial}
  GROUP BY ident, time_ms
)
