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
  // Flips the bits `mask` of the byte at `offset` of `file`.
  static void Flip(const fs::path& file, std::streamoff offset, unsigned char mask) {
    std::fstream io(file, std::ios::in | std::ios::out | std::ios::binary);
    io.seekg(offset);
    const auto byte = static_cast<char>(io.get() ^ mask);
    io.seekp(offset);
    io.put(byte);
  }

  TempFolder temp_{"glomora_failed"};
  const fs::path folder_ = temp_.Path();
};

}  // namespace

// The cache of frames 1 to 6, frames 2 to 6 then damaged one way each: each
// played back alone fails naming its file and the damage, in one process and
// in worker processes.
TEST_F(FailedFrames, DamagedCacheFilesFailTheirFrames) {
  Write("cached.json", R"({"name": "g", "frames": [1, 6],
    "parameters": {"Space": 0, "Mode": 2, "Cache_filename": "cache/g", "Viscosity": 1,
                   "Resolution_X": 16, "Resolution_Y": 16, "Resolution_Z": 16},
    "sources": [{"type": "sphere", "radius": 0.8}]})");
  fs::create_directories(folder_ / "cache");
  ASSERT_EQ(Run({"run", "cached.json", "--output", "sim/g.#.obj"}).status, 0);
  auto cache = [&](int frame) { return folder_ / "cache" / ("g." + std::to_string(frame) + ".grd"); };
  uint32_t vertices = 0;
  std::ifstream(cache(6), std::ios::binary).seekg(16).read(reinterpret_cast<char*>(&vertices), 4);
  ASSERT_GT(vertices, 0u);
  fs::remove(cache(2));
  fs::resize_file(cache(3), 20);
  Flip(cache(4), 2, 0x04);                        // the signature
  Flip(cache(5), 19, 0x01);                       // 2^24 vertices more than the file holds
  Flip(cache(6), 32 + 12 * vertices + 7, 0x40);   // a vertex index of the first triangle, + 2^30
  const struct {
    int frame;
    const char* problem;
  } cases[] = {{2, "the cache file is missing"},
               {3, "the cache file is too short (20 bytes"},
               {4, "not a cache file (its first 16 bytes are not the cache file signature)"},
               {5, "the cache file's counts go beyond the file"},
               {6, "entry 1 of the cache file's polygon description is vertex 10737418"}};
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
    EXPECT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]["frame"], c.frame);
    EXPECT_EQ(frames[0]["failed"], "failed");
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

// Dense lattices of more points than an int32 holds, under a budget that
// lets the plug-in try: it logs " -> not enough memory." and gives up on the
// frame.
TEST_F(FailedFrames, AFrameWithoutMemoryFails) {
  Write("big.json", R"({"name": "big", "frames": [1, 2],
    "parameters": {"Space": 0, "Resolution_X": 2000, "Resolution_Y": 2000, "Resolution_Z": 2000},
    "sources": [{"type": "sphere"}]})");
  const ToolOutcome outcome = Run({"run", "big.json", "--lattice", "dense", "--max-memory", "1T", "--output", "out/b.#.obj"});
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  EXPECT_NE(outcome.err.find("glomora: error: frame 1: not enough memory (the plug-in's log: \"big.polymsh."
                             "GlomoraGeometry.Glomora Voxel grid 1 -> not enough memory.\"): nothing is written"),
            std::string::npos)
      << outcome.err;
  EXPECT_FALSE(fs::exists(folder_ / "out/b.1.obj"));
  const nlohmann::json frames = Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0]["frame"], 1);
  EXPECT_EQ(frames[0]["failed"], "out_of_memory");
}

// A growing sphere whose third frame's tiles (bounded before its step: 249 MiB at one thread) do not
// fit in 150 MiB: refused, naming the need and the limit; the frames before it written.
TEST_F(FailedFrames, AFrameWhoseTilesDoNotFitIsRefused) {
  Write("grow.json", R"({"name": "grow", "frames": [1, 3],
    "parameters": {"Space": 0, "Blending_model": 1, "Viscosity": 2, "Size_X": 10, "Size_Y": 10, "Size_Z": 10,
                   "Resolution_X": 400, "Resolution_Y": 400, "Resolution_Z": 400},
    "sources": [{"type": "sphere", "radius": {"keys": [[1, 0.5], [3, 2]]}}]})");
  const ToolOutcome held = Run({"run", "grow.json", "--threads", "1", "--max-memory", "150M", "--output", "g.#.obj"});
  EXPECT_TRUE(held.status == 2 && held.err.find("Glomora Voxel grid 1 -> not enough memory.\n") != std::string::npos);
  const size_t at = held.err.find("glomora: error: grow.json: frame 3: Resolution 400 x 400 x 400 needs ");
  ASSERT_NE(at, std::string::npos) << held.err;
  EXPECT_NE(held.err.find(" tiles), above the memory limit of 150 MiB (--max-memory)", at), std::string::npos);
  EXPECT_TRUE(fs::exists(folder_ / "g.2.obj") && !fs::exists(folder_ / "g.3.obj"));
}
