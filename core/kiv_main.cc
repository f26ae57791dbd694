// PLACEHOLDER: the main loop is being written.
#include "core/kiv_main.h"

std::atomic<int> terminate_flag{0};
std::atomic<int> event_flag{0};
std::atomic<int> dump_flag{0};
std::atomic<int> tick_flag{0};

int terminate_wake_fd() { return -1; }
int kiv_main() { return 0; }
