#include "support/match_string.h"

namespace korvel {

namespace {

unsigned char Fold(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') ? u - 32 : u;
}

struct TMatcher {
  std::string_view Text;
  std::string_view Pattern;
  bool SqlStyle;
  char Escape;

  bool IsAnyRun(char c) const { return SqlStyle ? c == '%' : c == '*'; }
  bool IsAnyOne(char c) const { return SqlStyle && c == '_'; }

  // Matches Text[t..] against Pattern[p..]. An any-run wildcard first tries the rest of the
  // pattern at the current position, then consumes one more text character; the iterative
  // form keeps only the latest wildcard, which is enough because a later one subsumes it.
  bool Match(std::size_t t, std::size_t p) const {
    std::size_t starPattern = std::string_view::npos;
    std::size_t starText = 0;
    while (true) {
      if (p < Pattern.size()) {
        char c = Pattern[p];
        bool escaped = Escape != 0 && c == Escape && p + 1 < Pattern.size() &&
                       (IsAnyRun(Pattern[p + 1]) || IsAnyOne(Pattern[p + 1]) || Pattern[p + 1] == Escape);
        if (!escaped && IsAnyRun(c)) {
          starPattern = ++p;
          starText = t;
          continue;
        }
        if (t < Text.size()) {
          if (!escaped && IsAnyOne(c)) {
            ++t;
            ++p;
            continue;
          }
          char literal = escaped ? Pattern[p + 1] : c;
          if (Fold(literal) == Fold(Text[t])) {
            ++t;
            p += escaped ? 2 : 1;
            continue;
          }
        }
      } else if (t == Text.size()) {
        return true;
      }
      // Mismatch: let the latest any-run wildcard swallow one more character.
      if (starPattern == std::string_view::npos || starText >= Text.size()) return false;
      t = ++starText;
      p = starPattern;
    }
  }
};

}  // namespace

bool MatchString(std::string_view text, std::string_view pattern, bool sqlStyle, char escape) {
  if (pattern.size() == 1 && (sqlStyle ? pattern[0] == '%' : pattern[0] == '*')) return true;
  return TMatcher{text, pattern, sqlStyle, escape}.Match(0, 0);
}

}  // namespace korvel
