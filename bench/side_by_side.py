#!/usr/bin/env python3
"""Side-by-side benchmark: kiv end to end beside SEC, a plain regexec loop and the records' floor,
same log, same rules.

For every N (default 1, 10, 100, 1000) one router log is generated (that of bench/e2e_bench.py:
mixed sources, about 0.2% fault lines, some lines over 255 characters) and walked three times by
each of:

- kiv end to end: the real daemon in a sandbox root, the N rules loaded through the download
  path, the log appended to the followed system log; timed until the last line's "pBuf" record
  is in the daemon's log (e2e_bench.run_one). Private_Dirty (/proc/PID/smaps_rollup: the memory
  that is kiv's alone) is sampled while the lines are walked, and its peak is reported.
- SEC (the log correlator, Debian package `sec`): one SingleWithThreshold rule per profile with
  the same pattern, thresh = frequency and window = period, `--notail` over the log file. Its
  start-up (Perl, reading the rules), measured over an empty file, is taken off its time and CPU.
- a plain regexec loop (bench/regexec_loop.cc): the C library's matcher alone over the pieces
  of the log, from memory, the floor of any matcher built on it.
- the records' floor (bench/records_floor.cc): the very records kiv writes for each piece at N
  rules ("pBuf", "gArraylen", per rule the two records of a non-match or those of a match),
  formatted and written alone, one write a piece, rotating at 1 MiB as kiv's log does; which
  rules match is found before its clock starts, and the record heads are taken from the log of
  the first kiv run. Its CPU seconds are what the design's records cost at the least.

The table gives the median of the three runs of each; kiv/SEC is the ratio of their lines/s,
kiv/floor the ratio of kiv's CPU seconds to the floor's (both per line).
Everything (sandbox roots, the log, SEC's rules) lives on a tmpfs (/dev/shm) when there is one,
as the router's /tmp does; --on-disk works in the default temporary directory instead.

  side_by_side.py --bin BUILD_DIR [--n 1,10,100,1000] [--runs 3] [--lines-scale 1.0]
                  [--json FILE] [--on-disk]
"""
import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import glob
import random

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_bench  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Lines per N: enough for a few seconds of the fastest walker, the same before and after.
LINES_AT = {1: 600000, 10: 300000, 100: 100000, 1000: 10000}
FREQUENCY = 3
PERIOD = 60


def sec_rules(rules):
    """One SingleWithThreshold rule per profile, its thresh and window the rule's own."""
    out = []
    for rule in rules:
        out.append("type=SingleWithThreshold\nptype=RegExp\npattern=%s\ndesc=%s\naction=none\n"
                   "thresh=%d\nwindow=%d\n" % (rule["re_pattern"], rule["keyword"],
                                               int(rule["frequency"]), int(rule["period"])))
    return "\n".join(out)


# The rule library's budgets (library/SOURCES.md): what a vendor ships beside it.
LIBRARY_SETTINGS = (("kiv_heal_limit", "3"), ("kiv_reboot_limit", "2"))


def library_case(args, workdir):
    """The rule library picked for the benchmark's model, and a log of about --library-lines
    lines: its faults among ordinary traffic (library/make_log.py), an OOM storm of
    --storm kills with the kernel's memory dump around each, a fault of rule 0 and a marker."""
    rules_path = os.path.join(workdir, "library.json")
    subprocess.run([os.path.join(args.bin, "kivrule"), "pick", "--model", "KV-1000", rules_path] +
                   sorted(glob.glob(os.path.join(REPO, "library", "*.json"))), check=True,
                   stderr=subprocess.DEVNULL)
    rules = json.load(open(rules_path))
    log = os.path.join(workdir, "library.log")
    ordinary = max(1, (int(args.library_lines * args.lines_scale) - 8 * args.storm) //
                   (len(rules) + 2))
    subprocess.run([sys.executable, os.path.join(REPO, "library", "make_log.py"), log,
                    log + ".fires", "--storm", str(args.storm), "--ordinary", str(ordinary)],
                   check=True)
    lines = open(log).read().split("\n")[:-1]
    first = open(os.path.join(REPO, "library", "wan.samples")).read()
    fault = next(l[2:] for l in first.split("\n") if l.startswith("+ "))
    marker = "Dec 31 23:59:59 bench: end of run %d" % random.Random(38).randint(10**8, 10**9)
    lines += ["Dec 31 23:59:58" + fault[15:], marker]
    data = ("\n".join(lines) + "\n").encode()
    return rules, data, marker


def timed_run(argv):
    """Wall seconds and CPU seconds (user + system) of one run of argv, its output discarded."""
    t0 = time.monotonic()
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - t0
    if status != 0:
        raise SystemExit("side-by-side: %s failed (status %d)" % (argv[0], status))
    return wall, usage.ru_utime + usage.ru_stime, out.decode()


def sec_run(conf, log, empty):
    """Seconds and CPU seconds SEC spends on the lines of log, its start-up taken off."""
    argv = ["sec", "--conf=" + conf, "--notail", "--nodetach", "--input="]
    wall, cpu, _ = timed_run(argv[:-1] + [argv[-1] + log])
    wall0, cpu0, _ = timed_run(argv[:-1] + [argv[-1] + empty])
    return max(wall - wall0, 1e-6), max(cpu - cpu0, 0.0)


def regexec_run(binary, patterns, log):
    _, _, out = timed_run([binary, patterns, log])
    fields = dict(kv.split("=") for kv in out.split())
    return float(fields["seconds"])


def floor_run(binary, profiles, log, kiv_log, out_dir):
    """Seconds and CPU seconds of the records' floor over the log, its output in out_dir."""
    os.makedirs(out_dir)
    try:
        _, _, out = timed_run([binary, profiles, log, kiv_log, out_dir, str(FREQUENCY)])
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)
    fields = dict(kv.split("=") for kv in out.split())
    return float(fields["seconds"]), float(fields["cpu_seconds"])


def check_floor(binary, profiles, data, kiv_log, workdir):
    """The floor writes kiv's own bytes: its records of the log's last two lines (a fault line
    and the marker) are those kiv wrote for them, but for the match times and ring positions."""
    lines = data.decode().split("\n")[-3:-1]
    tail = os.path.join(workdir, "floor-check.log")
    out_dir = os.path.join(workdir, "floor-check")
    with open(tail, "w") as f:
        f.write("\n".join(lines) + "\n")
    os.makedirs(out_dir)
    try:
        timed_run([binary, profiles, tail, kiv_log, out_dir, str(FREQUENCY)])
        with open(os.path.join(out_dir, "kiv.log"), "rb") as f:
            floor = f.read().decode()
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)
    with open(kiv_log, "rb") as f:
        kiv = f.read().decode()
    start = kiv.rfind("[KIV]", 0, kiv.rfind("]pBuf=[%s]\n" % lines[0]))
    # Lines kiv's own heals wrote to the system log after the marker (a heal holds the set while
    # it runs, so they come last) are no part of the two lines compared.
    after = kiv.find("]pBuf=[", kiv.rfind("]pBuf=[%s]\n" % lines[1]) + 1)
    end = kiv.rfind("[KIV]", 0, after) if after >= 0 else len(kiv)
    kiv = kiv[:end]

    def plain(text):
        text = re.sub(r"\[[0-9]+\.[0-9]{6}\]", "[time]", text)
        return re.sub(r"(front|rear)=\[[0-9]+\]", r"\1=[slot]", text)

    if start < 0 or plain(kiv[start:]) != plain(floor):
        raise SystemExit("side-by-side: the records' floor does not write kiv's records")


def median(values):
    return statistics.median(values)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--bin", required=True, help="build directory with kiv, nvram, kivrule, "
                    "bench/kiv_regexec_loop and bench/kiv_records_floor")
    ap.add_argument("--n", default="1,10,100,1000")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--lines-scale", type=float, default=1.0)
    ap.add_argument("--time-scale", type=float, default=1.0, help="KIV_TIME_SCALE of the daemon")
    ap.add_argument("--timeout", type=float, default=900.0)
    ap.add_argument("--json", help="also write the rows to this file")
    ap.add_argument("--library", action="store_true",
                    help="also run the rule library (library/*.json) on a log of its faults "
                    "among ordinary traffic, with an OOM storm")
    ap.add_argument("--library-lines", type=int, default=200000)
    ap.add_argument("--storm", type=int, default=2000, help="OOM kills in the library's storm")
    ap.add_argument("--on-disk", action="store_true",
                    help="work in the default temporary directory, not on a tmpfs")
    args = ap.parse_args()
    args.idle = 0  # no quiet period in these runs: bench.sh e2e measures it
    args.keep = False
    if shutil.which("sec") is None:
        raise SystemExit("side-by-side: sec is not installed (scripts/bench.sh installs it)")
    loop_bin = os.path.join(args.bin, "bench", "kiv_regexec_loop")
    floor_bin = os.path.join(args.bin, "bench", "kiv_records_floor")
    ns = [int(x) for x in args.n.split(",") if x]
    if args.library:
        ns.append("library")
    workdir = tempfile.mkdtemp(prefix="kiv-side.", dir=e2e_bench.work_base(args.on_disk))
    server = e2e_bench.RuleServer(workdir)
    rows = []
    try:
        for n in ns:
            settings = ()
            if n == "library":
                rules, data, marker = library_case(args, workdir)
                label, n, count = "library", len(rules), data.count(b"\n")
                fed = (data, marker, 0)
                settings = LIBRARY_SETTINGS
            else:
                label = str(n)
                count = max(1000, int(LINES_AT.get(n, max(2000, 10000000 // max(n, 1))) *
                                      args.lines_scale))
                # The log kiv is fed (e2e_bench.generate_log with the same seed), as a file.
                data, _, _ = e2e_bench.generate_log(n, count, n)
                rules = json.loads(e2e_bench.rules_json(n))
                fed = None
            log = os.path.join(workdir, "log-%d" % n)
            empty = os.path.join(workdir, "empty")
            conf = os.path.join(workdir, "sec-%d.conf" % n)
            patterns = os.path.join(workdir, "patterns-%d" % n)
            with open(log, "wb") as f:
                f.write(data)
            open(empty, "w").close()
            with open(conf, "w") as f:
                f.write(sec_rules(rules))
            with open(patterns, "w") as f:
                f.write("".join(r["re_pattern"] + "\n" for r in rules))
            profiles = os.path.join(workdir, "profiles-%d" % n)
            with open(profiles, "w") as f:
                f.write("".join("%s\t%s\n" % (r["keyword"], r["re_pattern"]) for r in rules))
            kiv_log = os.path.join(workdir, "kiv-log-%d" % n)
            kiv, sec, loop, floor = [], [], [], []
            for run in range(args.runs):
                kiv.append(e2e_bench.run_one(args, server, workdir, n, count,
                                             save_log=kiv_log if run == 0 else None,
                                             rules_text=json.dumps(rules) if fed else None,
                                             fed_log=fed, settings=settings))
                if run == 0:
                    check_floor(floor_bin, profiles, data, kiv_log, workdir)
                shutil.rmtree(os.path.join(workdir, "root-%d" % n), ignore_errors=True)
                sec.append(sec_run(conf, log, empty))
                loop.append(regexec_run(loop_bin, patterns, log))
                floor.append(floor_run(floor_bin, profiles, log, kiv_log,
                                       os.path.join(workdir, "floor-%d" % n)))
                print("N=%s run %d: kiv %.2f s (CPU %.2f s), SEC %.2f s, regexec loop %.2f s, "
                      "records' floor %.2f s (CPU %.2f s)" %
                      (label, run + 1, kiv[-1]["seconds"], kiv[-1]["cpu_s_per_mline"] * count / 1e6,
                       sec[-1][0], loop[-1], floor[-1][0], floor[-1][1]), flush=True)
            row = {"N": n, "label": label, "lines": count,
                   "regexec_lines_per_s": count / median(loop),
                   "sec_lines_per_s": count / median(s[0] for s in sec),
                   "sec_cpu_s_per_mline": median(s[1] for s in sec) * 1e6 / count,
                   "kiv_lines_per_s": median(r["lines_per_s"] for r in kiv),
                   "kiv_cpu_s_per_mline": median(r["cpu_s_per_mline"] for r in kiv),
                   "kiv_private_dirty_kib": median(r["private_dirty_load_kib"] for r in kiv),
                   "floor_lines_per_s": count / median(f[0] for f in floor),
                   "floor_cpu_s_per_mline": median(f[1] for f in floor) * 1e6 / count,
                   "runs": {"kiv": kiv, "sec": sec, "regexec_s": loop, "floor": floor}}
            row["kiv_over_sec"] = row["kiv_lines_per_s"] / row["sec_lines_per_s"]
            row["kiv_over_floor"] = row["kiv_cpu_s_per_mline"] / max(row["floor_cpu_s_per_mline"],
                                                                     1e-9)
            rows.append(row)
    finally:
        server.stop()
        shutil.rmtree(workdir, ignore_errors=True)
    print()
    print("| active profiles | lines | regexec loop alone | records' floor "
          "| floor CPU s per 1M lines | SEC | SEC CPU s per 1M lines | kiv "
          "| kiv CPU s per 1M lines | kiv Private_Dirty under load | kiv / SEC "
          "| kiv / floor (CPU) |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        print("| %s | %d | %s | %s | %.1f | %s | %.1f | %s | %.1f | %.2f MiB | %.2f | %.2f |" % (
            r["N"] if r["label"] == str(r["N"]) else "%d (library)" % r["N"], r["lines"],
            rate(r["regexec_lines_per_s"]), rate(r["floor_lines_per_s"]),
            r["floor_cpu_s_per_mline"], rate(r["sec_lines_per_s"]), r["sec_cpu_s_per_mline"],
            rate(r["kiv_lines_per_s"]), r["kiv_cpu_s_per_mline"],
            r["kiv_private_dirty_kib"] / 1024.0, r["kiv_over_sec"], r["kiv_over_floor"]))
    print("(lines/s, median of %d runs each)" % args.runs)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    return 0


def rate(lines_per_s):
    """Lines per second as the table shows them: 2.4 M, 189 k, 950."""
    if lines_per_s >= 1e6:
        return "%.1f M" % (lines_per_s / 1e6)
    if lines_per_s >= 1e4:
        return "%.0f k" % (lines_per_s / 1e3)
    if lines_per_s >= 1e3:
        return "%.1f k" % (lines_per_s / 1e3)
    return "%.0f" % lines_per_s


if __name__ == "__main__":
    sys.exit(main())
