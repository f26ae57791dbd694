// PLACEHOLDER
#include "core/startup.h"
void initial_functions() {}
void write_pid_file() {}
void append_tail_pid(pid_t) {}
