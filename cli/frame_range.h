#pragma once
// The --frames option's text: "A-B" or "N".

#include <cstdint>
#include <string>

// "A-B" or "N": integers of at most nine digits (either may be negative),
// spaces allowed around them and the dash. False for any other text, or
// when A comes after B.
bool ParseFrameRange(const std::string& text, int64_t& first, int64_t& last);
