#include "heal/reboot_budget.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/flash_files.h"
#include "core/kiv_log.h"
#include "core/paths.h"
#include "core/syslog_lines.h"
#include "heal/keyword_lines.h"
#include "platform/decimal.h"
#include "platform/platform.h"
#include "platform/text_lines.h"

namespace {

constexpr int64_t kDay = 24 * 60 * 60;
constexpr size_t kMaxFile = 64 * 1024;  // a few dozen bytes a reboot; anything larger is not ours
constexpr char kSynced[] = "synced ";

// The trigger thread records reboots while the main thread settles the file at its ticks: each
// reads, changes and replaces the whole file, so one at a time, or one would undo the other.
std::mutex record_mutex;

struct reboot_record {
  std::vector<keyword_time> reboots;  // file order
  bool has_synced = false;
  int64_t synced = 0;
  size_t first_unsynced = 0;  // the first reboot below the "synced" line
};

// Lines that do not parse are dropped: the file is only ever as good as kiv wrote it.
reboot_record parse(const std::string& text) {
  reboot_record r;
  for_each_line(text, [&r](const std::string& line) {
    int64_t t = 0;
    keyword_time reboot;
    if (line.compare(0, sizeof kSynced - 1, kSynced) == 0) {
      if (!whole_decimal(line.substr(sizeof kSynced - 1), &t)) return;
      r.has_synced = true;
      r.synced = t;
      r.first_unsynced = r.reboots.size();
    } else if (read_keyword_line(line, &reboot)) {
      r.reboots.push_back(reboot);
    }
  });
  return r;
}

std::string format(const reboot_record& r) {
  std::string text;
  for (size_t i = 0; i <= r.reboots.size(); ++i) {
    if (r.has_synced && i == r.first_unsynced) text += kSynced + std::to_string(r.synced) + "\n";
    if (i < r.reboots.size()) text += keyword_line(r.reboots[i]);
  }
  return text;
}

// The file's record; false when the file is there but cannot be read. Such a file is set aside
// (NAME.bad) so that the next reboot starts a fresh record, but the reboot asked for now is not
// counted as the first of a new budget: a loop could go on through a file it keeps spoiling.
bool read_record(const owned_fd& dir, reboot_record* r) {
  std::string text;
  if (dir.fd < 0) return true;
  const flash_read_result got = flash_read(dir, KIV_REBOOTS_NAME, kMaxFile, &text);
  if (got == flash_read_result::failed) {
    KIV_LOG("Cannot read [%s/%s], it is set aside\n", KIV_FLASH_DIR, KIV_REBOOTS_NAME);
    flash_set_aside(dir, KIV_REBOOTS_NAME);
    return false;
  }
  if (got == flash_read_result::ok) *r = parse(text);
  return true;
}

bool write_record(const owned_fd& dir, const reboot_record& r) {
  const std::string text = format(r);
  return dir.fd >= 0 && flash_replace(dir, KIV_REBOOTS_NAME, text.data(), text.size());
}

// Brings the record up to date for a set clock at `now` (see the header); true when a reboot
// was dropped or counted from now, which is what makes a rewrite worth the flash.
bool settle(reboot_record& r, int64_t now) {
  bool changed = false;
  for (size_t i = r.has_synced ? r.first_unsynced : 0; i < r.reboots.size(); ++i) {
    int64_t& t = r.reboots[i].first;
    if (!r.has_synced || t < r.synced || t > now) {
      t = now;
      changed = true;
    }
  }
  const size_t before = r.reboots.size();
  std::erase_if(r.reboots, [now](const auto& e) { return e.first <= now - kDay; });
  changed = changed || r.reboots.size() != before;
  r.has_synced = true;
  r.synced = now;
  r.first_unsynced = r.reboots.size();
  return changed;
}

size_t counted(const reboot_record& r, bool clock_set, int64_t now) {
  if (!clock_set) return r.reboots.size();
  size_t n = 0;
  for (const auto& e : r.reboots) n += e.first > now - kDay ? 1 : 0;
  return n;
}

}  // namespace

reboot_verdict take_reboot(const char* keyword) {
  const int limit = nvram_get_int("kiv_reboot_limit");
  if (limit <= 0) return reboot_verdict::no_budget;
  const bool clock_set = nvram_get_int("ntp_ready") != 0;
  const int64_t now = platform_time();
  std::lock_guard<std::mutex> lock(record_mutex);
  owned_fd dir = open_flash_dir(true);
  reboot_record r;
  if (!read_record(dir, &r)) {
    KIV_LOG("Cannot record the reboot in [%s/%s]; no reboot for [%s]\n", KIV_FLASH_DIR,
            KIV_REBOOTS_NAME, keyword);
    return reboot_verdict::unrecorded;
  }
  if (clock_set) settle(r, now);
  const size_t n = counted(r, clock_set, now);
  if (n >= static_cast<size_t>(limit)) {
    KIV_LOG("Reboot budget spent: %zu reboots %s, kiv_reboot_limit=%d; no reboot for [%s]\n", n,
            clock_set ? "within 24 hours" : "recorded while the clock is not synchronised", limit,
            keyword);
    logmessage_normal(KIV_SYSLOG_TAG, "%s\n", kiv_reboot_held_line(keyword).c_str());
    return reboot_verdict::spent;
  }
  r.reboots.emplace_back(now, keyword_of_line(keyword));
  if (!write_record(dir, r)) {
    KIV_LOG("Cannot record the reboot in [%s/%s]; no reboot for [%s]\n", KIV_FLASH_DIR,
            KIV_REBOOTS_NAME, keyword);
    return reboot_verdict::unrecorded;
  }
  KIV_LOG("Reboot %zu of %d recorded for [%s]\n", n + 1, limit, keyword);
  return reboot_verdict::recorded;
}

void settle_reboot_record() {
  if (nvram_get_int("kiv_reboot_limit") <= 0 || nvram_get_int("ntp_ready") == 0) return;
  std::lock_guard<std::mutex> lock(record_mutex);
  owned_fd dir = open_flash_dir(false);
  if (dir.fd < 0) return;
  std::string text;
  if (flash_read(dir, KIV_REBOOTS_NAME, kMaxFile, &text) != flash_read_result::ok) return;
  reboot_record r = parse(text);
  if (settle(r, platform_time()) && write_record(dir, r))
    KIV_LOG("Reboot record settled: %zu reboots within 24 hours\n", r.reboots.size());
}
