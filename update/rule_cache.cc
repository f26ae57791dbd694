#include "update/rule_cache.h"

#include <errno.h>

#include <cstring>

#include "core/flash_files.h"
#include "core/kiv_log.h"
#include "core/paths.h"
#include "platform/platform.h"
#include "update/curl_download_file.h"

namespace {

// The server's answer carries no larger file; a larger cache is not one kiv wrote.
constexpr size_t kMaxCache = KIV_MAX_BODY;

void set_aside(const owned_fd& dir) {
  const std::string path = rule_cache_path();
  if (flash_set_aside(dir, KIV_RULE_CACHE_NAME))
    KIV_LOG("Rule cache [%s] set aside as [%s.bad]\n", path.c_str(), path.c_str());
  else
    KIV_LOG("Cannot set aside the rule cache [%s]\n", path.c_str());
}

}  // namespace

std::string rule_cache_path() {
  return std::string(KIV_FLASH_DIR) + "/" + KIV_RULE_CACHE_NAME;
}

bool rule_cache_on() {
  return nvram_get_int("kiv_rule_cache") == 1;
}

void keep_rule_container(std::string_view file) {
  if (!rule_cache_on()) return;
  const std::string path = rule_cache_path();
  owned_fd dir = open_flash_dir(true);
  if (dir.fd < 0) {
    KIV_LOG("Cannot open [%s], the rule file is not kept\n", KIV_FLASH_DIR);
    return;
  }
  // The flash wears with every write: the same file again leaves the cache as it is.
  std::string cached;
  if (flash_read(dir, KIV_RULE_CACHE_NAME, file.size(), &cached) == flash_read_result::ok &&
      cached == file) {
    KIV_LOG("Rule cache [%s] holds this rule file already\n", path.c_str());
    return;
  }
  if (flash_replace(dir, KIV_RULE_CACHE_NAME, file.data(), file.size()))
    KIV_LOG("Rule file kept in [%s]\n", path.c_str());
  else
    KIV_LOG("Cannot keep the rule file in [%s]\n", path.c_str());
}

bool read_rule_cache(std::string* file, bool* unreadable) {
  *unreadable = false;
  owned_fd dir = open_flash_dir(false);
  if (dir.fd < 0) {
    if (errno != ENOENT) KIV_LOG("Cannot open [%s], no cached rules\n", KIV_FLASH_DIR);
    return false;
  }
  const flash_read_result got = flash_read(dir, KIV_RULE_CACHE_NAME, kMaxCache, file);
  *unreadable = got == flash_read_result::failed;
  return got == flash_read_result::ok;
}

void set_aside_rule_cache() {
  owned_fd dir = open_flash_dir(false);
  if (dir.fd >= 0) set_aside(dir);
}
