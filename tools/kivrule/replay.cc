// kivrule replay: a system log walked through a rule set as the daemon would walk it.
#include <cstdio>

#include "tools/kivrule/kivrule.h"

int kivrule_replay(std::vector<std::string> args) {
  (void)args;
  std::fputs("kivrule: replay is not built yet\n", stderr);
  return KIVRULE_USAGE;
}
