#include "support.h"

#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "core/kiv_log.h"
#include "platform/platform.h"
#include "rules/monitor_profile.h"

namespace kivfuzz {

namespace {

std::string root;

void make_dir(const std::string& rel) {
  ::mkdir(path(rel).c_str(), 0755);
}

}  // namespace

const std::string& setup(bool keep_log) {
  if (!root.empty()) return root;
  const char* given = getenv("KIV_ROOT");
  if (given && *given) {
    root = given;
  } else {
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/kivfuzz.XXXXXX";
    if (!mkdtemp(tmpl.data())) fail("cannot make a runtime root");
    root = tmpl;
    setenv("KIV_ROOT", root.c_str(), 1);
  }
  for (const char* d : {"tmp", "var", "var/run", "dev", "jffs", "proc"}) make_dir(d);
  // Pauses of the daemon (download retries, follower restarts) shrink to microseconds.
  setenv("KIV_TIME_SCALE", "0.000001", 1);
  write("proc/uptime", "1000.25 400.50\n");
  write("dev/console", "");
  if (!keep_log) kiv_log_to_stream(nullptr);
  return root;
}

std::string path(const std::string& rel) {
  return root + "/" + rel;
}

std::string read(const std::string& rel) {
  std::ifstream in(path(rel), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write(const std::string& rel, const std::string& content) {
  std::ofstream out(path(rel), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) fail("cannot write below the runtime root");
}

bool exists(const std::string& rel) {
  struct stat st;
  return ::lstat(path(rel).c_str(), &st) == 0;
}

void remove(const std::string& rel) {
  ::unlink(path(rel).c_str());
}

void set_identity() {
  nvram_set("productid", "KV-1000");
  nvram_set("odmpid", "KVO-1");
  nvram_set("firmver", "3.0");
  nvram_set("buildno", "102");
  nvram_set("extendno", "5");
  nvram_set("label_mac", "AA:BB:CC:00:11:22");
}

void reset_rule_set() {
  release_rule_set();
  global_pause.store(0);
  healing_index.store(-1);
}

void fail(const char* what) {
  fprintf(stderr, "kiv fuzz invariant broken: %s\n", what);
  abort();
}

}  // namespace kivfuzz
