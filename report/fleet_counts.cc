#include "report/fleet_counts.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "core/flash_files.h"
#include "core/kiv_log.h"
#include "core/paths.h"
#include "core/uptime.h"
#include "core/utf8_text.h"
#include "platform/decimal.h"
#include "platform/platform.h"
#include "platform/text_lines.h"

namespace {

constexpr char kHead[] = "kiv report 2";
constexpr char kHeadV1[] = "kiv report 1";  // before starts and refusals were counted
constexpr size_t kMaxFile = 256 * 1024;     // a few dozen bytes a rule; anything larger is not ours
constexpr size_t kKeywordMax = 64;

enum count_kind { kMatches, kFires, kHeals, kUnconfirmed, kHeld, kKinds };

// One keyword's counts.
struct tally {
  std::string keyword;
  std::atomic<uint32_t> n[kKinds] = {};
};

std::vector<std::unique_ptr<tally>> tallies;  // a profile's tally is its index here
std::atomic<uint32_t> walked{0}, lost{0}, reboots{0}, starts{0};
std::atomic<uint32_t> refused[KIV_REFUSALS] = {};

// One write of the RAM file at a time, each of the counts as they are when it takes its turn: a
// write of older counts never lands after one of newer.
std::mutex ram_mutex;

// The uptime the counts cover: `carried` seconds before `since`, then the time since.
std::mutex period_mutex;
uint64_t carried = 0;
double since = 0;

rule_counts counts_of(const tally& t) {
  rule_counts r;
  r.matches = t.n[kMatches].load(std::memory_order_relaxed);
  r.fires = t.n[kFires].load(std::memory_order_relaxed);
  r.heals = t.n[kHeals].load(std::memory_order_relaxed);
  r.unconfirmed = t.n[kUnconfirmed].load(std::memory_order_relaxed);
  r.held = t.n[kHeld].load(std::memory_order_relaxed);
  return r;
}

// Adds (or, with a negative sign, takes off) the counts r to the tally t.
void add_to(tally& t, const rule_counts& r, bool take_off = false) {
  const uint32_t v[kKinds] = {r.matches, r.fires, r.heals, r.unconfirmed, r.held};
  for (int k = 0; k < kKinds; ++k)
    take_off ? t.n[k].fetch_sub(v[k], std::memory_order_relaxed)
             : t.n[k].fetch_add(v[k], std::memory_order_relaxed);
}

void bump(int32_t index, count_kind kind) {
  if (index >= 0 && static_cast<size_t>(index) < tallies.size())
    tallies[static_cast<size_t>(index)]->n[kind].fetch_add(1, std::memory_order_relaxed);
}

tally* tally_of(const std::string& keyword) {
  for (auto& t : tallies)
    if (t->keyword == keyword) return t.get();
  return nullptr;
}

tally& tally_for(const std::string& keyword) {
  if (tally* t = tally_of(keyword)) return *t;
  tallies.push_back(std::make_unique<tally>());
  tallies.back()->keyword = keyword;
  return *tallies.back();
}

std::string keyword_of(const monitor_profile& p) {
  return counts_keyword(p.kiv_keyword ? p.kiv_keyword->c_str() : nullptr);
}

bool report_on() {
  return nvram_get_int("kiv_fleet_report") == 1;
}

bool kept_in_flash() {
  return nvram_get_int("kiv_fleet_report") == 1 &&
         (nvram_get_int("kiv_rule_cache") == 1 || nvram_get_int("kiv_reboot_limit") > 0);
}

std::string format(const fleet_counts& c) {
  std::string text = std::string(kHead) + "\n";
  text += "seconds " + std::to_string(c.seconds) + "\n";
  text += "walked " + std::to_string(c.walked) + "\n";
  text += "lost " + std::to_string(c.lost) + "\n";
  text += "reboots " + std::to_string(c.reboots) + "\n";
  text += "starts " + std::to_string(c.starts) + "\n";
  text += "refused";
  for (uint32_t n : c.refused) text += " " + std::to_string(n);
  text += "\n";
  for (const auto& [keyword, r] : c.rules)
    text += "rule " + std::to_string(r.matches) + " " + std::to_string(r.fires) + " " +
            std::to_string(r.heals) + " " + std::to_string(r.unconfirmed) + " " +
            std::to_string(r.held) + " " + keyword + "\n";
  return text + "end\n";
}

// A count of the file: a whole decimal within 0..limit.
bool read_count(const std::string& text, uint64_t limit, uint64_t* out) {
  int64_t v = 0;
  if (!whole_decimal(text, &v) || v < 0 || static_cast<uint64_t>(v) > limit) return false;
  *out = static_cast<uint64_t>(v);
  return true;
}

// "NAME N" with the name expected at this line.
bool read_named(const std::string& line, const char* name, uint64_t limit, uint64_t* out) {
  const std::string head = std::string(name) + " ";
  return line.compare(0, head.size(), head) == 0 &&
         read_count(line.substr(head.size()), limit, out);
}

bool read_rule(const std::string& line, std::pair<std::string, rule_counts>* rule) {
  if (line.compare(0, 5, "rule ") != 0) return false;
  size_t at = 5;
  uint32_t* fields[] = {&rule->second.matches, &rule->second.fires, &rule->second.heals,
                        &rule->second.unconfirmed, &rule->second.held};
  for (uint32_t* field : fields) {
    const size_t space = line.find(' ', at);
    uint64_t v = 0;
    if (space == std::string::npos || !read_count(line.substr(at, space - at), UINT32_MAX, &v))
      return false;
    *field = static_cast<uint32_t>(v);
    at = space + 1;
  }
  // A file written before keywords lost their bytes outside UTF-8 still reads, those bytes as '?'.
  rule->first = line.substr(at);
  const std::string keyword = counts_keyword(rule->first.c_str());
  if (rule->first.empty() || utf8_or_question_marks(rule->first) != keyword) return false;
  rule->first = keyword;
  return true;
}

// "refused S T R U D": the counts of each refusal.
bool read_refused(const std::string& line, fleet_counts* c) {
  if (line.compare(0, 8, "refused ") != 0) return false;
  size_t at = 8;
  for (uint32_t& n : c->refused) {
    const size_t end = std::min(line.find(' ', at), line.size());
    uint64_t v = 0;
    if (at >= line.size() || !read_count(line.substr(at, end - at), UINT32_MAX, &v)) return false;
    n = static_cast<uint32_t>(v);
    at = end + 1;
  }
  return at == line.size() + 1;
}

// The file's counts, or false when it is not exactly what format() writes (or wrote as version 1).
bool parse(const std::string& text, fleet_counts* c) {
  std::vector<std::string> lines;
  for_each_line(text, [&lines](const std::string& line) { lines.push_back(line); });
  const bool v1 = !lines.empty() && lines.front() == kHeadV1;
  const size_t first_rule = v1 ? 5 : 7;
  if (text.empty() || text.back() != '\n' || lines.size() < first_rule + 1 ||
      (lines.front() != kHead && !v1) || lines.back() != "end")
    return false;
  uint64_t walked_n = 0, lost_n = 0, reboots_n = 0;
  if (!read_named(lines[1], "seconds", UINT32_MAX, &c->seconds) ||
      !read_named(lines[2], "walked", UINT32_MAX, &walked_n) ||
      !read_named(lines[3], "lost", UINT32_MAX, &lost_n) ||
      !read_named(lines[4], "reboots", UINT32_MAX, &reboots_n))
    return false;
  uint64_t starts_n = 0;
  if (!v1 && (!read_named(lines[5], "starts", UINT32_MAX, &starts_n) || !read_refused(lines[6], c)))
    return false;
  c->starts = static_cast<uint32_t>(starts_n);
  c->walked = static_cast<uint32_t>(walked_n);
  c->lost = static_cast<uint32_t>(lost_n);
  c->reboots = static_cast<uint32_t>(reboots_n);
  for (size_t i = first_rule; i + 1 < lines.size(); ++i) {
    std::pair<std::string, rule_counts> rule;
    if (!read_rule(lines[i], &rule)) return false;
    c->rules.push_back(rule);
  }
  return true;
}

// The RAM file's folder; /tmp itself is the system's (a link there is the system's layout).
owned_fd open_tmp_dir() {
  return owned_fd(open(kiv_path(KIV_TMP_DIR).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// At each rare event: the counts now, whole, in RAM, so that a restart, a crash or a kill loses
// none of them (see the header).
void keep_counts_in_ram() {
  if (!report_on()) return;
  std::lock_guard<std::mutex> lock(ram_mutex);
  const std::string text = format(take_counts());
  owned_fd dir = open_tmp_dir();
  if (dir.fd < 0 || !flash_replace(dir, KIV_TMP_COUNTS_NAME, text.data(), text.size()))
    KIV_LOG("Cannot keep the fleet report counts in [%s/%s]\n", KIV_TMP_DIR, KIV_TMP_COUNTS_NAME);
}

// The counts file `name` of the folder `dir` (shown as `shown`) read whole into *kept; false when
// there is none or it is not whole (then set aside). In /tmp a file kiv did not make (another
// user's, or one others may write) is planted: its counts would be reported as this router's.
bool read_kept(const owned_fd& dir, const char* shown, const char* name, bool in_tmp,
               fleet_counts* kept) {
  std::string text;
  const flash_read_result got = flash_read(dir, name, kMaxFile, &text, in_tmp);
  if (got == flash_read_result::missing) return false;
  if (got != flash_read_result::ok || !parse(text, kept)) {
    KIV_LOG("Cannot read [%s/%s], it is set aside\n", shown, name);
    flash_set_aside(dir, name);
    *kept = fleet_counts{};
    return false;
  }
  KIV_LOG("Fleet report counts of the last run read from [%s/%s]\n", shown, name);
  return true;
}

// The router-wide totals of C added to the running ones (counts kept from a last run) or taken
// off them (counts a status-200 answer has settled).
void move_totals(const fleet_counts& c, bool take_off) {
  const auto move = [take_off](std::atomic<uint32_t>& total, uint32_t n) {
    if (take_off)
      total.fetch_sub(n, std::memory_order_relaxed);
    else
      total.fetch_add(n, std::memory_order_relaxed);
  };
  move(walked, c.walked);
  move(lost, c.lost);
  move(reboots, c.reboots);
  move(starts, c.starts);
  for (size_t i = 0; i < KIV_REFUSALS; ++i) move(refused[i], c.refused[i]);
}

void add_kept(const fleet_counts& kept) {
  {
    rule_set_hold hold = hold_rule_set();  // the table changes only under the lock
    for (const auto& [keyword, r] : kept.rules) add_to(tally_for(keyword), r);
  }
  move_totals(kept, false);
  std::lock_guard<std::mutex> lock(period_mutex);
  carried += kept.seconds;
}

}  // namespace

const char* refusal_name(refusal r) {
  static const char* const names[KIV_REFUSALS] = {"signature", "stage", "serial", "rules",
                                                  "download"};
  return names[static_cast<size_t>(r)];
}

std::string counts_keyword(const char* keyword) {
  // An empty keyword is no name either: as "", it would make the flash file unreadable (the
  // line's keyword is its last field) and the report one a fleet's reader refuses whole.
  std::string k = utf8_or_question_marks(keyword && *keyword ? keyword : KIV_NONE_TEXT);
  if (k.size() > kKeywordMax) {
    size_t cut = kKeywordMax;
    while (cut > 0 && (static_cast<unsigned char>(k[cut]) & 0xC0) == 0x80) --cut;
    k.resize(cut);
  }
  for (char& c : k)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return k;
}

void count_walked_line() {
  walked.fetch_add(1, std::memory_order_relaxed);
}
void count_match(int32_t t) {
  bump(t, kMatches);
}
void count_fire(int32_t t) {
  bump(t, kFires);
  keep_counts_in_ram();
}
void count_heal(int32_t t) {
  bump(t, kHeals);
  keep_counts_in_ram();
}
void count_unconfirmed(int32_t t) {
  bump(t, kUnconfirmed);
  keep_counts_in_ram();
}
void count_held(int32_t t) {
  bump(t, kHeld);
  keep_counts_in_ram();
}
void count_reboot() {
  reboots.fetch_add(1, std::memory_order_relaxed);
  keep_counts_in_ram();
}
void count_refusal(refusal why) {
  refused[static_cast<size_t>(why)].fetch_add(1, std::memory_order_relaxed);
  keep_counts_in_ram();
}
void add_lost_lines(uint32_t lines) {
  lost.fetch_add(lines, std::memory_order_relaxed);
}

void attach_counts(rule_set& set) {
  std::set<std::string> wanted;
  for (const monitor_profile& p : set.profiles) wanted.insert(keyword_of(p));
  // The live set's profiles index the table until the replace that follows under the same lock.
  std::erase_if(tallies, [&](const std::unique_ptr<tally>& t) {
    return counts_of(*t).empty() && !wanted.count(t->keyword);
  });
  std::map<std::string, int32_t> index;
  for (const std::string& keyword : wanted) tally_for(keyword);
  for (size_t i = 0; i < tallies.size(); ++i) index[tallies[i]->keyword] = static_cast<int32_t>(i);
  for (monitor_profile& p : set.profiles) p.tally = index[keyword_of(p)];
}

fleet_counts take_counts() {
  fleet_counts c;
  c.taken_at = read_uptime();
  {
    std::lock_guard<std::mutex> lock(period_mutex);
    c.seconds = carried + static_cast<uint64_t>(std::max(0.0, c.taken_at - since));
  }
  c.walked = walked.load(std::memory_order_relaxed);
  c.lost = lost.load(std::memory_order_relaxed);
  c.reboots = reboots.load(std::memory_order_relaxed);
  c.starts = starts.load(std::memory_order_relaxed);
  for (size_t i = 0; i < KIV_REFUSALS; ++i)
    c.refused[i] = refused[i].load(std::memory_order_relaxed);
  for (const auto& t : tallies)
    if (const rule_counts r = counts_of(*t); !r.empty()) c.rules.emplace_back(t->keyword, r);
  std::sort(c.rules.begin(), c.rules.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return c;
}

void settle_counts(const fleet_counts& reported) {
  {
    std::lock_guard<std::mutex> lock(period_mutex);
    carried = 0;
    since = reported.taken_at;
  }
  move_totals(reported, true);
  for (const auto& [keyword, r] : reported.rules)
    if (tally* t = tally_of(keyword)) add_to(*t, r, true);
  // Reported: a restart from here on must not report them again.
  keep_counts_in_ram();
  // Counts written before a reboot that did not come are reported now: never read back again.
  if (kept_in_flash()) {
    owned_fd dir = open_flash_dir(false);
    if (dir.fd >= 0) unlinkat(dir.fd, KIV_COUNTS_NAME, 0);
  }
}

void keep_counts_for_reboot() {
  keep_counts_in_ram();
  if (!kept_in_flash()) return;
  const std::string text = format(take_counts());
  owned_fd dir = open_flash_dir(true);
  if (dir.fd >= 0 && flash_replace(dir, KIV_COUNTS_NAME, text.data(), text.size()))
    KIV_LOG("Fleet report counts kept in [%s/%s]\n", KIV_FLASH_DIR, KIV_COUNTS_NAME);
  else
    KIV_LOG("Cannot keep the fleet report counts in [%s/%s]\n", KIV_FLASH_DIR, KIV_COUNTS_NAME);
}

void load_kept_counts() {
  {
    std::lock_guard<std::mutex> lock(period_mutex);
    since = read_uptime();
  }
  starts.fetch_add(1, std::memory_order_relaxed);
  if (!report_on()) return;
  // The RAM file is written at every write of the flash one and at every rare event after it:
  // when there is one (no reboot since), it holds all the flash one does.
  fleet_counts kept;
  owned_fd tmp = open_tmp_dir();
  bool got = tmp.fd >= 0 && read_kept(tmp, KIV_TMP_DIR, KIV_TMP_COUNTS_NAME, true, &kept);
  owned_fd dir = open_flash_dir(false);
  if (dir.fd >= 0 && kept_in_flash()) {
    if (!got) got = read_kept(dir, KIV_FLASH_DIR, KIV_COUNTS_NAME, false, &kept);
    unlinkat(dir.fd, KIV_COUNTS_NAME, 0);
  }
  if (got) add_kept(kept);
  keep_counts_in_ram();  // this start, at once: a crash right after it is counted too
}
