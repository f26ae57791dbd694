// Fetch and install: downloads the rule file with retries and decides by its size whether a new
// rule set has arrived; the reader then takes it up through kiv_is_JSON_updated.
#include "update/download_json.h"

#include <unistd.h>

#include <memory>

#include "core/kiv_log.h"
#include "core/stop.h"
#include "core/tmp_files.h"
#include "platform/platform.h"
#include "report/fleet_counts.h"
#include "update/container.h"
#include "update/curl_download_file.h"
#include "update/retry_after.h"
#include "update/signed_sets.h"

#ifndef KIV_DEFAULT_SERVER
#define KIV_DEFAULT_SERVER "https://rules.kiv.invalid"
#endif
static_assert(sizeof(KIV_DEFAULT_SERVER) - 1 <= 31, "default rule server URL too long");

namespace {

void remove_file(const char* path) {
  if (check_if_file_exist(path)) unlink(kiv_path(path).c_str());
}

// Whether this router takes the downloaded file (no key, or signed as its key asks); the reason
// is logged when it does not.
bool taken_here(const char* path) {
  std::unique_ptr<char[]> buffer;
  size_t len = 0;
  if (read_rule_file(path, &buffer, &len) != 0) return true;  // the reader tells what is wrong
  const set_check check = check_rule_set({buffer.get(), len});
  if (check.verdict == set_verdict::take) return true;
  tell_not_taken(check, __func__, __LINE__);
  if (check.verdict == set_verdict::refused) count_refusal(check.counted_as);
  return false;
}

}  // namespace

std::string download_target_url() {
  std::string base = nvram_safe_get("kiv_debug_server");
  if (base.empty()) base = KIV_DEFAULT_SERVER;
  const char* script = nvram_match("apps_sq", "1") ? "SQ_dljson.php" : "dljson.php";
  std::string url = base + "/" + script;
  if (url.size() > 255) url.resize(255);
  return url;
}

std::optional<int64_t> download_json(const char* path) {
  KIV_LOG("start\n");
  remove_file(path);
  KIV_LOG("json_file_path=[%s]\n", path);
  std::string url = download_target_url();
  KIV_LOG("target_url=[%s]\n", url.c_str());

  int retry = KIV_DOWNLOAD_RETRIES;
  download_answer answer;
  bool ok = curl_download_file(url.c_str(), path, &answer) == 1;
  // A server that sheds load is not asked again within the check: tries 2 s apart would bring
  // the turned-away herd back six times over.
  std::optional<int64_t> shed = shed_seconds(answer.status, answer.retry_after);
  while (!ok && !shed && retry > 0 && !terminate_flag.load()) {
    --retry;
    KIV_LOG("[download_json]retry=[%d]\n", retry);
    kiv_sleep(2);
    remove_file(path);
    ok = curl_download_file(url.c_str(), path, &answer) == 1;
    shed = shed_seconds(answer.status, answer.retry_after);
  }
  if (shed)
    KIV_LOG("The rule server sheds load: status %ld, Retry-After %lld s; no further try\n",
            answer.status, static_cast<long long>(*shed));
  // Whatever a failed last attempt left is never taken for an update.
  if (!ok) remove_file(path);
  // Every try failed (not a shed answer, which asks to wait, nor a stop that cut the tries).
  if (!ok && !shed && !terminate_flag.load()) count_refusal(refusal::download);

  long long flen = get_file_size(path);
  KIV_LOG("flen=[%lld]\n", flen);
  // A router with a rule-signing key announces only a file it would take.
  if (ok && flen >= KIV_UPDATE_THRESHOLD && !taken_here(path)) ok = false;
  if (!ok || flen < KIV_UPDATE_THRESHOLD) {
    nvram_set_int("kiv_is_JSON_updated", 0);
    KIV_LOG("No update for kiv JSON file.\n");
    if (!nvram_match("kiv_debug_flag", "1")) remove_file(path);
  } else {
    nvram_set_int("kiv_is_JSON_updated", 1);
    KIV_LOG("Update kiv JSON file.\n");
  }
  KIV_LOG("end\n");
  return shed;
}
