#pragma once
// SceneDescription: a scene file of the command-line host, parsed and checked.
// The file format is documented in the README ("Scene files").

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/host_scene.h"

struct SourceDescription {
  std::string type;     // "cloud", "polymsh", "sphere", "cube" or "cylinder"
  std::string name;     // object name in the host scene
  std::string keyPath;  // "sources[2]", for messages about this source
  XSI::Host::AnimatedPose pose;
  // "radius", "length", "height" of the primitives, as the file gives them.
  std::vector<std::pair<std::string, XSI::Host::AnimatedValue>> primitiveParameters;
  // Clouds and meshes: inline points (x, y, z each), or a file.
  std::vector<double> points;
  // Absolute file name, possibly with frame placeholders (frame_pattern.h);
  // empty for inline points.
  std::string file;
  // With a per-frame file pattern: a frame whose file is missing has no points
  // (true) or is an error (false).
  bool missingFramesEmpty = false;
};

struct SceneDescription {
  std::string name = "blob";
  int64_t firstFrame = 1;
  int64_t lastFrame = 1;
  // Parameters set by the file or the command line; the others keep their defaults.
  std::map<std::string, XSI::Host::AnimatedValue> parameters;
  XSI::Host::AnimatedPose transform;
  std::vector<SourceDescription> sources;
};

// Parses a scene held in `text`; relative paths are taken from `baseDir`.
// Returns false with "KEY.PATH: problem, got VALUE" in `error`.
bool ParseScene(std::string_view text, const std::filesystem::path& baseDir, SceneDescription& scene,
                std::string& error);

// Reads and parses a scene file (paths relative to the file's folder).
bool LoadSceneFile(const std::filesystem::path& file, SceneDescription& scene, std::string& error);

// Applies "NAME=VALUE" to the operator parameter NAME, checked like a value of
// the file; relative paths are taken from `baseDir`.
bool ApplyParameterOverride(std::string_view assignment, const std::filesystem::path& baseDir,
                            SceneDescription& scene, std::string& error);

// The value the parameter takes: the scene's, else its default. An unknown
// name gives an empty value.
XSI::Host::AnimatedValue EffectiveParameter(const SceneDescription& scene, std::string_view name);

// True for names the host accepts for objects: letters, digits, '_' and '-'.
bool IsValidObjectName(std::string_view name);
