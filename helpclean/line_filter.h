#pragma once
// Removal of one line from the text of a help configuration file.
//
// A line ends at LF, CR LF or a lone CR, or at the end of the text. A line is removed when its
// bytes before the line break equal the given line exactly (letter case counts); it goes with
// its line break. Every other line is kept byte for byte, with the line break it had, so a file
// without the line comes out identical and a last line without a break stays without one.

#include <cstddef>
#include <string>
#include <string_view>

namespace korvel::helpclean {

struct TFilterResult {
  std::string Text;         // the text without the removed lines
  std::size_t Removed = 0;  // how many lines were removed (every copy goes)
};

TFilterResult RemoveLine(std::string_view text, std::string_view line);

}  // namespace korvel::helpclean
