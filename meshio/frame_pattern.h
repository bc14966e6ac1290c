#pragma once
// FramePattern: a file name with frame-number placeholders, expanded per frame.
//
// Placeholders: a run of N '#' is the frame number zero-padded to N characters;
// "%d" is the plain frame number and "%0Nd" (N from 1 to 9) the number
// zero-padded to N characters; "%%" is one '%'. Padding follows printf: the
// width counts a minus sign, so frame -3 in "####" gives "-003". Any other use
// of '%' is an error.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class FramePattern {
 public:
  // The pattern of `text`, or nothing with a message in `error`.
  static std::optional<FramePattern> Parse(const std::string& text, std::string& error);

  std::string Expand(int64_t frame) const;
  // True when the pattern holds at least one frame placeholder.
  bool HasFrame() const { return hasFrame_; }
  const std::string& Text() const { return text_; }

 private:
  struct Piece {
    std::string literal;  // used when width is 0
    int width = 0;        // 0: literal; otherwise the minimum width of the number (1 for "%d")
  };
  std::string text_;
  std::vector<Piece> pieces_;
  bool hasFrame_ = false;
};
