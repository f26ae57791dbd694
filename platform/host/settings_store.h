// The host settings store: the file $KIV_ROOT/var/nvram.txt, one KEY=VALUE line per key,
// sorted by key. Writers take an exclusive lock on $KIV_ROOT/var/nvram.lock, write a new file
// and rename it over the store, so readers never see a torn store and concurrent writers never
// lose each other's keys.
//
// Readers keep the parsed store and parse again only when it has changed. Every writer also
// counts its change in the first four bytes of the lock file, which readers keep mapped: a read
// when nothing changed costs a look at that word, no system call (the daemon reads
// kiv_debug_flag at every log record). Changes made to the store file by other means are seen
// by the stat (inode, size, times) that a reader makes at least once a second, and at every
// read while no counter can be mapped.
#pragma once

inline constexpr const char* KIV_NVRAM_PATH = "/var/nvram.txt";
inline constexpr const char* KIV_NVRAM_LOCK_PATH = "/var/nvram.lock";

// nvram_set and nvram_unset that tell whether the change reached the store: 0, or the errno
// that kept it out (the nvram tool reports it; the daemon, like the router's, goes on).
int settings_store_set(const char* key, const char* value);
int settings_store_unset(const char* key);
