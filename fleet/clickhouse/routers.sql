-- kiv_entries: each router's part of the two groups in the time since {serial} was first
-- published ({first_ms}): in the stage on {serial} ('A'), outside it on the base {base} ('B').
-- A report counts when it is what a router writes, names the line's RuleSerial and no serial
-- above the published one; once per IDENT and time; a router's earliest report of a set and
-- serial only when it began after publication; a report at most 3 days; a router's seconds at
-- most the time from publication to its last counted report.
SELECT ident, grp, e_secs, e_last, e_reports, e_values_t, e_values, e_keys, e_vals
FROM (
  SELECT ident, if(serial = {serial}, 'A', 'B') AS grp, reps,
         arrayReduce('min', arrayMap(x -> tupleElement(x, 1), reps)) AS first_t,
         first_t >= {first_ms} + 1000 * tupleElement(arrayFirst(x -> tupleElement(x, 1) = first_t, reps), 2) AS first_ok,
         arrayFilter(x -> tupleElement(x, 1) != first_t OR first_ok, reps) AS kept,
         arraySum(arrayMap(x -> tupleElement(x, 2), kept)) AS e_secs,
         arrayReduce('max', arrayMap(x -> tupleElement(x, 1), kept)) AS e_last,
         length(kept) AS e_reports,
         tupleElement(arrayReverseSort(reps)[1], 1) AS e_values_t,
         (tupleElement(arrayReverseSort(reps)[1], 3), tupleElement(arrayReverseSort(reps)[1], 4),
          tupleElement(arrayReverseSort(reps)[1], 5)) AS e_values,
         arrayFilter(x -> tupleElement(x, 1) != first_t OR first_ok, cnts) AS kept_cnts,
         arrayMap(x -> tupleElement(x, 2), kept_cnts) AS e_keys,
         arrayMap(x -> tupleElement(x, 3), kept_cnts) AS e_vals
  FROM (
    SELECT ident, stage, serial,
           groupArrayIf((time_ms, seconds, model, fwver, tcode), measure = '') AS reps,
           groupArrayIf((time_ms, measure, count), measure != '') AS cnts
    FROM kiv_reports
    GROUP BY ident, stage, serial
  )
  WHERE (serial = {serial} AND bucket(ident) < stage) OR (serial = {base} AND bucket(ident) >= stage)
)
