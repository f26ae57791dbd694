// The rule set dump: the parsed rule document, then the global state, the named rows of the
// check table and every profile with every action, in /tmp/kiv_dump.txt.
//
// The file is removed and written afresh (never through a link left at the path), the document
// in json-c's plain form, as json_object_to_file writes it.
#include "rules/dump_mp.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "core/kiv_log.h"
#include "core/paths.h"
#include "core/tmp_files.h"
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

// A rule that is not active on this router is listed as a record that holds nothing.
void append_profile(std::string* out, int32_t index, const monitor_profile* p) {
  appendf(out, "=====monitor_profile[%d]=====\n", static_cast<int>(index));
  appendf(out, "isActive=[%d]\n", p ? 1 : 0);
  appendf(out, "kiv_keyword=[%s]\n", p ? text_or_none(p->kiv_keyword) : KIV_NONE_TEXT);
  appendf(out, "re_pattern=[%s]\n", p ? text_or_none(p->re_pattern) : KIV_NONE_TEXT);
  appendf(out, "action_num=[%d]\n", p ? static_cast<int>(p->action_num()) : 0);
  for (int32_t a = 0; p && a < p->action_num(); ++a) {
    const rule_action& action = p->actions[static_cast<size_t>(a)];
    appendf(out, "=>action[%d]=[%s]\n", static_cast<int>(a), action.text.c_str());
    appendf(out, "=>checkFuncIndex[%d]=[%d](for %s)\n", static_cast<int>(a),
            static_cast<int>(action.checkFuncIndex), row_name(action.checkFuncIndex));
    appendf(out, "==>actionResult[%d]=[%d]\n", static_cast<int>(a),
            static_cast<int>(action.actionResult));
    appendf(out, "==>actionRetry[%d]=[%d]\n", static_cast<int>(a),
            static_cast<int>(action.actionRetry));
  }
}

}  // namespace

int dump_mp() {
  // The document, then the listing of the records, in one consistent state.
  std::string text;
  {
    rule_set_hold hold = hold_rule_set();
    if (!hold.set) {
      KIV_LOG("=====mp is NULL=====\n");
      return -1;
    }
    const rule_set& set = *hold.set;
    text = set.document;
    text += "\n=====checkActionList=====\n";
    appendf(&text, "global_pause=[%d]\n", static_cast<int>(global_pause.load()));
    appendf(&text, "gArraylen=[%d]\n", static_cast<int>(set.count));
    for (int32_t row = 0; row < 2; ++row)
      appendf(&text, "Action list[%d]=[%s]\n", static_cast<int>(checkActionList[row].number),
              row_name(row));
    for_each_rule(set, [&](int32_t i, const monitor_profile* p) { append_profile(&text, i, p); });
  }
  // Removed first, so a second dump replaces the file and a link at the path is dropped, never
  // followed.
  std::string path = kiv_path(KIV_DUMP_PATH);
  unlink(path.c_str());
  return write_file_nofollow(path, text.data(), text.size()) ? 0 : -1;
}
