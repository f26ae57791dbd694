-- kiv_reports: the counted reports while {serial} was the published set, once per IDENT and
-- time (and measure): a row '' with its seconds (at most 3 days) and a row per count.
SELECT ident, time_ms, measure, any(stage) AS stage, any(serial) AS serial,
       any(seconds) AS seconds, any(model) AS model, any(fwver) AS fwver, any(tcode) AS tcode,
       any(count) AS count, any(published) AS pub
FROM (
  SELECT ident, time_ms, '' AS measure, stage, serial, least(seconds, 259200) AS seconds,
         model, fwver, tcode, toUInt64(0) AS count, published
  FROM kiv.requests
  WHERE status = 200 AND report = 1 AND has_published = 1 AND ident != ''
    AND rule_serial = toString(serial) AND serial <= published AND published = {serial}
  UNION ALL
  SELECT ident, time_ms, measure, stage, serial, least(seconds, 259200) AS seconds,
         '' AS model, '' AS fwver, '' AS tcode, count, published
  FROM kiv.counts
  WHERE status = 200 AND ident != '' AND rule_serial = toString(serial)
    AND serial <= published AND published = {serial}
)
GROUP BY ident, time_ms, measure
