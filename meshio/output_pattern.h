#pragma once
// The file patterns of a run's outputs (--output, --volume, --preview): the
// scene's name put in for "{name}", frame placeholders (frame_pattern.h), and
// the checks every output pattern gets.

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "frame_pattern.h"

// Where a run's meshes go when its caller names no pattern.
inline constexpr std::string_view kDefaultOutputPattern = "glomora-out/{name}.####.obj";

// `text` with every "{name}" replaced by `sceneName`.
std::string ReplaceSceneName(std::string text, const std::string& sceneName);

// The pattern of `option` (its text `text`) for the scene `sceneName`: false
// with "OPTION TEXT: problem" in `error` when it does not parse, does not end
// in one of `extensions` (lower case, either case in the name), or holds no
// frame number although `severalFrames` are written.
std::optional<FramePattern> ResolveOutputPattern(std::string_view option, const std::string& text,
                                                 const std::string& sceneName,
                                                 std::initializer_list<std::string_view> extensions,
                                                 bool severalFrames, std::string& error);
