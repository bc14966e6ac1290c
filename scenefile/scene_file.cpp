#include "scene_file.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "file_names.h"
#include "frame_pattern.h"
#include "mesh_files.h"
#include "parameter_catalogue.h"
#include "scene_values.h"

using json = nlohmann::json;
using XSI::CValue;
using XSI::LONG;
using XSI::Host::AnimatedValue;
using XSI::Host::ValueKind;
using namespace scenefile;

namespace {

// --- sources -------------------------------------------------------------------

// A point coordinate the plug-in takes: finite and within the float range.
bool IsPointCoordinate(double value) { return std::fabs(value) <= std::numeric_limits<float>::max(); }

// Points come from PLY and OBJ files, and a cloud's also from the formats of
// points only (OpenVDB points grids, text, VTK).
bool HasPointsFileExtension(const std::string& file, bool cloud) {
  const MeshFormat format = MeshFormatOf(file);
  return format == MeshFormat::Ply || format == MeshFormat::Obj || (cloud && IsPointsOnlyFormat(format));
}

std::string ResolvePath(const std::string& file, const std::filesystem::path& baseDir) {
  const std::filesystem::path path(file);
  return path.is_absolute() ? file : (baseDir / path).lexically_normal().string();
}

SourceDescription ParseSource(const json& value, size_t index, const std::filesystem::path& baseDir) {
  SourceDescription source;
  source.keyPath = "sources[" + std::to_string(index) + "]";
  const std::string& path = source.keyPath;
  if (!value.is_object()) Fail(path, "expected an object", value);
  if (!value.contains("type")) FailText(path, "missing \"type\" (cloud, polymsh, sphere, cube or cylinder)");
  const json& type = value["type"];
  static const std::set<std::string> kTypes = {"cloud", "polymsh", "sphere", "cube", "cylinder"};
  if (!type.is_string() || kTypes.count(type.get<std::string>()) == 0) {
    Fail(path + ".type", "expected \"cloud\", \"polymsh\", \"sphere\", \"cube\" or \"cylinder\"", type);
  }
  source.type = type.get<std::string>();
  const bool pointSource = source.type == "cloud" || source.type == "polymsh";
  if (pointSource) {
    CheckKeys(value, path,
              {"type", "name", "comment", "transform", "points", "file", "missing", "radius_attribute",
               "velocity_attribute"});
  } else if (source.type == "sphere") {
    CheckKeys(value, path, {"type", "name", "comment", "transform", "radius"});
  } else if (source.type == "cube") {
    CheckKeys(value, path, {"type", "name", "comment", "transform", "length"});
  } else {
    CheckKeys(value, path, {"type", "name", "comment", "transform", "radius", "height"});
  }

  source.name = source.type + std::to_string(index + 1);
  if (value.contains("name")) {
    const json& name = value["name"];
    if (!name.is_string() || !IsValidObjectName(name.get<std::string>())) {
      Fail(path + ".name", "expected a name of letters, digits, '_' or '-'", name);
    }
    source.name = name.get<std::string>();
  }
  if (value.contains("transform")) source.pose = ParsePose(value["transform"], path + ".transform");
  for (const char* parameter : {"radius", "length", "height"}) {
    if (value.contains(parameter)) {
      source.primitiveParameters.emplace_back(
          parameter, ParseValue(value[parameter], ValueKind::Double, parameter, path + "." + parameter));
    }
  }
  if (!pointSource) return source;

  // Points: inline, or from a file (one file, or one per frame).
  const bool hasPoints = value.contains("points");
  const bool hasFile = value.contains("file");
  if (!hasPoints && !hasFile) FailText(path, "a " + source.type + " needs either \"points\" or \"file\"");
  if (hasPoints && hasFile) FailText(path, "a " + source.type + " takes \"points\" or \"file\", not both");
  if (hasPoints) {
    const json& points = value["points"];
    if (!points.is_array()) Fail(path + ".points", "expected a list of [x, y, z]", points);
    source.points.reserve(points.size() * 3);
    for (size_t i = 0; i < points.size(); ++i) {
      const json& p = points[i];
      const std::string pointPath = path + ".points[" + std::to_string(i) + "]";
      if (!p.is_array() || p.size() != 3) Fail(pointPath, "expected 3 numbers", p);
      for (size_t axis = 0; axis < 3; ++axis) {
        if (!p[axis].is_number() || !IsPointCoordinate(p[axis].get<double>())) {
          Fail(pointPath, "expected 3 numbers", p);
        }
        source.points.push_back(p[axis].get<double>());
      }
    }
  } else {
    const json& file = value["file"];
    if (!file.is_string() || file.get<std::string>().empty()) Fail(path + ".file", "expected a file name", file);
    if (HoldsNul(file.get<std::string>())) Fail(path + ".file", std::string(kNulInFileName), file);
    std::string patternError;
    const auto pattern = FramePattern::Parse(file.get<std::string>(), patternError);
    if (!pattern) Fail(path + ".file", patternError, file);
    const bool cloud = source.type == "cloud";
    if (!HasPointsFileExtension(file.get<std::string>(), cloud)) {
      Fail(path + ".file", cloud ? "expected a .ply, .obj, .vdb, .csv, .xyz, .vtk, .vtu or .vtp file" : "expected a .ply or .obj file",
           file);
    }
    source.file = ResolvePath(file.get<std::string>(), baseDir);
    // The error_code overloads: a name the system refuses (too long, say) is
    // simply not a file here, never an exception.
    std::error_code ignored;
    if (!pattern->HasFrame() && !std::filesystem::is_regular_file(source.file, ignored)) {
      FailMissingFile(path + ".file", file);
    }
  }
  if (value.contains("missing")) {
    const json& missing = value["missing"];
    if (!hasFile || !missing.is_string() || (missing != "error" && missing != "empty")) {
      Fail(path + ".missing", "expected \"error\" or \"empty\" (with \"file\")", missing);
    }
    source.missingFramesEmpty = missing == "empty";
  }
  for (const char* key : {"radius_attribute", "velocity_attribute"}) {
    if (!value.contains(key)) continue;
    const json& name = value[key];
    if (!hasFile || !name.is_string() || name.get<std::string>().empty()) {
      Fail(path + "." + key, "expected the name of an attribute of the points of \"file\"", name);
    }
    (std::string(key) == "radius_attribute" ? source.radiusAttribute : source.velocityAttribute) =
        name.get<std::string>();
  }
  return source;
}

void ParseParameter(const std::string& name, const json& value, const std::filesystem::path& baseDir,
                    SceneDescription& scene) {
  const std::string path = "parameters." + name;
  const ParameterSpec* entry = FindOperatorParameter(name);
  if (entry == nullptr) Fail(path, "unknown parameter (known: " + OperatorParameterNames() + ")", value);
  AnimatedValue parsed = ParseValue(value, entry->kind, name, path);
  if (name == "Cache_filename" && HoldsNul(value.get<std::string>())) Fail(path, std::string(kNulInFileName), value);
  if (name == "Cache_filename" && !value.get<std::string>().empty()) {
    parsed = AnimatedValue(CValue(XSI::CString(ResolvePath(value.get<std::string>(), baseDir).c_str())));
  }
  scene.parameters[name] = parsed;
}

void ParseParameters(const json& value, const std::filesystem::path& baseDir, SceneDescription& scene) {
  if (!value.is_object()) Fail("parameters", "expected an object", value);
  for (auto it = value.begin(); it != value.end(); ++it) ParseParameter(it.key(), it.value(), baseDir, scene);
}

void ParseFrames(const json& value, SceneDescription& scene) {
  auto whole = [](const json& frame) {
    return frame.is_number() && std::isfinite(frame.get<double>()) && frame.get<double>() == std::floor(frame.get<double>());
  };
  if (!value.is_array() || value.size() != 2 || !whole(value[0]) || !whole(value[1]) ||
      value[0].get<double>() > value[1].get<double>()) {
    Fail("frames", "expected [first, last], two whole frame numbers with first <= last", value);
  }
  if (std::fabs(value[0].get<double>()) > kFrameLimit || std::fabs(value[1].get<double>()) > kFrameLimit) {
    Fail("frames", FrameLimitText(), value);
  }
  scene.firstFrame = static_cast<int64_t>(value[0].get<double>());
  scene.lastFrame = static_cast<int64_t>(value[1].get<double>());
}

// "fps" and "meters_per_unit": finite numbers above 0; "up_axis": "Y" or "Z".
void ParseUnits(const json& root, SceneDescription& scene) {
  for (const auto& [key, value] : {std::pair{"fps", &scene.fps}, std::pair{"meters_per_unit", &scene.metersPerUnit}}) {
    if (!root.contains(key)) continue;
    const json& number = root[key];
    if (!number.is_number() || !std::isfinite(number.get<double>()) || number.get<double>() <= 0.0) {
      Fail(key, "expected a number above 0", number);
    }
    *value = number.get<double>();
  }
  if (root.contains("up_axis")) {
    const json& axis = root["up_axis"];
    if (!axis.is_string() || (axis != "Y" && axis != "Z")) Fail("up_axis", "expected \"Y\" or \"Z\"", axis);
    scene.upAxis = axis.get<std::string>();
  }
}

// "transfer": [NAMES], the velocity first whenever a source names one.
void ParseTransfer(const json& root, SceneDescription& scene) {
  std::vector<std::string> names;
  if (root.contains("transfer")) {
    const json& list = root["transfer"];
    if (!list.is_array()) Fail("transfer", "expected a list of attribute names", list);
    for (size_t i = 0; i < list.size(); ++i) {
      const json& name = list[i];
      const std::string path = "transfer[" + std::to_string(i) + "]";
      if (!name.is_string() || !IsValidObjectName(name.get<std::string>())) {
        Fail(path, "expected an attribute name of letters, digits, '_' or '-'", name);
      }
      if (std::find(names.begin(), names.end(), name.get<std::string>()) != names.end()) {
        Fail(path, "the name is listed twice", name);
      }
      if (name.get<std::string>() == "radius_scale") Fail(path, "the name is the plug-in's own (use another)", name);
      names.push_back(name.get<std::string>());
    }
  }
  bool velocity = std::find(names.begin(), names.end(), "v") != names.end();
  for (const SourceDescription& source : scene.sources) velocity = velocity || !source.velocityAttribute.empty();
  if (velocity) scene.transfer.push_back("v");
  for (const std::string& name : names) {
    if (name != "v") scene.transfer.push_back(name);
  }
  if (root.contains("volume_velocity")) {
    const json& flag = root["volume_velocity"];
    if (!flag.is_boolean()) Fail("volume_velocity", "expected true or false", flag);
    scene.volumeVelocity = flag.get<bool>();
    if (scene.volumeVelocity && !velocity) {
      Fail("volume_velocity",
           "the scene carries no velocity (give a source a \"velocity_attribute\" or list \"v\" in \"transfer\")",
           flag);
    }
  }
}

void ParseTop(const json& root, const std::filesystem::path& baseDir, SceneDescription& scene) {
  if (!root.is_object()) Fail("the scene", "expected an object", root);
  CheckKeys(root, "", {"name", "comment", "frames", "fps", "up_axis", "meters_per_unit", "parameters", "transform",
                       "sources", "transfer", "volume_velocity"});
  if (root.contains("name")) {
    const json& name = root["name"];
    if (!name.is_string() || !IsValidObjectName(name.get<std::string>())) {
      Fail("name", "expected a name of letters, digits, '_' or '-'", name);
    }
    scene.name = name.get<std::string>();
  }
  if (root.contains("frames")) ParseFrames(root["frames"], scene);
  ParseUnits(root, scene);
  if (root.contains("parameters")) ParseParameters(root["parameters"], baseDir, scene);
  if (root.contains("transform")) scene.transform = ParsePose(root["transform"], "transform");
  if (root.contains("sources")) {
    const json& sources = root["sources"];
    if (!sources.is_array()) Fail("sources", "expected a list", sources);
    // Each name with the object that has it.
    const std::string sceneObject = root.contains("name") ? "the scene (its \"name\")"
                                                          : "the scene (its default \"name\")";
    std::map<std::string, std::string> names = {{scene.name, sceneObject},
                                                {scene.name + "_space", "the scene's space object"}};
    for (size_t i = 0; i < sources.size(); ++i) {
      SourceDescription source = ParseSource(sources[i], i, baseDir);
      const auto [taken, added] = names.emplace(source.name, source.keyPath);
      if (!added) Fail(source.keyPath + ".name", "the name is taken by " + taken->second, json(source.name));
      scene.sources.push_back(std::move(source));
    }
  }
  ParseTransfer(root, scene);
}

// Watches the parser for a key given twice in one object (the parser keeps
// the last one): the first such key's path ("sources[1].radius").
class DuplicateKeys {
 public:
  bool operator()(int /*depth*/, json::parse_event_t event, json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start: levels_.push_back({true, {}, {}, 0}); break;
      case json::parse_event_t::array_start: levels_.push_back({false, {}, {}, 0}); break;
      case json::parse_event_t::key: {
        Level& level = levels_.back();
        level.key = parsed.get<std::string>();
        if (!level.keys.insert(level.key).second && first_.empty()) first_ = Path();
        break;
      }
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end:
        levels_.pop_back();
        Next();
        break;
      case json::parse_event_t::value: Next(); break;
    }
    return true;
  }
  const std::string& First() const { return first_; }

 private:
  struct Level {
    bool object;
    std::set<std::string> keys;
    std::string key;   // an object's current key
    size_t index;      // an array's current element
  };
  // A value ended: an array goes on to its next element.
  void Next() {
    if (!levels_.empty() && !levels_.back().object) ++levels_.back().index;
  }
  std::string Path() const {
    std::string path;
    for (const Level& level : levels_) {
      path += level.object ? (path.empty() ? "" : ".") + level.key : "[" + std::to_string(level.index) + "]";
    }
    return path;
  }
  std::vector<Level> levels_;
  std::string first_;
};

}  // namespace

bool ParseScene(std::string_view text, const std::filesystem::path& baseDir, SceneDescription& scene,
                std::string& error, SceneProblem* problem) {
  if (problem != nullptr) *problem = SceneProblem::BadInput;
  scene = SceneDescription();
  if (!CheckFileName("the scene's folder", baseDir.native(), error)) return false;
  json root;
  DuplicateKeys duplicates;
  try {
    root = json::parse(text.begin(), text.end(), std::ref(duplicates));
  } catch (const json::exception& e) {
    // A syntax error, or a number beyond the double range (out_of_range).
    std::string what = e.what();
    const size_t bracket = what.find("] ");
    if (bracket != std::string::npos) what = what.substr(bracket + 2);
    if (what.size() > 200) what = what.substr(0, 197) + "...";
    error = "not valid JSON: " + what;
    return false;
  }
  if (!duplicates.First().empty()) {
    error = duplicates.First() + ": the key is given twice (a scene file gives each key once)";
    return false;
  }
  try {
    ParseTop(root, baseDir, scene);
  } catch (const SceneError& e) {
    error = e.message;
    if (problem != nullptr && e.missingFile) *problem = SceneProblem::MissingFile;
    scene = SceneDescription();
    return false;
  } catch (const json::exception& e) {
    error = e.what();
    scene = SceneDescription();
    return false;
  }
  return true;
}

bool LoadSceneFile(const std::filesystem::path& file, SceneDescription& scene, std::string& error,
                   SceneProblem* problem) {
  if (problem != nullptr) *problem = SceneProblem::BadInput;
  if (!CheckFileName("the scene file", file.native(), error)) return false;
  std::ifstream in(file, std::ios::binary);
  std::error_code ignored;
  if (!in || std::filesystem::is_directory(file, ignored)) {
    if (problem != nullptr && !std::filesystem::exists(file, ignored)) *problem = SceneProblem::MissingFile;
    error = "cannot read the scene file";
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = "cannot read the scene file";
    return false;
  }
  std::error_code failure;
  const std::filesystem::path absolute = std::filesystem::absolute(file, failure);
  if (failure) {
    error = "cannot resolve the scene file's folder: " + failure.message();
    return false;
  }
  return ParseScene(text, absolute.parent_path(), scene, error, problem);
}

bool ApplyParameterOverride(std::string_view assignment, const std::filesystem::path& baseDir,
                            SceneDescription& scene, std::string& error) {
  const size_t equals = assignment.find('=');
  const std::string path = "--set " + std::string(assignment.substr(0, equals));
  if (equals == std::string_view::npos) {
    error = "--set " + std::string(assignment) + ": expected NAME=VALUE";
    return false;
  }
  const std::string name(assignment.substr(0, equals));
  const std::string_view text = assignment.substr(equals + 1);
  const ParameterSpec* entry = FindOperatorParameter(name);
  if (entry == nullptr) {
    error = path + ": unknown parameter (known: " + OperatorParameterNames() + ")";
    return false;
  }
  const ValueKind kind = entry->kind;
  const json shown(std::string{text});
  try {
    switch (kind) {
      case ValueKind::Bool: {
        bool value = false;
        if (!ParseBool(text, value)) Fail(path, "expected true or false", shown);
        scene.parameters[name] = AnimatedValue(CValue(value));
        break;
      }
      case ValueKind::Long: {
        double value = 0.0;
        if (!ParseDouble(text, value) || !IsInt32(value)) Fail(path, "expected an integer", shown);
        CheckNumber(name, value, path, shown);
        scene.parameters[name] = AnimatedValue(CValue(static_cast<LONG>(value)));
        break;
      }
      case ValueKind::Float:
      case ValueKind::Double: {
        double value = 0.0;
        if (!ParseDouble(text, value)) Fail(path, "expected a number", shown);
        CheckNumber(name, value, path, shown);
        scene.parameters[name] = AnimatedValue(CValue(value));
        break;
      }
      case ValueKind::String: {
        std::string value(text);
        if (name == "Cache_filename" && HoldsNul(value)) Fail(path, std::string(kNulInFileName), shown);
        if (name == "Cache_filename" && !value.empty()) value = ResolvePath(value, baseDir);
        scene.parameters[name] = AnimatedValue(CValue(XSI::CString(value.c_str())));
        break;
      }
    }
  } catch (const SceneError& e) {
    error = e.message;
    return false;
  }
  return true;
}

bool SetSceneParameter(std::string_view name, const nlohmann::json& value, const std::filesystem::path& baseDir,
                       SceneDescription& scene, std::string& error) {
  try {
    ParseParameter(std::string(name), value, baseDir, scene);
  } catch (const SceneError& e) {
    error = e.message;
    return false;
  }
  return true;
}

bool AddCloudSource(std::vector<double> points, SceneDescription& scene, std::string& error) {
  for (size_t i = 0; i + 2 < points.size(); i += 3) {
    if (IsPointCoordinate(points[i]) && IsPointCoordinate(points[i + 1]) && IsPointCoordinate(points[i + 2])) continue;
    error = "points[" + std::to_string(i / 3) + "]: expected 3 numbers, got " +
            Show(json::array({points[i], points[i + 1], points[i + 2]}));
    return false;
  }
  SourceDescription source;
  source.type = "cloud";
  source.name = "cloud" + std::to_string(scene.sources.size() + 1);
  source.keyPath = "sources[" + std::to_string(scene.sources.size()) + "]";
  source.points = std::move(points);
  scene.sources.push_back(std::move(source));
  return true;
}

AnimatedValue EffectiveParameter(const SceneDescription& scene, std::string_view name) {
  const auto it = scene.parameters.find(std::string(name));
  if (it != scene.parameters.end()) return it->second;
  const ParameterSpec* entry = FindOperatorParameter(name);
  return entry != nullptr ? AnimatedValue(entry->defaultValue) : AnimatedValue();
}

bool IsValidObjectName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

