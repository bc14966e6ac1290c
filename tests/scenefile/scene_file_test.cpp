#include "scene_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "demo_scene.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

struct BadScene {
  const char* text;
  const char* message;  // the whole message, key path first
};

TEST(SceneFile, ErrorsNameTheKeyPathAndTheValue) {
  const BadScene cases[] = {
      {R"({"parameters": {"Space": 7}})",
       "parameters.Space: expected 0 (voxel grid) or 1 (continuation polygonizer), got 7"},
      {R"({"parameters": {"Mode": 5}})", "parameters.Mode: expected 0, 1, 2 or 3, got 5"},
      {R"({"parameters": {"Blending_model": 3}})", "parameters.Blending_model: expected 0, 1 or 2, got 3"},
      {R"({"parameters": {"Polygonization": 2}})", "parameters.Polygonization: expected 0, 1 or 10, got 2"},
      {R"({"parameters": {"Resolution_X": 0}})", "parameters.Resolution_X: expected an integer of at least 1, got 0"},
      {R"({"parameters": {"Resolution_Y": "64"}})", "parameters.Resolution_Y: expected an integer, got \"64\""},
      {R"({"parameters": {"Resolution_Z": 2.5}})", "parameters.Resolution_Z: expected an integer, got 2.5"},
      {R"({"parameters": {"Isovalue": "1"}})", "parameters.Isovalue: expected a number, got \"1\""},
      {R"({"parameters": {"JB_voxelsize": 0}})", "parameters.JB_voxelsize: expected a number above 0, got 0"},
      {R"({"parameters": {"Mute": 1}})", "parameters.Mute: expected true or false, got 1"},
      {R"({"parameters": {"Cache_filename": 3}})", "parameters.Cache_filename: expected a text, got 3"},
      {R"({"parameters": {"Mode": {"keys": [[1, 0], [1, 2]]}}})",
       "parameters.Mode.keys[1]: two keys at the same frame, got [1,2]"},
      {R"({"parameters": {"Mode": {"keys": [[1, 0], [9, 4]]}}})",
       "parameters.Mode.keys[1][1]: expected 0, 1, 2 or 3, got 4"},
      {R"({"parameters": {"Polygonization": {"keys": [[1, 1], [10, 10]]}}})",
       "parameters.Polygonization: keys pass between values that are not accepted (expected 0, 1 or 10), "
       "got {\"keys\":[[1,1],[10,10]]}"},
      {R"({"parameters": {"Isovalue": {"keys": []}}})", "parameters.Isovalue.keys: expected a list of [frame, value] "
                                                       "pairs, got []"},
      {R"({"parameters": {"Cache_filename": {"keys": [[1, 1]]}}})",
       "parameters.Cache_filename: a text cannot be animated, got {\"keys\":[[1,1]]}"},
      {R"({"frames": [5, 1]})", "frames: expected [first, last], two whole frame numbers with first <= last, got [5,1]"},
      {R"({"frames": [1, 2000000000]})",
       "frames: a frame number beyond the frame limit (frames run from -100000000 to 100000000), got [1,2000000000]"},
      {R"({"parameters": {"Isovalue": {"keys": [[-100000001, 1]]}}})",
       "parameters.Isovalue.keys[0][0]: a frame number beyond the frame limit (frames run from -100000000 to "
       "100000000), got -100000001"},
      {R"({"name": "a.b"})", "name: expected a name of letters, digits, '_' or '-', got \"a.b\""},
      {R"({"transform": {"rotation": [1, 2]}})", "transform.rotation: expected 3 numbers, got [1,2]"},
      {R"({"transform": {"scaling": {"keys": [[1, [1, 1]]]}}})",
       "transform.scaling.keys[0][1]: expected 3 numbers, got [1,1]"},
      {R"({"sources": {}})", "sources: expected a list, got {}"},
      {R"({"sources": [{"type": "torus"}]})",
       "sources[0].type: expected \"cloud\", \"polymsh\", \"sphere\", \"cube\" or \"cylinder\", got \"torus\""},
      {R"({"sources": [{"type": "sphere", "radius": -1}]})", "sources[0].radius: expected a number above 0, got -1"},
      {R"({"sources": [{"type": "sphere"}, {"type": "cube"}, {"type": "sphere", "transform": {"rotation": [0, "x", 0]}}]})",
       "sources[2].transform.rotation: expected 3 numbers, got [0,\"x\",0]"},
      {R"({"sources": [{"type": "cloud", "points": [[0, 0, 0], [1, 2]]}]})",
       "sources[0].points[1]: expected 3 numbers, got [1,2]"},
      {R"({"sources": [{"type": "cloud"}]})", "sources[0]: a cloud needs either \"points\" or \"file\""},
      {R"({"sources": [{"type": "cloud", "points": [], "file": "p.ply"}]})",
       "sources[0]: a cloud takes \"points\" or \"file\", not both"},
      {R"({"sources": [{"type": "cloud", "file": "p.stl"}]})", "sources[0].file: expected a .ply, .obj, .vdb, .csv, .xyz, .vtk, .vtu or .vtp file, got \"p.stl\""},
      {R"({"sources": [{"type": "polymsh", "file": "p.vdb"}]})", "sources[0].file: expected a .ply or .obj file, got \"p.vdb\""},
      {R"({"sources": [{"type": "cloud", "points": [[0, 0, 0]], "radius_attribute": "pscale"}]})",
       "sources[0].radius_attribute: expected the name of an attribute of the points of \"file\", got \"pscale\""},
      {R"({"transfer": ["v", "v"]})", "transfer[1]: the name is listed twice, got \"v\""},
      {R"({"transfer": ["a b"]})", "transfer[0]: expected an attribute name of letters, digits, '_' or '-', got \"a b\""},
      {R"({"transfer": ["radius_scale"]})", "transfer[0]: the name is the plug-in's own (use another), got \"radius_scale\""},
      {R"({"sources": [{"type": "cloud", "file": "p.%s.ply"}]})",
       "sources[0].file: '%' must start %d, %0Nd (N from 1 to 9) or %%, got \"p.%s.ply\""},
      {R"({"sources": [{"type": "sphere", "name": "b"}, {"type": "cube", "name": "b"}]})",
       "sources[1].name: the name is taken by sources[0], got \"b\""},
      {R"({"name": "x", "sources": [{"type": "sphere", "name": "x_space"}]})",
       "sources[0].name: the name is taken by the scene's space object, got \"x_space\""},
      {R"({"name": "x", "sources": [{"type": "sphere", "name": "x"}]})",
       "sources[0].name: the name is taken by the scene (its \"name\"), got \"x\""},
      // The parser would keep the last of the two.
      {R"({"name": "a", "frames": [1, 2], "name": "b"})", "name: the key is given twice (a scene file gives each key once)"},
      {R"({"sources": [{"type": "sphere"}, {"type": "sphere", "transform": {"translation": [0, 0, 0]},
                       "radius": 1, "radius": 2}], "parameters": {"Isovalue": 1, "Isovalue": 1}})",
       "sources[1].radius: the key is given twice (a scene file gives each key once)"},
  };
  for (const BadScene& c : cases) {
    SCOPED_TRACE(c.text);
    SceneDescription scene;
    std::string error;
    EXPECT_FALSE(ParseScene(c.text, "/nowhere", scene, error));
    EXPECT_EQ(error, c.message);
  }
}

TEST(SceneFile, UnknownKeysAreErrorsThatListTheKnownOnes) {
  const BadScene cases[] = {
      {R"({"frame": [1, 2]})", "frame: unknown key"},
      {R"({"parameters": {"Resolution": 3}})", "parameters.Resolution: unknown parameter"},
      {R"({"transform": {"translate": [0, 0, 0]}})", "transform.translate: unknown key"},
      {R"({"sources": [{"type": "cloud", "points": [], "radius": 1}]})", "sources[0].radius: unknown key"},
      {R"({"sources": [{"type": "sphere", "length": 1}]})", "sources[0].length: unknown key"},
  };
  for (const BadScene& c : cases) {
    SCOPED_TRACE(c.text);
    SceneDescription scene;
    std::string error;
    EXPECT_FALSE(ParseScene(c.text, "/nowhere", scene, error));
    EXPECT_EQ(error.rfind(c.message, 0), 0u) << error;
  }
}

TEST(SceneFile, InvalidJsonSaysWhere) {
  SceneDescription scene;
  std::string error;
  EXPECT_FALSE(ParseScene("{\n  \"name\": \"a\",\n  oops\n}", "/", scene, error));
  EXPECT_EQ(error.rfind("not valid JSON: ", 0), 0u) << error;
  EXPECT_NE(error.find("line 3"), std::string::npos) << error;
}

TEST(SceneFile, ReadsACompleteScene) {
  const char* text = R"({
    "name": "drops",
    "comment": "anything",
    "frames": [3, 9],
    "parameters": {"Space": 1, "Mute": false, "Isovalue": 0.5, "Cache_filename": "cache/drops",
                   "Resolution_X": {"keys": [[1, 10], [11, 20]]}},
    "transform": {"translation": [1, 2, 3], "rotation": [0, {"keys": [[0, 0], [10, 90]]}, 0]},
    "sources": [
      {"type": "cloud", "points": [[0, 0, 0], [1, 1, 1]],
       "transform": {"translation": {"keys": [[1, [0, 0, 0]], [5, [4, 8, -4]]]}}},
      {"type": "cylinder", "name": "pipe", "radius": 0.5, "height": {"keys": [[1, 1], [3, 2]]}},
      {"type": "polymsh", "file": "pts/p.####.ply", "missing": "empty"}
    ]
  })";
  SceneDescription scene;
  std::string error;
  ASSERT_TRUE(ParseScene(text, "/base", scene, error)) << error;
  EXPECT_EQ(scene.name, "drops");
  EXPECT_EQ(scene.firstFrame, 3);
  EXPECT_EQ(scene.lastFrame, 9);
  EXPECT_EQ(static_cast<XSI::LONG>(scene.parameters.at("Space").At(1)), 1);
  EXPECT_EQ(static_cast<double>(scene.parameters.at("Isovalue").At(1)), 0.5);
  EXPECT_EQ(XSI::CString(scene.parameters.at("Cache_filename").At(1)).GetAsciiString(), "/base/cache/drops");
  // Linear keys, read as a long: 15 at frame 6, held after the last key.
  EXPECT_EQ(static_cast<XSI::LONG>(scene.parameters.at("Resolution_X").At(6)), 15);
  EXPECT_EQ(static_cast<XSI::LONG>(scene.parameters.at("Resolution_X").At(50)), 20);
  EXPECT_EQ(scene.transform.translation.At(1).GetZ(), 3.0);
  EXPECT_EQ(scene.transform.rotationDegrees.At(5).GetY(), 45.0);

  ASSERT_EQ(scene.sources.size(), 3u);
  EXPECT_EQ(scene.sources[0].name, "cloud1");
  EXPECT_EQ(scene.sources[0].points, (std::vector<double>{0, 0, 0, 1, 1, 1}));
  const XSI::MATH::CVector3 moved = scene.sources[0].pose.translation.At(3);
  EXPECT_EQ(moved.GetX(), 2.0);
  EXPECT_EQ(moved.GetY(), 4.0);
  EXPECT_EQ(moved.GetZ(), -2.0);
  EXPECT_EQ(scene.sources[1].name, "pipe");
  ASSERT_EQ(scene.sources[1].primitiveParameters.size(), 2u);
  EXPECT_EQ(static_cast<double>(scene.sources[1].primitiveParameters[1].second.At(2)), 1.5);
  EXPECT_EQ(scene.sources[2].file, "/base/pts/p.####.ply");
  EXPECT_TRUE(scene.sources[2].missingFramesEmpty);
}

TEST(SceneFile, MissingFilesAreNamed) {
  const TempFolder temp("glomora_scene");
  const fs::path& folder = temp.Path();
  SceneDescription scene;
  std::string error;
  EXPECT_FALSE(LoadSceneFile(folder / "absent.json", scene, error));
  EXPECT_FALSE(error.empty());

  std::ofstream(folder / "scene.json") << R"({"sources": [{"type": "polymsh", "file": "mesh.obj"}]})";
  EXPECT_FALSE(LoadSceneFile(folder / "scene.json", scene, error));
  EXPECT_EQ(error, "sources[0].file: no such file, got \"mesh.obj\"");
  std::ofstream(folder / "mesh.obj") << "v 0 0 0\n";
  EXPECT_TRUE(LoadSceneFile(folder / "scene.json", scene, error)) << error;
  EXPECT_EQ(scene.sources[0].file, (folder / "mesh.obj").string());
}

TEST(SceneFile, OverridesAreCheckedLikeFileValues) {
  SceneDescription scene;
  std::string error;
  EXPECT_TRUE(ApplyParameterOverride("Space=1", "/", scene, error)) << error;
  EXPECT_TRUE(ApplyParameterOverride("UVspace=on", "/", scene, error)) << error;
  EXPECT_TRUE(ApplyParameterOverride("Isovalue=0.25", "/", scene, error)) << error;
  EXPECT_TRUE(ApplyParameterOverride("Cache_filename=c/blob", "/work", scene, error)) << error;
  EXPECT_EQ(static_cast<XSI::LONG>(EffectiveParameter(scene, "Space").At(1)), 1);
  EXPECT_TRUE(static_cast<bool>(EffectiveParameter(scene, "UVspace").At(1)));
  EXPECT_EQ(static_cast<double>(EffectiveParameter(scene, "Isovalue").At(1)), 0.25);
  EXPECT_EQ(XSI::CString(EffectiveParameter(scene, "Cache_filename").At(1)).GetAsciiString(), "/work/c/blob");
  // Defaults for the rest.
  EXPECT_EQ(static_cast<XSI::LONG>(EffectiveParameter(scene, "Resolution_X").At(1)), 64);

  const BadScene cases[] = {
      {"Space=7", "--set Space: expected 0 (voxel grid) or 1 (continuation polygonizer), got \"7\""},
      {"Space=one", "--set Space: expected an integer, got \"one\""},
      {"Isovalue=", "--set Isovalue: expected a number, got \"\""},
      {"Mute=maybe", "--set Mute: expected true or false, got \"maybe\""},
      {"Space", "--set Space: expected NAME=VALUE"},
  };
  for (const BadScene& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_FALSE(ApplyParameterOverride(c.text, "/", scene, error));
    EXPECT_EQ(error, c.message);
  }
  EXPECT_FALSE(ApplyParameterOverride("Spacing=1", "/", scene, error));
  EXPECT_EQ(error.rfind("--set Spacing: unknown parameter", 0), 0u) << error;
}

TEST(SceneFile, DemoSceneShowsTheSystemOff) {
  SceneDescription scene;
  std::string error;
  ASSERT_TRUE(ParseScene(DemoSceneText(), "/", scene, error)) << error;
  EXPECT_EQ(static_cast<XSI::LONG>(EffectiveParameter(scene, "Space").At(1)), 0);
  EXPECT_GT(static_cast<double>(EffectiveParameter(scene, "Viscosity").At(1)), 0.0);
  bool fallingCloud = false;
  bool subtractive = false;
  int primitives = 0;
  for (const SourceDescription& source : scene.sources) {
    if (source.type == "cloud") {
      fallingCloud = source.pose.translation.At(scene.lastFrame).GetY() < source.pose.translation.At(scene.firstFrame).GetY();
    } else {
      ++primitives;
    }
    const XSI::MATH::CVector3 scaling = source.pose.scaling.At(1);
    subtractive = subtractive || scaling.GetX() < 0 || scaling.GetY() < 0 || scaling.GetZ() < 0;
  }
  EXPECT_TRUE(fallingCloud);
  EXPECT_TRUE(subtractive);
  EXPECT_GE(primitives, 3);
}

TEST(SceneFile, ObjectNames) {
  EXPECT_TRUE(IsValidObjectName("blob_2-a"));
  for (const char* name : {"", "a.b", "a b", "a/b", "ä"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(IsValidObjectName(name));
  }
}

}  // namespace

// The velocity comes first among the values carried onto the mesh whenever a
// source names one, and a scene without the keys carries none.
TEST(SceneFile, TransferListsTheVelocityFirst) {
  const TempFolder temp("glomora_scene");
  std::ofstream(temp.Path() / "p.ply") << "ply\nformat ascii 1.0\nelement vertex 0\nproperty float x\n"
                                          "property float y\nproperty float z\nend_header\n";
  SceneDescription scene;
  std::string error;
  ASSERT_TRUE(ParseScene(R"({"transfer": ["pressure"], "sources": [{"type": "cloud", "file": "p.ply",
                              "velocity_attribute": "vel", "radius_attribute": "pscale"}]})",
                         temp.Path(), scene, error))
      << error;
  EXPECT_EQ(scene.transfer, (std::vector<std::string>{"v", "pressure"}));
  EXPECT_EQ(scene.sources[0].velocityAttribute, "vel");
  EXPECT_EQ(scene.sources[0].radiusAttribute, "pscale");
  ASSERT_TRUE(ParseScene(R"({"sources": [{"type": "cloud", "file": "p.ply"}]})", temp.Path(), scene, error)) << error;
  EXPECT_TRUE(scene.transfer.empty());
}
