// The rule set dump written on SIGUSR2 to /tmp/kiv_dump.txt.
#pragma once

#include "rules/monitor_profile.h"

inline constexpr const char* KIV_DUMP_PATH = "/tmp/kiv_dump.txt";

int dump_mp(monitor_profile* profiles);
