// Interrupting the tool at random moments (Ctrl-C once, twice, SIGTERM,
// SIGKILL) while it writes Mode 2 cache files and mesh files: every file left
// under a final name is complete, and a clean cancel (one Ctrl-C) leaves no
// temporary file behind. Temporaries of a hard stop may remain, never under a
// final name.

#include <signal.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "atomic_file.h"
#include "obj_reader.h"
#include "ply_reader.h"
#include "support/temp_folder.h"
#include "support/tool_process.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A cache file is complete when it has the signature, non-negative counts and
// exactly the bytes they announce: 32 + 12 V + 4 L + 8 N.
::testing::AssertionResult IsCompleteCacheFile(const fs::path& file) {
  const std::string bytes = ReadTextFile(file);
  static const unsigned char kSignature[16] = {0x89, 0x47, 0x52, 0x44, 0x0D, 0x0A, 0x1A, 0x0A,
                                               '2',  '0',  '0',  '0',  '0',  '0',  '0',  '0'};
  if (bytes.size() < 32) return ::testing::AssertionFailure() << bytes.size() << " bytes, short of a header";
  if (std::memcmp(bytes.data(), kSignature, 16) != 0) return ::testing::AssertionFailure() << "no signature";
  int32_t counts[3];
  std::memcpy(counts, bytes.data() + 16, 12);  // little-endian on this machine
  if (counts[0] < 0 || counts[1] < 0 || counts[2] < 0) return ::testing::AssertionFailure() << "negative count";
  const uint64_t expected = 32 + 12 * uint64_t(counts[0]) + 4 * uint64_t(counts[1]) + 8 * uint64_t(counts[2]);
  if (bytes.size() != expected) {
    return ::testing::AssertionFailure() << bytes.size() << " bytes, the counts announce " << expected;
  }
  if (counts[0] == 0) return ::testing::AssertionFailure() << "no vertices (the scene always has a surface)";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult IsCompleteMeshFile(const fs::path& file) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadWholeFile(file.string(), bytes, error)) return ::testing::AssertionFailure() << error;
  MeshData mesh;
  const bool ok = file.extension() == ".ply" ? ReadPly(bytes, mesh, error) : ReadObj(bytes, mesh, error);
  if (!ok) return ::testing::AssertionFailure() << error;
  if (mesh.VertexCount() == 0 || mesh.PolygonCount() == 0) return ::testing::AssertionFailure() << "empty mesh";
  return ::testing::AssertionSuccess();
}

bool IsTemporaryName(const std::string& name) {
  return name.ends_with(".tmp") || name.ends_with(".partial");
}

enum class Stop { CtrlC, CtrlCTwice, Terminate, Kill };

const char* Describe(Stop stop) {
  switch (stop) {
    case Stop::CtrlC: return "Ctrl-C";
    case Stop::CtrlCTwice: return "Ctrl-C twice";
    case Stop::Terminate: return "SIGTERM";
    case Stop::Kill: return "SIGKILL";
  }
  return "";
}

class CancelSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    // Mode 2 over 40 frames: every frame steps the simulation, writes its
    // cache file and then its mesh file. A moving cloud and a sphere keep the
    // surface non-empty in every frame.
    std::ofstream(folder_ / "scene.json") << R"({"name": "drip", "frames": [1, 40],
      "parameters": {"Space": 0, "Mode": 2, "Cache_filename": "cache/drip.grd", "Viscosity": 1,
                     "Resolution_X": 40, "Resolution_Y": 40, "Resolution_Z": 40,
                     "User_normals": true, "UVspace": true},
      "sources": [{"type": "sphere", "radius": 0.8},
                  {"type": "cloud", "points": [[0, 1, 0], [0.2, 1.1, 0], [-0.1, 0.9, 0.1]],
                   "transform": {"translation": {"keys": [[1, [0, 0.5, 0]], [40, [0, -1.5, 0]]]}}}]})";
  }

  // Runs the scene, stops it after `delay` with `stop`, checks what it left.
  void RunAndStop(Stop stop, std::chrono::milliseconds delay, const std::string& output) {
    SCOPED_TRACE(std::string(Describe(stop)) + " after " + std::to_string(delay.count()) + " ms, " + output);
    fs::remove_all(folder_ / "out");
    fs::remove_all(folder_ / "cache");
    fs::create_directories(folder_ / "cache");  // the plug-in writes cache files, it makes no folder
    ToolProcess tool(GLOMORA_CLI_PATH, folder_, {"run", "scene.json", "--output", output, "--quiet"});
    const auto deadline = std::chrono::steady_clock::now() + delay;
    while (std::chrono::steady_clock::now() < deadline && tool.Running()) std::this_thread::sleep_for(1ms);
    switch (stop) {
      case Stop::CtrlC: tool.Signal(SIGINT); break;
      case Stop::CtrlCTwice:
        tool.Signal(SIGINT);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay.count() % 7));
        tool.Signal(SIGINT);
        break;
      case Stop::Terminate: tool.Signal(SIGTERM); break;
      case Stop::Kill: tool.Signal(SIGKILL); break;
    }
    const ToolOutcome outcome = tool.Wait(300s);
    ASSERT_NE(outcome.status, -1) << "the tool did not stop";
    const int expected = stop == Stop::Kill ? 128 + SIGKILL : stop == Stop::Terminate ? 143 : 130;
    EXPECT_TRUE(outcome.status == expected || outcome.status == 0) << outcome.status << "\n" << outcome.err;

    const bool clean = stop == Stop::CtrlC || outcome.status == 0;
    for (const char* sub : {"out", "cache"}) {
      if (!fs::exists(folder_ / sub)) continue;
      for (const fs::directory_entry& entry : fs::directory_iterator(folder_ / sub)) {
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        if (IsTemporaryName(name)) {
          EXPECT_FALSE(clean) << "temporary file left after a clean stop";
          // The tool's own temporaries go whenever it can still act.
          if (stop != Stop::Kill) {
            EXPECT_FALSE(name.ends_with(".tmp")) << "the tool's temporary file remains";
          }
        } else if (name.ends_with(".grd")) {
          EXPECT_TRUE(IsCompleteCacheFile(entry.path()));
        } else {
          EXPECT_TRUE(IsCompleteMeshFile(entry.path()));
        }
      }
    }
  }

  TempFolder temp_{"glomora_cancel"};
  const fs::path folder_ = temp_.Path();
};

}  // namespace

TEST_F(CancelSafety, EveryFileUnderAFinalNameIsCompleteWhereverTheToolIsStopped) {
  // How long an uninterrupted run takes, so the stops spread over all of it.
  fs::create_directories(folder_ / "cache");
  const auto start = std::chrono::steady_clock::now();
  {
    ToolProcess tool(GLOMORA_CLI_PATH, folder_, {"run", "scene.json", "--output", "out/drip.####.obj", "--quiet"});
    const ToolOutcome outcome = tool.Wait(600s);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
  }
  // The uninterrupted run wrote every frame's cache file.
  for (int frame = 1; frame <= 40; ++frame) {
    ASSERT_TRUE(IsCompleteCacheFile(folder_ / "cache" / ("drip." + std::to_string(frame) + ".grd"))) << frame;
  }
  const auto full = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  std::mt19937 random(4711);
  const Stop stops[] = {Stop::CtrlC, Stop::CtrlCTwice, Stop::Terminate, Stop::Kill};
  for (int round = 0; round < 12; ++round) {
    const Stop stop = stops[round % 4];
    const auto delay = std::chrono::milliseconds(random() % static_cast<uint32_t>(full.count() + 1));
    RunAndStop(stop, delay, round % 2 == 0 ? "out/drip.####.obj" : "out/drip.####.ply");
    if (HasFatalFailure()) return;
  }
}
