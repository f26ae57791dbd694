// A router in a sandbox root, for tests that run the real daemon against the loopback rule
// server: its settings, rule sets installed through the real download, the test clock, and
// readings of the daemon's log.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/rule_server.h"
#include "support/sandbox.h"

namespace kivtest {

// A KV-1000 whose services start, online with a synchronised clock but making no rule check by
// itself (link_internet 1), with `server` as its rule server (KIV_CA_BUNDLE names its CA in
// this process, which the daemon inherits) and an empty system log.
void router_settings(const sandbox& box, const rule_server& server);

// Installs the JSON text through one forced check: the server answers with its container, the
// quick period and link_internet 2 start the check, link_internet 1 ends it. True once the
// reader has logged "New arraylen=" loads_before + 1 times.
bool install_rules(const sandbox& box, const rule_server& server, const std::string& json,
                   int loads_before, double timeout_s);

// The follower reads from the end of the system log: appends the lines head-0, head-1, ... (one
// each `each_s` seconds) until one of them is walked, so that lines appended afterwards are
// followed from the first. False when none is walked within `timeout_s`.
bool append_until_walked(const sandbox& box, const std::string& head, double timeout_s,
                         double each_s);

// The test clock: proc/uptime reads `uptime` seconds.
void set_uptime(const sandbox& box, double uptime);

// Positions of the parts in text increase in the order given.
bool in_order(const std::string& text, const std::vector<std::string>& parts);

// How often each line text was walked: its "pBuf=[...]" records in the rotated and live log.
std::map<std::string, int> walked_lines(const sandbox& box);

}  // namespace kivtest
