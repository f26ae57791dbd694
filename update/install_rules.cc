// The install step: read the announced file, restore its body, build the set, replace the live
// one, keep the container in the flash cache. Every failure leaves the set in force.
#include "update/install_rules.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "core/kiv_log.h"
#include "core/paths.h"
#include "core/tmp_files.h"
#include "platform/platform.h"
#include "rules/rule_reader.h"
#include "update/decrypt_file.h"
#include "update/rule_cache.h"

// The records carry the reader's name: to whoever reads the log, reading and installing are one.
#define READ_LOG(fmt, ...) kiv_log("read_json", __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

int install_rule_text(const char* text) {
  std::unique_ptr<rule_set> next(new (std::nothrow) rule_set);
  if (!next) return RULES_NO_MEMORY;
  int rc = build_rule_set(text, router_identity_from_settings(), next.get());
  if (rc != RULES_OK) return rc;
  if (nvram_match("kiv_debug_flag", "1"))
    write_file_nofollow(kiv_path(KIV_DECJSONOBJ_PATH), next->document.data(),
                        next->document.size());
  std::unique_ptr<rule_set> old;
  rule_set_hold hold = hold_rule_set();
  READ_LOG("lock mutex in read json\n");
  if (hold.set) READ_LOG("free monitor_profile\n");
  // The file's pause switch counts only once its set is the one in force.
  if (next->pause) global_pause.store(*next->pause);
  old = replace_rule_set(hold, std::move(next));
  READ_LOG("New arraylen=%d\n", static_cast<int>(hold.set->count));
  READ_LOG("unlock mutex in read json\n");
  return RULES_OK;
}

void read_json(const char* path) {
  READ_LOG("start of read_json\n");
  if (nvram_get_int("kiv_is_JSON_updated") != 1) {
    READ_LOG("JSON is not updated yet\n");
    return;
  }
  nvram_set_int("kiv_is_JSON_updated", 0);
  long long flen = get_file_size(path);
  READ_LOG("flen=[%lld]\n", flen);
  if (static_cast<unsigned long long>(flen) < KIV_HEADER_LEN + 1) {
    READ_LOG("Empty JSON file!!!\n");
    return;
  }
  std::unique_ptr<char[]> buffer;
  size_t len = 0;
  int ret = decryptFile(path, &buffer, &len);
  const bool debug = nvram_match("kiv_debug_flag", "1");
  if (!debug && path) std::remove(kiv_path(path).c_str());
  if (ret != 0) {
    READ_LOG("Cannot decrypt JSON file, ret=[%d]\n", ret);
    return;
  }
  // A failure of any kind, memory included, leaves the set in force and the daemon running.
  if (install_rule_text(buffer.get() + KIV_HEADER_LEN) != RULES_OK) return;
  logmessage_normal("kiv", "[%s]Update kiv JSON file.\n", "read_json");
  keep_rule_container(buffer.get(), len);
  READ_LOG("end of read_json\n");
}
