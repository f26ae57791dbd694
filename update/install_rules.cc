// The install step: read the announced file, restore its body, build the set, replace the live
// one, keep the container in the flash cache. Every failure leaves the set in force.
#include "update/install_rules.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "core/kiv_log.h"
#include "core/kiv_say.h"
#include "core/paths.h"
#include "core/syslog_lines.h"
#include "core/tmp_files.h"
#include "platform/platform.h"
#include "report/fleet_counts.h"
#include "rules/rule_reader.h"
#include "update/container.h"
#include "update/rule_cache.h"
#include "update/signed_sets.h"

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
  attach_counts(*next);
  if (hold.set) READ_LOG("free monitor_profile\n");
  // The file's pause switch counts only once its set is the one in force.
  if (next->pause) global_pause.store(*next->pause);
  old = replace_rule_set(hold, std::move(next));
  READ_LOG("New arraylen=%d\n", static_cast<int>(hold.set->count));
  READ_LOG("unlock mutex in read json\n");
  return RULES_OK;
}

namespace {

// Builds and installs the set of a container restored in place: data[0, end) is the container and
// data[end] a byte that may be written for the moment. The body is read up to where the container
// ends, then scrambled back, so that the bytes are left as they came (for the flash cache).
// The reader's result.
int install_restored(char* data, size_t end) {
  const char after = data[end];
  data[end] = '\0';  // the body's text ends where the container does
  const int rc = install_rule_text(data + KIV_HEADER_LEN);
  data[end] = after;
  toggle_container_body(data, end);
  return rc;
}

// The step of the install path at which a container stopped; `none` once its set is in force.
enum class install_step { none, judged, restored, built };

struct container_install {
  install_step failed_at = install_step::none;
  set_check check;
  int rc = 0;  // decrypt_container's result (restored) or the reader's (built)
};

// The one install path of a rule container, downloaded or cached: judged as the router judges
// every set (check_rule_set), restored in place, built and put in force. A download that is the
// set in force again (`same`) is no update and is not taken; a cache normally is that set, and
// is (`same_taken`). data[len] is a byte that may be written for the moment.
container_install install_container(char* data, size_t len, bool same_taken) {
  container_install out;
  out.check = check_rule_set({data, len});
  const set_verdict v = out.check.verdict;
  if (v == set_verdict::refused || (v == set_verdict::same && !same_taken)) {
    out.failed_at = install_step::judged;
    return out;
  }
  out.rc = decrypt_container(data, out.check.parts.container_len);
  if (out.rc != 0) {
    out.failed_at = install_step::restored;
    return out;
  }
  // A failure of any kind, memory included, leaves the set in force and the daemon running.
  out.rc = install_restored(data, out.check.parts.container_len);
  if (out.rc != RULES_OK) out.failed_at = install_step::built;
  return out;
}

}  // namespace

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
  const int ret = read_rule_file(path, &buffer, &len);
  const bool debug = nvram_match("kiv_debug_flag", "1");
  if (!debug && path) std::remove(kiv_path(path).c_str());
  if (ret != 0) {
    READ_LOG("Cannot decrypt JSON file, ret=[%d]\n", ret);
    count_refusal(refusal::rules);
    return;
  }
  // The download judged the file already; it is judged again as it is read now.
  const container_install got = install_container(buffer.get(), len, false);
  if (got.failed_at == install_step::judged) tell_not_taken(got.check, "read_json", __LINE__);
  if (got.failed_at == install_step::judged && got.check.verdict == set_verdict::refused)
    count_refusal(got.check.counted_as);
  if (got.failed_at == install_step::restored)
    READ_LOG("Cannot decrypt JSON file, ret=[%d]\n", got.rc);
  // Memory short on the router says nothing of the file.
  if (got.failed_at == install_step::restored ||
      (got.failed_at == install_step::built && got.rc != RULES_NO_MEMORY))
    count_refusal(refusal::rules);
  if (got.failed_at != install_step::none) return;
  logmessage_normal(KIV_SYSLOG_TAG, "%s\n", KIV_LINE_RULES_UPDATED);
  keep_rule_container({buffer.get(), len});
  keep_rule_serial({buffer.get(), len}, got.check);
  READ_LOG("end of read_json\n");
}

// At start-up, before the threads: the cached container judged and read like a downloaded one.
void load_rule_cache() {
  if (!rule_cache_on()) return;
  std::string file;
  bool unreadable = false;
  if (!read_rule_cache(&file, &unreadable) && !unreadable) return;
  KIV_LOG("Load the cached rule set [%s]\n", rule_cache_path().c_str());
  if (unreadable) {
    KIV_LOG("Cannot read the rule cache [%s]\n", rule_cache_path().c_str());
    set_aside_rule_cache();
    return;
  }
  // A cache planted or altered in flash is judged as the router judges a download; the set it
  // holds is normally the installed one (same).
  const container_install got = install_container(file.data(), file.size(), true);
  if (got.failed_at == install_step::judged) {
    KIV_LOG("Rule cache not taken: %s\n", got.check.reason.c_str());
    if (!got.check.blameless) {
      set_aside_rule_cache();
      return;
    }
    // A key typo must not cost the router its last good rules: the cache waits for a usable key.
    KIV_LOG("Rule cache [%s] kept: the key, not the cache, is at fault\n",
            rule_cache_path().c_str());
    kiv_say("rule cache not loaded (%s): no rules until a start with a usable key, the cache kept",
            got.check.reason.c_str());
    return;
  }
  if (got.failed_at == install_step::restored) {
    KIV_LOG("Cannot decrypt the rule cache, ret=[%d]\n", got.rc);
    set_aside_rule_cache();
    return;
  }
  if (got.failed_at == install_step::built) {
    KIV_LOG("Cannot load the rule cache, rc=[%d]\n", got.rc);
    if (got.rc != RULES_NO_MEMORY)
      set_aside_rule_cache();  // memory short at boot says nothing of the file
    return;
  }
  keep_rule_serial(file, got.check);
  const int32_t count = hold_rule_set().set->count;
  KIV_LOG("Cached rule set loaded, arraylen=%d\n", static_cast<int>(count));
}
