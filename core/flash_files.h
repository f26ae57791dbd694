// kiv's own files on the router's flash file system, in the folder /jffs/kiv: the last good rule
// set and the record of reboots. They outlive a reboot, so each is read and replaced with care:
// never through a symbolic link (neither the folder nor a file), and a replacement is on the
// flash whole before it takes the old file's place, so that a power cut leaves the old file or
// the new one, never a torn one.
#pragma once

#include <cstddef>
#include <string>

// A descriptor this code opened; closed at the holder's end.
struct owned_fd {
  int fd = -1;
  owned_fd() = default;
  explicit owned_fd(int f) : fd(f) {}
  owned_fd(const owned_fd&) = delete;
  owned_fd& operator=(const owned_fd&) = delete;
  owned_fd(owned_fd&& other) noexcept;
  ~owned_fd();
};

// The folder (below $KIV_ROOT on the host); fd -1 when it is missing, is a symbolic link or is no
// folder. With `create`, a missing folder is made (mode 0700); /jffs itself never is.
owned_fd open_flash_dir(bool create);

enum class flash_read_result { ok, missing, failed };
// The whole regular file `name` of the folder into *out; a file larger than `limit`, a link and
// anything but a regular file are `failed`. With `own_only` (a folder others can write, as /tmp),
// so is a file that is not as this process makes its own: its user's, with no permission for
// group or others, one link.
flash_read_result flash_read(const owned_fd& dir, const char* name, size_t limit, std::string* out,
                             bool own_only = false);
// Replaces the file `name` with the len bytes at data: written to NAME.tmp, synced, renamed over
// NAME, and the folder synced. False when any step fails (the old file then stays as it was).
bool flash_replace(const owned_fd& dir, const char* name, const char* data, size_t len);
// Renames NAME to NAME.bad, replacing an earlier one.
bool flash_set_aside(const owned_fd& dir, const char* name);
// At start, once this daemon is the only one: removes the NAME.tmp that a power cut inside a
// write of one of kiv's files left behind (a later write of that file would remove it, but one
// may never come, and the half file takes flash space for good), one record for each.
void flash_remove_leftovers();
