// The rule set dump: the parsed rule document, then the global state, the named rows of the
// check table and every profile with every action, in /tmp/kiv_dump.txt.
//
// The file is removed and written afresh (never through a link left at the path), the document
// in json-c's plain form, as json_object_to_file writes it.
#include "rules/dump_mp.h"

#include <json-c/json.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "core/kiv_log.h"
#include "rules/action_list.h"

namespace {

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

const char* row_name(int32_t row) {
  if (row < 0 || row >= CHECK_ROWS || !checkActionList[row].name) return KIV_NONE_TEXT;
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
    const char* name = static_cast<size_t>(a) < p.action.size()
                           ? p.action[static_cast<size_t>(a)].c_str()
                           : KIV_NONE_TEXT;
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

}  // namespace

int dump_mp(monitor_profile* profiles) {
  if (!profiles) {
    KIV_LOG("=====mp is NULL=====\n");
    return -1;
  }
  // The document first, then the listing of the records in one consistent state.
  std::string text;
  if (gJsonObj) text = json_object_to_json_string_ext(gJsonObj, JSON_C_TO_STRING_PLAIN);
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
  // Removed first, so a second dump replaces the file and a link at the path is dropped, never
  // followed.
  std::string path = kiv_path(KIV_DUMP_PATH);
  unlink(path.c_str());
  return write_file_nofollow(path, text.data(), text.size()) ? 0 : -1;
}
