#include "output_pattern.h"

#include <cctype>

#include "file_names.h"

std::string ReplaceSceneName(std::string text, const std::string& sceneName) {
  constexpr std::string_view kField = "{name}";
  for (size_t at = text.find(kField); at != std::string::npos; at = text.find(kField, at + sceneName.size())) {
    text.replace(at, kField.size(), sceneName);
  }
  return text;
}

namespace {

// The first "{WORD}" in `text` (WORD of letters, digits and '_') other than
// "{name}", the one field a pattern has; empty when there is none.
std::string UnknownField(const std::string& text) {
  for (size_t open = text.find('{'); open != std::string::npos; open = text.find('{', open + 1)) {
    size_t end = open + 1;
    while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) != 0 || text[end] == '_')) ++end;
    if (end == open + 1 || end == text.size() || text[end] != '}') continue;
    const std::string field = text.substr(open, end + 1 - open);
    if (field != "{name}") return field;
  }
  return {};
}

}  // namespace

std::optional<FramePattern> ResolveOutputPattern(std::string_view option, const std::string& text,
                                                 const std::string& sceneName,
                                                 std::initializer_list<std::string_view> extensions,
                                                 bool severalFrames, std::string& error) {
  if (!CheckFileName(option, text, error)) return std::nullopt;
  if (const std::string field = UnknownField(text); !field.empty()) {
    error = std::string(option) + " " + text + ": unknown field " + field + " (the one field is {name}, the scene's name)";
    return std::nullopt;
  }
  const std::string expanded = ReplaceSceneName(text, sceneName);
  const std::string prefix = std::string(option) + " " + expanded + ": ";
  std::string problem;
  std::optional<FramePattern> pattern = FramePattern::Parse(expanded, problem);
  if (!pattern) {
    error = prefix + problem;
    return std::nullopt;
  }
  const std::string extension = LowerExtension(expanded);
  bool known = false;
  std::string expected;
  for (const std::string_view allowed : extensions) {
    known = known || extension == allowed;
    expected += (expected.empty() ? "" : " or ") + std::string(allowed);
  }
  if (!known) {
    error = prefix + "the file name must end in " + expected;
    return std::nullopt;
  }
  if (severalFrames && !pattern->HasFrame()) {
    error = prefix + "writing several frames needs a frame number in the name (#### or %04d)";
    return std::nullopt;
  }
  return pattern;
}
