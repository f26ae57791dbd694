// The rule set dump: the parsed rule document, then the global state, the named rows of the
// check table and every profile with every action, in /tmp/kiv_dump.txt.
//
// The file is removed and created afresh (never written through a link left at the path), and
// the document is written in json-c's plain form, as json_object_to_file writes it.
#include "rules/dump_mp.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "core/kiv_log.h"
#include "rules/action_list.h"

namespace {

// Printed where a value is none (a rule without the key, an inactive rule, the unnamed row).
constexpr const char* kNone = "(null)";

void appendf(std::string* out, const char* fmt, ...) KIV_PRINTF(2, 3);
void appendf(std::string* out, const char* fmt, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof line) {
    out->append(line, static_cast<size_t>(n));
    return;
  }
  // Longer than the line buffer (a long pattern): format again into a buffer of its size.
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(ap, fmt);
  vsnprintf(big.data(), big.size(), fmt, ap);
  va_end(ap);
  big.resize(static_cast<size_t>(n));
  out->append(big);
}

const char* text_or_none(const std::optional<std::string>& text) {
  return text ? text->c_str() : kNone;
}

const char* row_name(int32_t row) {
  if (row < 0 || row >= CHECK_ROWS || !checkActionList[row].name) return kNone;
  return checkActionList[row].name;
}

template <typename T>
T entry_or(const std::vector<T>& v, int32_t i, T fallback) {
  return i >= 0 && static_cast<size_t>(i) < v.size() ? v[static_cast<size_t>(i)] : fallback;
}

void append_profile(std::string* out, const monitor_profile& p, int32_t index) {
  appendf(out, "=====monitor_profile[%d]=====\n", static_cast<int>(index));
  appendf(out, "isActive=[%d]\n", static_cast<int>(p.isActive));
  appendf(out, "kiv_keyword=[%s]\n", text_or_none(p.kiv_keyword));
  appendf(out, "re_pattern=[%s]\n", text_or_none(p.re_pattern));
  appendf(out, "action_num=[%d]\n", static_cast<int>(p.action_num));
  for (int32_t a = 0; a < p.action_num; ++a) {
    const char* name =
        static_cast<size_t>(a) < p.action.size() ? p.action[static_cast<size_t>(a)].c_str() : kNone;
    int32_t row = entry_or(p.checkFuncIndex, a, int32_t{-1});
    appendf(out, "=>action[%d]=[%s]\n", static_cast<int>(a), name);
    appendf(out, "=>checkFuncIndex[%d]=[%d](for %s)\n", static_cast<int>(a), static_cast<int>(row),
            row_name(row));
    appendf(out, "==>actionResult[%d]=[%d]\n", static_cast<int>(a),
            static_cast<int>(entry_or(p.actionResult, a, int32_t{-1})));
    appendf(out, "==>actionRetry[%d]=[%d]\n", static_cast<int>(a),
            static_cast<int>(entry_or(p.actionRetry, a, int32_t{0})));
  }
}

bool write_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int dump_mp(monitor_profile* profiles) {
  if (!profiles) {
    KIV_LOG("=====mp is NULL=====\n");
    return -1;
  }
  std::string path = kiv_path(KIV_DUMP_PATH);
  unlink(path.c_str());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  std::string text;
  if (gJsonObj) text = json_object_to_json_string_ext(gJsonObj, JSON_C_TO_STRING_PLAIN);
  bool ok = write_all(fd, text);
  text.clear();

  {
    std::lock_guard<std::mutex> lock(mp_mutex);
    text += "\n=====checkActionList=====\n";
    appendf(&text, "global_pause=[%d]\n", static_cast<int>(global_pause.load()));
    appendf(&text, "gArraylen=[%d]\n", static_cast<int>(gArraylen));
    for (int32_t row = 0; row < 2; ++row)
      appendf(&text, "Action list[%d]=[%s]\n", static_cast<int>(checkActionList[row].number),
              row_name(row));
    for (int32_t i = 0; i < gArraylen; ++i) append_profile(&text, profiles[i], i);
  }
  ok = ok && write_all(fd, text);
  close(fd);
  return ok ? 0 : -1;
}
