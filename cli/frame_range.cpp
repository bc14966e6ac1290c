#include "frame_range.h"

#include <cctype>

#include "progress_display.h"

bool ParseFrameRange(const std::string& text, int64_t& first, int64_t& last) {
  size_t at = 0;
  auto skipSpaces = [&] {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  };
  auto number = [&](int64_t& value) {
    const bool negative = at < text.size() && text[at] == '-';
    if (negative) ++at;
    const size_t start = at;
    value = 0;
    while (at < text.size() && at - start < 10 && std::isdigit(static_cast<unsigned char>(text[at]))) {
      value = value * 10 + (text[at] - '0');
      ++at;
    }
    if (at == start || at - start > 9) return false;
    if (negative) value = -value;
    return true;
  };
  int64_t from = 0;
  int64_t to = 0;
  skipSpaces();
  if (!number(from)) return false;
  skipSpaces();
  to = from;
  if (at < text.size() && text[at] == '-') {
    ++at;
    skipSpaces();
    if (!number(to)) return false;
    skipSpaces();
  }
  if (at != text.size() || from > to) return false;
  first = from;
  last = to;
  return true;
}

bool ParseFramesOption(const std::string& text, std::optional<int64_t>& first, std::optional<int64_t>& last) {
  if (text.empty()) return true;
  int64_t a = 0;
  int64_t b = 0;
  if (!ParseFrameRange(text, a, b)) {
    PrintError("--frames " + text + ": expected A-B (A <= B) or N");
    return false;
  }
  first = a;
  last = b;
  return true;
}
