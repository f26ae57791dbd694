// The install step of a rule update: a downloaded (or cached) rule file becomes the live set.
#pragma once

#include <cstddef>

// Builds the set from JSON text restored from a container and puts it in place of the live
// one (Global_Pause taken with it). RULES_OK once the new set is live; on failure the set in
// force stays and nothing else changes.
int install_rule_text(const char* text);

// Loads the file at `path` when kiv_is_JSON_updated is 1 (the daemon's entry point).
void read_json(const char* path);
// At start-up, before the threads: with kiv_rule_cache 1 and a cache, loads it as read_json
// loads a file. A cache that fails is set aside and the daemon goes on without rules; one refused
// only because the key cannot be used stays where it is, for the next start.
void load_rule_cache();
