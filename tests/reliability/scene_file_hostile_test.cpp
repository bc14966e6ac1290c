// Scene files the fuzzer found faults with: each must be refused with a
// message, never end the tool.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host_scene_builder.h"
#include "mesh_files.h"
#include "scene_file.h"

// A number beyond the double range is an out_of_range error of the JSON
// parser, not a parse_error; it used to escape ParseScene and abort the tool.
TEST(HostileSceneFile, NumberBeyondTheDoubleRangeIsRefused) {
  for (const std::string& text : {std::string(R"({"frames": [1, 1e400]})"),
                                 std::string(R"({"transform": {"rotation": [0, -9)") + std::string(400, '9') + "]}}"}) {
    SCOPED_TRACE(text.substr(0, 40));
    SceneDescription scene;
    std::string error;
    EXPECT_FALSE(ParseScene(text, std::filesystem::current_path(), scene, error));
    EXPECT_EQ(error.rfind("not valid JSON: number overflow", 0), 0u) << error;
    EXPECT_LE(error.size(), 230u);
  }
}

// A file name the system refuses outright (a component longer than a file
// name may be) made the file-system queries throw; such a file simply does
// not exist, for a single file and for a per-frame pattern alike.
TEST(HostileSceneFile, FileNamesTheSystemRefusesAreMissingFiles) {
  const std::string tooLong(400, 'p');
  SceneDescription scene;
  std::string error;
  EXPECT_FALSE(ParseScene(R"({"sources": [{"type": "polymsh", "file": ")" + tooLong + R"(.ply"}]})",
                          std::filesystem::current_path(), scene, error));
  EXPECT_NE(error.find("sources[0].file: no such file"), std::string::npos) << error;

  ASSERT_TRUE(ParseScene(R"({"frames": [1, 2], "sources": [{"type": "cloud", "file": ")" + tooLong +
                             R"(.####.ply"}]})",
                         std::filesystem::current_path(), scene, error))
      << error;
  HostSceneBuilder host;
  EXPECT_FALSE(host.Build(scene, 1, 2, error));
  EXPECT_NE(error.find("sources[0].file: no such file"), std::string::npos) << error;
}
