#pragma once
// The --frames option's text: "A-B" or "N".

#include <cstdint>
#include <optional>
#include <string>

// "A-B" or "N": integers of at most nine digits (either may be negative),
// spaces allowed around them and the dash. False for any other text, or
// when A comes after B.
bool ParseFrameRange(const std::string& text, int64_t& first, int64_t& last);

// The --frames option of a command: nothing when `text` is empty, else its
// range in `first` and `last`; false, with the error shown, for a bad text.
bool ParseFramesOption(const std::string& text, std::optional<int64_t>& first, std::optional<int64_t>& last);
