#!/usr/bin/env python3
"""A router log in which every fault of the rule library occurs once among ordinary traffic.

Each rule's fault is a burst of its own sample lines ("+ " in library/*.samples), as many as the
rule's frequency, spaced to fall within its period, so that the rule fires exactly once, at the
burst's last line; between the bursts run ordinary router lines and the samples' near-misses
("- " lines) that no rule of the library matches. Every rule's lines occur in its burst only.

  make_log.py LOG FIRES [--storm N] [--ordinary N] [--seed S]

writes LOG and FIRES, one line per rule: keyword, its first matching line, its number of matching
lines and the line it fires at (tests/library_test.sh compares them with kivrule replay).
--storm N adds an OOM storm of N kill lines (with the kernel's memory dump between them) after the
bursts, for the benchmark; --ordinary N gives about N ordinary lines between two bursts.
"""
import argparse
import glob
import json
import os
import random
import re

HERE = os.path.dirname(os.path.abspath(__file__))
MONTHS = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split()

ORDINARY = [
    "dnsmasq-dhcp[412]: DHCPREQUEST(br0) 192.168.50.%(host)d 3c:22:fb:10:4a:%(host)02x",
    "dnsmasq-dhcp[412]: DHCPACK(br0) 192.168.50.%(host)d 3c:22:fb:10:4a:%(host)02x phone",
    "wlceventd: wlceventd_proc_event(559): eth6: Assoc 3C:22:FB:10:4A:%(host)02X, status: "
    "Successful (0)",
    "kernel: br0: port %(port)d(eth%(port)d) entered forwarding state",
    "miniupnpd[890]: addentry: added port mapping %(mport)d -> 192.168.50.%(host)d",
    "dropbear[3011]: Child connection from 192.168.50.%(host)d:%(mport)d",
    "rc_service: httpd 655:notify_rc restart_firewall",
    "crond[301]: USER admin pid %(pid)d cmd /sbin/ntpd-sync",
    "hostapd: wlan0: STA 3c:22:fb:10:4a:%(host)02x IEEE 802.11: associated (aid %(port)d)",
    "kernel: [%(up)d.%(frac)06d] ieee80211 phy0: staging: %(host)d frames queued",
    "pppd[1834]: sent [LCP EchoReq id=0x%(port)x magic=0x7a3f0c11]",
    "odhcp6c[1502]: Got a valid reply after %(mport)dms",
    "udhcpc[1290]: lease of 100.64.12.7 obtained, lease time 3600",
    "ntp: start NTP update",
]

# An OOM kill as the kernel reports it: the report's head, its memory dump, the kill.
OOM_REPORT = [
    "kernel: dnsmasq invoked oom-killer: gfp_mask=0x100cca(GFP_HIGHUSER_MOVABLE), order=0, "
    "oom_score_adj=0",
    "kernel: CPU: 0 PID: %(pid)d Comm: dnsmasq Not tainted 5.15.134 #0",
    "kernel: Mem-Info:",
    "kernel: active_anon:12010 inactive_anon:88 isolated_anon:0",
    "kernel: Node 0 DMA: 12*4kB (UME) 8*8kB (UM) 2*16kB (U) = 144kB",
    "kernel: [  pid  ]   uid  tgid total_vm      rss pgtables_bytes swapents oom_score_adj name",
    "kernel: [    %(pid)d]     0  %(pid)d     3085     2203    24576        0             0 dnsmasq",
    "kernel: Out of memory: Killed process %(pid)d (dnsmasq) total-vm:12340kB, anon-rss:8812kB, "
    "file-rss:1220kB, shmem-rss:0kB, UID:0 pgtables:24kB oom_score_adj:0",
]


def read_library(paths):
    """Rules (keyword, pattern, frequency, period) and samples by keyword, in file order."""
    rules, samples = [], {}
    for path in paths:
        rules += json.load(open(path))
        kw = None
        for line in open(path[:-len(".json")] + ".samples"):
            line = line.rstrip("\n")
            if line.startswith("[") and line.endswith("]"):
                kw = line[1:-1]
                samples[kw] = {"+": [], "-": []}
            elif line[:2] in ("+ ", "- "):
                samples[kw][line[0]].append(line[2 + 16:])  # the message after the time stamp
    return rules, samples


class Log:
    def __init__(self, seed):
        self.rnd = random.Random(seed)
        self.t = 0  # seconds from the first line
        self.lines = []

    def add(self, message, step):
        self.t += step
        day, rest = divmod(self.t, 86400)
        self.lines.append("%s %2d %02d:%02d:%02d %s" % (MONTHS[11], 7 + day, rest // 3600,
                                                        rest // 60 % 60, rest % 60, message))
        return len(self.lines)

    def ordinary(self, count, extra):
        for _ in range(count):
            if extra and self.rnd.random() < 0.2:
                self.add(self.rnd.choice(extra), self.rnd.randint(1, 20))
                continue
            text = self.rnd.choice(ORDINARY) % {
                "host": self.rnd.randint(2, 250), "port": self.rnd.randint(1, 4),
                "mport": self.rnd.randint(1024, 65535), "pid": self.rnd.randint(300, 30000),
                "up": self.t + 100, "frac": self.rnd.randint(0, 999999)}
            self.add(text, self.rnd.randint(1, 20))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("log")
    ap.add_argument("fires")
    ap.add_argument("--storm", type=int, default=0)
    ap.add_argument("--ordinary", type=int, default=12)
    ap.add_argument("--seed", type=int, default=38)
    args = ap.parse_args()
    rules, samples = read_library(sorted(glob.glob(os.path.join(HERE, "*.json"))))
    patterns = [re.compile(r["re_pattern"]) for r in rules]
    # Near-misses that no rule matches: the neighbouring messages of the faults.
    misses = [m for s in samples.values() for m in s["-"]
              if not any(p.search(m) for p in patterns)]
    log = Log(args.seed)
    fires = []
    longest = max(int(r["period"]) for r in rules)
    for r in rules:
        log.ordinary(args.ordinary, misses)
        n, period = int(r["frequency"]), int(r["period"])
        step = max(1, min(30, period // (2 * n)))
        lines = [log.add(samples[r["keyword"]]["+"][k % len(samples[r["keyword"]]["+"])],
                         step if k else 1) for k in range(n)]
        fires.append((r["keyword"], lines[0], n, lines[-1]))
        # The rule's window passes before another burst, so no two faults share a window.
        log.t += longest
    if args.storm:
        log.ordinary(args.ordinary, misses)
        pid = 2000
        for _ in range(args.storm):
            for text in OOM_REPORT:
                log.add(text % {"pid": pid}, 0)
            pid += 1
            log.t += 1
    log.ordinary(args.ordinary, misses)
    with open(args.log, "w") as f:
        f.write("\n".join(log.lines) + "\n")
    with open(args.fires, "w") as f:
        f.write("# keyword first_line matches fire_line (library/make_log.py --seed %d)\n" %
                args.seed)
        for kw, first, n, fire in fires:
            f.write("%s %d %d %d\n" % (kw, first, n, fire))


if __name__ == "__main__":
    main()
