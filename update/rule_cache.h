// The last good rule set, kept on the flash (kiv_rule_cache 1): a router that reboots with its
// WAN down has rules from its first second instead of none until the next download. This module
// only stores and loads the bytes; the install step (update/install_rules) judges and reads them.
//
// File: /jffs/kiv/kivjson.cache, the rule container exactly as the server sent it (header,
// scrambled body and, when signed, its trailer), the one whose rules were last swapped in. A
// cache that cannot be loaded is renamed kivjson.cache.bad.
#pragma once

#include <string>
#include <string_view>

// Whether the cache is kept (kiv_rule_cache 1).
bool rule_cache_on();
// After a downloaded set was swapped in: with kiv_rule_cache 1, keeps the container's bytes
// unless the cache holds the same bytes already.
void keep_rule_container(std::string_view file);
// The cached container's bytes; false when there is none, or (*unreadable) when it is there but
// cannot be read.
bool read_rule_cache(std::string* file, bool* unreadable);
// A cache that did not load would fail again at every start: it is kept for inspection only.
void set_aside_rule_cache();
// The cache as the records name it (the root is not shown, as for every fixed path).
std::string rule_cache_path();
