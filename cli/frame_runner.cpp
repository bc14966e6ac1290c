#include "frame_runner.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "atomic_file.h"
#include "frame_pattern.h"
#include "glomora_api.h"
#include "host_scene_builder.h"
#include "interrupt.h"
#include "memory_limit.h"
#include "mesh_check.h"
#include "mesh_writers.h"

using XSI::CString;
using XSI::CValue;
using XSI::Host::Scene;

namespace {

using Clock = std::chrono::steady_clock;

void PrintError(const std::string& text) {
  std::fprintf(stderr, "glomora: error: %s\n", text.c_str());
  std::fflush(stderr);
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string LowerExtension(const std::string& file) {
  std::string extension = std::filesystem::path(file).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A timing line of the plug-in: "- LABEL -> N msec." or "- LABEL: N msec.".
bool ParseTimingLine(const std::string& line, std::string& label, int64_t& milliseconds) {
  if (line.rfind("- ", 0) != 0 || !EndsWith(line, " msec.")) return false;
  const std::string body = line.substr(2, line.size() - 2 - 6);
  size_t split = body.rfind(" -> ");
  size_t numberAt = split == std::string::npos ? std::string::npos : split + 4;
  if (split == std::string::npos) {
    split = body.rfind(": ");
    if (split == std::string::npos) return false;
    numberAt = split + 2;
  }
  label = body.substr(0, split);
  try {
    size_t used = 0;
    milliseconds = std::stoll(body.substr(numberAt), &used);
    return used == body.size() - numberAt;
  } catch (const std::exception&) {
    return false;
  }
}

// The frame the recompute loop had reached, from its caption "... now at N".
bool FrameOfCaption(const std::wstring& caption, int64_t& frame) {
  const size_t at = caption.rfind(L" now at ");
  if (at == std::wstring::npos) return false;
  try {
    size_t used = 0;
    frame = std::stoll(caption.substr(at + 8), &used);
    return used == caption.size() - at - 8;
  } catch (const std::exception&) {
    return false;
  }
}

int64_t PeakMemoryKiB() {
  rusage usage{};
  return ::getrusage(RUSAGE_SELF, &usage) == 0 ? static_cast<int64_t>(usage.ru_maxrss) : 0;
}

// What the log said during one frame.
struct FrameLog {
  std::vector<std::pair<std::string, int64_t>> timings;  // in order of first appearance, repeats summed
  bool normalsRefused = false;
  bool uvsRefused = false;

  void Clear() {
    timings.clear();
    normalsRefused = false;
    uvsRefused = false;
  }
  void AddTiming(const std::string& label, int64_t milliseconds) {
    for (auto& entry : timings) {
      if (entry.first == label) {
        entry.second += milliseconds;
        return;
      }
    }
    timings.emplace_back(label, milliseconds);
  }
};

// Reads the host mesh (and, when asked, the cluster properties) into `mesh`.
// False when the polygon description is malformed.
bool ReadHostMesh(GlomoraRig& rig, bool withNormals, bool withUVs, MeshData& mesh) {
  const Scene& host = Scene::Get();
  XSI::MATH::CVector3Array vertices;
  XSI::CLongArray polygons;
  host.GetMesh(rig.mesh, vertices, polygons);
  mesh.Clear();
  mesh.positions.reserve(static_cast<size_t>(vertices.GetCount()) * 3);
  for (XSI::LONG i = 0; i < vertices.GetCount(); ++i) {
    mesh.positions.push_back(vertices[i].GetX());
    mesh.positions.push_back(vertices[i].GetY());
    mesh.positions.push_back(vertices[i].GetZ());
  }
  mesh.polygons.assign(polygons.GetArray(), polygons.GetArray() + polygons.GetCount());
  for (size_t i = 0; i < mesh.polygons.size();) {
    const int32_t n = mesh.polygons[i];
    if (n < 3 || static_cast<size_t>(n) > mesh.polygons.size() - i - 1) return false;
    for (int32_t k = 1; k <= n; ++k) {
      const int32_t index = mesh.polygons[i + static_cast<size_t>(k)];
      if (index < 0 || static_cast<size_t>(index) >= mesh.VertexCount()) return false;
    }
    i += static_cast<size_t>(n) + 1;
  }
  const size_t nodeValues = 3 * mesh.NodeCount();
  auto take = [&](const XSI::CRef& property, std::vector<double>& out) {
    const XSI::CDoubleArray values = host.GetClusterValues(property);
    if (static_cast<size_t>(values.GetCount()) == nodeValues) out.assign(values.GetArray(), values.GetArray() + nodeValues);
  };
  if (withNormals) take(rig.normalsProperty, mesh.nodeNormals);
  if (withUVs) take(rig.uvProperty, mesh.nodeUVs);
  return true;
}

class TermOnExit {
 public:
  explicit TermOnExit(GlomoraRig& rig) : rig_(rig) {}
  ~TermOnExit() { rig_.Term(); }
  TermOnExit(const TermOnExit&) = delete;
  TermOnExit& operator=(const TermOnExit&) = delete;

 private:
  GlomoraRig& rig_;
};

}  // namespace

RunResult RunScene(const SceneDescription& scene, const RunOptions& options, ProgressDisplay& display) {
  RunResult result;
  result.stats["scene"] = scene.name;
  result.stats["frames"] = nlohmann::ordered_json::array();
  auto fail = [&](int code, const std::string& message) {
    display.Finish();
    PrintError(message);
    result.exitCode = code;
    return result;
  };

  // 1) frames and output files
  const int64_t first = options.firstFrame.value_or(scene.firstFrame);
  const int64_t last = options.lastFrame.value_or(scene.lastFrame);
  if (first > last) return fail(kExitBadInput, "--frames: the first frame comes after the last");
  std::string patternError;
  const std::string outputText = ReplaceAll(options.output, "{name}", scene.name);
  const auto output = FramePattern::Parse(outputText, patternError);
  if (!output) return fail(kExitBadInput, "--output " + outputText + ": " + patternError);
  const std::string extension = LowerExtension(outputText);
  if (extension != ".obj" && extension != ".ply") {
    return fail(kExitBadInput, "--output " + outputText + ": the file name must end in .obj or .ply");
  }
  if (!output->HasFrame() && last > first) {
    return fail(kExitBadInput, "--output " + outputText + ": writing several frames needs a frame number in the name "
                               "(#### or %04d)");
  }
  const bool writeObj = extension == ".obj";
  if (options.memoryLimit > 0) {
    const LatticeNeed need = LargestLatticeNeed(scene, first, last);
    if (need.bytes > options.memoryLimit) {
      return fail(kExitBadInput,
                  options.label + ": frame " + std::to_string(need.frame) + ": Resolution " +
                      std::to_string(need.resolution[0]) + " x " + std::to_string(need.resolution[1]) + " x " +
                      std::to_string(need.resolution[2]) + " needs " + FormatMemorySize(need.bytes) +
                      " for the voxel lattices, above the memory limit of " + FormatMemorySize(options.memoryLimit) +
                      " (--max-memory)");
    }
  }

  // 2) the host scene, its log and its progress bar
  HostScene hostScene;
  std::string error;
  if (!hostScene.Build(scene, first, last, error)) return fail(kExitBadInput, options.label + ": " + error);
  Scene& host = Scene::Get();
  GlomoraRig& rig = hostScene.Rig();
  if (options.stats) rig.SetParameter(L"Log_time", CValue(true));
  const XSI::Host::AnimatedValue logTimeAsked = EffectiveParameter(scene, "Log_time");
  const XSI::Host::AnimatedValue userNormals = EffectiveParameter(scene, "User_normals");
  const XSI::Host::AnimatedValue uvSpace = EffectiveParameter(scene, "UVspace");
  const XSI::Host::AnimatedValue polygonization = EffectiveParameter(scene, "Polygonization");

  FrameLog frameLog;
  bool showTimings = false;
  host.SetLogSink([&](const XSI::Host::LogLine& line) {
    const std::string text = CString(line.text).GetAsciiString();
    std::string label;
    int64_t milliseconds = 0;
    const bool timing = ParseTimingLine(text, label, milliseconds);
    if (timing) frameLog.AddTiming(label, milliseconds);
    frameLog.normalsRefused = frameLog.normalsRefused || EndsWith(text, " -> OutUser_Normal_Property -> error.");
    frameLog.uvsRefused = frameLog.uvsRefused || EndsWith(text, " -> OutTexture_Projection -> error.");
    const bool header = text.rfind("**** ", 0) == 0 && EndsWith(text, " ****");
    if (!(timing || header) || showTimings) display.HostLog(text);
  });
  host.SetProgressObserver(
      [&](const XSI::Host::ProgressState& state, XSI::Host::ProgressEvent event) { display.HostProgress(state, event); });
  if (InterruptRequested()) host.SetCancelPressed(true);

  // 3) the timeline
  if (rig.Init().GetCode() != XSI::CStatus::OK) return fail(kExitFailure, "the plug-in could not start (out of memory)");
  TermOnExit term(rig);
  const Clock::time_point start = Clock::now();
  const int64_t total = last - first + 1;
  int64_t emptyFrames = 0;
  int64_t framesDone = 0;
  bool cancelled = false;
  for (int64_t frame = first; frame <= last && !cancelled; ++frame) {
    const Clock::time_point frameStart = Clock::now();
    const double hostFrame = static_cast<double>(frame);
    showTimings = static_cast<bool>(logTimeAsked.At(hostFrame));
    frameLog.Clear();
    const int barsBefore = host.GetProgress().barsCreated;

    // 3a) evaluate, as the host does when the timeline reaches the frame
    const XSI::CStatus status = rig.Update(hostFrame);
    if (status.GetCode() != XSI::CStatus::OK) {
      return fail(kExitFailure, "frame " + std::to_string(frame) + ": the plug-in's evaluation failed");
    }
    if (hostScene.TakeSourceError(error)) return fail(kExitBadInput, options.label + ": " + error);
    cancelled = host.IsCancelPressed();
    int64_t reached = frame;
    if (cancelled && host.GetProgress().barsCreated > barsBefore) {
      // The recompute loop stopped early: its last caption names the frame reached.
      if (host.GetProgress().value == 0) break;  // no frame was stepped: nothing to write
      FrameOfCaption(host.GetProgress().caption, reached);
    }

    // 3b) the transfer operators write into the host mesh; an evaluation with
    // no result leaves it untouched, and then the frame is empty
    const int setsBefore = host.GetMeshSetCount(rig.mesh);
    rig.Transfer();
    const bool meshWritten = host.GetMeshSetCount(rig.mesh) > setsBefore;
    const bool tenPolygonization = static_cast<XSI::LONG>(polygonization.At(hostFrame)) == 10;
    const bool withNormals = !frameLog.normalsRefused && !tenPolygonization && static_cast<bool>(userNormals.At(hostFrame));
    const bool withUVs = !frameLog.uvsRefused && !tenPolygonization && static_cast<bool>(uvSpace.At(hostFrame));
    MeshData mesh;
    if (meshWritten && !ReadHostMesh(rig, withNormals, withUVs, mesh)) {
      return fail(kExitFailure, "frame " + std::to_string(reached) + ": the plug-in wrote a malformed polygon description");
    }
    if (mesh.VertexCount() == 0) {
      ++emptyFrames;
      display.Warning("frame " + std::to_string(reached) + ": the mesh is empty");
    }

    // 3c) the file, written whole under a temporary name first
    const std::string file = output->Expand(reached);
    const std::filesystem::path folder = std::filesystem::path(file).parent_path();
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
    const std::string comment = std::string("glomora ") + Glomora_Version() + ", " + scene.name + " frame " +
                                std::to_string(reached);
    const std::string bytes = writeObj ? WriteObj(mesh, scene.name, comment) : WritePly(mesh, comment);
    if (!WriteFileAtomically(file, bytes, error)) return fail(kExitFailure, file + ": " + error);
    if (options.afterFrame && !options.afterFrame(WrittenFrame{reached, file, mesh, rig}, error)) {
      return fail(kExitFailure, error);
    }
    ++framesDone;
    ++result.filesWritten;
    if (result.firstFile.empty()) result.firstFile = file;
    result.lastFile = file;

    // 3d) reports
    const size_t triangles = mesh.CountPolygonsOfSize(3);
    const size_t quads = mesh.CountPolygonsOfSize(4);
    nlohmann::ordered_json frameStats;
    frameStats["frame"] = reached;
    frameStats["file"] = file;
    frameStats["vertices"] = mesh.VertexCount();
    frameStats["triangles"] = triangles;
    frameStats["quads"] = quads;
    frameStats["polygons"] = mesh.PolygonCount();
    if (options.check) {
      const MeshCheck check = CheckMesh(mesh);
      display.Finish();  // the status line on a shared terminal
      std::printf("%s frame %lld: %zu vertices, %zu triangles, %zu quads: %s\n", scene.name.c_str(),
                  static_cast<long long>(reached), mesh.VertexCount(), triangles, quads, DescribeCheck(check).c_str());
      std::fflush(stdout);
      frameStats["check"] = {{"closed", check.closed},
                             {"manifold", check.manifold},
                             {"oriented", check.oriented},
                             {"boundary_edges", check.boundaryEdges},
                             {"non_manifold_edges", check.nonManifoldEdges},
                             {"non_manifold_vertices", check.nonManifoldVertices},
                             {"misoriented_edges", check.misorientedEdges},
                             {"degenerate_polygons", check.degeneratePolygons}};
    }
    nlohmann::ordered_json timings = nlohmann::ordered_json::object();
    for (const auto& [label, milliseconds] : frameLog.timings) timings[label] = milliseconds;
    frameStats["timings_ms"] = timings;
    frameStats["seconds"] = std::chrono::duration<double>(Clock::now() - frameStart).count();
    frameStats["peak_memory_kib"] = PeakMemoryKiB();
    result.stats["frames"].push_back(frameStats);
    host.ClearLog();

    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    display.FrameDone(std::to_string(mesh.VertexCount()) + " vertices, " + std::to_string(mesh.PolygonCount()) +
                          " polygons -> " + file,
                      framesDone, total, elapsed);
  }
  display.Finish();

  if (cancelled) {
    display.Warning("cancelled after " + std::to_string(framesDone) + " of " + std::to_string(total) + " frames");
    result.exitCode = kExitCancelled;
  } else if (framesDone > 0 && emptyFrames == framesDone) {
    PrintError("every frame was empty");
    result.exitCode = kExitFailure;
  }
  return result;
}
