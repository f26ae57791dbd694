#include "update/fleet_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <vector>

#include "core/utf8_text.h"
#include "platform/platform.h"

namespace {

std::string rule_member(const std::string& keyword, const rule_counts& r) {
  char counts[160];
  snprintf(counts, sizeof counts,
           ":{\"matches\":%u,\"fires\":%u,\"heals\":%u,\"unconfirmed\":%u,\"held\":%u}",
           static_cast<unsigned>(r.matches), static_cast<unsigned>(r.fires),
           static_cast<unsigned>(r.heals), static_cast<unsigned>(r.unconfirmed),
           static_cast<unsigned>(r.held));
  return json_string(keyword) + counts;
}

}  // namespace

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (char c : utf8_or_question_marks(text)) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b < 0x20 || b == 0x7f) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(b));
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string fleet_report_json(const fleet_counts& c, uint64_t serial, int bucket) {
  char fixed[256];
  snprintf(fixed, sizeof fixed,
           "{\"v\":1,\"serial\":%llu,\"bucket\":%d,\"seconds\":%llu,\"walked\":%u,\"lost\":%u,"
           "\"reboots\":%u,\"starts\":%u,\"refused\":{",
           static_cast<unsigned long long>(serial), bucket,
           static_cast<unsigned long long>(c.seconds), static_cast<unsigned>(c.walked),
           static_cast<unsigned>(c.lost), static_cast<unsigned>(c.reboots),
           static_cast<unsigned>(c.starts));
  // The reasons counted, in their order; at most five short members, so the head stays small.
  std::string head = fixed;
  for (size_t i = 0; i < KIV_REFUSALS; ++i) {
    if (c.refused[i] == 0) continue;
    if (head.back() != '{') head += ',';
    head += std::string("\"") + refusal_name(static_cast<refusal>(i)) +
            "\":" + std::to_string(c.refused[i]);
  }
  head += "},\"rules\":{";
  std::vector<std::string> members;
  for (const auto& [keyword, r] : c.rules) members.push_back(rule_member(keyword, r));
  // Members in keyword order, separated by commas; the whole with its end. The sum is kept as
  // members go: counts read back from flash can hold thousands of rules, and adding them all up
  // again for each one that goes took the main thread seconds on a router.
  size_t kept_bytes = 0, kept_count = members.size();
  for (const std::string& m : members) kept_bytes += m.size();
  auto total = [&](bool cut) {
    return head.size() + (cut ? 13 : 2) + kept_bytes + (kept_count ? kept_count - 1 : 0);
  };
  std::vector<bool> kept(members.size(), true);
  bool cut = false;
  if (total(false) > KIV_REPORT_MAX) {
    cut = true;
    std::vector<size_t> order(members.size());
    std::iota(order.begin(), order.end(), 0);
    // The rules that say least go first: fewest fires, then heals, then matches.
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      const rule_counts &x = c.rules[a].second, &y = c.rules[b].second;
      if (x.fires != y.fires) return x.fires < y.fires;
      if (x.heals != y.heals) return x.heals < y.heals;
      if (x.matches != y.matches) return x.matches < y.matches;
      return a > b;
    });
    for (size_t i = 0; i < order.size() && total(true) > KIV_REPORT_MAX; ++i) {
      kept[order[i]] = false;
      kept_bytes -= members[order[i]].size();
      --kept_count;
    }
  }
  std::string out = head;
  bool first = true;
  for (size_t i = 0; i < members.size(); ++i) {
    if (!kept[i]) continue;
    if (!first) out += ',';
    out += members[i];
    first = false;
  }
  return out + (cut ? "},\"cut\":true}" : "}}");
}

bool fleet_report_on() {
  return nvram_get_int("kiv_fleet_report") == 1;
}
