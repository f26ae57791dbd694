// The host settings store's command-line tool, shaped like the router's own:
//   nvram get KEY          prints the value and a newline; an unset key prints nothing
//   nvram set KEY=VALUE    stores VALUE (everything after the first '='; may be empty)
//   nvram unset KEY        removes the key
//   nvram show             prints every KEY=VALUE line, sorted by key
//   nvram commit           succeeds: router scripts call it, and the host store is written
//                          through at every set
// All of them work below $KIV_ROOT. A set or unset that cannot reach the store says why and
// exits 1, so no script goes on believing a value was kept.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/host/settings_store.h"
#include "platform/platform.h"

namespace {

const char kUsage[] =
    "usage: nvram get KEY\n"
    "       nvram set KEY=VALUE\n"
    "       nvram unset KEY\n"
    "       nvram show\n"
    "       nvram commit\n";

int usage() {
  fputs(kUsage, stderr);
  return 1;
}

bool valid_key(const std::string& key) {
  if (key.empty()) return false;
  for (char c : key) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

int bad_key(const std::string& key) {
  fprintf(stderr, "nvram: invalid key [%s]\n", key.c_str());
  return 1;
}

// The outcome of a write: 0, or 1 after the reason.
int written(int why) {
  if (why == 0) return 0;
  fprintf(stderr, "nvram: cannot write the store %s: %s\n", kiv_path(KIV_NVRAM_PATH).c_str(),
          strerror(why));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string command = argv[1];

  if ((command == "--help" || command == "-h") && argc == 2) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (command == "get" && argc == 3) {
    if (!valid_key(argv[2])) return bad_key(argv[2]);
    std::optional<std::string> value = nvram_get(argv[2]);
    if (value) printf("%s\n", value->c_str());
    return 0;
  }
  if (command == "set" && argc == 3) {
    const char* eq = strchr(argv[2], '=');
    if (!eq) return usage();
    std::string key(argv[2], static_cast<size_t>(eq - argv[2]));
    if (!valid_key(key)) return bad_key(key);
    std::string value = eq + 1;
    if (value.find('\n') != std::string::npos) {
      fprintf(stderr, "nvram: a value may not hold a newline\n");
      return 1;
    }
    return written(settings_store_set(key.c_str(), value.c_str()));
  }
  if (command == "unset" && argc == 3) {
    if (!valid_key(argv[2])) return bad_key(argv[2]);
    return written(settings_store_unset(argv[2]));
  }
  if (command == "show" && argc == 2) {
    for (const auto& [key, value] : nvram_show()) printf("%s=%s\n", key.c_str(), value.c_str());
    return 0;
  }
  if (command == "commit" && argc == 2) return 0;
  return usage();
}
