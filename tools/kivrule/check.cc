// kivrule check: which rules of a file would be active on a router, and would they work.
#include <cstdio>

#include "tools/kivrule/kivrule.h"

int kivrule_check(std::vector<std::string> args) {
  (void)args;
  std::fputs("kivrule: check is not built yet\n", stderr);
  return KIVRULE_USAGE;
}
