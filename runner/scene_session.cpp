#include "scene_session.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <span>
#include <type_traits>
#include <vector>

#include "cache_playback.h"
#include "front/glomora_api.h"
#include "host_scene_builder.h"
#include "mesh_check.h"
#include "mesh_files.h"
#include "process_memory.h"

using XSI::CString;
using XSI::CValue;
using XSI::Host::Scene;

namespace {

using Clock = std::chrono::steady_clock;

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
  std::string outOfMemory;  // the first " -> not enough memory." line

  void Clear() {
    timings.clear();
    normalsRefused = false;
    uvsRefused = false;
    outOfMemory.clear();
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

static_assert(sizeof(XSI::MATH::CVector3) == 3 * sizeof(double) && std::is_standard_layout_v<XSI::MATH::CVector3>,
              "a vertex array is read as x, y, z doubles in a row");
static_assert(sizeof(XSI::LONG) == sizeof(int32_t));

// Reads the host mesh (and, when asked, the cluster properties) into `mesh`.
// False when the polygon description is malformed.
bool ReadHostMesh(GlomoraRig& rig, bool withNormals, bool withUVs, FrameMesh& mesh) {
  const Scene& host = Scene::Get();
  host.GetMesh(rig.mesh, mesh.vertices, mesh.polygons);
  const XSI::MATH::CVector3Array& vertices = mesh.vertices;
  const XSI::CLongArray& polygons = mesh.polygons;
  MeshView& view = mesh.view;
  view.positions = {reinterpret_cast<const double*>(vertices.GetArray()), 3 * static_cast<size_t>(vertices.GetCount())};
  view.polygons = {polygons.GetArray(), static_cast<size_t>(polygons.GetCount())};
  if (XSI::Host::FirstMalformedEntry(vertices.GetCount(), polygons) >= 0) return false;
  const size_t nodeValues = 3 * view.NodeCount();
  auto take = [&](const XSI::CRef& property, XSI::CDoubleArray& values, std::span<const double>& out) {
    values = host.GetClusterValues(property);
    const XSI::CDoubleArray& shared = values;  // read only: no copy of the host's array
    if (static_cast<size_t>(shared.GetCount()) == nodeValues) out = {shared.GetArray(), nodeValues};
  };
  if (withNormals) take(rig.normalsProperty, mesh.nodeNormals, view.nodeNormals);
  if (withUVs) take(rig.uvProperty, mesh.nodeUVs, view.nodeUVs);
  return true;
}

// The largest length of the three-component values of `attribute`.
double LargestLength(const VertexAttribute& attribute) {
  double largest = 0.0;
  for (size_t i = 0; i + 2 < attribute.values.size(); i += 3) {
    const double x = attribute.values[i];
    const double y = attribute.values[i + 1];
    const double z = attribute.values[i + 2];
    largest = std::max(largest, std::sqrt(x * x + y * y + z * z));
  }
  return largest;
}

}  // namespace

int32_t TransferWidth(const SceneDescription& scene, const std::string& name) {
  if (name == "v") return 3;
  for (const SourceDescription& source : scene.sources) {
    if (source.file.empty()) continue;
    // The first file of the source: its attributes are checked against
    // this width when each file is read.
    std::string ignored;
    const auto pattern = FramePattern::Parse(source.file, ignored);
    if (!pattern) continue;
    MeshData mesh;
    if (!ReadMeshFile(pattern->HasFrame() ? pattern->Expand(scene.firstFrame) : source.file, mesh, ignored)) continue;
    if (const VertexAttribute* attribute = mesh.FindAttribute(name)) return attribute->components;
  }
  return 1;
}

bool WriteFrameFile(const std::string& file, const MeshView& mesh, const std::string& sceneName, int64_t frame,
                    std::string& error) {
  const std::string comment =
      std::string("glomora ") + Glomora_Version() + ", " + sceneName + " frame " + std::to_string(frame);
  return WriteMeshFile(file, mesh, sceneName, comment, error);
}

SceneSession::Observers SceneSession::ShownOn(ProgressDisplay& display, std::function<bool()> cancelRequested) {
  Observers observers;
  observers.hostLog = [&display](const std::string& text) { display.HostLog(text); };
  observers.hostProgress = [&display, cancelRequested = std::move(cancelRequested)](
                               const XSI::Host::ProgressState& state, XSI::Host::ProgressEvent event) {
    display.HostProgress(state, event);
    if (cancelRequested && cancelRequested()) Scene::Get().SetCancelPressed(true);
  };
  return observers;
}

struct SceneSession::State {
  const SceneDescription* scene = nullptr;
  RunOptions options;
  const FramePattern* output = nullptr;
  HostSceneBuilder hostScene;
  CacheWriteFailures cacheFailures;
  bool started = false;
  XSI::Host::AnimatedValue logTimeAsked;
  XSI::Host::AnimatedValue userNormals;
  XSI::Host::AnimatedValue uvSpace;
  XSI::Host::AnimatedValue polygonization;
  FrameLog frameLog;
  bool showTimings = false;
  // The names of the scene's "transfer" as the plug-in takes them, and each one's width.
  std::vector<const char*> transferNames;
  std::vector<int32_t> transferWidths;

  // The parameters the session itself reads, as the scene holds them now.
  void ReadParameters() {
    logTimeAsked = EffectiveParameter(*scene, "Log_time");
    userNormals = EffectiveParameter(*scene, "User_normals");
    uvSpace = EffectiveParameter(*scene, "UVspace");
    polygonization = EffectiveParameter(*scene, "Polygonization");
  }
};

const CacheWriteFailures& SceneSession::CacheFailures() const { return state_->cacheFailures; }

SceneSession::SceneSession() : state_(std::make_unique<State>()) {}

SceneSession::~SceneSession() {
  if (state_->started) state_->hostScene.Rig().Term();
}

bool SceneSession::Open(const SceneDescription& scene, const RunOptions& options, const FramePattern* output,
                        int64_t first, int64_t last, Observers observers, RunFailure& failure, std::string& error) {
  State& s = *state_;
  s.scene = &scene;
  s.options = options;
  s.output = output;
  SceneProblem problem = SceneProblem::BadInput;
  if (!s.hostScene.Build(scene, first, last, error, &problem)) {
    failure = problem == SceneProblem::MissingFile ? RunFailure::MissingFile : RunFailure::BadInput;
    error = options.label + ": " + error;
    return false;
  }
  Scene& host = Scene::Get();
  GlomoraRig& rig = s.hostScene.Rig();
  if (options.stats) rig.SetParameter(L"Log_time", CValue(true));
  s.ReadParameters();

  if (!scene.transfer.empty() && output != nullptr && MeshFormatOf(output->Text()) == MeshFormat::Obj &&
      observers.hostLog) {
    observers.hostLog("glomora: note: OBJ files have no place for per-vertex values: the \"transfer\" values "
                      "are not written (write .ply files to keep them)");
  }
  host.SetLogSink([&s, hostLog = std::move(observers.hostLog)](const XSI::Host::LogLine& line) {
    const std::string text = CString(line.text).GetAsciiString();
    s.cacheFailures.Note(text);
    std::string label;
    int64_t milliseconds = 0;
    const bool timing = ParseTimingLine(text, label, milliseconds);
    if (timing) s.frameLog.AddTiming(label, milliseconds);
    s.frameLog.normalsRefused = s.frameLog.normalsRefused || EndsWith(text, " -> OutUser_Normal_Property -> error.");
    s.frameLog.uvsRefused = s.frameLog.uvsRefused || EndsWith(text, " -> OutTexture_Projection -> error.");
    if (s.frameLog.outOfMemory.empty() && EndsWith(text, " -> not enough memory.")) s.frameLog.outOfMemory = text;
    const bool header = text.rfind("**** ", 0) == 0 && EndsWith(text, " ****");
    if ((!(timing || header) || s.showTimings) && hostLog) hostLog(text);
  });
  host.SetProgressObserver(std::move(observers.hostProgress));
  if (rig.Init().GetCode() != XSI::CStatus::OK) {
    failure = RunFailure::OutOfMemory;
    error = "the plug-in could not start (out of memory)";
    return false;
  }
  for (const std::string& name : scene.transfer) {
    s.transferNames.push_back(name.c_str());
    s.transferWidths.push_back(TransferWidth(scene, name));
  }
  s.started = true;
  return true;
}

void SceneSession::SetMemoryLimit(uint64_t bytes) { state_->options.memoryLimit = bytes; }

void SceneSession::ParameterChanged(const std::string& name) {
  State& s = *state_;
  XSI::Host::AnimatedValue value = EffectiveParameter(*s.scene, name);
  if (name == "Log_time" && s.options.stats) value = XSI::Host::AnimatedValue(CValue(true));
  s.hostScene.Rig().SetParameter(CString(name.c_str()), value);
  s.ReadParameters();
}

SceneSession::Outcome SceneSession::Evaluate(int64_t frame, FrameRecord& record, RunFailure& failure,
                                             std::string& error, FrameMesh* keptMesh) {
  const Outcome outcome = EvaluateFrame(frame, record, failure, error, keptMesh);
  if (outcome == Outcome::Failed) {
    record = FrameRecord();
    record.frame = frame;
    record.failed = true;
    record.stats["frame"] = frame;
    record.stats["failed"] = FailureName(failure);
    record.stats["error"] = error;
  }
  return outcome;
}

SceneSession::Outcome SceneSession::EvaluateFrame(int64_t frame, FrameRecord& record, RunFailure& failure,
                                                  std::string& error, FrameMesh* keptMesh) {
  State& s = *state_;
  Scene& host = Scene::Get();
  GlomoraRig& rig = s.hostScene.Rig();
  const Clock::time_point frameStart = Clock::now();
  const double hostFrame = static_cast<double>(frame);
  s.showTimings = static_cast<bool>(s.logTimeAsked.At(hostFrame));
  s.frameLog.Clear();
  const int barsBefore = host.GetProgress().barsCreated;
  failure = RunFailure::Failed;
  cancelled_ = false;

  // 1) evaluate, as the host does when the timeline reaches the frame, the
  // scene's transfer asked for first (the list is the plug-in's, for every
  // instance: another session may have set its own); a frame played back
  // from the cache only from a sound file, as the plug-in takes any other
  // for an empty frame
  if (PlaysBackCache(*s.scene, frame)) {
    error = CachePlaybackProblem(*s.scene, frame, failure);
    if (!error.empty()) return Outcome::Failed;
    failure = RunFailure::Failed;
  }
  Glomora_SetTransferAttributes(s.transferNames.data(), static_cast<int32_t>(s.transferNames.size()));
  Glomora_SetLatticeBudget(s.options.memoryLimit);
  const XSI::CStatus status = rig.Update(hostFrame);
  if (status.GetCode() != XSI::CStatus::OK) {
    error = "frame " + std::to_string(frame) + ": the plug-in's evaluation failed";
    return Outcome::Failed;
  }
  if (s.hostScene.TakeSourceError(error)) {
    failure = RunFailure::BadInput;
    error = s.options.label + ": " + error;
    return Outcome::Failed;
  }
  cancelled_ = host.IsCancelPressed();
  int64_t reached = frame;
  if (cancelled_ && host.GetProgress().barsCreated > barsBefore) {
    // The recompute loop stopped early: its last caption names the frame reached.
    if (host.GetProgress().value == 0) return Outcome::Nothing;  // no frame was stepped
    FrameOfCaption(host.GetProgress().caption, reached);
  }
  // The plug-in gives up on a frame it has no memory for, and says so: its
  // result is empty or not what the scene asks.
  GlomoraTileEstimate estimate{};
  const bool estimated = Glomora_GetTileEstimate(rig.op.GetAsText(), estimate) && estimate.made != 0;
  if (!s.frameLog.outOfMemory.empty() && estimated && estimate.overBudget != 0) {
    // Refused before its step: the tiles its elements reach do not fit.
    const double at = static_cast<double>(estimate.frame);
    const auto resolution = [&](const char* name) {
      return std::to_string(static_cast<XSI::LONG>(EffectiveParameter(*s.scene, name).At(at)));
    };
    failure = RunFailure::OverBudget;
    error = s.options.label + ": frame " + std::to_string(estimate.frame) + ": Resolution " +
            resolution("Resolution_X") + " x " + resolution("Resolution_Y") + " x " + resolution("Resolution_Z") +
            " needs " + FormatMemorySize(estimate.bytes) + " for the voxel lattices (" +
            std::to_string(estimate.tiles) + " tiles), above the memory limit of " +
            FormatMemorySize(s.options.memoryLimit) + " (--max-memory): nothing is written for the frame";
    host.ClearLog();
    return Outcome::Failed;
  }
  if (!s.frameLog.outOfMemory.empty()) {
    failure = RunFailure::OutOfMemory;
    error = "frame " + std::to_string(reached) + ": not enough memory (the plug-in's log: \"" + s.frameLog.outOfMemory +
            "\"): nothing is written for the frame";
    host.ClearLog();
    return Outcome::Failed;
  }

  // 2) the transfer operators write into the host mesh; an evaluation with
  // no result leaves it untouched, and then the frame is empty
  const int setsBefore = host.GetMeshSetCount(rig.mesh);
  rig.Transfer();
  const bool meshWritten = host.GetMeshSetCount(rig.mesh) > setsBefore;
  // Boxes ("Polygonization" 10) carry no per-node values.
  const bool boxes = static_cast<XSI::LONG>(s.polygonization.At(hostFrame)) == 10;
  const bool withNormals = !s.frameLog.normalsRefused && !boxes && static_cast<bool>(s.userNormals.At(hostFrame));
  const bool withUVs = !s.frameLog.uvsRefused && !boxes && static_cast<bool>(s.uvSpace.At(hostFrame));
  FrameMesh hostMesh;
  const MeshView& mesh = hostMesh.view;
  if (meshWritten && !ReadHostMesh(rig, withNormals, withUVs, hostMesh)) {
    error = "frame " + std::to_string(reached) + ": the plug-in wrote a malformed polygon description";
    return Outcome::Failed;
  }
  // The transferred values, onto the vertices just read (an empty frame has
  // none to carry)
  const size_t vertexCount = hostMesh.view.VertexCount();
  for (size_t t = 0; t < s.transferNames.size(); ++t) {
    VertexAttribute attribute{s.scene->transfer[t], s.transferWidths[t], {}};
    attribute.values.resize(vertexCount * static_cast<size_t>(attribute.components));
    if (vertexCount > 0 && !Glomora_TransferAttribute(rig.op.GetAsText(), s.transferNames[t], attribute.components,
                                                      attribute.values.data(), vertexCount)) {
      failure = RunFailure::BadInput;
      error = "frame " + std::to_string(reached) + ": \"" + attribute.name +
              "\" cannot be carried onto the mesh: its evaluation gathered no elements (Mode 3 plays meshes back "
              "from cache files, which hold no values)";
      return Outcome::Failed;
    }
    hostMesh.attributes.push_back(std::move(attribute));
  }
  for (const VertexAttribute& attribute : hostMesh.attributes) {
    hostMesh.view.attributes.push_back(AttributeView{attribute.name, attribute.components, attribute.values});
  }

  // 3) the file, written whole under a temporary name first
  const std::string& name = s.scene->name;
  std::string file;
  if (s.output != nullptr) {
    file = s.output->Expand(reached);
    if (!WriteFrameFile(file, mesh, name, reached, error)) return Outcome::Failed;
  }
  if (s.options.afterFrame && !s.options.afterFrame(WrittenFrame{reached, file, &mesh, &rig}, error)) {
    return Outcome::Failed;
  }

  // 4) what it gave
  record = FrameRecord();
  record.frame = reached;
  record.file = file;
  record.vertices = mesh.VertexCount();
  record.polygons = mesh.PolygonCount();
  record.empty = mesh.VertexCount() == 0;
  const size_t triangles = mesh.CountPolygonsOfSize(3);
  const size_t quads = mesh.CountPolygonsOfSize(4);
  nlohmann::ordered_json& stats = record.stats;
  stats["frame"] = reached;
  if (s.output != nullptr) stats["file"] = file;
  stats["vertices"] = record.vertices;
  stats["triangles"] = triangles;
  stats["quads"] = quads;
  stats["polygons"] = record.polygons;
  for (const VertexAttribute& attribute : hostMesh.attributes) {
    if (attribute.name == "v") stats["largest_speed"] = LargestLength(attribute);
  }
  if (s.options.check) {
    const MeshCheck check = CheckMesh(mesh);
    char counts[160];
    std::snprintf(counts, sizeof counts, " frame %lld: %zu vertices, %zu triangles, %zu quads: ",
                  static_cast<long long>(reached), record.vertices, triangles, quads);
    record.checkLine = name + counts + DescribeCheck(check);
    stats["check"] = {{"closed", check.closed},
                      {"manifold", check.manifold},
                      {"oriented", check.oriented},
                      {"boundary_edges", check.boundaryEdges},
                      {"non_manifold_edges", check.nonManifoldEdges},
                      {"non_manifold_vertices", check.nonManifoldVertices},
                      {"misoriented_edges", check.misorientedEdges},
                      {"degenerate_polygons", check.degeneratePolygons}};
  }
  nlohmann::ordered_json timings = nlohmann::ordered_json::object();
  for (const auto& [label, milliseconds] : s.frameLog.timings) timings[label] = milliseconds;
  stats["timings_ms"] = timings;
  stats["seconds"] = std::chrono::duration<double>(Clock::now() - frameStart).count();
  stats["peak_memory_kib"] = PeakMemoryKiB();
  GlomoraLatticeStats lattice{};
  if (Glomora_GetLatticeStats(rig.op.GetAsText(), lattice)) {
    stats["lattice"] = {{"storage", lattice.storage == 2 ? "sparse" : "dense"},
                        {"tiles", lattice.tiles},
                        {"bytes", lattice.bytes}};
    if (estimated) {
      stats["lattice"]["tiles_estimated"] = estimate.tiles;
      stats["lattice"]["bytes_estimated"] = estimate.bytes;
    }
  }
  host.ClearLog();
  if (keptMesh != nullptr) *keptMesh = std::move(hostMesh);
  return Outcome::Written;
}
