// Runs the built tool on small scenes in a temporary folder and checks what
// it writes and says.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "atomic_file.h"
#include "mesh_check.h"
#include "obj_reader.h"
#include "ply_reader.h"
#include "support/temp_folder.h"
#include "support/tool_process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using Outcome = ToolOutcome;

std::string ReadText(const fs::path& file) { return ReadTextFile(file); }

// The built tool in `folder` with `args`.
class Tool : public ToolProcess {
 public:
  Tool(const fs::path& folder, const std::vector<std::string>& args) : ToolProcess(GLOMORA_CLI_PATH, folder, args) {}
};

class CliEndToEnd : public ::testing::Test {
 protected:

  Outcome Run(const std::vector<std::string>& args) { return Tool(folder_, args).Wait(); }
  void Write(const std::string& name, const std::string& text) {
    fs::create_directories((folder_ / name).parent_path());
    std::ofstream(folder_ / name) << text;
  }
  MeshData ReadMesh(const std::string& name) {
    std::vector<uint8_t> bytes;
    std::string error;
    MeshData mesh;
    EXPECT_TRUE(ReadWholeFile((folder_ / name).string(), bytes, error)) << name << ": " << error;
    const bool ok = name.ends_with(".ply") ? ReadPly(bytes, mesh, error) : ReadObj(bytes, mesh, error);
    EXPECT_TRUE(ok) << name << ": " << error;
    return mesh;
  }
  std::vector<std::string> Files(const std::string& sub = "") {
    std::vector<std::string> names;
    if (!fs::exists(folder_ / sub)) return names;
    for (const auto& entry : fs::directory_iterator(folder_ / sub)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempFolder temp_{"glomora_cli"};
  const fs::path folder_ = temp_.Path();
};

// A sphere of radius 1 at the origin. Blending model 1 gives the field
// 4 (1 - 2d)^2 with d = (distance / 2r)^2, so Isovalue 1 puts the surface at
// d = 1/4: at distance r from the centre.
// `extra`: ", KEY: VALUE ..." of more parameters, or of others in their place.
std::string SphereScene(int space, const std::string& extra = "") {
  nlohmann::json scene = nlohmann::json::parse(R"({"name": "ball", "frames": [1, 2],
    "parameters": {"Blending_model": 1, "Isovalue": 1, "JB_voxelsize": 0.1,
                   "Size_X": 4, "Size_Y": 4, "Size_Z": 4, "Resolution_X": 40, "Resolution_Y": 40,
                   "Resolution_Z": 40, "User_normals": true, "UVspace": true},
    "sources": [{"type": "sphere", "name": "s", "radius": 1}]})");
  scene["parameters"]["Space"] = space;
  if (!extra.empty()) {
    std::string more = "{";
    more.append(extra, 1, std::string::npos);
    scene["parameters"].update(nlohmann::json::parse(more + "}"));
  }
  return scene.dump();
}

TEST_F(CliEndToEnd, SphereGivesAClosedMeshOnItsRadiusWithNormalsAndUVs) {
  for (int space : {0, 1}) {
    SCOPED_TRACE("Space " + std::to_string(space));
    Write("ball.json", SphereScene(space));
    const Outcome outcome = Run({"run", "ball.json", "--check", "--output", "out{name}/m.####.obj"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(Files("outball"), (std::vector<std::string>{"m.0001.obj", "m.0002.obj"}));
    EXPECT_NE(outcome.out.find("ball frame 1: "), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("closed, 2-manifold, consistently oriented"), std::string::npos) << outcome.out;

    const MeshData mesh = ReadMesh("outball/m.0001.obj");
    ASSERT_GT(mesh.VertexCount(), 100u);
    const MeshCheck check = CheckMesh(mesh);
    EXPECT_TRUE(check.closed && check.manifold && check.oriented) << DescribeCheck(check);
    // Every vertex within one lattice cell (0.1) of the sphere of radius 1.
    for (size_t i = 0; i < mesh.positions.size(); i += 3) {
      const double r = std::sqrt(mesh.positions[i] * mesh.positions[i] + mesh.positions[i + 1] * mesh.positions[i + 1] +
                                 mesh.positions[i + 2] * mesh.positions[i + 2]);
      ASSERT_NEAR(r, 1.0, 0.1) << "vertex " << i / 3;
    }
    const std::string text = ReadText(folder_ / "outball/m.0001.obj");
    EXPECT_NE(text.find("\nvn "), std::string::npos);
    EXPECT_NE(text.find("\nvt "), std::string::npos);
    EXPECT_NE(text.find("\nf 1/1/1 "), std::string::npos);
    fs::remove_all(folder_ / "outball");
  }
}

TEST_F(CliEndToEnd, PlyOutputAndFramePatterns) {
  Write("ball.json", SphereScene(1));
  const Outcome outcome = Run({"run", "ball.json", "--frames", " 2 - 4", "--output", "ply/s_%03d.ply", "--quiet"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(Files("ply"), (std::vector<std::string>{"s_002.ply", "s_003.ply", "s_004.ply"}));
  EXPECT_EQ(ReadText(folder_ / "ply/s_003.ply").rfind("ply\nformat binary_little_endian 1.0\n", 0), 0u);
  const MeshData mesh = ReadMesh("ply/s_003.ply");
  EXPECT_TRUE(CheckMesh(mesh).closed);
  EXPECT_TRUE(outcome.out.empty()) << outcome.out;  // --quiet
}

TEST_F(CliEndToEnd, SetOverridesAParameter) {
  Write("ball.json", SphereScene(1));
  ASSERT_EQ(Run({"run", "ball.json", "--frames", "1", "--output", "fine.obj"}).status, 0);
  const Outcome coarse = Run({"run", "ball.json", "--frames", "1", "--output", "coarse.obj", "--set",
                              "JB_voxelsize=0.2", "--set", "UVspace=false"});
  ASSERT_EQ(coarse.status, 0) << coarse.err;
  // Twice the cell size: about a quarter of the vertices on the same sphere.
  const size_t fine = ReadMesh("fine.obj").VertexCount();
  const size_t rough = ReadMesh("coarse.obj").VertexCount();
  EXPECT_LT(rough * 2, fine);
  EXPECT_EQ(ReadText(folder_ / "coarse.obj").find("\nvt "), std::string::npos);
}

TEST_F(CliEndToEnd, TwoRunsWriteIdenticalFiles) {
  Write("ball.json", SphereScene(0, R"(, "Viscosity": 1.5)"));
  ASSERT_EQ(Run({"run", "ball.json", "--output", "a/m.##.obj"}).status, 0);
  ASSERT_EQ(Run({"run", "ball.json", "--output", "b/m.##.obj"}).status, 0);
  for (const char* name : {"m.01.obj", "m.02.obj"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ReadText(folder_ / "a" / name), ReadText(folder_ / "b" / name));
  }
}

TEST_F(CliEndToEnd, PerFramePointFilesMoveTheCloud) {
  // A cloud of 8 points that moves +0.5 in x per frame, one PLY file per frame.
  for (int frame = 1; frame <= 3; ++frame) {
    std::ostringstream text;
    text << "ply\nformat ascii 1.0\nelement vertex 8\nproperty float x\nproperty float y\nproperty float z\n"
            "end_header\n";
    for (int i = 0; i < 8; ++i) {
      text << (frame - 1) * 0.5 + (i & 1) * 0.2 << ' ' << ((i >> 1) & 1) * 0.2 << ' ' << ((i >> 2) & 1) * 0.2 << '\n';
    }
    Write("pts/c." + std::to_string(frame) + ".ply", text.str());
  }
  Write("cloud.json", R"({"name": "c", "frames": [1, 3], "parameters": {"Space": 1, "Particle_size": 0.6},
    "sources": [{"type": "cloud", "file": "pts/c.%d.ply"}]})");
  const Outcome outcome = Run({"run", "cloud.json"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  double previous = -1.0e9;
  for (int frame = 1; frame <= 3; ++frame) {
    const MeshData mesh = ReadMesh("glomora-out/c.000" + std::to_string(frame) + ".obj");
    ASSERT_GT(mesh.VertexCount(), 0u);
    double sum = 0.0;
    for (size_t i = 0; i < mesh.positions.size(); i += 3) sum += mesh.positions[i];
    const double meanX = sum / static_cast<double>(mesh.VertexCount());
    EXPECT_NEAR(meanX - previous, frame == 1 ? meanX + 1.0e9 : 0.5, 0.05);
    previous = meanX;
  }
  // A missing frame file is an error that names the source and the file.
  fs::remove(folder_ / "pts/c.3.ply");
  const Outcome missing = Run({"run", "cloud.json"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("sources[0].file: no such file"), std::string::npos) << missing.err;
  EXPECT_NE(missing.err.find("c.3.ply"), std::string::npos) << missing.err;
}

// The sources live in the space of the "InTransform" object: moving that
// object by +1 in x moves the mesh by -1. The sphere's radius is keyed from
// 0.5 at frame 1 to 1 at frame 3, so frame 2 has radius 0.75.
TEST_F(CliEndToEnd, TransformsAndAnimatedValuesReachThePlugin) {
  Write("moved.json", R"({"name": "m", "frames": [1, 3],
    "parameters": {"Space": 1, "JB_voxelsize": 0.05},
    "transform": {"translation": [1, 0, 0]},
    "sources": [{"type": "sphere", "radius": {"keys": [[1, 0.5], [3, 1]]}}]})");
  const Outcome outcome = Run({"run", "moved.json", "--quiet"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const double radii[] = {0.5, 0.75, 1.0};
  for (int frame = 1; frame <= 3; ++frame) {
    SCOPED_TRACE(frame);
    const MeshData mesh = ReadMesh("glomora-out/m.000" + std::to_string(frame) + ".obj");
    ASSERT_GT(mesh.VertexCount(), 0u);
    for (size_t i = 0; i < mesh.positions.size(); i += 3) {
      const double x = mesh.positions[i] + 1.0;
      const double r = std::sqrt(x * x + mesh.positions[i + 1] * mesh.positions[i + 1] +
                                 mesh.positions[i + 2] * mesh.positions[i + 2]);
      ASSERT_NEAR(r, radii[frame - 1], 0.05) << "vertex " << i / 3;
    }
  }
}

const char* const kCachedScene = R"({"name": "g", "frames": [1, 3],
    "parameters": {"Space": 0, "Mode": 2, "Cache_filename": "cache/new/g", "Viscosity": 1,
                   "Resolution_X": 24, "Resolution_Y": 24, "Resolution_Z": 24},
    "sources": [{"type": "sphere", "radius": {"keys": [[1, 0.5], [3, 1.2]]}}]})";

// Mode 2 writes a cache file per frame, into a folder the tool makes; Mode 3
// plays them back to the same meshes.
TEST_F(CliEndToEnd, CacheWrittenIntoANewFolderThenPlayedBack) {
  Write("cached.json", kCachedScene);
  const Outcome simulated = Run({"run", "cached.json", "--output", "sim/g.#.obj"});
  ASSERT_EQ(simulated.status, 0) << simulated.err;
  EXPECT_EQ(Files("cache/new"), (std::vector<std::string>{"g.1.grd", "g.2.grd", "g.3.grd"}));
  const Outcome played = Run({"run", "cached.json", "--set", "Mode=3", "--output", "play/g.#.obj"});
  ASSERT_EQ(played.status, 0) << played.err;
  for (const char* name : {"g.1.obj", "g.2.obj", "g.3.obj"}) {
    SCOPED_TRACE(name);
    EXPECT_GT(ReadMesh(std::string("play/") + name).VertexCount(), 0u);
    EXPECT_EQ(ReadText(folder_ / "play" / name), ReadText(folder_ / "sim" / name));
  }
}

// A regular file where the cache folder should be: the meshes are still
// written, but the run fails and says which cache files are missing. A name
// the plug-in refuses is a warning before the run.
TEST_F(CliEndToEnd, CacheFilesThatCannotBeWrittenAreReported) {
  Write("cached.json", kCachedScene);
  Write("cache", "not a folder");
  const Outcome outcome = Run({"run", "cached.json", "--output", "sim/g.#.obj"});
  EXPECT_EQ(outcome.status, 1);
  const std::string base = (folder_ / "cache/new/g").string();
  EXPECT_NE(outcome.err.find(base + ".2.grd -> error."), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.err.find("error: " + base + ".%d.grd: the cache files of frames 1 to 3 are missing"),
            std::string::npos)
      << outcome.err;
  EXPECT_EQ(Files("sim"), (std::vector<std::string>{"g.1.obj", "g.2.obj", "g.3.obj"}));
  EXPECT_EQ(ReadText(folder_ / "cache"), "not a folder");

  // A name the plug-in refuses writes no cache file at all: the run says so.
  for (const char* name : {"", "cache/new/"}) {
    SCOPED_TRACE(name);
    const Outcome refused = Run({"run", "cached.json", "--set", std::string("Cache_filename=") + name, "--output",
                                 "sim/g.#.obj", "--quiet"});
    EXPECT_EQ(refused.status, 0) << refused.err;
    EXPECT_NE(refused.err.find("warning: g: \"Mode\" 2 writes no cache files: \"Cache_filename\""),
              std::string::npos)
        << refused.err;
  }
}

TEST_F(CliEndToEnd, DemoWritesBothPasses) {
  const Outcome outcome = Run({"demo", "--frames", "1-2", "--check"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(Files("glomora-out"), (std::vector<std::string>{"demo.0001.obj", "demo.0002.obj", "demo_tracked.0001.obj",
                                                            "demo_tracked.0002.obj"}));
  EXPECT_NE(outcome.out.find("demo_tracked frame 2: "), std::string::npos) << outcome.out;
}

TEST_F(CliEndToEnd, EmptyFramesWarnAndFail) {
  Write("ball.json", SphereScene(1, R"(, "Mute": true)"));
  const Outcome outcome = Run({"run", "ball.json"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.err.find("warning: frame 1: the mesh is empty"), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.err.find("warning: frame 2: the mesh is empty"), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.err.find("every frame was empty"), std::string::npos) << outcome.err;
  EXPECT_EQ(ReadMesh("glomora-out/ball.0002.obj").VertexCount(), 0u);
}

// Frame 1 has a sphere, frame 2 none (Mute keyed on): frame 2 is written
// empty, not as a copy of frame 1's mesh that the host still holds.
TEST_F(CliEndToEnd, EmptyFrameAfterAFullOneIsWrittenEmpty) {
  Write("ball.json", SphereScene(1, R"(, "Mute": {"keys": [[1, 0], [2, 1]]})"));
  const Outcome outcome = Run({"run", "ball.json"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_GT(ReadMesh("glomora-out/ball.0001.obj").VertexCount(), 0u);
  EXPECT_EQ(ReadMesh("glomora-out/ball.0002.obj").VertexCount(), 0u);
  EXPECT_NE(outcome.err.find("warning: frame 2: the mesh is empty"), std::string::npos) << outcome.err;
}

// A surface the container box cuts open is said once, with the box and where
// the elements are; one inside the box is not.
TEST_F(CliEndToEnd, ABoxThatCutsTheSurfaceIsSaidOnce) {
  Write("ball.json", SphereScene(0));
  Outcome outcome = Run({"run", "ball.json"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.err.find("cuts the surface"), std::string::npos) << outcome.err;
  Write("ball.json", SphereScene(0, R"(, "Size_X": 1.5)"));
  outcome = Run({"run", "ball.json"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const std::string warning =
      "glomora: warning: frame 1: the container box cuts the surface open: the box spans x -0.75 to 0.75, y -2 to 2, "
      "z -2 to 2; the elements (centre and radius) span x -1 to 1, y -1 to 1, z -1 to 1 (a larger Size_X, Size_Y, "
      "Size_Z, or the elements moved inside, closes it)\n";
  EXPECT_NE(outcome.err.find(warning), std::string::npos) << outcome.err;
  EXPECT_EQ(outcome.err.find("cuts the surface"), outcome.err.rfind("cuts the surface"));
}

TEST_F(CliEndToEnd, StatsFileHasCountsTimingsAndMemory) {
  Write("ball.json", SphereScene(1));
  const Outcome outcome = Run({"run", "ball.json", "--stats", "stats.json"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  // Timing lines were asked for by --stats only: they stay out of the log.
  EXPECT_EQ(outcome.err.find("msec."), std::string::npos) << outcome.err;
  const nlohmann::json stats = nlohmann::json::parse(ReadText(folder_ / "stats.json"));
  ASSERT_EQ(stats["runs"].size(), 1u);
  const nlohmann::json& frames = stats["runs"][0]["frames"];
  ASSERT_EQ(frames.size(), 2u);
  const MeshData mesh = ReadMesh("glomora-out/ball.0002.obj");
  EXPECT_EQ(frames[1]["frame"], 2);
  EXPECT_EQ(frames[1]["vertices"], mesh.VertexCount());
  EXPECT_EQ(frames[1]["triangles"], mesh.CountPolygonsOfSize(3));
  EXPECT_EQ(frames[1]["quads"], 0);
  EXPECT_TRUE(frames[1]["timings_ms"].contains("polygonizer"));
  EXPECT_TRUE(frames[1]["timings_ms"].contains("PolygonMesh::Set()"));
  EXPECT_GT(frames[1]["peak_memory_kib"].get<int64_t>(), 0);
  // A folder that cannot be made (a file is in the way) is named, with why.
  Write("blocker", "a file");
  const Outcome blocked = Run({"run", "ball.json", "--stats", "blocker/stats.json"});
  EXPECT_EQ(blocked.status, 1);
  EXPECT_NE(blocked.err.find("blocker/stats.json: cannot make the folder blocker (Not a directory)"), std::string::npos)
      << blocked.err;
}

struct BadRun {
  const char* what;
  std::vector<std::string> args;
  const char* scene;  // written as bad.json when not null
  int status;
  const char* message;
};

TEST_F(CliEndToEnd, BadInputExitsWithTwoAndSaysWhy) {
  const BadRun cases[] = {
      {"malformed scene", {"run", "bad.json"}, "{\"name\": ", 2, "bad.json: not valid JSON"},
      {"missing scene", {"run", "absent.json"}, nullptr, 2, "absent.json: cannot read the scene file"},
      {"bad parameter value", {"run", "bad.json"}, R"({"parameters": {"Mode": 5}})", 2,
       "parameters.Mode: expected 0, 1, 2 or 3, got 5"},
      {"missing points file", {"run", "bad.json"}, R"({"sources": [{"type": "cloud", "file": "none.ply"}]})", 2,
       "sources[0].file: no such file, got \"none.ply\""},
      {"bad --set", {"run", "bad.json", "--set", "Space=7"}, "{}", 2, "--set Space: expected 0"},
      {"unknown option", {"run", "bad.json", "--colour"}, "{}", 2, "--colour"},
      {"no command", {}, nullptr, 2, "A subcommand is required"},
      {"bad --frames", {"run", "bad.json", "--frames", "9-3"}, "{}", 2, "--frames 9-3"},
      {"open --frames", {"run", "bad.json", "--frames", "3-"}, "{}", 2, "--frames 3-"},
      {"--frames beyond nine digits", {"run", "bad.json", "--frames", "1234567890"}, "{}", 2,
       "--frames 1234567890"},
      {"--frames with letters", {"run", "bad.json", "--frames", "1-2x"}, "{}", 2, "--frames 1-2x"},
      {"bad --output", {"run", "bad.json", "--output", "x.stl"}, "{}", 2, "must end in .obj or .ply"},
      {"--output without frame", {"run", "bad.json", "--frames", "1-2", "--output", "x.obj"}, "{}", 2,
       "needs a frame number"},
      {"unknown field", {"run", "bad.json", "--volume", "v/{nam}.#.vdb"}, "{}", 2,
       "--volume v/{nam}.#.vdb: unknown field {nam} (the one field is {name}, the scene's name)"},
  };
  for (const BadRun& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.scene) Write("bad.json", c.scene);
    const Outcome outcome = Run(c.args);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
    EXPECT_FALSE(fs::exists(folder_ / "glomora-out"));
  }
}

TEST_F(CliEndToEnd, HelpVersionAndDemoScene) {
  Outcome outcome = Run({"--help"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_NE(outcome.out.find("run"), std::string::npos);
  outcome = Run({"--version"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out.rfind("glomora ", 0), 0u) << outcome.out;
  outcome = Run({"demo", "--print-scene"});
  ASSERT_EQ(outcome.status, 0);
  Write("demo.json", outcome.out);
  outcome = Run({"run", "demo.json", "--frames", "1-2", "--check"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(Files("glomora-out"), (std::vector<std::string>{"demo.0001.obj", "demo.0002.obj"}));
}

// The parameter reference needs no scene, and docs/parameters.md is its
// output: the page cannot drift from the catalogue.
TEST_F(CliEndToEnd, HelpParametersIsTheDocsPage) {
  const Outcome outcome = Run({"run", "--help-parameters"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("\n### Polygonization\n"), std::string::npos);
  EXPECT_EQ(outcome.out, ReadText(GLOMORA_PARAMETERS_PAGE))
      << "docs/parameters.md is out of date: glomora run --help-parameters > docs/parameters.md";
}

// A long recompute loop: Start_frame 1, first frame far ahead, Mode 1. The
// first Ctrl-C stops the loop after its current frame; the frame reached is
// written whole, the exit status is 130 and no temporary file is left.
TEST_F(CliEndToEnd, CtrlCStopsAfterTheFrameReached) {
  Write("long.json", R"({"name": "long", "frames": [200000, 200001],
    "parameters": {"Space": 0, "Mode": 1, "Start_frame": 1, "Resolution_X": 24, "Resolution_Y": 24,
                   "Resolution_Z": 24, "Viscosity": 1},
    "sources": [{"type": "sphere", "radius": 1}]})");
  Tool tool(folder_, {"run", "long.json"});
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (tool.Err().find("recomputing frames") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_NE(tool.Err().find("recomputing frames"), std::string::npos);
  std::this_thread::sleep_for(100ms);
  tool.Signal(SIGINT);
  const Outcome outcome = tool.Wait(30s);
  EXPECT_EQ(outcome.status, 130) << outcome.err;
  const std::vector<std::string> files = Files("glomora-out");
  ASSERT_EQ(files.size(), 1u);
  const int reached = std::stoi(files[0].substr(5, files[0].size() - 9));
  EXPECT_GT(reached, 0);
  EXPECT_LT(reached, 200000);
  EXPECT_GT(ReadMesh("glomora-out/" + files[0]).VertexCount(), 0u);
}

// Two Ctrl-C stop at once and leave no partial or temporary file.
TEST_F(CliEndToEnd, SecondCtrlCStopsAtOnceWithoutPartialFiles) {
  Write("many.json", R"({"name": "many", "frames": [1, 100000],
    "parameters": {"Space": 1, "JB_voxelsize": 0.05},
    "sources": [{"type": "sphere", "radius": 1}]})");
  for (const char* jobs : {"1", "2"}) {
    SCOPED_TRACE(std::string("--jobs ") + jobs);
    fs::remove_all(folder_ / "out");
    Tool tool(folder_, {"run", "many.json", "--output", "out/m.######.ply", "--jobs", jobs});
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (Files("out").size() < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    tool.Signal(SIGINT);
    tool.Signal(SIGINT);
    const Outcome outcome = tool.Wait(30s);
    EXPECT_EQ(outcome.status, 130) << outcome.err;
    for (const std::string& name : Files("out")) {
      SCOPED_TRACE(name);
      EXPECT_EQ(name.find(".tmp"), std::string::npos);
      EXPECT_TRUE(CheckMesh(ReadMesh("out/" + name)).closed);
    }
  }
}

// --- independent frames in worker processes (--jobs) -----------------------

// Space 1 frames, and Mode 3 playback of a Mode 2 simulation: the files, the
// --check report and the statistics' frames are those of one process on one
// thread (three workers of two threads each).
TEST_F(CliEndToEnd, JobsWriteTheBytesOfOneProcess) {
  Write("ball.json", SphereScene(1, R"(, "JB_voxelsize": {"keys": [[1, 0.1], [7, 0.2]]})"));
  Write("sim.json", R"({"name": "g", "frames": [1, 7],
    "parameters": {"Space": 0, "Mode": 2, "Cache_filename": "cache/g", "Viscosity": 1,
                   "Resolution_X": 20, "Resolution_Y": 20, "Resolution_Z": 20},
    "sources": [{"type": "sphere", "radius": {"keys": [[1, 0.5], [7, 1.5]]}}]})");
  fs::create_directories(folder_ / "cache");
  const Outcome simulation = Run({"run", "sim.json", "--output", "sim/g.#.obj", "--jobs", "2"});
  ASSERT_EQ(simulation.status, 0) << simulation.err;
  const std::string oneProcess = "glomora: --jobs 2: the frames are not independent (Space 0 in Modes 0 to 2 "
                                 "carries the field from frame to frame): they run in one process\n";
  EXPECT_NE(simulation.err.find(oneProcess), std::string::npos) << simulation.err;
  EXPECT_EQ(simulation.err.find(oneProcess), simulation.err.rfind(oneProcess));
  struct Case {
    const char* what;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"Space 1, OBJ", {"run", "ball.json", "--frames", "1-7", "--output", "{jobs}/m.####.obj"}},
      {"Mode 3 playback, PLY", {"run", "sim.json", "--set", "Mode=3", "--output", "{jobs}/g.#.ply"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string report[2];
    nlohmann::json frames[2];
    for (int jobs : {1, 3}) {
      std::vector<std::string> args = c.args;
      std::string& output = args.back();
      output.replace(output.find("{jobs}"), 6, "jobs" + std::to_string(jobs));
      for (const char* more : {"--check", "--stats", "stats.json", "--jobs"}) args.push_back(more);
      args.push_back(std::to_string(jobs));
      for (const char* more : {"--threads", jobs == 1 ? "1" : "2"}) args.push_back(more);
      const Outcome outcome = Run(args);
      ASSERT_EQ(outcome.status, 0) << outcome.err;
      // Frames end in any order: the count is of frames done.
      EXPECT_NE(outcome.err.find("\n7 of 7 done: "), std::string::npos) << outcome.err;
      const nlohmann::json stats = nlohmann::json::parse(ReadText(folder_ / "stats.json"));
      EXPECT_EQ(stats["runs"][0]["processes"], jobs);
      report[jobs / 3] = outcome.out;
      for (const auto& frame : stats["runs"][0]["frames"]) frames[jobs / 3].push_back(frame["frame"]);
    }
    for (std::string& text : report) text = text.substr(0, text.find("glomora: "));  // the folders differ
    EXPECT_EQ(report[0], report[1]);
    EXPECT_EQ(frames[0], frames[1]);
    EXPECT_EQ(frames[1].size(), 7u);
    ASSERT_EQ(Files("jobs1"), Files("jobs3"));
    for (const std::string& name : Files("jobs1")) {
      SCOPED_TRACE(name);
      EXPECT_EQ(ReadText(folder_ / "jobs1" / name), ReadText(folder_ / "jobs3" / name));
    }
    fs::remove_all(folder_ / "jobs1");
    fs::remove_all(folder_ / "jobs3");
  }
  // The memory budget is for the whole run: room for one lattice set (101^3
  // points, 32 bytes each) is room for one process.
  const Outcome tight =
      Run({"run", "sim.json", "--set", "Mode=3", "--set", "Resolution_X=100", "--set", "Resolution_Y=100", "--set",
           "Resolution_Z=100", "--output", "tight/g.#.ply", "--jobs", "2", "--max-memory",
           std::to_string(32 * 101 * 101 * 101 * 19 / 10), "--stats", "stats.json"});
  ASSERT_EQ(tight.status, 0) << tight.err;
  EXPECT_EQ(nlohmann::json::parse(ReadText(folder_ / "stats.json"))["runs"][0]["processes"], 1);
}

// A worker whose frame fails, and one that is killed mid-frame: the run
// fails naming the frame, and no partial or temporary file is left.
TEST_F(CliEndToEnd, FailingWorkerIsNamedAndLeavesNoPartialFile) {
  Write("ball.json", SphereScene(1, R"(, "JB_voxelsize": 0.02)"));
  auto expectNoPartialFile = [&] {
    for (const std::string& name : Files("out")) {
      SCOPED_TRACE(name);
      EXPECT_EQ(name.find(".tmp"), std::string::npos);
      if (fs::is_regular_file(folder_ / "out" / name)) {
        EXPECT_TRUE(CheckMesh(ReadMesh("out/" + name)).closed);
      }
    }
  };
  // Frame 3's file name is taken by a folder: its worker cannot write it.
  fs::create_directories(folder_ / "out/m.0003.obj");
  Outcome outcome = Run({"run", "ball.json", "--frames", "1-4", "--output", "out/m.####.obj", "--jobs", "2"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.err.find("out/m.0003.obj: "), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.err.find("frames not written: "), std::string::npos) << outcome.err;
  expectNoPartialFile();

  fs::remove_all(folder_ / "out");
  Tool tool(folder_, {"run", "ball.json", "--frames", "1-40", "--output", "out/m.####.obj", "--jobs", "2"});
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  std::string children;
  while ((Files("out").empty() || children.empty()) && std::chrono::steady_clock::now() < deadline) {
    children = ReadText("/proc/" + std::to_string(tool.Pid()) + "/task/" + std::to_string(tool.Pid()) + "/children");
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_FALSE(children.empty());
  const pid_t worker = std::stoi(children);
  ASSERT_EQ(::kill(worker, SIGKILL), 0);
  outcome = tool.Wait(30s);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.err.find("worker process " + std::to_string(worker) + " (killed by signal 9) ended during frame "),
            std::string::npos)
      << outcome.err;
  expectNoPartialFile();
}

// One Ctrl-C: every worker finishes the frame it is on, and the run ends
// with 130, every file complete and no worker left.
TEST_F(CliEndToEnd, CtrlCLetsEveryWorkerFinishItsFrame) {
  Write("many.json", R"({"name": "many", "frames": [1, 100000],
    "parameters": {"Space": 1, "JB_voxelsize": 0.05},
    "sources": [{"type": "sphere", "radius": 1}]})");
  Tool tool(folder_, {"run", "many.json", "--output", "out/m.######.ply", "--jobs", "2"});
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (Files("out").size() < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  const std::string children =
      ReadText("/proc/" + std::to_string(tool.Pid()) + "/task/" + std::to_string(tool.Pid()) + "/children");
  tool.Signal(SIGINT);
  const Outcome outcome = tool.Wait(30s);
  EXPECT_EQ(outcome.status, 130) << outcome.err;
  EXPECT_NE(outcome.err.find("warning: cancelled after "), std::string::npos) << outcome.err;
  EXPECT_EQ(outcome.err.find("error"), std::string::npos) << outcome.err;
  const std::vector<std::string> files = Files("out");
  EXPECT_GE(files.size(), 3u);
  EXPECT_LT(files.size(), 100u);
  for (const std::string& name : files) {
    SCOPED_TRACE(name);
    EXPECT_EQ(name.find(".tmp"), std::string::npos);
    EXPECT_TRUE(CheckMesh(ReadMesh("out/" + name)).closed);
  }
  std::istringstream pids(children);
  for (pid_t pid = 0; pids >> pid;) EXPECT_NE(::kill(pid, 0), 0) << "worker " << pid << " is still running";
}

}  // namespace
