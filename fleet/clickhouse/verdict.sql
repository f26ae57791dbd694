-- The rollout verdict in SQL: the same rules and the same numbers as `kivrule fleet`
-- (docs/fleet.md, "The verdict"). fleet/clickhouse/verdict.sh fills in the published serial
-- {serial}, the first time it was seen published {first_ms}, the base {base} and the thresholds,
-- and prints the verdict from the rows this query gives: per segment (the whole stage, then each
-- Model, FWVER and TCode with enough routers on the serial) and measure, the routers and
-- router-seconds of each group and each group's rate per 1,000 router-days.
SELECT dimension, value, measure, n_a, n_b, secs_a, secs_b,
       round(rate_a, 1) AS rollout, round(rate_b, 1) AS base,
       (n_a >= {min_routers} AND rate_a > {factor} * greatest(rate_b, {floor})) AS rose
FROM (
  SELECT dimension, value, measure, n_a, n_b, secs_a, secs_b,
         -- each group leaves out its highest routers (of those with a count): 2, and 1 in 50 more
         arraySlice(arrayReverseSort(list_a), 1, toUInt64(least(n_a - 1, 2 + intDiv(n_a, 50)))) AS drop_a,
         arraySlice(arrayReverseSort(list_b), 1, toUInt64(greatest(least(toInt64(n_b) - 1, 2 + intDiv(n_b, 50)), 0))) AS drop_b,
         tot_a - arraySum(arrayMap(x -> tupleElement(x, 3), drop_a)) AS keep_a,
         secs_a - arraySum(arrayMap(x -> tupleElement(x, 4), drop_a)) AS keep_secs_a,
         tot_b - arraySum(arrayMap(x -> tupleElement(x, 3), drop_b)) AS keep_b,
         secs_b - arraySum(arrayMap(x -> tupleElement(x, 4), drop_b)) AS keep_secs_b,
         if(keep_a = 0, 0., if(keep_secs_a = 0, inf, toFloat64(keep_a) * 86400000 / toFloat64(keep_secs_a))) AS rate_a,
         if(keep_b = 0, 0., if(keep_secs_b = 0, inf, toFloat64(keep_b) * 86400000 / toFloat64(keep_secs_b))) AS rate_b
  FROM (
    -- per segment and measure: the count of each group and its routers with a count
    SELECT dimension, value, measure,
           sumIf(cnt, grp = 'A') AS tot_a, sumIf(cnt, grp = 'B') AS tot_b,
           groupArrayIf((rate, ident, cnt, secs), grp = 'A') AS list_a,
           groupArrayIf((rate, ident, cnt, secs), grp = 'B') AS list_b
    FROM (
      SELECT grp, ident, secs, measure, cnt,
             toFloat64(cnt) * 86400000 / toFloat64(secs) AS rate,
             tupleElement(seg, 1) AS dimension, tupleElement(seg, 2) AS value
      FROM (SELECT * FROM kiv_router_counts ANY INNER JOIN kiv_routers USING (grp, ident))
      ARRAY JOIN [('all', ''), ('model', model), ('firmware', fwver), ('territory', tcode)] AS seg
      WHERE cnt > 0
    )
    GROUP BY dimension, value, measure
  )
  ANY INNER JOIN (
    -- per segment: each group's routers and router-seconds
    SELECT tupleElement(seg, 1) AS dimension, tupleElement(seg, 2) AS value,
           countIf(grp = 'A') AS n_a, countIf(grp = 'B') AS n_b,
           sumIf(secs, grp = 'A') AS secs_a, sumIf(secs, grp = 'B') AS secs_b
    FROM kiv_routers
    ARRAY JOIN [('all', ''), ('model', model), ('firmware', fwver), ('territory', tcode)] AS seg
    GROUP BY dimension, value
  ) USING (dimension, value)
  WHERE dimension = 'all' OR n_a >= {min_routers}
)
ORDER BY indexOf(['all', 'model', 'firmware', 'territory'], dimension), value, measure
FORMAT TabSeparated
