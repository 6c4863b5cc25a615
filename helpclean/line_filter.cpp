#include "line_filter.h"

namespace korvel::helpclean {

TFilterResult RemoveLine(std::string_view text, std::string_view line) {
  TFilterResult result;
  result.Text.reserve(text.size());
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    std::size_t next;  // first byte after the line break
    if (end == std::string_view::npos) {
      end = next = text.size();
    } else if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') {
      next = end + 2;
    } else {
      next = end + 1;
    }
    if (text.substr(start, end - start) == line) {
      ++result.Removed;
    } else {
      result.Text.append(text.substr(start, next - start));
    }
    start = next;
  }
  return result;
}

}  // namespace korvel::helpclean
