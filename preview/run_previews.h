#pragma once
// RunPreviews: the pictures of one run, one PNG per written frame, all
// through one camera so that a flip-book of them does not jump.
//
// When the framing is known before the run (the container box of the voxel
// grid) each picture is drawn as its frame comes. Otherwise the camera must
// frame the union of every frame's bounds, known only at the end: the
// frames' bounds are gathered as they come, and Finish draws the pictures
// from the mesh files the run wrote (read again, one at a time, so memory
// stays that of one frame).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "camera.h"
#include "frame_pattern.h"
#include "mesh_data.h"
#include "mesh_renderer.h"
#include "picture.h"

class RunPreviews {
 public:
  // Pictures of width x height pixels named by `pattern`; `fixedBox`, when
  // given, is what the camera frames, else the union of the frames' bounds.
  RunPreviews(FramePattern pattern, int32_t width, int32_t height, const std::optional<Box3>& fixedBox);

  // After frame `frame`'s mesh was written to `meshFile`: draws its picture
  // now (fixed box; `written` names the file) or records the frame for
  // Finish (`written` left empty), the camera to frame `frameBox` (the
  // frame's container box) or else the mesh's bounds. False with a message
  // when the picture cannot be written.
  bool AddFrame(int64_t frame, const MeshView& mesh, const std::string& meshFile,
                const std::optional<Box3>& frameBox, std::string& written, std::string& error);

  // Draws the recorded frames, calling `progress(done, total, file)` after
  // each. False with a message at the first mesh file that cannot be read
  // again or picture that cannot be written.
  bool Finish(const std::function<void(int64_t, int64_t, const std::string&)>& progress, std::string& error);

  // Number of pictures Finish would draw.
  size_t Pending() const { return pending_.size(); }

 private:
  bool Draw(int64_t frame, const MeshView& mesh, const Camera& camera, std::string& written, std::string& error);

  struct Recorded {
    int64_t frame;
    std::string meshFile;
  };
  FramePattern pattern_;
  int32_t width_;
  int32_t height_;
  std::optional<Camera> fixedCamera_;
  Box3 seen_;
  std::vector<Recorded> pending_;
  MeshRenderer renderer_;
  Picture picture_;
};

// Draws `mesh` through `camera`, labelled with `frame`, and writes it as a
// PNG file to `path` (temporary name, then renamed).
bool WritePreview(MeshRenderer& renderer, const MeshView& mesh, const Camera& camera, int64_t frame,
                  const std::string& path, Picture& picture, std::string& error);
