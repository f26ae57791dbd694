// The rule set dump written on SIGUSR2 to /tmp/kiv_dump.txt.
#pragma once

#include "rules/rule_set.h"

// Writes the live set; -1 (and the record "=====mp is NULL=====") before the first load.
int dump_mp();
