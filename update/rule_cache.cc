#include "update/rule_cache.h"

#include <errno.h>

#include <cstring>
#include <string>

#include "core/flash_files.h"
#include "core/kiv_log.h"
#include "core/paths.h"
#include "platform/platform.h"
#include "rules/rule_reader.h"
#include "update/curl_download_file.h"
#include "update/decrypt_file.h"
#include "update/install_rules.h"

namespace {

// The cache as the records name it (the root is not shown, as for every fixed path).
std::string cache_path() {
  return std::string(KIV_FLASH_DIR) + "/" + KIV_RULE_CACHE_NAME;
}

bool cache_on() {
  return nvram_get_int("kiv_rule_cache") == 1;
}

// A cache that did not load would fail again at every start: it is kept for inspection only.
void set_aside(const owned_fd& dir) {
  if (flash_set_aside(dir, KIV_RULE_CACHE_NAME))
    KIV_LOG("Rule cache [%s] set aside as [%s.bad]\n", cache_path().c_str(), cache_path().c_str());
  else
    KIV_LOG("Cannot set aside the rule cache [%s]\n", cache_path().c_str());
}

// The server's answer carries no larger file; a larger cache is not one kiv wrote.
constexpr size_t kMaxCache = KIV_MAX_BODY;

}  // namespace

void keep_rule_container(char* restored, size_t len) {
  if (!cache_on()) return;
  toggle_container_body(restored, len);
  owned_fd dir = open_flash_dir(true);
  if (dir.fd < 0) {
    KIV_LOG("Cannot open [%s], the rule file is not kept\n", KIV_FLASH_DIR);
    return;
  }
  // The flash wears with every write: the same file again leaves the cache as it is.
  std::string cached;
  if (flash_read(dir, KIV_RULE_CACHE_NAME, len, &cached) == flash_read_result::ok &&
      cached.size() == len && std::memcmp(cached.data(), restored, len) == 0) {
    KIV_LOG("Rule cache [%s] holds this rule file already\n", cache_path().c_str());
    return;
  }
  if (flash_replace(dir, KIV_RULE_CACHE_NAME, restored, len))
    KIV_LOG("Rule file kept in [%s]\n", cache_path().c_str());
  else
    KIV_LOG("Cannot keep the rule file in [%s]\n", cache_path().c_str());
}

void load_rule_cache() {
  if (!cache_on()) return;
  owned_fd dir = open_flash_dir(false);
  if (dir.fd < 0) {
    if (errno != ENOENT) KIV_LOG("Cannot open [%s], no cached rules\n", KIV_FLASH_DIR);
    return;
  }
  std::string container;
  const flash_read_result got = flash_read(dir, KIV_RULE_CACHE_NAME, kMaxCache, &container);
  if (got == flash_read_result::missing) return;
  KIV_LOG("Load the cached rule set [%s]\n", cache_path().c_str());
  if (got != flash_read_result::ok) {
    KIV_LOG("Cannot read the rule cache [%s]\n", cache_path().c_str());
    set_aside(dir);
    return;
  }
  const int ret = decrypt_container(container.data(), container.size());
  if (ret != 0) {
    KIV_LOG("Cannot decrypt the rule cache, ret=[%d]\n", ret);
    set_aside(dir);
    return;
  }
  // The container holds its header (decrypt_container found the magic in it); c_str() ends the
  // body with the zero byte the parser needs.
  const int rc = install_rule_text(container.c_str() + KIV_HEADER_LEN);
  if (rc != RULES_OK) {
    KIV_LOG("Cannot load the rule cache, rc=[%d]\n", rc);
    if (rc != RULES_NO_MEMORY) set_aside(dir);  // memory short at boot says nothing of the file
    return;
  }
  const int32_t count = hold_rule_set().set->count;
  KIV_LOG("Cached rule set loaded, arraylen=%d\n", static_cast<int>(count));
}
