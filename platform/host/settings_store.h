// The host settings store: the file $KIV_ROOT/var/nvram.txt, one KEY=VALUE line per key,
// sorted by key. Writers take an exclusive lock on $KIV_ROOT/var/nvram.lock, write a new file
// and rename it over the store, so readers never see a torn store and concurrent writers never
// lose each other's keys. Readers keep the parsed store and parse again only when the file at
// the path has changed (one stat per read otherwise).
#pragma once

inline constexpr const char* KIV_NVRAM_PATH = "/var/nvram.txt";
inline constexpr const char* KIV_NVRAM_LOCK_PATH = "/var/nvram.lock";

// Forgets the cached store (after KIV_ROOT changed).
void settings_store_reset();
