#include "run_previews.h"

#include <utility>

#include "atomic_file.h"
#include "file_names.h"
#include "mesh_files.h"
#include "digit_font.h"
#include "png_image.h"

RunPreviews::RunPreviews(FramePattern pattern, int32_t width, int32_t height, const std::optional<Box3>& fixedBox)
    : pattern_(std::move(pattern)), width_(width), height_(height) {
  if (fixedBox) fixedCamera_ = FrameBox(*fixedBox, width, height);
}

bool RunPreviews::AddFrame(int64_t frame, const MeshView& mesh, const std::string& meshFile,
                           const std::optional<Box3>& frameBox, std::string& written, std::string& error) {
  written.clear();
  if (fixedCamera_) return Draw(frame, mesh, *fixedCamera_, written, error);
  seen_.Add(frameBox ? *frameBox : BoundsOf(mesh.positions.data(), mesh.VertexCount()));
  pending_.push_back(Recorded{frame, meshFile});
  return true;
}

bool RunPreviews::Finish(const std::function<void(int64_t, int64_t, const std::string&)>& progress,
                         std::string& error) {
  const Camera camera = FrameBox(seen_, width_, height_);
  const auto total = static_cast<int64_t>(pending_.size());
  int64_t done = 0;
  MeshData mesh;
  for (const Recorded& frame : pending_) {
    if (!ReadMeshFile(frame.meshFile, mesh, error)) {
      error = frame.meshFile + ": " + error;
      return false;
    }
    std::string written;
    if (!Draw(frame.frame, mesh, camera, written, error)) return false;
    progress(++done, total, written);
  }
  pending_.clear();
  return true;
}

bool RunPreviews::Draw(int64_t frame, const MeshView& mesh, const Camera& camera, std::string& written,
                       std::string& error) {
  const std::string path = pattern_.Expand(frame);
  if (!MakeParentFolder(path, error)) {
    error = path + ": " + error;
    return false;
  }
  if (!WritePreview(renderer_, mesh, camera, frame, path, picture_, error)) return false;
  written = path;
  return true;
}

bool WritePreview(MeshRenderer& renderer, const MeshView& mesh, const Camera& camera, int64_t frame,
                  const std::string& path, Picture& picture, std::string& error) {
  renderer.Render(mesh, camera, picture);
  LabelFrame(picture, frame);
  std::string bytes;
  if (!EncodePng(picture, bytes, error) || !WriteFileAtomically(path, bytes, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}
