#include "front/driver.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "base/allocation.h"
#include "base/clock.h"
#include "base/numeric.h"
#include "cubes/box_emitter.h"
#include "field/field_function.h"
#include "front/operator_instance.h"
#include "front/parameters.h"
#include "grid/tile_estimate.h"
#include "post/degenerate_relax.h"
#include "post/geometry_dataset.h"
#include "post/smoothing.h"
#include "scene/element_settings.h"
#include "scene/gather_elements.h"
#include "tracker/continuation_polygonizer.h"
#include "xsi_application.h"

namespace {

using ElementBlock = std::unique_ptr<MetaElement, FreeDeleter>;

XSI::CString Text(int64_t number) {
  return XSI::CValue(static_cast<XSI::LONG>(number)).GetAsText();
}

void Log(const XSI::Application& app, const XSI::CString& line) { app.LogMessage(line, XSI::siInfoMsg); }

// The frame before the start frame: where a simulation stands before its first step.
int32_t FrameBeforeStart(int32_t startFrame) { return startFrame == INT32_MIN ? startFrame : startFrame - 1; }

// Notes the box of the additive elements of a step of the lattices (see
// OperatorInstance::fieldElements); no allocation, no effect on the field.
void NoteFieldElements(OperatorInstance& instance, const MetaElement* elements, int32_t count) {
  instance.fieldElements = 0;
  for (int32_t n = 0; n < count; ++n) {
    const MetaElement& e = elements[n];
    if (!(e.weight > 0.0f)) continue;
    const float scale = std::max(std::fabs(e.scale.x), std::max(std::fabs(e.scale.y), std::fabs(e.scale.z)));
    const float reach = std::fabs(e.radius) * scale;
    const Float3 low{e.centre.x - reach, e.centre.y - reach, e.centre.z - reach};
    const Float3 high{e.centre.x + reach, e.centre.y + reach, e.centre.z + reach};
    if (instance.fieldElements++ == 0) {
      instance.fieldElementsLow = low;
      instance.fieldElementsHigh = high;
      continue;
    }
    Float3& lo = instance.fieldElementsLow;
    Float3& hi = instance.fieldElementsHigh;
    lo = {std::min(lo.x, low.x), std::min(lo.y, low.y), std::min(lo.z, low.z)};
    hi = {std::max(hi.x, high.x), std::max(hi.y, high.y), std::max(hi.z, high.z)};
  }
}

class Evaluation {
 public:
  Evaluation(OperatorInstance& instance, XSI::UpdateContext& context)
      : instance_(instance), settings_(instance.settings), mesh_(instance.mesh), op_(context.GetOperator()) {}

  // Space 0: the frame rules, then a direct step, the recompute loop or a replay.
  void GridPath(int32_t& frame);
  // Space 1: gather at the current frame and track the surface.
  void ContinuationPath(int32_t frame);
  void PostProcess();

 private:
  void ApplyFrameRules(int32_t frame);
  void ComputeCurrentFrame(int32_t frame);
  void RecomputeFrames(int32_t& frame);
  // Where the gatherer puts the values asked for beside the elements: null
  // when nothing is asked for (then nothing is gathered, kept or changed).
  ElementValues* TransferValues() {
    if (TransferRequest().empty()) return nullptr;
    instance_.transfer.values.Start(TransferRequest());
    return &instance_.transfer.values;
  }
  // The latest gathered elements, kept beside their values when asked for,
  // else released.
  void KeepForTransfer() {
    TransferElements& transfer = instance_.transfer;
    if (TransferRequest().empty() || !elements_) {
      elements_.reset();
      transfer.Release();
      return;
    }
    transfer.elements = std::move(elements_);
    transfer.count = elementCount_;
    transfer.blendingModel = settings_.blendingModel;
    transfer.valid = true;
  }
  void Extract() {
    instance_.gridPolygonizer.ExtractAndCache(settings_, instance_.cubeTable, mesh_, instance_.writeCache);
  }
  XSI::CString Caption() const {
    return settings_.fullName + L" recomputing frames " + Text(instance_.lastComputedFrame) + L" to " +
           Text(static_cast<int64_t>(instance_.framesToRecompute) + instance_.lastComputedFrame) + L" now at " +
           Text(instance_.loopFrame);
  }

  OperatorInstance& instance_;
  Settings& settings_;
  MeshArrays& mesh_;
  XSI::Operator op_;
  XSI::Application app_;
  ElementBlock elements_;
  int32_t elementCount_ = 0;
};

// Which frames this evaluation computes, and whether it writes or reads the cache.
void Evaluation::ApplyFrameRules(int32_t frame) {
  const int32_t start = settings_.startFrame;
  const int32_t beforeStart = FrameBeforeStart(start);
  if (frame == start) instance_.lastComputedFrame = beforeStart;
  if (instance_.previousFrame < start) instance_.lastComputedFrame = beforeStart;
  // Frames before the start frame are never simulated: a simulation that was
  // never stepped (only Space 1 or muted evaluations so far) starts there too,
  // instead of stepping through every frame since the beginning of time.
  if (instance_.lastComputedFrame < beforeStart) instance_.lastComputedFrame = beforeStart;
  const int64_t pending = static_cast<int64_t>(frame) - instance_.lastComputedFrame;
  instance_.framesToRecompute =
      static_cast<int32_t>(pending < INT32_MIN ? INT32_MIN : pending > INT32_MAX ? INT32_MAX : pending);
  instance_.computeNow = settings_.mode == Mode::kDirect || instance_.framesToRecompute <= 1;
  if (settings_.mode == Mode::kWriteCache) instance_.writeCache = true;
  if (settings_.mode == Mode::kReadCache) {
    instance_.computeNow = true;
    instance_.readCache = true;
  }
  if (!settings_.cacheUsable) {
    instance_.writeCache = false;
    instance_.readCache = false;
  }
}

// The current frame, one step from whatever the lattices hold (or its cache file).
void Evaluation::ComputeCurrentFrame(int32_t frame) {
  GridPolygonizer& grid = instance_.gridPolygonizer;
  settings_.evalFrame = frame;
  ReadElementSettings(settings_, op_, true);
  if (instance_.readCache) {
    if (!grid.ready && grid.EnsureGrids(settings_)) instance_.fieldFrame = FrameBeforeStart(settings_.startFrame);
    ReadGridCache(settings_, mesh_);
    mesh_.valid = true;
  }
  if (settings_.mode < Mode::kReadCache) {
    elements_.reset(GatherElements(elementCount_, settings_, op_, true, TransferValues()));
    if (elements_) {
      const BudgetCheck check =
          CheckLatticeBudget(grid, settings_, elements_.get(), elementCount_, instance_.tileEstimate);
      if (check == BudgetCheck::kRefused) {
        // Nothing stepped and the frame not counted as computed: it can be
        // evaluated again, under a larger budget.
        elements_.reset();
        mesh_.valid = false;
        return;
      }
      if (check == BudgetCheck::kStep) grid.SimulateStep(settings_, elements_.get(), elementCount_);
      instance_.fieldFrame = frame;
      NoteFieldElements(instance_, elements_.get(), elementCount_);
      Extract();
      mesh_.valid = true;
    }
  }
  instance_.lastComputedFrame = frame;
  if (!grid.ready) mesh_.valid = false;
}

// The recompute loop: steps through every frame since the last computed one,
// with the host's progress bar, until done or cancelled; `frame` becomes the
// last frame stepped.
void Evaluation::RecomputeFrames(int32_t& frame) {
  GridPolygonizer& grid = instance_.gridPolygonizer;
  instance_.loopFrame = frame - instance_.framesToRecompute;
  XSI::UIToolkit toolkit = app_.GetUIToolkit();
  XSI::ProgressBar bar = toolkit.GetProgressBar();
  bar.PutMaximum(instance_.framesToRecompute);
  bar.PutStep(1);
  bar.PutCaption(Caption());
  bar.PutStatusText(XSI::CString());
  bar.PutVisible(true);
  bool frameWritten = false;
  bool refused = false;
  if (!bar.IsCancelPressed()) {
    do {
      if (bar.GetValue() >= bar.GetMaximum()) break;
      mesh_.Clear();
      frameWritten = false;
      ++instance_.loopFrame;
      settings_.evalFrame = instance_.loopFrame;
      ReadElementSettings(settings_, op_, false);
      elements_.reset();
      elements_.reset(GatherElements(elementCount_, settings_, op_, false, TransferValues()));
      if (elements_) {
        const BudgetCheck check =
            CheckLatticeBudget(grid, settings_, elements_.get(), elementCount_, instance_.tileEstimate);
        if (check == BudgetCheck::kRefused) {
          // The loop stops before this frame, the lattices at the one before.
          --instance_.loopFrame;
          elements_.reset();
          refused = true;
          break;
        }
        if (check == BudgetCheck::kStep) grid.SimulateStep(settings_, elements_.get(), elementCount_);
        instance_.fieldFrame = instance_.loopFrame;
        NoteFieldElements(instance_, elements_.get(), elementCount_);
        if (instance_.writeCache) {
          Extract();
          frameWritten = true;
        }
        mesh_.valid = true;
      }
      bar.PutCaption(Caption());
      bar.Increment(1);
    } while (!bar.IsCancelPressed());
  }
  if (grid.ready && !frameWritten && !refused) {
    Extract();
    mesh_.valid = true;
  }
  frame = instance_.loopFrame;
  instance_.lastComputedFrame = instance_.loopFrame;
  if (!grid.ready || refused) mesh_.valid = false;
}

void Evaluation::GridPath(int32_t& frame) {
  mesh_.Clear();
  ApplyFrameRules(frame);
  if (settings_.mute || frame < settings_.startFrame) return;
  if (instance_.computeNow) {
    ComputeCurrentFrame(frame);
  } else {
    RecomputeFrames(frame);
  }
  if (settings_.logTime) LogTiming(L"- graph evaluation, simulation, polygonizer -> ", instance_.clock.Lap());
  KeepForTransfer();
}

void Evaluation::ContinuationPath(int32_t frame) {
  settings_.evalFrame = frame;
  ReadElementSettings(settings_, op_, true);
  instance_.gridPolygonizer.ready = false;
  elements_.reset(GatherElements(elementCount_, settings_, op_, true, TransferValues()));

  std::unique_ptr<FieldFunction> field;
  if (elements_) {
    if (elementCount_ > 0) {
      // An unknown blending model builds nothing: the mesh stays empty rather
      // than reusing an earlier evaluation's field. (An unknown polygonization
      // is a valid, empty result: the polygonizer emits nothing for it.)
      field = MakeFieldFunction(settings_.blendingModel, elements_.get(), settings_.isovalue, elementCount_);
      if (field) mesh_.valid = true;
    }
    instance_.lastComputedFrame = FrameBeforeStart(settings_.startFrame);
  }
  if (settings_.logTime) LogTiming(L"- graph evaluation -> ", instance_.clock.Lap());

  if (mesh_.valid) {
    const PolygonizeResult result =
        Polygonize(settings_, instance_.cubeTable, *field, elements_.get(), elementCount_, mesh_);
    if (result == PolygonizeResult::CubeLimitReached) {
      Log(app_, settings_.fullName + L" (polygonizer) -> surface too large, tracking stopped after " +
                    Text(kMaxTrackedCubes) + L" cubes.");
    } else if (result == PolygonizeResult::OutOfMemory) {
      Log(app_, settings_.fullName + L" (polygonizer) -> not enough memory.");
    }
  }
  if (settings_.logTime) LogTiming(L"- polygonizer -> ", instance_.clock.Stop());
  KeepForTransfer();
}

void Evaluation::PostProcess() {
  StageClock& clock = instance_.clock;
  clock.Start();
  GeometryDataset dataset;
  ResetDataset(dataset);
  if (settings_.degenerateActive || settings_.smoothActive) BuildDataset(dataset, settings_, mesh_.vertices, mesh_.polygons);
  if (settings_.degenerateActive) RelaxDegenerateEdges(settings_, mesh_.vertices, mesh_.polygons, dataset);
  if (settings_.smoothActive) SmoothGeometry(settings_, mesh_.vertices, dataset);
  WriteBackPositions(dataset, mesh_.vertices);
  if (settings_.logTime && !settings_.mute) LogTiming(L"- postprocessing -> ", clock.Lap());
  if (settings_.container && settings_.space == Space::kVoxelGrid) {
    EmitContainerOutline(mesh_.vertices, mesh_.polygons, Float3{0.0f, 0.0f, 0.0f}, settings_.size);
  }
  ReleaseDataset(dataset);
}

}  // namespace

void RestartSimulation(OperatorInstance& instance) {
  instance.gridPolygonizer.ready = false;
  instance.lastComputedFrame = FrameBeforeStart(instance.settings.startFrame);
  instance.previousFrame = instance.lastComputedFrame;
}

XSI::CStatus RunEvaluation(OperatorInstance& instance, XSI::UpdateContext& context, XSI::OutputPort& output) {
  // Only "OutParameter" is computed here.
  if (output.GetName() != L"OutParameter") return XSI::CStatus::OK;
  const XSI::Application app;
  Settings& settings = instance.settings;
  MeshArrays& mesh = instance.mesh;

  // The operator's name, the frame and the parameters; no result yet.
  settings.fullName = context.GetOperator().GetFullName();
  int32_t frame = RoundToInt(context.GetCurrentFrame());
  ReadParameters(settings, instance.clock, context.GetOperator());
  mesh.Clear();
  instance.transfer.Release();
  instance.tileEstimate = TileEstimate();
  instance.computeNow = false;
  instance.writeCache = false;
  instance.readCache = false;
  if (settings.logTime && !settings.mute) Log(app, L"**** " + settings.fullName + L" ****");

  // Polygonize in the chosen space, then post-process a result.
  Evaluation evaluation(instance, context);
  if (settings.space == Space::kVoxelGrid) {
    evaluation.GridPath(frame);
  } else if (settings.space == Space::kContinuation && !settings.mute) {
    evaluation.ContinuationPath(frame);
  }
  if (mesh.valid) evaluation.PostProcess();

  // The counts, and the output value: the triangle count when normals or UVs
  // were made, else 0.
  instance.previousFrame = frame;
  mesh.Count();
  XSI::LONG value = settings.userNormals || settings.uvSpace ? mesh.polygonCount : 0;
  if (mesh.nodeValueCount <= 0) value = 0;
  const XSI::CStatus status = output.PutValue(XSI::CValue(value));
  if (status != XSI::CStatus::OK) {
    Log(app, settings.fullName + L" -> " + output.GetName() + L" -> error.");
    return status;
  }
  return XSI::CStatus::OK;
}
