#include "frame_outputs.h"

#include <chrono>
#include <cstdio>

#include "field_volume.h"
#include "file_names.h"
#include "front/glomora_api.h"
#include "mesh_files.h"
#include "output_pattern.h"

namespace {

// The container box of the voxel grid at `frame`, centred on the origin of
// the mesh's space, when the scene is in Space 0 there; otherwise nothing.
std::optional<Box3> ContainerBoxAt(const SceneDescription& scene, double frame) {
  if (static_cast<XSI::LONG>(EffectiveParameter(scene, "Space").At(frame)) != 0) return std::nullopt;
  double half[3];
  const char* const sizes[3] = {"Size_X", "Size_Y", "Size_Z"};
  for (int axis = 0; axis < 3; ++axis) {
    half[axis] = 0.5 * static_cast<double>(EffectiveParameter(scene, sizes[axis]).At(frame));
  }
  Box3 box;
  box.Add(-half[0], -half[1], -half[2]);
  box.Add(half[0], half[1], half[2]);
  return box;
}

// The container box when it is the same at every frame (Space and the sizes
// not animated, Space 0): then each picture can be drawn as its frame comes.
std::optional<Box3> FixedContainerBox(const SceneDescription& scene) {
  for (const char* name : {"Space", "Size_X", "Size_Y", "Size_Z"}) {
    if (EffectiveParameter(scene, name).IsAnimated()) return std::nullopt;
  }
  return ContainerBoxAt(scene, 0.0);
}

// "x A to B, y C to D, z E to F" of a box.
std::string BoxText(const float low[3], const float high[3]) {
  std::string text;
  for (int axis = 0; axis < 3; ++axis) {
    char part[96];
    std::snprintf(part, sizeof part, "%s%c %.4g to %.4g", axis == 0 ? "" : ", ", "xyz"[axis],
                  static_cast<double>(low[axis]), static_cast<double>(high[axis]));
    text += part;
  }
  return text;
}

}  // namespace

bool FrameOutputs::Start(const SceneDescription& scene, const RunOptions& options, int64_t first, int64_t last,
                         RunFailure& failure, std::string& error) {
  scene_ = &scene;
  volume_.reset();
  previews_.reset();
  toldSpace1_ = toldMode3_ = toldCut_ = false;
  failure = RunFailure::BadInput;
  if (!options.volume.empty()) {
    volume_ = ResolveOutputPattern("--volume", options.volume, scene.name, {".vdb"}, last > first, error);
    if (!volume_) return false;
  }
  if (!options.preview.empty()) {
    std::optional<FramePattern> pattern =
        ResolveOutputPattern("--preview", options.preview, scene.name, {".png"}, last > first, error);
    if (!pattern) return false;
    previews_ = std::make_unique<RunPreviews>(std::move(*pattern), options.previewWidth, options.previewHeight,
                                              FixedContainerBox(scene));
  }
  // A broken installation stops the run before its first frame.
  if (volume_ && !FieldVolumesAvailable(error)) {
    failure = RunFailure::Failed;
    error = "--volume: " + error;
    return false;
  }
  return true;
}

bool FrameOutputs::AfterFrame(const WrittenFrame& frame, ProgressDisplay& display, std::string& error) {
  // 1) the volume
  if (volume_) {
    const std::string path = volume_->Expand(frame.frame);
    if (!MakeParentFolder(path, error)) {
      error = path + ": " + error;
      return false;
    }
    // A worker process's frame (no rig here) is Space 1 or Mode 3: no field.
    const VolumeWrite result =
        frame.rig ? WriteFieldVolume(*frame.rig, scene_->name, path, error, scene_->volumeVelocity)
                  : VolumeWrite::NoField;
    if (result == VolumeWrite::Failed) {
      error = path + ": " + error;
      return false;
    }
    if (result == VolumeWrite::NoField) {
      const auto at = static_cast<double>(frame.frame);
      if (static_cast<XSI::LONG>(EffectiveParameter(*scene_, "Space").At(at)) != 0) {
        if (!toldSpace1_) {
          display.Warning(scene_->name + ": --volume: Space 1 tracks the surface without a voxel lattice: no volume "
                                         "is written for its frames");
        }
        toldSpace1_ = true;
      } else if (static_cast<XSI::LONG>(EffectiveParameter(*scene_, "Mode").At(at)) == 3) {
        if (!toldMode3_) {
          display.Warning(scene_->name + ": --volume: Mode 3 plays meshes back from the cache, without the field: "
                                         "no volume is written for its frames");
        }
        toldMode3_ = true;
      } else {
        display.Warning("frame " + std::to_string(frame.frame) + ": no voxel field (the evaluation had no result): "
                        "no volume written");
      }
    }
  }

  // 2) once per run, a surface the container box cuts open
  GlomoraFieldTiles field{};
  // The plug-in reads the faces in the lattice's storage; the tile form
  // tells where the box and the elements are without a dense copy.
  if (!toldCut_ && frame.rig && Glomora_FieldInsideOnBoxFaces(frame.rig->op.GetAsText()) == 1 &&
      Glomora_GetFieldTiles(frame.rig->op.GetAsText(), field)) {
    toldCut_ = true;
    const int32_t points[3] = {field.nx, field.ny, field.nz};
    float boxHigh[3];
    for (int axis = 0; axis < 3; ++axis) {
      boxHigh[axis] = field.origin[axis] + static_cast<float>(points[axis] - 1) * field.cellSize[axis];
    }
    std::string elements;
    if (field.elementCount > 0) {
      elements = "; the elements (centre and radius) span " + BoxText(field.elementsLow, field.elementsHigh);
    }
    display.Warning("frame " + std::to_string(frame.frame) +
                    ": the container box cuts the surface open: the box spans " + BoxText(field.origin, boxHigh) +
                    elements +
                    " (a larger Size_X, Size_Y, Size_Z, or the elements moved inside, closes it)");
  }

  // 3) the picture, now or at Finish
  if (previews_) {
    std::string written;
    const std::optional<Box3> box = ContainerBoxAt(*scene_, static_cast<double>(frame.frame));
    // A frame a worker process wrote is known here only by its file.
    MeshData fromFile;
    if (!frame.mesh && !ReadMeshFile(frame.file, fromFile, error)) {
      error = frame.file + ": " + error;
      return false;
    }
    const MeshView mesh = frame.mesh ? *frame.mesh : MeshView(fromFile);
    if (!previews_->AddFrame(frame.frame, mesh, frame.file, box, written, error)) return false;
  }
  return true;
}

bool FrameOutputs::Finish(ProgressDisplay& display, std::string& error) {
  if (!previews_ || previews_->Pending() == 0) return true;
  const auto start = std::chrono::steady_clock::now();
  return previews_->Finish(
      [&](int64_t done, int64_t total, const std::string& file) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        display.FrameDone("preview -> " + file, done, total, elapsed);
      },
      error);
}
