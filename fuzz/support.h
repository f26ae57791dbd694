// Shared set-up of the fuzz targets: a private runtime root, files below it, the router's
// identity in the settings store, and the rule-set globals put back between inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivfuzz {

// The runtime root ($KIV_ROOT when the runner gives one, else a fresh directory in $TMPDIR)
// with tmp/ var/run/ dev/ jffs/ proc/, a test clock, a console file and pauses scaled to
// almost nothing. Records of the daemon's log are discarded unless keep_log is true.
const std::string& setup(bool keep_log = false);

std::string path(const std::string& rel);
std::string read(const std::string& rel);  // "" when missing
void write(const std::string& rel, const std::string& content);
bool exists(const std::string& rel);
void remove(const std::string& rel);

// productid KV-1000, odmpid KVO-1, firmver 3.0, buildno 102, extendno 5 (device_fwver
// "3.0.102_5"), label_mac AA:BB:CC:00:11:22: rules the dictionary spells out become active.
void set_identity();

// Releases the installed rule set and resets global_pause and healing_index.
void reset_rule_set();

// Stops the process with a message when an invariant does not hold: the fuzzer reports it.
[[noreturn]] void fail(const char* what);
inline void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

}  // namespace kivfuzz
