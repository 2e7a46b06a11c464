#pragma once
// The console's --list-names: the identifier names a --get or --set takes, for
// discovery and for shell completion.

#include <string>

// One line per name matching pattern: "NAME<TAB>variable|flag|setting". An empty
// pattern matches every name; with '*' or '?' it is a wildcard pattern, otherwise a
// part of the name; case is ignored.
std::string ListIdentifierNames(const std::string& pattern);
