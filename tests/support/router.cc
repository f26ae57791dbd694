#include "support/router.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <sstream>

#include "support/rule_file.h"

namespace kivtest {

namespace {
const char kLog[] = "tmp/kiv.log";
}  // namespace

void router_settings(const sandbox& box, const rule_server& server) {
  setenv("KIV_CA_BUNDLE", server.ca().c_str(), 1);
  box.set("success_start_service", "1");
  box.set("productid", "KV-1000");
  box.set("kiv_debug_server", server.url());
  box.set("ntp_ready", "1");
  box.set("link_internet", "1");
  box.write("tmp/syslog.log", "");
}

bool install_rules(const sandbox& box, const rule_server& server, const std::string& json,
                   int loads_before, double timeout_s) {
  server.answer(200, pack_rules(json));
  box.set("kiv_quick_period", "1");
  box.set("link_internet", "2");
  bool ok = box.wait_for_count(kLog, ")]New arraylen=", loads_before + 1, timeout_s);
  box.set("link_internet", "1");
  return ok;
}

bool append_until_walked(const sandbox& box, const std::string& head, double timeout_s,
                         double each_s) {
  const double deadline = now_s() + timeout_s;
  for (int i = 0; now_s() < deadline; ++i) {
    const std::string line = head + "-" + std::to_string(i);
    box.append("tmp/syslog.log", line + "\n");
    if (box.wait_for(kLog, ")]pBuf=[" + line + "]\n", each_s)) return true;
  }
  return false;
}

void set_uptime(const sandbox& box, double uptime) {
  mkdir(box.path("proc").c_str(), 0755);
  box.write("proc/uptime", std::to_string(uptime) + " 10.00\n");
}

bool in_order(const std::string& text, const std::vector<std::string>& parts) {
  size_t pos = 0;
  for (const auto& p : parts) {
    size_t at = text.find(p, pos);
    if (at == std::string::npos) return false;
    pos = at + p.size();
  }
  return true;
}

std::map<std::string, int> walked_lines(const sandbox& box) {
  std::map<std::string, int> seen;
  std::istringstream in(box.read("tmp/kiv.log.1") + box.read(kLog));
  std::string record;
  const std::string mark = ")]pBuf=[";
  while (std::getline(in, record)) {
    size_t at = record.find(mark);
    if (at == std::string::npos || record.back() != ']') continue;
    size_t from = at + mark.size();
    ++seen[record.substr(from, record.size() - from - 1)];
  }
  return seen;
}

}  // namespace kivtest
