#include <cstdio>
#include <cstring>

#include "daemon/kiv_main.h"

namespace {

const char kUsage[] =
    "usage: kiv\n"
    "       kiv --version\n"
    "\n"
    "kiv is the router's self-healing daemon. It takes no options: the boot script starts it\n"
    "without arguments, and it is steered through the settings store (kiv_* keys) and signals:\n"
    "SIGUSR1 runs the command in kiv_service, SIGUSR2 writes the rule set to\n"
    "/tmp/kiv_dump.txt, SIGTERM stops it. With any argument it only prints this (or its\n"
    "version) and starts nothing.\n";

}  // namespace

int main(int argc, char** argv) {
  // An argument means a person at a shell, never the boot script: tell, and start nothing.
  if (argc > 1) {
    if (std::strcmp(argv[1], "--version") == 0 && argc == 2) {
      std::printf("kiv %s\n", KIV_VERSION);
      return 0;
    }
    const bool asked = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
    std::fputs(kUsage, asked ? stdout : stderr);
    return asked ? 0 : 2;
  }
  return kiv_main();
}
