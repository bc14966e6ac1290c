#include "cache_failures.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kOperator = "g.polymsh.GlomoraGeometry.Glomora";

std::string FailedWrite(const std::string& file) { return kOperator + " -> " + file + " -> error."; }

TEST(CacheWriteFailures, NamesThePatternAndTheMissingFramesAsRanges) {
  struct Case {
    std::vector<int> frames;  // in the order the plug-in reports them
    const char* listed;
  };
  const Case cases[] = {
      {{7}, "the cache file of frame 7 is missing"},
      {{3, 1, 2, 2, 9, -3, -2}, "the cache files of frames -3 to -2, 1 to 3, 9 are missing"},
  };
  for (const Case& c : cases) {
    CacheWriteFailures failures;
    for (int frame : c.frames) EXPECT_TRUE(failures.Note(FailedWrite("/sim/a.b/blob." + std::to_string(frame) + ".grd")));
    SCOPED_TRACE(failures.Message());
    EXPECT_EQ(failures.Message().rfind(std::string("/sim/a.b/blob.%d.grd: ") + c.listed, 0), 0u);
  }
  // Every other frame missing: the first twenty runs are listed, then a count.
  CacheWriteFailures many;
  for (int frame = 0; frame < 100; frame += 2) many.Note(FailedWrite("/c/blob." + std::to_string(frame) + ".grd"));
  EXPECT_NE(many.Message().find(", 36, 38, and 30 more are missing"), std::string::npos) << many.Message();
}

TEST(CacheWriteFailures, OtherLinesAreNotCacheFailures) {
  CacheWriteFailures failures;
  for (const std::string& line : {kOperator + " -> OutParameter -> error.", kOperator + " -> error.",
                                  std::string("- polygonizer -> 3 msec."), kOperator + " -> .grd -> error."}) {
    SCOPED_TRACE(line);
    EXPECT_FALSE(failures.Note(line));
  }
  EXPECT_TRUE(failures.Empty());
}

}  // namespace
