// What the process says outside its log, and how it ends: a line on standard error where an init
// script or a person at a shell sees it, and an exit that runs nothing in other threads' way.
#pragma once

#include "platform/platform.h"

// One line on standard error, "kiv: " and the message: why the daemon cannot start or goes on
// without something it needs.
void kiv_say(const char* fmt, ...) KIV_PRINTF(1, 2);

// Ends the process at once with the status (no static destructors run in other threads' way).
[[noreturn]] void kiv_exit(int status);
