#pragma once
// Wildcard matching of names (lists of file names, SQL-style patterns of name lists).

#include <string_view>

namespace korvel {

// Default style: "*" matches any run of characters. SQL style: "%" matches any run and "_"
// exactly one character. `escape` (0 for none) placed before a wildcard makes it an ordinary
// character. Other characters compare without regard to ASCII letter case.
bool MatchString(std::string_view text, std::string_view pattern, bool sqlStyle = false,
                 char escape = 0);

}  // namespace korvel
