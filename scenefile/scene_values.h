#pragma once
// The values of a scene file as its parser reads them: a parameter's constant
// or keys, checked against the catalogue; vectors and poses; the texts of
// --set. Shared by the parser's files (scene_file.cpp); failures are thrown
// as SceneError with the finished message, which ParseScene turns into its
// return value.

#include <initializer_list>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "host/host_scene.h"

namespace scenefile {

// Frames are host frame numbers; this keeps them, and any frame arithmetic,
// far from the int32 limits.
constexpr double kFrameLimit = 1.0e8;

// What a frame number beyond kFrameLimit is told.
std::string FrameLimitText();

struct SceneError {
  std::string message;
  bool missingFile = false;  // a file the scene names is not there
};

// A value as a message shows it (at most 60 characters).
std::string Show(const nlohmann::json& value);

// Throw "PATH: PROBLEM, got VALUE" / "PATH: PROBLEM".
[[noreturn]] void Fail(const std::string& path, const std::string& problem, const nlohmann::json& value);
[[noreturn]] void FailText(const std::string& path, const std::string& problem);
// Throw "PATH: no such file, got VALUE", marked as a missing file.
[[noreturn]] void FailMissingFile(const std::string& path, const nlohmann::json& value);

// A finite whole number of the int32 range.
bool IsInt32(double value);

// Checks a number against the accepted values of parameter `name` (operator
// or primitive); returns the index of the interval holding it (-2: the
// parameter accepts every value).
int CheckNumber(std::string_view name, double value, const std::string& path, const nlohmann::json& shown);

// A value of the parameter `name` of `kind`: a constant or {"keys": [[frame, value], ...]}.
XSI::Host::AnimatedValue ParseValue(const nlohmann::json& value, XSI::Host::ValueKind kind, std::string_view name,
                                    const std::string& path);

// Fails on a key of `object` that is not one of `known`.
void CheckKeys(const nlohmann::json& object, const std::string& path, std::initializer_list<std::string_view> known);

// {"translation": V, "rotation": V, "scaling": V}, each V [x, y, z], keys, or per-component keys.
XSI::Host::AnimatedPose ParsePose(const nlohmann::json& value, const std::string& path);

// The texts of --set NAME=VALUE: true/false/1/0/on/off/yes/no; a finite number.
bool ParseBool(std::string_view text, bool& value);
bool ParseDouble(std::string_view text, double& value);

}  // namespace scenefile
