// The rule file reader: a newly installed rule file becomes the live rule set.
#pragma once

#include <optional>
#include <string>

struct router_identity {
  std::optional<std::string> productid;
  std::optional<std::string> odmpid;
  std::string device_fwver;  // "%s.%s_%s" of firmver, buildno, extendno
  std::string label_mac;     // unset reads as empty
};

// "%s.%s_%s" with firmver, buildno and extendno from the settings store, at most 63 characters.
std::string device_fwver();
// The identity the filters compare with, from the settings store.
router_identity router_identity_from_settings();

// Loads the file at `path` when kiv_is_JSON_updated is 1 (the daemon's entry point).
void read_json(const char* path);
