// The download request: a multipart form post over HTTPS that tells the rule server which router
// asks, with the response body written to the target file.
#include "update/curl_download_file.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "core/digest.h"
#include "core/kiv_log.h"
#include "core/stop.h"
#include "platform/platform.h"
#include "platform/platform_posix.h"
#include "rules/rule_reader.h"
#include "update/fleet_report.h"
#include "update/retry_after.h"
#include "update/rule_stage.h"
#include "update/signed_sets.h"

namespace {

// The open target and how much has gone into it, so the body cap can be enforced; the transfer,
// whose status decides whether a body is taken; the answer's Retry-After.
struct download_sink {
  FILE* file = nullptr;
  size_t written = 0;
  CURL* curl = nullptr;
  std::optional<std::string> retry_after;
};

// Each header line of the answer; a status line starts a new answer (after a "100 Continue").
size_t header_cb(char* data, size_t size, size_t count, void* userdata) {
  auto* sink = static_cast<download_sink*>(userdata);
  const std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) {
    sink->retry_after.reset();
  } else if (const std::optional<std::string_view> v = header_value(line, "Retry-After")) {
    if (!sink->retry_after) sink->retry_after = std::string(*v);
  }
  return size * count;
}

std::string cut127(std::string text) {
  if (text.size() > 127) text.resize(127);
  return text;
}

// Aborts the transfer when the daemon is asked to stop.
int progress_cb(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return terminate_flag.load() ? 1 : 0;
}

// Opens the target for writing from its start without following a link planted at its path.
FILE* open_target(const std::string& real_path) {
  int fd = open_unblocked(real_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  FILE* f = fdopen(fd, "wb");
  if (!f) close(fd);
  return f;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> download_form_fields(fleet_counts* reported) {
  std::string ident = md5_hex(nvram_safe_get("label_mac"));
  char algo[16];
  snprintf(algo, sizeof algo, "Ver%04d", 1);
  std::string fwver = device_fwver();
  std::string model = cut127(nvram_safe_get("productid") + "#" + nvram_safe_get("odmpid"));
  char approval[8];
  snprintf(approval, sizeof approval, "%d", nvram_get_int("kiv_user_approval"));
  std::vector<std::pair<std::string, std::string>> fields = {
      {"Model", model},      {"TCode", nvram_safe_get("territory_code")},
      {"FWVER", fwver},      {"IDENT", ident},
      {"AlgoVersion", algo}, {"kiv_user_approval", approval}};
  // A router with a rule-signing key says so, with the serial of the signed set it holds, in a
  // field of its own after the six, which a server that knows nothing of signatures passes over.
  if (const std::optional<uint64_t> serial = request_rule_serial())
    fields.emplace_back("RuleSerial", std::to_string(*serial));
  if (fleet_report_on()) {
    const fleet_counts counts = take_counts();
    fields.emplace_back("KivReport", fleet_report_json(counts, serial_in_force(), router_bucket()));
    if (reported) *reported = counts;
  }
  return fields;
}

size_t write_file_cb(void* data, size_t size, size_t count, void* file) {
  auto* sink = static_cast<download_sink*>(file);
  // Only a 200 answer carries a rule file: a redirection's or another status's body is the
  // server's page about it, never rules, and is not even taken in.
  long status = 0;
  if (sink->curl) curl_easy_getinfo(sink->curl, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) return 0;
  size_t bytes = size * count;
  // A short count fails the transfer: bodies above the cap never reach the RAM-backed /tmp.
  if (bytes > KIV_MAX_BODY - sink->written) return 0;
  size_t done = fwrite(data, size, count, sink->file);
  sink->written += done * size;
  return done;
}

int curl_download_file(const char* url, const char* path, download_answer* answer) {
  if (answer) *answer = download_answer{};
  if (!url || !path) return 0;
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return 0;
  std::string real_path = kiv_path(path);
  download_sink sink;
  sink.curl = curl.get();
  sink.file = open_target(real_path);
  if (!sink.file) return 0;

  std::optional<fleet_counts> reported;
  auto fields = download_form_fields(&reported.emplace());
  if (!fleet_report_on()) reported.reset();
  KIV_LOG("%s=%d\n", "kiv_user_approval", nvram_get_int("kiv_user_approval"));
  std::unique_ptr<curl_mime, void (*)(curl_mime*)> mime(curl_mime_init(curl.get()), curl_mime_free);
  for (const auto& [name, value] : fields) {
    curl_mimepart* part = curl_mime_addpart(mime.get());
    curl_mime_name(part, name.c_str());
    curl_mime_data(part, value.c_str(), CURL_ZERO_TERMINATED);
  }

  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_MIMEPOST, mime.get());
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
#else
  curl_easy_setopt(h, CURLOPT_PROTOCOLS, (long)CURLPROTO_HTTPS);
#endif
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);  // 1 is taken as 2 by current libraries
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  std::string bundle = platform_ca_bundle();
  if (!bundle.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, bundle.c_str());
  curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(h, CURLOPT_URL, url);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, write_file_cb);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, header_cb);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &sink);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, KIV_CONNECT_TIMEOUT_S);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, KIV_LOW_SPEED_LIMIT);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, KIV_LOW_SPEED_TIME_S);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, KIV_TOTAL_TIMEOUT_S);
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, (curl_off_t)KIV_MAX_BODY);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, progress_cb);

  CURLcode rc = curl_easy_perform(h);
  bool closed = fclose(sink.file) == 0;
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (answer) *answer = download_answer{status, sink.retry_after};
  // The server has the report once it answers 200, with an update or without one.
  if (reported && status == 200) settle_counts(*reported);
  if (rc != CURLE_OK || !closed || status != 200) {
    // A partial body must never be taken for a rule file.
    unlink(real_path.c_str());
    return 0;
  }
  return 1;
}
