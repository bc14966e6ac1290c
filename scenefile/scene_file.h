#pragma once
// SceneDescription: a scene file of the command-line host, parsed and checked.
// The file format is documented in docs/scene-files.md.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

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
  // Attributes of the file's points ("radius_attribute", "velocity_attribute"):
  // empty when not given. The radius attribute scales each point's element
  // size; the velocity attribute is each point's own velocity (units per frame).
  std::string radiusAttribute;
  std::string velocityAttribute;
};

struct SceneDescription {
  std::string name = "blob";
  int64_t firstFrame = 1;
  int64_t lastFrame = 1;
  // Parameters set by the file or the command line; the others keep their defaults.
  std::map<std::string, XSI::Host::AnimatedValue> parameters;
  XSI::Host::AnimatedPose transform;
  std::vector<SourceDescription> sources;
  // What a USD layer of the run says of its time and units: frames per
  // second ("fps", above 0), the up axis ("up_axis", "Y" or "Z") and the
  // length of one unit in metres ("meters_per_unit", above 0).
  double fps = 24.0;
  std::string upAxis = "Y";
  double metersPerUnit = 1.0;
  // The per-vertex values written with each mesh: "v" (the velocity) first
  // when "transfer" lists it or a source names a "velocity_attribute", then
  // the other names of "transfer" in its order. Empty: the meshes carry
  // positions only, as without the key.
  std::vector<std::string> transfer;
  // "volume_velocity": the volumes of `glomora run --volume` also hold the
  // vector grid "v", the velocity at the field's lattice points (the scene
  // must carry "v"). False: the field alone, as without the key.
  bool volumeVelocity = false;
};

// Why a scene was refused: a value it cannot have, or a file it names (or
// the scene file itself) is not there.
enum class SceneProblem { BadInput, MissingFile };

// Parses a scene held in `text`; relative paths are taken from `baseDir`.
// Returns false with "KEY.PATH: problem, got VALUE" in `error` (and why in
// `problem`, when given).
bool ParseScene(std::string_view text, const std::filesystem::path& baseDir, SceneDescription& scene,
                std::string& error, SceneProblem* problem = nullptr);

// Reads and parses a scene file (paths relative to the file's folder).
bool LoadSceneFile(const std::filesystem::path& file, SceneDescription& scene, std::string& error,
                   SceneProblem* problem = nullptr);

// Applies "NAME=VALUE" to the operator parameter NAME, checked like a value of
// the file; relative paths are taken from `baseDir`.
bool ApplyParameterOverride(std::string_view assignment, const std::filesystem::path& baseDir,
                            SceneDescription& scene, std::string& error);

// Sets the operator parameter NAME to `value`, a value as the file's
// "parameters" object gives it (a constant or {"keys": [...]}), checked like
// one: false with "parameters.NAME: problem, got VALUE" in `error`.
bool SetSceneParameter(std::string_view name, const nlohmann::json& value, const std::filesystem::path& baseDir,
                       SceneDescription& scene, std::string& error);

// Adds a point cloud of `points` (x, y, z each) to the scene's sources, named
// as the file would name it. False with "points[I]: expected 3 numbers, got
// [X, Y, Z]" when a coordinate is not a finite number of the float range.
bool AddCloudSource(std::vector<double> points, SceneDescription& scene, std::string& error);

// The value the parameter takes: the scene's, else its default. An unknown
// name gives an empty value.
XSI::Host::AnimatedValue EffectiveParameter(const SceneDescription& scene, std::string_view name);

// True for names the host accepts for objects: letters, digits, '_' and '-'.
bool IsValidObjectName(std::string_view name);
