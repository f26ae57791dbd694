#include "heal/heal_budget.h"

#include <algorithm>
#include <mutex>

#include "core/flash_files.h"
#include "core/kiv_log.h"
#include "core/paths.h"
#include "core/syslog_lines.h"
#include "heal/keyword_lines.h"
#include "platform/platform.h"
#include "platform/text_lines.h"

namespace {

constexpr int64_t kHour = 60 * 60;
constexpr size_t kMaxFile = 64 * 1024;  // a few dozen bytes a heal; anything larger is not ours

// The history when it is not kept in flash; the trigger thread alone heals.
heal_history in_memory;
std::mutex history_mutex;

bool kept_in_flash() {
  return nvram_get_int("kiv_rule_cache") == 1 || nvram_get_int("kiv_reboot_limit") > 0;
}

// Lines that do not parse are dropped: the file is only ever as good as kiv wrote it.
heal_history parse(const std::string& text) {
  heal_history heals;
  keyword_time heal;
  for_each_line(text, [&](const std::string& line) {
    if (read_keyword_line(line, &heal)) heals.push_back(heal);
  });
  return heals;
}

std::string format(const heal_history& heals) {
  std::string text;
  for (const keyword_time& heal : heals) text += keyword_line(heal);
  return text;
}

}  // namespace

bool heal_within_budget(heal_history& heals, const char* keyword, int64_t now, int limit) {
  if (limit <= 0) return true;
  const std::string rule = keyword_of_line(keyword);
  std::erase_if(heals,
                [now](const auto& h) { return h.first <= now - kHour || h.first >= now + kHour; });
  const auto of_rule =
      std::count_if(heals.begin(), heals.end(), [&](const auto& h) { return h.second == rule; });
  if (of_rule >= limit) return false;
  heals.emplace_back(now, rule);
  return true;
}

bool take_heal(const char* keyword) {
  const int limit = nvram_get_int("kiv_heal_limit");
  if (limit <= 0) return true;
  std::lock_guard<std::mutex> lock(history_mutex);
  owned_fd dir = kept_in_flash() ? open_flash_dir(true) : owned_fd();
  heal_history heals = in_memory;
  if (dir.fd >= 0) {
    std::string text;
    const flash_read_result got = flash_read(dir, KIV_HEALS_NAME, kMaxFile, &text);
    if (got == flash_read_result::ok) heals = parse(text);
    if (got == flash_read_result::failed) flash_set_aside(dir, KIV_HEALS_NAME);
  }
  const bool may = heal_within_budget(heals, keyword, platform_time(), limit);
  in_memory = heals;
  // A held-back fire changes nothing worth the flash; a heal is written before it runs.
  if (may && dir.fd >= 0) {
    const std::string text = format(heals);
    if (!flash_replace(dir, KIV_HEALS_NAME, text.data(), text.size()))
      KIV_LOG("Cannot record the heal in [%s/%s]; it is counted in memory\n", KIV_FLASH_DIR,
              KIV_HEALS_NAME);
  }
  if (!may) {
    KIV_LOG("Heal budget spent: kiv_heal_limit=%d heals within an hour; no action for [%s]\n",
            limit, keyword);
    logmessage_normal(KIV_SYSLOG_TAG, "%s\n", kiv_heal_held_line(keyword).c_str());
  }
  return may;
}
