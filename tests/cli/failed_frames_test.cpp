// Frames that cannot be made as the scene asks fail the run, named, with
// nothing under their final names and their --stats entries marked, whatever
// --allow-empty says: cache files played back that are missing or damaged,
// and frames the plug-in had no memory for.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/temp_folder.h"
#include "support/tool_process.h"

namespace {

namespace fs = std::filesystem;

class FailedFrames : public ::testing::Test {
 protected:
  ToolOutcome Run(std::vector<std::string> args) {
    for (const char* more : {"--allow-empty", "--stats", "stats.json", "--quiet"}) args.push_back(more);
    return ToolProcess(GLOMORA_CLI_PATH, folder_, args).Wait();
  }
  void Write(const std::string& name, const std::string& text) { std::ofstream(folder_ / name) << text; }
  // The --stats entries of the run's frames.
  nlohmann::json Frames() {
    return nlohmann::json::parse(ReadTextFile(folder_ / "stats.json"))["runs"][0]["frames"];
  }
  // Overwrites the 4 bytes at `offset` of `file` with `value`, little-endian.
  void Poke(const fs::path& file, std::streamoff offset, uint32_t value) {
    std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(offset);
    for (int b = 0; b < 4; ++b) out.put(static_cast<char>(value >> (8 * b)));
  }
  uint32_t Peek(const fs::path& file, std::streamoff offset) {
    std::ifstream in(file, std::ios::binary);
    in.seekg(offset);
    uint32_t value = 0;
    for (int b = 0; b < 4; ++b) value |= static_cast<uint32_t>(static_cast<unsigned char>(in.get())) << (8 * b);
    return value;
  }

  TempFolder temp_{"glomora_failed"};
  const fs::path folder_ = temp_.Path();
};

}  // namespace

// The cache of frames 1 to 6, then frame 1 intact and each other damaged
// one way: each played back alone fails naming its file and the damage,
// in one process and in worker processes.
TEST_F(FailedFrames, DamagedCacheFilesFailTheirFrames) {
  Write("cached.json", R"({"name": "g", "frames": [1, 6],
    "parameters": {"Space": 0, "Mode": 2, "Cache_filename": "cache/g", "Viscosity": 1,
                   "Resolution_X": 16, "Resolution_Y": 16, "Resolution_Z": 16},
    "sources": [{"type": "sphere", "radius": 0.8}]})");
  fs::create_directories(folder_ / "cache");
  ASSERT_EQ(Run({"run", "cached.json", "--output", "sim/g.#.obj"}).status, 0);
  auto cache = [&](int frame) { return folder_ / "cache" / ("g." + std::to_string(frame) + ".grd"); };
  const uint32_t vertices = Peek(cache(6), 16);
  ASSERT_GT(vertices, 0u);
  fs::remove(cache(2));
  fs::resize_file(cache(3), 20);
  Poke(cache(4), 0, Peek(cache(4), 0) ^ 0x00040000u);        // a bit of the signature
  Poke(cache(5), 16, Peek(cache(5), 16) + 1);                // one vertex more than the file holds
  Poke(cache(6), 32 + 12 * vertices + 4, 1u << 30);          // a vertex index of the first triangle

  const struct {
    int frame;
    const char* problem;
  } cases[] = {{2, "the cache file is missing"},
               {3, "the cache file is too short (20 bytes"},
               {4, "not a cache file (its first 16 bytes are not the cache file signature)"},
               {5, "the cache file's counts go beyond the file"},
               {6, "entry 1 of the cache file's polygon description is vertex 1073741824"}};
  const ToolOutcome intact = Run({"run", "cached.json", "--set", "Mode=3", "--frames", "1", "--output", "play/g.#.obj"});
  ASSERT_EQ(intact.status, 0) << intact.err;
  EXPECT_EQ(ReadTextFile(folder_ / "play/g.1.obj"), ReadTextFile(folder_ / "sim/g.1.obj"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frame);
    const std::string frame = std::to_string(c.frame);
    const ToolOutcome played =
        Run({"run", "cached.json", "--set", "Mode=3", "--frames", frame, "--output", "play/g.#.obj"});
    EXPECT_EQ(played.status, 1) << played.err;
    EXPECT_NE(played.err.find("glomora: error: frame " + frame + ": " + cache(c.frame).string() + ": " + c.problem),
              std::string::npos)
        << played.err;
    EXPECT_FALSE(fs::exists(folder_ / "play" / ("g." + frame + ".obj")));
    const nlohmann::json frames = Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]["frame"], c.frame);
    EXPECT_EQ(frames[0]["failed"], "failed");
    EXPECT_NE(frames[0]["error"].get<std::string>().find(c.problem), std::string::npos);
  }

  // Worker processes: the failed frame is named, marked, and not written.
  const ToolOutcome workers =
      Run({"run", "cached.json", "--set", "Mode=3", "--jobs", "2", "--output", "jobs/g.#.obj"});
  EXPECT_EQ(workers.status, 1) << workers.err;
  EXPECT_NE(workers.err.find("error: frame 2: " + cache(2).string() + ": the cache file is missing"),
            std::string::npos)
      << workers.err;
  EXPECT_FALSE(fs::exists(folder_ / "jobs/g.2.obj"));
  bool marked = false;
  for (const auto& entry : Frames()) marked = marked || (entry["frame"] == 2 && entry["failed"] == "failed");
  EXPECT_TRUE(marked) << Frames().dump();
}

// Lattices of more points than an int32 holds, under a budget that lets the
// plug-in try: it logs " -> not enough memory." and gives up on the frame.
TEST_F(FailedFrames, AFrameWithoutMemoryFails) {
  Write("big.json", R"({"name": "big", "frames": [1, 2],
    "parameters": {"Space": 0, "Resolution_X": 2000, "Resolution_Y": 2000, "Resolution_Z": 2000},
    "sources": [{"type": "sphere"}]})");
  const ToolOutcome outcome = Run({"run", "big.json", "--max-memory", "1T", "--output", "out/b.#.obj"});
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  EXPECT_NE(outcome.err.find("glomora: error: frame 1: not enough memory (the plug-in's log: \""), std::string::npos)
      << outcome.err;
  EXPECT_NE(outcome.err.find(" -> not enough memory.\"): nothing is written for the frame"), std::string::npos)
      << outcome.err;
  EXPECT_FALSE(fs::exists(folder_ / "out/b.1.obj"));
  const nlohmann::json frames = Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0]["frame"], 1);
  EXPECT_EQ(frames[0]["failed"], "out_of_memory");
}
