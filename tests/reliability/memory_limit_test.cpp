// The command-line tool's memory budget: sizes, the lattice need of a scene,
// and the tool refusing a scene (or failing cleanly) under --max-memory.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "process_memory.h"
#include "scene_plan.h"
#include "scene_file.h"
#include "support/temp_folder.h"
#include "support/tool_process.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(MemorySize, ParsesSuffixesInPowersOf1024) {
  const struct {
    const char* text;
    uint64_t bytes;
  } cases[] = {{"1048576", 1048576},         {"512K", 512ull << 10},   {"512k", 512ull << 10},
               {"300M", 300ull << 20},        {"300MB", 300ull << 20},  {"300MiB", 300ull << 20},
               {"2G", 2ull << 30},            {"1.5G", 3ull << 29},     {"1T", 1ull << 40},
               {"1B", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t bytes = 0;
    ASSERT_TRUE(ParseMemorySize(c.text, bytes));
    EXPECT_EQ(bytes, c.bytes);
  }
}

TEST(MemorySize, RefusesWhatIsNotASize) {
  for (const char* text : {"", "G", "-1G", "0", "0.1", "1X", "1GG", "nan", "inf", "1e30T", "iB", "1 G", "M1"}) {
    SCOPED_TRACE(text);
    uint64_t bytes = 7;
    EXPECT_FALSE(ParseMemorySize(text, bytes));
  }
}

TEST(MemorySize, FormatsInBinaryUnits) {
  EXPECT_EQ(FormatMemorySize(17), "17 bytes");
  EXPECT_EQ(FormatMemorySize(1536), "1.50 KiB");
  EXPECT_EQ(FormatMemorySize(300ull << 20), "300 MiB");
  EXPECT_EQ(FormatMemorySize(3ull << 29), "1.50 GiB");
}

// Four lattices of (res + 1)^3 points, 4 + 4 + 12 + 12 bytes a point.
TEST(LatticeNeed, ThirtyTwoBytesPerLatticePoint) {
  EXPECT_EQ(LatticeBytes(1, 1, 1), 32u * 8u);
  EXPECT_EQ(LatticeBytes(63, 63, 63), 32ull * 64 * 64 * 64);
  EXPECT_EQ(LatticeBytes(0, 10, 10), 0u);
  EXPECT_EQ(LatticeBytes(-5, 10, 10), 0u);
  EXPECT_EQ(LatticeBytes(INT32_MAX, INT32_MAX, INT32_MAX), UINT64_MAX);
}

TEST(LatticeNeed, LargestOverTheFramesOfSpaceZero) {
  SceneDescription scene;
  std::string error;
  ASSERT_TRUE(ParseScene(R"({"parameters": {"Space": 0, "Resolution_X": {"keys": [[1, 10], [11, 110]]},
                              "Resolution_Y": 9, "Resolution_Z": 9}})",
                         fs::current_path(), scene, error))
      << error;
  const LatticeNeed need = LargestLatticeNeed(scene, 1, 6);  // X reaches 60 at frame 6
  EXPECT_EQ(need.frame, 6);
  EXPECT_EQ(need.resolution[0], 60);
  EXPECT_EQ(need.bytes, 32ull * 61 * 10 * 10);

  // Space 1 makes no lattice at all.
  ASSERT_TRUE(ApplyParameterOverride("Space=1", fs::current_path(), scene, error)) << error;
  EXPECT_EQ(LargestLatticeNeed(scene, 1, 6).bytes, 0u);
}

namespace {

class ToolMemory : public ::testing::Test {
 protected:
  void Write(const std::string& file, const std::string& text) { std::ofstream(folder_ / file) << text; }

  TempFolder temp_{"glomora_memory"};
  const fs::path folder_ = temp_.Path();
};

}  // namespace

// 400 x 400 x 400 cells: 401^3 points of 32 bytes, 1.92 GiB dense; tiled
// (the default for a lattice that large) the run fits.
TEST_F(ToolMemory, RefusesALatticeBeyondTheLimitAndSaysWhatItNeeds) {
  Write("big.json", R"({"parameters": {"Space": 0, "Resolution_X": 400, "Resolution_Y": 400, "Resolution_Z": 400},
                        "sources": [{"type": "sphere"}]})");
  {
    ToolProcess tiled(GLOMORA_CLI_PATH, folder_, {"run", "big.json", "--max-memory", "1G", "-o", "tiled/b.####.obj"});
    const ToolOutcome outcome = tiled.Wait(60s);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(fs::exists(folder_ / "tiled" / "b.0001.obj"));
  }
  ToolProcess tool(GLOMORA_CLI_PATH, folder_, {"run", "big.json", "--max-memory", "1G", "--lattice", "dense"});
  const ToolOutcome outcome = tool.Wait(60s);
  EXPECT_EQ(outcome.status, 2) << outcome.err;
  EXPECT_NE(outcome.err.find("Resolution 400 x 400 x 400 needs 1.92 GiB for the voxel lattices, above the memory "
                             "limit of 1.00 GiB (--max-memory)"),
            std::string::npos)
      << outcome.err;
  EXPECT_FALSE(fs::exists(folder_ / "glomora-out"));
}

TEST_F(ToolMemory, RefusesAMalformedLimit) {
  Write("s.json", R"({"sources": [{"type": "sphere"}]})");
  ToolProcess tool(GLOMORA_CLI_PATH, folder_, {"run", "s.json", "--max-memory", "lots"});
  const ToolOutcome outcome = tool.Wait(60s);
  EXPECT_EQ(outcome.status, 2);
  EXPECT_NE(outcome.err.find("--max-memory lots: expected a size"), std::string::npos) << outcome.err;
}

// Point elements stretched without bound along X make Space 1 track a surface
// up to its cube ceiling, some 2 GB of tables and arrays: under a 300 MiB
// limit the plug-in's allocations fail, it says so, and the tool exits with a
// failure (every frame empty) instead of crashing. Sanitizer builds do not
// limit the process (see LimitProcessMemory).
TEST_F(ToolMemory, PluginAllocationsPastTheLimitFailCleanly) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the memory limit is not applied in a sanitizer build";
#endif
  Write("endless.json", R"({"parameters": {"Space": 1, "JB_voxelsize": 0.2, "Component_X": 1e30},
                            "sources": [{"type": "cloud", "points": [[0, 0, 0], [0.15, 0, 0], [0, 0.1, 0.1], [-0.4, 0.2, 0]]}]})");
  ToolProcess tool(GLOMORA_CLI_PATH, folder_, {"run", "endless.json", "--max-memory", "300M"});
  const ToolOutcome outcome = tool.Wait(300s);
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  EXPECT_TRUE(outcome.err.find("(polygonizer) -> not enough memory.") != std::string::npos ||
              outcome.err.find("glomora: error: out of memory") != std::string::npos)
      << outcome.err;
}
