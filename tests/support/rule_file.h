// Rule files for tests: the container the rule server delivers, made from JSON text.
#pragma once

#include <cstdint>
#include <string>

namespace kivtest {

// The container bytes (40-byte header with Len = body length and Ran = ran, scrambled body).
// Write them to sandbox path "tmp/kivjson.json" and set kiv_is_JSON_updated to 1 to install.
std::string pack_rules(const std::string& json, uint32_t ran = 12345);

// One rule for model KV-1000 as a JSON object: {"model":"KV-1000",<fields>}. fields is the rest
// of the object's members, already JSON text.
std::string kv1000_rule(const std::string& fields);

}  // namespace kivtest
