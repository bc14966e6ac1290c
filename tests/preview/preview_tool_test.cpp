// The built tool's pictures: --preview per frame through one camera for the
// run, and contact sheets of mesh files.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "png_reader.h"
#include "support/temp_folder.h"
#include "support/tool_process.h"

namespace {

namespace fs = std::filesystem;

class PreviewTool : public ::testing::Test {
 protected:
  ToolOutcome Run(const fs::path& where, const std::vector<std::string>& args) {
    return ToolProcess(GLOMORA_CLI_PATH, where, args).Wait();
  }
  std::string Bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  TempFolder temp_{"glomora_preview"};
  const fs::path& folder_ = temp_.Path();
};

// A sphere moving from x = -1.2 (frame 1) to x = 1.2 (frame 3), in Space 0
// (container box 6) or Space 1.
std::string MovingSphere(int space) {
  return R"({"name": "ball", "frames": [1, 3],
    "parameters": {"Space": )" + std::to_string(space) + R"(, "Mode": 0, "Size_X": 6, "Size_Y": 6, "Size_Z": 6,
                   "Resolution_X": 40, "Resolution_Y": 40, "Resolution_Z": 40, "JB_voxelsize": 0.08},
    "sources": [{"type": "sphere", "radius": 0.6,
                 "transform": {"translation": {"keys": [[1, [-1.2, 0, 0]], [3, [1.2, 0, 0]]]}}}]})";
}

// Mean column of the surface's pixels: the surface is the only warm colour
// (red well above blue) in a preview.
double SurfaceColumn(const Picture& picture, size_t& pixels) {
  double sum = 0.0;
  pixels = 0;
  for (int32_t y = 0; y < picture.height; ++y) {
    for (int32_t x = 0; x < picture.width; ++x) {
      const uint8_t* p = &picture.rgb[3 * static_cast<size_t>(y * picture.width + x)];
      if (p[0] > p[2] + 40) {
        sum += x;
        ++pixels;
      }
    }
  }
  return pixels ? sum / static_cast<double>(pixels) : -1.0;
}

}  // namespace

// Each frame's picture has the asked size and the same camera: the moving
// sphere crosses the picture instead of staying centred (Space 0 frames the
// container box as frames come; Space 1 the union of every frame's bounds,
// drawn after the last frame). Two runs write the same bytes.
TEST_F(PreviewTool, OneCameraForTheWholeRun) {
  for (int space : {0, 1}) {
    SCOPED_TRACE("Space " + std::to_string(space));
    std::vector<std::string> first;
    for (const char* side : {"a", "b"}) {
      const fs::path where = folder_ / (std::to_string(space) + side);
      fs::create_directories(where);
      std::ofstream(where / "scene.json") << MovingSphere(space);
      const ToolOutcome outcome = Run(where, {"run", "scene.json", "--quiet", "--output", "mesh/{name}.####.ply",
                                              "--preview", "pic/{name}.####.png", "--preview-size", "240x180"});
      ASSERT_EQ(outcome.status, 0) << outcome.err;
      std::vector<std::string> bytes;
      double previous = -1.0;
      for (int frame = 1; frame <= 3; ++frame) {
        const fs::path file = where / ("pic/ball.000" + std::to_string(frame) + ".png");
        Picture picture;
        ASSERT_TRUE(ReadPng(file.string(), picture)) << file;
        EXPECT_EQ(picture.width, 240);
        EXPECT_EQ(picture.height, 180);
        size_t pixels = 0;
        const double column = SurfaceColumn(picture, pixels);
        EXPECT_GT(pixels, 100u) << frame;
        EXPECT_GT(column, previous + 8.0) << frame;
        previous = column;
        bytes.push_back(Bytes(file));
      }
      if (first.empty()) {
        first = bytes;
      } else {
        EXPECT_EQ(bytes, first);
      }
    }
  }
}

// The sheet holds one cell per file, in frame order; what is not a mesh file
// is refused before anything is written.
TEST_F(PreviewTool, ContactSheetOfMeshFiles) {
  std::ofstream(folder_ / "scene.json") << MovingSphere(1);
  ASSERT_EQ(Run(folder_, {"run", "scene.json", "--quiet", "--output", "m.####.obj"}).status, 0);
  const ToolOutcome sheet = Run(folder_, {"preview", "m.0003.obj", "m.0001.obj", "m.0002.obj", "--sheet",
                                          "out/sheet.png", "--cell-size", "64x48"});
  ASSERT_EQ(sheet.status, 0) << sheet.err;
  Picture picture;
  ASSERT_TRUE(ReadPng((folder_ / "out/sheet.png").string(), picture));
  EXPECT_EQ(picture.width, 3 * (64 + 2) + 2);  // 3 files: one row of 3, 2-pixel gaps
  EXPECT_EQ(picture.height, 48 + 2 + 2);
  // cell by cell, the sphere moves right within its cell (frame order)
  double previous = -1.0;
  for (int cell = 0; cell < 3; ++cell) {
    Picture part;
    part.Reset(64, 48, 0, 0, 0);
    for (int y = 0; y < 48; ++y) {
      std::copy_n(&picture.rgb[3 * static_cast<size_t>((2 + y) * picture.width + 2 + cell * 66)], 64 * 3,
                  &part.rgb[3 * static_cast<size_t>(y * 64)]);
    }
    size_t pixels = 0;
    const double column = SurfaceColumn(part, pixels);
    EXPECT_GT(column, previous + 5.0) << cell;
    previous = column;
  }

  std::ofstream(folder_ / "notes.txt") << "not a mesh";
  const struct {
    std::vector<std::string> args;
    const char* message;
  } refused[] = {
      {{"preview", "m.0001.obj", "notes.txt", "--sheet", "bad.png"}, "notes.txt: not a .obj or .ply file"},
      {{"preview", "m.0001.obj", "--sheet", "bad.jpg"}, "--sheet bad.jpg: the file name must end in .png"},
      {{"preview", "missing.obj", "--sheet", "bad.png"}, "missing.obj: "},
      {{"preview", "m.0001.obj", "--sheet", "bad.png", "--cell-size", "4"}, "--cell-size 4: expected W or WxH"},
      {{"run", "scene.json", "--preview", "p.####.jpg"}, "--preview p.####.jpg: the file name must end in .png"},
      {{"run", "scene.json", "--preview", "p.png"}, "writing several frames needs a frame number"},
      {{"run", "scene.json", "--volume", "v.####.png"}, "--volume v.####.png: the file name must end in .vdb"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.args[c.args.size() - 1]);
    const ToolOutcome outcome = Run(folder_, c.args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
  }
  EXPECT_FALSE(fs::exists(folder_ / "bad.png"));
  EXPECT_FALSE(fs::exists(folder_ / "p.png"));
}
