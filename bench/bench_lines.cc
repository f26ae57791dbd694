#include "bench/bench_lines.h"

#include <cstdio>

namespace kivbench {

namespace {

// Fault patterns in the style of real rules; every profile gets its own number in its pattern so
// that a fault line matches exactly one profile.
constexpr const char* kPatterns[] = {
    "WAN\\(%d\\): link (down|flapping)",
    "wl%d: .*(tx hang|DMA stall)",
    "dnsmasq\\[[0-9]+\\]: (segfault|failed to allocate) at slot %d$",
    "kernel: Out of memory: Kill(ed)? process %d$",
    "httpd\\[[0-9]+\\]: fatal error %d$",
    "dhcpd: lease pool %d exhausted",
};
constexpr const char* kFaults[] = {
    "Dec  7 08:01:45 WAN(%d): link down",
    "Dec  7 08:01:45 kernel: wl%d: wlc_dotxstatus: tx hang detected",
    "Dec  7 08:01:45 dnsmasq[1893]: segfault at slot %d$",
    "Dec  7 08:01:45 kernel: Out of memory: Killed process %d",
    "Dec  7 08:01:45 httpd[733]: fatal error %d$",
    "Dec  7 08:01:45 dhcpd: lease pool %d exhausted",
};
constexpr int kKinds = sizeof kPatterns / sizeof kPatterns[0];

std::string format(const char* fmt, int32_t i) {
  char buf[160];
  snprintf(buf, sizeof buf, fmt, static_cast<int>(i));
  return buf;
}

}  // namespace

std::string fault_pattern(int32_t i) {
  return format(kPatterns[i % kKinds], i);
}

std::string fault_line(int32_t i) {
  return format(kFaults[i % kKinds], i);
}

const std::vector<std::string>& ordinary_lines() {
  static const std::vector<std::string> lines = {
      "Dec  7 08:01:45 kernel: br0: port 2(eth2) entered forwarding state",
      "Dec  7 08:01:45 dnsmasq-dhcp[1893]: DHCPACK(br0) 192.168.50.23 3c:22:fb:10:aa:01 phone",
      "Dec  7 08:01:46 wlceventd: wlceventd_proc_event(526): eth6: Auth 3C:22:FB:10:AA:01, "
      "status: Successful (0), rssi:-56",
      "Dec  7 08:01:46 ntpd: Initial clock set",
      "Dec  7 08:01:47 miniupnpd[2201]: addentry: added port mapping 51413 -> 192.168.50.23",
      "Dec  7 08:01:47 kernel: nf_conntrack: expectation table full",
      "Dec  7 08:01:48 rc_service: httpd 733:notify_rc restart_firewall",
      "Dec  7 08:01:48 kernel: CFG80211-ERROR) wl_cfg80211_get_station : Wrong Mac address, "
      "mac = 3c:22:fb:10:aa:02 profile =3c:22:fb:10:aa:01 ifname=wl0.1 Payload 00 11 22 33 44 55 "
      "66 77 88 99 aa bb cc dd ee ff 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff 00 11 22 33 "
      "44 55 66 77 88 99 aa bb cc dd ee ff 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff end",
      "Dec  7 08:01:49 dropbear[3011]: Child connection from 192.168.50.10:52144",
  };
  return lines;
}

}  // namespace kivbench
