#!/usr/bin/env python3
"""End-to-end benchmark of the per-line path: the real kiv daemon in a sandbox root.

For every N: a rule set of N profiles goes through the real download path (the loopback rule
server of the tests, a container made by `kivrule pack`, a forced check); then a generated
router log (mixed sources, about 0.2% fault lines, some lines over 255 characters) is appended
to the followed system log as fast as this script can write it, ending in a marker line. The
run ends when the marker's "pBuf=[...]" record is in the daemon's log. Reported per N: lines/s,
CPU seconds of kiv per million lines (and of its log follower), kiv's peak RSS (VmHWM), its
Private_Dirty (the memory that is kiv's alone) under load and idle, and kiv's CPU over a quiet
period, scaled to seconds per hour.

  e2e_bench.py --bin BUILD_DIR [--n 1,10,100,1000] [--lines-scale 1.0] [--idle 60]
               [--time-scale 1] [--timeout 600] [--keep] [--on-disk]

The sandbox roots live on a tmpfs (/dev/shm) when there is one, as the router's /tmp does.

The line shapes are those of bench/bench_lines.cc.
"""
import argparse
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
CLK_TCK = os.sysconf("SC_CLK_TCK")

PATTERNS = [
    r"WAN\(%d\): link (down|flapping)",
    r"wl%d: .*(tx hang|DMA stall)",
    r"dnsmasq\[[0-9]+\]: (segfault|failed to allocate) at slot %d$",
    r"kernel: Out of memory: Kill(ed)? process %d$",
    r"httpd\[[0-9]+\]: fatal error %d$",
    r"dhcpd: lease pool %d exhausted",
]
FAULTS = [
    "WAN(%d): link down",
    "kernel: wl%d: wlc_dotxstatus: tx hang detected",
    "dnsmasq[1893]: segfault at slot %d",
    "kernel: Out of memory: Killed process %d",
    "httpd[733]: fatal error %d",
    "dhcpd: lease pool %d exhausted",
]
ORDINARY = [
    "kernel: br0: port %(port)d(eth%(port)d) entered forwarding state",
    "dnsmasq-dhcp[1893]: DHCPACK(br0) 192.168.50.%(host)d 3c:22:fb:10:aa:%(host)02x phone",
    "wlceventd: wlceventd_proc_event(526): eth6: Auth 3C:22:FB:10:AA:%(host)02X, "
    "status: Successful (0), rssi:-%(rssi)d",
    "ntpd: Initial clock set",
    "miniupnpd[2201]: addentry: added port mapping %(mport)d -> 192.168.50.%(host)d",
    "kernel: nf_conntrack: expectation table full",
    "rc_service: httpd 733:notify_rc restart_firewall",
    "dropbear[3011]: Child connection from 192.168.50.%(host)d:%(mport)d",
    "kernel: CFG80211-ERROR) wl_cfg80211_get_station : Wrong Mac address, mac = "
    "3c:22:fb:10:aa:%(host)02x profile =3c:22:fb:10:aa:01 ifname=wl0.1 Payload "
    + " ".join("%02x" % (i % 256) for i in range(80)) + " end",
]
# Relative weights of the ordinary sources; the long kernel line is one line in about 40.
WEIGHTS = [6, 8, 8, 1, 4, 2, 2, 4, 1]
LINES_AT = {1: 600000, 10: 200000, 100: 40000, 1000: 5000}


def rules_json(n):
    rules = []
    for i in range(n):
        rules.append({"model": "KV-1000", "type": "bench", "keyword": "fault_%d" % i,
                      "re_pattern": PATTERNS[i % len(PATTERNS)] % i, "frequency": "3",
                      "period": "60", "action": "nop"})
    return json.dumps(rules)


def generate_log(n, count, seed):
    """count lines ending in a fault line of profile 0 and a unique marker line; about 0.2% fault
    lines over the N profiles."""
    rnd = random.Random(seed)
    out = []
    faults = 0
    sec = 0
    for k in range(count - 2):
        if k % 50 == 0:
            sec += 1
        stamp = "Dec  7 %02d:%02d:%02d " % (8 + sec // 3600 % 12, sec // 60 % 60, sec % 60)
        if rnd.random() < 0.002:
            i = faults % n
            faults += 1
            out.append(stamp + FAULTS[i % len(FAULTS)] % i)
        else:
            t = rnd.choices(ORDINARY, WEIGHTS)[0]
            out.append(stamp + t % {"port": rnd.randint(1, 4), "host": rnd.randint(2, 250),
                                    "rssi": rnd.randint(30, 90),
                                    "mport": rnd.randint(1024, 65535)})
    # A fault line right before the marker: the daemon's last records then show every kind of
    # record it writes for a line (side_by_side.py takes the floor's record heads from them).
    out.append("Dec  7 23:59:58 " + FAULTS[0] % 0)
    faults += 1
    marker = "Dec  7 23:59:59 bench: end of run %d" % rnd.randint(10**8, 10**9)
    out.append(marker)
    text = "\n".join(out) + "\n"
    return text.encode(), marker, faults


def proc_cpu(pid):
    """User plus system CPU seconds of the process."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def proc_threads_run(pid):
    """CPU seconds run by all threads of the process (scheduler statistics, in nanoseconds) and
    their voluntary context switches, that is how often they woke up after waiting."""
    run_ns = 0
    wakeups = 0
    task_dir = "/proc/%d/task" % pid
    for tid in os.listdir(task_dir):
        try:
            with open(os.path.join(task_dir, tid, "schedstat")) as f:
                run_ns += int(f.read().split()[0])
            with open(os.path.join(task_dir, tid, "status")) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        wakeups += int(line.split()[1])
        except OSError:
            pass  # a thread that ended meanwhile
    return run_ns / 1e9, wakeups


def proc_status_kib(pid, field):
    """A memory figure of /proc/PID/status in KiB (VmHWM, RssAnon, RssFile)."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def private_dirty_kib(pid):
    """Private_Dirty of /proc/PID/smaps_rollup in KiB: the memory the process has written and
    shares with nobody (library pages that other processes map as well do not count)."""
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith("Private_Dirty:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def read(path, tail=None):
    """The file, or only its last `tail` bytes; b"" when it cannot be read."""
    try:
        with open(path, "rb") as f:
            if tail is not None:
                size = f.seek(0, os.SEEK_END)
                f.seek(max(0, size - tail))
            return f.read()
    except OSError:
        return b""


def wait_for(paths, needle, timeout, proc=None, tail=None, on_poll=None):
    """Polls every 50 ms until one of the files holds the needle (in its last `tail` bytes when
    given: the daemon's log is read while it grows, and a whole megabyte per look would take
    CPU from the daemon being measured); on_poll() runs at every look."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if on_poll is not None:
            on_poll()
        if any(needle in read(p, tail) for p in paths):
            return True
        if proc is not None and proc.poll() is not None:
            return False
        time.sleep(0.05)
    return False


class RuleServer:
    def __init__(self, workdir):
        self.dir = os.path.join(workdir, "server")
        os.makedirs(self.dir)
        self.control = os.path.join(self.dir, "control.json")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(REPO, "tests/support/rule_server.py"), "--dir",
             self.dir, "--control", self.control], stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        port_file = os.path.join(self.dir, "port")
        deadline = time.monotonic() + 60
        while not os.path.exists(port_file):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise SystemExit("e2e: the rule server did not start")
            time.sleep(0.05)
        self.url = "https://127.0.0.1:%d" % int(read(port_file).decode().strip())
        self.ca = os.path.join(self.dir, "ca.pem")

    def answer(self, body_file):
        tmp = self.control + ".tmp"
        with open(tmp, "w") as f:
            json.dump({"status": 200, "body_file": body_file}, f)
        os.replace(tmp, self.control)

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def work_base(on_disk):
    """Where the sandbox roots go: a tmpfs (/dev/shm) when there is one, as the router's /tmp,
    where kiv logs, is in memory; on a disk file system the write-back of the daemon's log
    (about 20 KB of records per line at N = 100) would be measured instead of the daemon.
    None (the default temporary directory) when asked for, or when there is no tmpfs."""
    if on_disk:
        return None
    try:
        with open("/proc/mounts") as f:
            if any(line.split()[1:3] == ["/dev/shm", "tmpfs"] for line in f):
                return "/dev/shm"
    except OSError:
        pass
    return None


def run_one(args, server, workdir, n, count, save_log=None, rules_text=None, fed_log=None,
            settings=()):
    """One run of the daemon at N rules; with save_log, its log as the run left it (kiv.log.1,
    then kiv.log) is copied there. rules_text and fed_log (data, marker, faults) replace the
    generated rule set and log; settings are further (key, value) pairs for the router."""
    root = os.path.join(workdir, "root-%d" % n)
    for d in ("tmp", "var/run", "dev", "jffs"):
        os.makedirs(os.path.join(root, d))
    env = dict(os.environ, KIV_ROOT=root, KIV_TIME_SCALE=str(args.time_scale),
               KIV_CA_BUNDLE=server.ca)
    nvram = os.path.join(args.bin, "nvram")

    def setting(key, value):
        subprocess.run([nvram, "set", "%s=%s" % (key, value)], env=env, check=True)

    rules = os.path.join(workdir, "rules-%d.json" % n)
    packed = os.path.join(workdir, "rules-%d.bin" % n)
    with open(rules, "w") as f:
        f.write(rules_text or rules_json(n))
    subprocess.run([os.path.join(args.bin, "kivrule"), "pack", rules, packed], check=True,
                   stdout=subprocess.DEVNULL)
    server.answer(packed)
    for key, value in (("success_start_service", "1"), ("productid", "KV-1000"),
                       ("kiv_debug_server", server.url), ("ntp_ready", "1"),
                       ("link_internet", "2"), ("kiv_quick_period", "1"),
                       ("kiv_debug_flag", "0")) + tuple(settings):
        setting(key, value)
    syslog = os.path.join(root, "tmp/syslog.log")
    open(syslog, "w").close()
    log = os.path.join(root, "tmp/kiv.log")
    logs = [log, log + ".1"]
    out = open(os.path.join(root, "kiv.out"), "wb")
    kiv = subprocess.Popen([os.path.join(args.bin, "kiv")], env=env, stdout=out, stderr=out)
    try:
        # Loaded once the rule set is swapped in; then no further check for the rest of the run.
        if not wait_for([log], b")]New arraylen=%d" % n, 30 + 40 * args.time_scale, kiv):
            raise SystemExit("e2e: N=%d: the rule set was not loaded (see %s)" % (n, log))
        setting("link_internet", "1")
        pidfile = read(os.path.join(root, "var/run/kiv.pid")).decode().split()
        follower = int(pidfile[-1]) if len(pidfile) > 1 else None
        data, marker, faults = fed_log or generate_log(n, count, n)
        needle = b"pBuf=[" + marker.encode() + b"]\n"
        time.sleep(1)  # let start-up settle before the counters are read
        cpu0 = proc_cpu(kiv.pid)
        fcpu0 = proc_cpu(follower) if follower else 0.0
        dirty = [private_dirty_kib(kiv.pid)]

        def sample():
            dirty.append(private_dirty_kib(kiv.pid))

        t0 = time.monotonic()
        with open(syslog, "ab") as f:
            for at in range(0, len(data), 1 << 20):
                f.write(data[at:at + (1 << 20)])
        # The marker's "pBuf" is followed by its walk, 2N records of about 100 bytes.
        tail = max(1 << 16, 400 * n)
        if not wait_for(logs, needle, args.timeout, kiv, tail=tail, on_poll=sample):
            raise SystemExit("e2e: N=%d: the last line was not walked within %ds" %
                             (n, args.timeout))
        elapsed = time.monotonic() - t0
        cpu = proc_cpu(kiv.pid) - cpu0
        fcpu = (proc_cpu(follower) - fcpu0) if follower else float("nan")
        sample()
        hwm = proc_status_kib(kiv.pid, "VmHWM")
        anon = proc_status_kib(kiv.pid, "RssAnon")
        mapped = proc_status_kib(kiv.pid, "RssFile")
        row = {"N": n, "lines": count, "fault_lines": faults, "seconds": elapsed,
               "lines_per_s": count / elapsed, "cpu_s_per_mline": cpu * 1e6 / count,
               "follower_cpu_s_per_mline": fcpu * 1e6 / count, "peak_rss_kib": hwm,
               "rss_anon_kib": anon, "rss_file_kib": mapped,
               "private_dirty_load_kib": max(dirty)}
        if args.idle > 0:
            # Quiet period: no line arrives; only the daemon's own timers run.
            time.sleep(2)
            i0, w0 = proc_threads_run(kiv.pid)
            time.sleep(args.idle)
            i1, w1 = proc_threads_run(kiv.pid)
            row.update({"idle_cpu_s_per_hour": (i1 - i0) * 3600.0 / args.idle,
                        "idle_seconds": args.idle,
                        "idle_wakeups_per_s": (w1 - w0) / args.idle,
                        "private_dirty_idle_kib": private_dirty_kib(kiv.pid)})
        if save_log:
            with open(save_log, "wb") as f:
                f.write(read(log + ".1") + read(log))
        kiv.send_signal(signal.SIGTERM)
        try:
            kiv.wait(30)
        except subprocess.TimeoutExpired:
            kiv.kill()
        return row
    finally:
        if kiv.poll() is None:
            kiv.kill()
            kiv.wait()
        out.close()
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--bin", required=True, help="build directory with kiv, nvram, kivrule")
    ap.add_argument("--n", default="1,10,100,1000")
    ap.add_argument("--lines-scale", type=float, default=1.0,
                    help="multiplies the number of lines per N (quick runs: 0.1)")
    ap.add_argument("--idle", type=float, default=60.0, help="seconds of the quiet period")
    ap.add_argument("--time-scale", type=float, default=1.0, help="KIV_TIME_SCALE of the daemon")
    ap.add_argument("--timeout", type=float, default=600.0)
    ap.add_argument("--keep", action="store_true", help="keep the sandbox roots")
    ap.add_argument("--json", help="also write the rows to this file")
    ap.add_argument("--on-disk", action="store_true",
                    help="sandbox roots in the default temporary directory, not on a tmpfs")
    args = ap.parse_args()
    ns = [int(x) for x in args.n.split(",") if x]
    workdir = tempfile.mkdtemp(prefix="kiv-e2e.", dir=work_base(args.on_disk))
    server = RuleServer(workdir)
    rows = []
    try:
        for n in ns:
            count = max(1000, int(LINES_AT.get(n, max(2000, 4000000 // max(n, 1))) *
                                  args.lines_scale))
            rows.append(run_one(args, server, workdir, n, count))
            r = rows[-1]
            print("N=%d: %d lines in %.2f s" % (n, r["lines"], r["seconds"]), flush=True)
    finally:
        server.stop()
        if not args.keep:
            shutil.rmtree(workdir, ignore_errors=True)
    print()
    print("| N | lines | lines/s | kiv CPU s per 1M lines | follower CPU s per 1M lines "
          "| peak RSS (VmHWM) | RSS after: anon + file | Private_Dirty under load "
          "| Private_Dirty idle | idle CPU s/hour | idle wake-ups/s |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        # --idle 0 measures no quiet period: its three columns stay empty.
        idle = ("%.2f MiB | %.3f (over %gs) | %.2f" % (
            r["private_dirty_idle_kib"] / 1024.0, r["idle_cpu_s_per_hour"], r["idle_seconds"],
            r["idle_wakeups_per_s"]) if "idle_seconds" in r else " | | ")
        print("| %d | %d | %.0f | %.2f | %.2f | %.2f MiB | %.2f + %.2f MiB | %.2f MiB | %s |" % (
            r["N"], r["lines"], r["lines_per_s"], r["cpu_s_per_mline"],
            r["follower_cpu_s_per_mline"], r["peak_rss_kib"] / 1024.0,
            r["rss_anon_kib"] / 1024.0, r["rss_file_kib"] / 1024.0,
            r["private_dirty_load_kib"] / 1024.0, idle))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
