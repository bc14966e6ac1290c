// Arbitrary bytes as a scene file: parsed, then built into the host scene
// (operators wired, sources connected, single-file sources read) when it is
// valid. Sources may only name files inside the fuzzing folder, which holds a
// small PLY and OBJ file, so the fuzzer reaches the file readers without
// reading arbitrary files of the machine. Checks: an invalid scene comes with a
// one-line message naming where.

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "host_scene_builder.h"
#include "scene_file.h"

namespace {

struct Folder {
  std::filesystem::path path;
  Folder() {
    path = std::filesystem::temp_directory_path() / ("glomora-fuzz-scene-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    std::ofstream(path / "points.obj") << "v 0 0 0\nv 0.5 0 0\nv 0 0.5 0\nf 1 2 3\n";
    std::ofstream(path / "points.ply") << "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\n"
                                          "property float y\nproperty float z\nend_header\n0 0 0\n1 1 1\n";
    std::ofstream(path / "frame.0001.ply") << "ply\nformat ascii 1.0\nelement vertex 1\nproperty double x\n"
                                              "property double y\nproperty double z\nend_header\n0 0 0\n";
  }
  ~Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

bool InsideFolder(const std::filesystem::path& file, const std::filesystem::path& folder) {
  const std::filesystem::path normal = file.lexically_normal();
  const std::string text = normal.string();
  const std::string prefix = folder.string() + "/";
  return text.compare(0, prefix.size(), prefix) == 0 && text.find("/..") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Folder folder;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  SceneDescription scene;
  std::string error;
  if (!ParseScene(text, folder.path, scene, error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  for (const SourceDescription& source : scene.sources) {
    if (!source.file.empty() && !InsideFolder(source.file, folder.path)) return 0;
  }
  FUZZ_CHECK(scene.firstFrame <= scene.lastFrame);
  // Builds at most a short stretch of frames: per-frame files are checked per frame.
  HostSceneBuilder host;
  const int64_t last = scene.lastFrame - scene.firstFrame > 8 ? scene.firstFrame + 8 : scene.lastFrame;
  host.Build(scene, scene.firstFrame, last, error);
  return 0;
}
