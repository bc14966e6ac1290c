#include "frame_pattern.h"

#include <gtest/gtest.h>

namespace {

struct Expansion {
  const char* pattern;
  int64_t frame;
  const char* expected;
};

TEST(FramePattern, ExpandsPlaceholdersWithPrintfPadding) {
  const Expansion cases[] = {
      {"blob.####.obj", 7, "blob.0007.obj"},
      {"blob.####.obj", 12345, "blob.12345.obj"},
      {"blob.####.obj", -3, "blob.-003.obj"},
      {"blob.#.obj", 42, "blob.42.obj"},
      {"blob.%04d.ply", 7, "blob.0007.ply"},
      {"blob.%d.ply", -12, "blob.-12.ply"},
      {"blob.%02d.ply", 0, "blob.00.ply"},
      {"100%%_##.obj", 5, "100%_05.obj"},
      {"out/##/m_###.obj", 9, "out/09/m_009.obj"},
  };
  for (const Expansion& c : cases) {
    SCOPED_TRACE(c.pattern);
    std::string error;
    const auto pattern = FramePattern::Parse(c.pattern, error);
    ASSERT_TRUE(pattern.has_value()) << error;
    EXPECT_TRUE(pattern->HasFrame());
    EXPECT_EQ(pattern->Expand(c.frame), c.expected);
  }
}

TEST(FramePattern, TextWithoutPlaceholderStaysAsItIs) {
  std::string error;
  const auto pattern = FramePattern::Parse("mesh.obj", error);
  ASSERT_TRUE(pattern.has_value());
  EXPECT_FALSE(pattern->HasFrame());
  EXPECT_EQ(pattern->Expand(3), "mesh.obj");
}

TEST(FramePattern, RefusesOtherPercentSequences) {
  for (const char* text : {"a%s.obj", "a%", "a%0d.obj", "a%010d.obj", "a%4d.obj"}) {
    SCOPED_TRACE(text);
    std::string error;
    EXPECT_FALSE(FramePattern::Parse(text, error).has_value());
    EXPECT_FALSE(error.empty());
  }
}

TEST(FramePattern, ExtremeFramesKeepTheirSign) {
  std::string error;
  const auto pattern = FramePattern::Parse("%d", error);
  ASSERT_TRUE(pattern.has_value());
  EXPECT_EQ(pattern->Expand(INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(pattern->Expand(INT64_MAX), "9223372036854775807");
}

}  // namespace
