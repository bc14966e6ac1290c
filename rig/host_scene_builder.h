#pragma once
// HostSceneBuilder: builds the stand-in host scene of a SceneDescription, with the
// plug-in's operators wired by GlomoraRig and the sources connected.

#include <cstdint>
#include <memory>
#include <string>

#include "glomora_rig.h"
#include "scene_file.h"

class HostSceneBuilder {
 public:
  // Resets the process-wide host scene and builds `scene` in it. Files of
  // single-file sources are read now; per-frame files are checked to exist for
  // frames first to last and read when the plug-in asks for their points.
  // False with "KEY.PATH: problem" in `error` when a file is missing or bad
  // (and which of the two in `problem`, when given).
  bool Build(const SceneDescription& scene, int64_t firstFrame, int64_t lastFrame, std::string& error,
             SceneProblem* problem = nullptr);

  GlomoraRig& Rig() { return *rig_; }

  // The first problem met while reading a per-frame file during an
  // evaluation (the source then had no points); cleared by the call.
  bool TakeSourceError(std::string& error);

 private:
  std::unique_ptr<GlomoraRig> rig_;
  std::shared_ptr<std::string> sourceError_ = std::make_shared<std::string>();
};
