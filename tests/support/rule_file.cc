#include "support/rule_file.h"

#include "update/decrypt_file.h"

namespace kivtest {

std::string pack_rules(const std::string& json, uint32_t ran) {
  return make_container(json, ran);
}

std::string kv1000_rule(const std::string& fields) {
  return "{\"model\":\"KV-1000\"," + fields + "}";
}

}  // namespace kivtest
