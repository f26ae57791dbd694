// The last good rule set, kept on the flash (kiv_rule_cache 1): a router that reboots with its
// WAN down has rules from its first second instead of none until the next download.
//
// File: /jffs/kiv/kivjson.cache, the rule container exactly as the server sent it (header and
// scrambled body), the one whose rules were last swapped in. A cache that cannot be loaded is
// renamed kivjson.cache.bad.
#pragma once

#include <cstddef>

// After a downloaded set was swapped in: with kiv_rule_cache 1, keeps its container (the
// reader's restored buffer of len bytes, scrambled back in place) unless the cache holds the
// same bytes already.
void keep_rule_container(char* restored, size_t len);
// At start-up, before the threads: with kiv_rule_cache 1 and a cache, loads it through the
// reader (descrambler, filters, compile, swap). A cache that fails is set aside and the daemon
// goes on without rules.
void load_rule_cache();
