// The literal prefilter: byte strings that every match of a rule's pattern contains. A log line
// that lacks one of them cannot match, and is told so without the expression engine; nearly
// every line of a router's log is such a line for nearly every rule.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Byte strings that every text matched by the extended expression `pattern` contains, as
// regcomp(REG_EXTENDED) and regexec compile and match it (case-sensitive, no REG_NEWLINE);
// longest first, at most four. Conservative: a part of the pattern that is not plainly a run of
// literal characters (a bracket expression, an escape other than of a special character, an
// optional or repeated part, an alternation) gives nothing, and a pattern not understood
// gives none at all.
std::vector<std::string> required_literals(const char* pattern);

// False when the text lacks one of the literals: the pattern then cannot match it.
bool may_match(const std::vector<std::string>& literals, std::string_view text);
