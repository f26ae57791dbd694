-- The fleet's reports in ClickHouse: one row a request, one row a count (a rule's fires, its
-- unconfirmed heals, the reboots, kiv's starts), both partitioned by day. The rows are what
-- `kivrule fleet LOG... --rows DIR` makes of the rule server's logs (fleet/clickhouse/load.sh).
-- A row's key is the router, the time and a hash of the log line, so a log loaded twice is
-- merged back into one; the verdict's own query counts a report once by IDENT and time as well.
-- Written for ClickHouse 18.16 (Debian 12) and current releases alike.
CREATE DATABASE IF NOT EXISTS kiv;

CREATE TABLE IF NOT EXISTS kiv.requests_local (
  day Date, time_ms UInt64, line_key UInt64, status UInt16,
  ident String, model String, fwver String, tcode String, rule_serial String,
  has_published UInt8, published UInt64, stage UInt8,
  report UInt8, why String, serial UInt64, seconds UInt64, cut UInt8,
  refused_signature UInt64, refused_stage UInt64, refused_serial UInt64,
  refused_rules UInt64, refused_download UInt64
) ENGINE = ReplacingMergeTree() PARTITION BY day ORDER BY (ident, time_ms, line_key);

CREATE TABLE IF NOT EXISTS kiv.counts_local (
  day Date, time_ms UInt64, line_key UInt64, ident String,
  measure String, count UInt64,
  -- what the verdict judges a count by, copied from its request
  status UInt16, rule_serial String, published UInt64, stage UInt8, serial UInt64, seconds UInt64
) ENGINE = ReplacingMergeTree() PARTITION BY day ORDER BY (ident, time_ms, line_key, measure);

-- Both servers' tables as one; a router's rows all on one server.
CREATE TABLE IF NOT EXISTS kiv.requests AS kiv.requests_local
  ENGINE = Distributed(kiv_fleet, kiv, requests_local, cityHash64(ident));
CREATE TABLE IF NOT EXISTS kiv.counts AS kiv.counts_local
  ENGINE = Distributed(kiv_fleet, kiv, counts_local, cityHash64(ident));
