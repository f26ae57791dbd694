// What the fuzz targets share: the headers they use, a private runtime root with files below it,
// the invariant check and libFuzzer's two entry points. Each target is one source file that
// includes this header and defines one() (every input) and, with set-up of its own, init() (once).
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "commands/handle_kiv_event.h"
#include "core/kiv_log.h"
#include "detect/freq_window.h"
#include "detect/match_func.h"
#include "detect/monitor_syslog.h"
#include "heal/self_healing.h"
#include "platform/platform.h"
#include "rules/action_list.h"
#include "rules/pattern_automaton.h"
#include "rules/pattern_guard.h"
#include "rules/pattern_literals.h"
#include "rules/rule_reader.h"
#include "update/container.h"
#include "update/install_rules.h"

__attribute__((weak)) void init();  // a target without set-up of its own defines none
void one(const std::string& input);

// Stops the process with the broken invariant: the fuzzer reports it with the input.
inline void check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "kiv fuzz invariant broken: %s\n", what);
  abort();
}

// The little-endian number of `width` bytes at s[at].
inline uint64_t le(std::string_view s, size_t at, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

inline std::string fuzz_root;
inline std::string path(const std::string& rel) {
  return fuzz_root + "/" + rel;
}
inline std::string slurp(const std::string& rel) {
  std::ifstream in(path(rel), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
inline void put(const std::string& rel, const std::string& content) {
  check(static_cast<bool>(std::ofstream(path(rel), std::ios::binary) << content), "write");
}

// The root ($KIV_ROOT when the runner gives one, else a fresh one in $TMPDIR) with the
// directories the daemon writes to, a test clock and a console file; the daemon's pauses
// (download retries, follower restarts) shrink to microseconds, its log records are discarded.
inline void setup() {
  const char *given = getenv("KIV_ROOT"), *tmp = getenv("TMPDIR");
  std::string made = std::string(tmp ? tmp : "/tmp") + "/kivfuzz.XXXXXX";
  fuzz_root = given ? given : mkdtemp(made.data()) ? made : "";
  check(!fuzz_root.empty() && setenv("KIV_ROOT", fuzz_root.c_str(), 1) == 0, "a runtime root");
  for (const char* d : {"tmp", "var", "var/run", "dev", "jffs", "proc"})
    mkdir(path(d).c_str(), 0755);
  setenv("KIV_TIME_SCALE", "0.000001", 1);
  put("proc/uptime", "1000.25 400.50\n");
  put("dev/console", "");
  kiv_log_to_stream(nullptr);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setup();
  if (init) init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  one(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
