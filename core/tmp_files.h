// Files kiv writes and measures in /tmp beside its log: the rule set dump, the debug copies of a
// rule file, the downloaded rule file. Not the flash files (core/flash_files), which must outlive
// a power cut.
#pragma once

#include <cstddef>
#include <string>

// Size in bytes of the file at the (logical) path; -1 when none or it cannot be opened.
long long get_file_size(const char* path);
// Writes the whole file at a real path (kiv_path of a fixed one) from its start with O_NOFOLLOW:
// a symbolic link planted at the path is refused, never followed. False when it cannot be
// created or written.
bool write_file_nofollow(const std::string& real_path, const char* data, size_t len);
