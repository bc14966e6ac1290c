#include "front/driver.h"

#include <memory>

#include "field/field_function.h"
#include "field/numeric.h"
#include "front/allocation.h"
#include "front/clock.h"
#include "front/operator_instance.h"
#include "front/parameters.h"
#include "grid/box_emitter.h"
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

void ClearMeshArrays(OperatorInstance& in) {
  in.vertices.Clear();
  in.polygons.Clear();
  in.nodeValues.Clear();
  in.vertexCount = 0;
  in.polygonCount = 0;
  in.nodeValueCount = 0;
}

std::unique_ptr<FieldFunction> MakeField(int32_t model, const MetaElement* elements, float iso, int32_t count) {
  switch (model) {
    case 0: return std::make_unique<InverseSquareField>(elements, iso, count);
    case 1: return std::make_unique<PolynomialField>(elements, iso, count);
    case 2: return std::make_unique<ExponentialField>(elements, iso, count);
    default: return nullptr;
  }
}

// The frame before the start frame: where a simulation stands before its first step.
int32_t FrameBeforeStart(int32_t startFrame) { return startFrame == INT32_MIN ? startFrame : startFrame - 1; }

class Evaluation {
 public:
  Evaluation(OperatorInstance& in, XSI::UpdateContext& context) : in_(in), op_(context.GetOperator()) {}

  // Space 0: the frame rules, then a direct step, the recompute loop or a replay.
  void GridPath(int32_t& frame);
  // Space 1: gather at the current frame and track the surface.
  void ContinuationPath(int32_t frame);
  void PostProcess();

 private:
  void Extract() {
    in_.gridPolygonizer.ExtractAndCache(in_.vertices, in_.polygons, in_.nodeValues, in_.writeCache);
  }
  XSI::CString Caption() const {
    return in_.fullName + L" recomputing frames " + Text(in_.lastComputedFrame) + L" to " +
           Text(static_cast<int64_t>(in_.framesToRecompute) + in_.lastComputedFrame) + L" now at " +
           Text(in_.loopFrame);
  }

  OperatorInstance& in_;
  XSI::Operator op_;
  XSI::Application app_;
  ElementBlock elements_;
  int32_t elementCount_ = 0;
};

void Evaluation::GridPath(int32_t& frame) {
  ClearMeshArrays(in_);

  // 1) frame rules
  const int32_t start = in_.startFrame;
  const int32_t beforeStart = FrameBeforeStart(start);
  if (frame == start) in_.lastComputedFrame = beforeStart;
  if (in_.previousFrame < start) in_.lastComputedFrame = beforeStart;
  // Frames before the start frame are never simulated: a simulation that was
  // never stepped (only Space 1 or muted evaluations so far) starts there too,
  // instead of stepping through every frame since the beginning of time.
  if (in_.lastComputedFrame < beforeStart) in_.lastComputedFrame = beforeStart;
  const int64_t pending = static_cast<int64_t>(frame) - in_.lastComputedFrame;
  in_.framesToRecompute = static_cast<int32_t>(pending < INT32_MIN ? INT32_MIN : pending > INT32_MAX ? INT32_MAX : pending);
  in_.computeNow = in_.mode == 0 || in_.framesToRecompute <= 1;
  if (in_.mode == 2) in_.writeCache = true;
  if (in_.mode == 3) {
    in_.computeNow = true;
    in_.readCache = true;
  }
  if (!in_.cacheUsable) {
    in_.writeCache = false;
    in_.readCache = false;
  }
  if (in_.mute || frame < start) return;

  in_.gridPolygonizer.cubeTable = &in_.cubeTable;
  if (in_.computeNow) {
    // 2) the current frame, one step from whatever the lattices hold
    in_.evalFrame = frame;
    ReadElementSettings(in_, op_, true);
    in_.gridPolygonizer.owner = &in_;
    if (in_.readCache) {
      if (!in_.gridReady) in_.gridPolygonizer.EnsureGrids();
      in_.gridPolygonizer.ReadGridCache(in_.vertices, in_.polygons, in_.nodeValues);
      in_.resultValid = true;
    }
    if (in_.mode < 3) {
      elements_.reset(GatherElements(elementCount_, in_, op_, true));
      if (elements_) {
        in_.gridPolygonizer.SimulateStep(elements_.get(), elementCount_);
        Extract();
        in_.resultValid = true;
      }
    }
    in_.lastComputedFrame = frame;
    if (!in_.gridReady) in_.resultValid = false;
  } else {
    // 3) the recompute loop: step through every frame since the last computed one
    in_.loopFrame = frame - in_.framesToRecompute;
    XSI::UIToolkit toolkit = app_.GetUIToolkit();
    XSI::ProgressBar bar = toolkit.GetProgressBar();
    bar.PutMaximum(in_.framesToRecompute);
    bar.PutStep(1);
    bar.PutCaption(Caption());
    bar.PutStatusText(XSI::CString());
    bar.PutVisible(true);
    bool frameWritten = false;
    if (!bar.IsCancelPressed()) {
      do {
        if (bar.GetValue() >= bar.GetMaximum()) break;
        ClearMeshArrays(in_);
        frameWritten = false;
        ++in_.loopFrame;
        in_.evalFrame = in_.loopFrame;
        ReadElementSettings(in_, op_, false);
        in_.gridPolygonizer.owner = &in_;
        elements_.reset();
        elements_.reset(GatherElements(elementCount_, in_, op_, false));
        if (elements_) {
          in_.gridPolygonizer.SimulateStep(elements_.get(), elementCount_);
          if (in_.writeCache) {
            Extract();
            frameWritten = true;
          }
          in_.resultValid = true;
        }
        bar.PutCaption(Caption());
        bar.Increment(1);
      } while (!bar.IsCancelPressed());
    }
    if (in_.gridReady && !frameWritten) {
      Extract();
      in_.resultValid = true;
    }
    frame = in_.loopFrame;
    in_.lastComputedFrame = in_.loopFrame;
    if (!in_.gridReady) in_.resultValid = false;
  }

  if (in_.logTime) Log(app_, XSI::CString(L"- graph evaluation, simulation, polygonizer -> ") + Text(Lap(in_)) + L" msec.");
  elements_.reset();
}

void Evaluation::ContinuationPath(int32_t frame) {
  in_.evalFrame = frame;
  ReadElementSettings(in_, op_, true);
  in_.gridReady = false;
  in_.continuationPolygonizer.owner = &in_;
  elements_.reset(GatherElements(elementCount_, in_, op_, true));

  std::unique_ptr<FieldFunction> field;
  if (elements_) {
    if (elementCount_ > 0) {
      // An unknown blending model builds nothing: the mesh stays empty rather
      // than reusing an earlier evaluation's field. (An unknown polygonization
      // is a valid, empty result: the polygonizer emits nothing for it.)
      field = MakeField(in_.blendingModel, elements_.get(), in_.isovalue, elementCount_);
      if (field) {
        in_.continuationPolygonizer.field = field.get();
        in_.resultValid = true;
      }
    }
    in_.lastComputedFrame = FrameBeforeStart(in_.startFrame);
  }
  if (in_.logTime) Log(app_, XSI::CString(L"- graph evaluation -> ") + Text(Lap(in_)) + L" msec.");

  if (in_.resultValid) {
    in_.continuationPolygonizer.cubeTable = &in_.cubeTable;
    const PolygonizeResult result = Polygonize(in_.continuationPolygonizer, elements_.get(), elementCount_,
                                               in_.vertices, in_.polygons, in_.nodeValues);
    if (result == PolygonizeResult::CubeLimitReached) {
      Log(app_, in_.fullName + L" (polygonizer) -> surface too large, tracking stopped after " +
                    Text(kMaxTrackedCubes) + L" cubes.");
    } else if (result == PolygonizeResult::OutOfMemory) {
      Log(app_, in_.fullName + L" (polygonizer) -> not enough memory.");
    }
  }
  if (in_.logTime) {
    in_.clockEnd = ClockMs();
    Log(app_, XSI::CString(L"- polygonizer -> ") + Text(static_cast<int64_t>(in_.clockEnd) - in_.clockStart) + L" msec.");
  }
  in_.continuationPolygonizer.field = nullptr;
  elements_.reset();
}

void Evaluation::PostProcess() {
  in_.clockStart = ClockMs();
  GeometryDataset dataset;
  ResetDataset(dataset);
  if (in_.degenerateActive || in_.smoothActive) BuildDataset(dataset, in_, in_.vertices, in_.polygons);
  if (in_.degenerateActive) RelaxDegenerateEdges(in_, in_.vertices, in_.polygons, dataset);
  if (in_.smoothActive) SmoothGeometry(in_, in_.vertices, dataset);
  WriteBackPositions(dataset, in_.vertices);
  if (in_.logTime && !in_.mute) {
    in_.clockEnd = ClockMs();
    Log(app_, XSI::CString(L"- postprocessing -> ") + Text(static_cast<int64_t>(in_.clockEnd) - in_.clockStart) + L" msec.");
    in_.clockStart = ClockMs();
  }
  if (in_.container && in_.space == 0) EmitContainerOutline(in_.vertices, in_.polygons, Float3{0.0f, 0.0f, 0.0f}, in_.size);
  ReleaseDataset(dataset);
}

}  // namespace

void RestartSimulation(OperatorInstance& in) {
  in.gridReady = false;
  in.lastComputedFrame = FrameBeforeStart(in.startFrame);
  in.previousFrame = in.lastComputedFrame;
}

XSI::CStatus RunEvaluation(OperatorInstance& in, XSI::UpdateContext& context, XSI::OutputPort& output) {
  // 1) only "OutParameter" is computed here
  if (output.GetName() != L"OutParameter") return XSI::CStatus::OK;
  const XSI::Application app;

  // 2) - 5) name, frame, parameters, empty result
  in.fullName = context.GetOperator().GetFullName();
  int32_t frame = RoundToInt(context.GetCurrentFrame());
  ReadParameters(in, context.GetOperator());
  ClearMeshArrays(in);
  in.resultValid = false;
  in.computeNow = false;
  in.writeCache = false;
  in.readCache = false;
  if (in.logTime && !in.mute) Log(app, L"**** " + in.fullName + L" ****");

  // 6) - 8) polygonize, then post-process a result
  Evaluation evaluation(in, context);
  if (in.space == 0) {
    evaluation.GridPath(frame);
  } else if (in.space == 1 && !in.mute) {
    evaluation.ContinuationPath(frame);
  }
  if (in.resultValid) evaluation.PostProcess();

  // 9) - 11) counts and the output value
  in.previousFrame = frame;
  in.vertexCount = in.vertices.GetCount();
  in.polygonCount = in.polygons.GetCount() / 4;
  in.nodeValueCount = in.nodeValues.GetCount();
  XSI::LONG value = in.userNormals || in.uvSpace ? in.polygonCount : 0;
  if (in.nodeValueCount <= 0) value = 0;
  const XSI::CStatus status = output.PutValue(XSI::CValue(value));
  if (status != XSI::CStatus::OK) {
    Log(app, in.fullName + L" -> " + output.GetName() + L" -> error.");
    return status;
  }
  return XSI::CStatus::OK;
}
