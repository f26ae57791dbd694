// The daemon's log facility: /tmp/kiv.log, rotated by size to /tmp/kiv.log.1, with a console
// copy of every record while kiv_debug_flag is "1".
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "platform/platform.h"

// Record: "[KIV][" func ":(" line ")]" message. Nothing is buffered: the record is in the file
// when kiv_log returns. Safe to call from every thread.
void kiv_log(const char* func, int line, const char* fmt, ...) KIV_PRINTF(3, 4);
// Console copy of a message, only while kiv_debug_flag is exactly "1".
int console_debug_printf(const char* fmt, ...) KIV_PRINTF(1, 2);

// Where the records go. The daemon writes its log file; the tools (kivrule) either discard the
// records (nullptr) or send them to a stream of their own, and never touch /tmp/kiv.log.
void kiv_log_to_stream(FILE* stream);
void kiv_log_to_file();

// Leading spaces skipped (returned pointer), trailing spaces cut in place. Spaces only.
char* trim_spaces(char* text);
// Size in bytes of the file at the (logical) path; -1 when none or it cannot be opened.
long long get_file_size(const char* path);
// Writes the whole file at a real path (kiv_path of a fixed one) from its start with O_NOFOLLOW:
// a symbolic link planted at the path is refused, never followed. False when it cannot be
// created or written.
bool write_file_nofollow(const std::string& real_path, const char* data, size_t len);

// Ends the process at once with the status (no static destructors run in other threads' way).
[[noreturn]] void kiv_exit(int status);

// Log with the calling function's name and the source line.
#define KIV_LOG(fmt, ...) kiv_log(__func__, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)
