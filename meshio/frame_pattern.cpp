#include "frame_pattern.h"

#include <charconv>

std::optional<FramePattern> FramePattern::Parse(const std::string& text, std::string& error) {
  FramePattern pattern;
  pattern.text_ = text;
  std::string literal;
  auto flushLiteral = [&] {
    if (!literal.empty()) pattern.pieces_.push_back(Piece{literal, 0});
    literal.clear();
  };
  auto addNumber = [&](int width) {
    flushLiteral();
    pattern.pieces_.push_back(Piece{std::string(), width});
    pattern.hasFrame_ = true;
  };
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '#') {
      size_t end = i;
      while (end < text.size() && text[end] == '#') ++end;
      if (end - i > 32) {
        error = "a run of more than 32 '#'";
        return std::nullopt;
      }
      addNumber(static_cast<int>(end - i));
      i = end;
    } else if (c == '%') {
      if (i + 1 < text.size() && text[i + 1] == '%') {
        literal += '%';
        i += 2;
      } else if (i + 1 < text.size() && text[i + 1] == 'd') {
        addNumber(1);
        i += 2;
      } else if (i + 3 < text.size() && text[i + 1] == '0' && text[i + 2] >= '1' && text[i + 2] <= '9' &&
                 text[i + 3] == 'd') {
        addNumber(text[i + 2] - '0');
        i += 4;
      } else {
        error = "'%' must start %d, %0Nd (N from 1 to 9) or %%";
        return std::nullopt;
      }
    } else {
      literal += c;
      ++i;
    }
  }
  flushLiteral();
  return pattern;
}

std::string FramePattern::Expand(int64_t frame) const {
  std::string out;
  for (const Piece& piece : pieces_) {
    if (piece.width == 0) {
      out += piece.literal;
      continue;
    }
    char digits[24];
    const uint64_t magnitude = frame < 0 ? 0 - static_cast<uint64_t>(frame) : static_cast<uint64_t>(frame);
    const auto result = std::to_chars(digits, digits + sizeof digits, magnitude);
    const size_t digitCount = static_cast<size_t>(result.ptr - digits);
    const size_t signWidth = frame < 0 ? 1 : 0;
    if (frame < 0) out += '-';
    for (size_t n = digitCount + signWidth; n < static_cast<size_t>(piece.width); ++n) out += '0';
    out.append(digits, digitCount);
  }
  return out;
}
