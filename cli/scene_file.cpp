#include "scene_file.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>

#include <nlohmann/json.hpp>

#include "frame_pattern.h"
#include "glomora_rig.h"

using json = nlohmann::json;
using XSI::CValue;
using XSI::LONG;
using XSI::Host::AnimatedValue;
using XSI::Host::AnimatedVector;
using XSI::Host::Key;
using XSI::Host::ValueKind;

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Frames are host frame numbers; this keeps them, and any frame arithmetic, far
// from the int32 limits.
constexpr double kFrameLimit = 1.0e8;

// What a frame number beyond kFrameLimit is told.
std::string FrameLimitText() {
  const std::string limit = std::to_string(static_cast<int64_t>(kFrameLimit));
  return "a frame number beyond the frame limit (frames run from -" + limit + " to " + limit + ")";
}

// Raised inside the parser with the finished message; ParseScene turns it into
// its return value.
struct SceneError {
  std::string message;
};

std::string Show(const json& value) {
  std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
  if (text.size() > 60) text = text.substr(0, 57) + "...";
  return text;
}

[[noreturn]] void Fail(const std::string& path, const std::string& problem, const json& value) {
  throw SceneError{path + ": " + problem + ", got " + Show(value)};
}

[[noreturn]] void FailText(const std::string& path, const std::string& problem) {
  throw SceneError{path + ": " + problem};
}

// --- parameter kinds and accepted values -------------------------------------

// An interval of values a parameter accepts; a parameter may list several
// (Polygonization accepts 0, 1 and 10). Parameters without an entry accept
// every value of their kind.
struct AcceptedRange {
  std::string_view name;
  double low;
  double high;
  bool lowOpen;
  std::string_view expectation;
};

constexpr AcceptedRange kAcceptedRanges[] = {
    {"Space", 0, 1, false, "0 (voxel grid) or 1 (continuation polygonizer)"},
    {"Mode", 0, 3, false, "0, 1, 2 or 3"},
    {"Blending_model", 0, 2, false, "0, 1 or 2"},
    {"Polygonization", 0, 1, false, "0, 1 or 10"},
    {"Polygonization", 10, 10, false, "0, 1 or 10"},
    {"Grid_space", 0, 1, false, "0 or 1"},
    {"Resolution_X", 1, kInfinity, false, "an integer of at least 1"},
    {"Resolution_Y", 1, kInfinity, false, "an integer of at least 1"},
    {"Resolution_Z", 1, kInfinity, false, "an integer of at least 1"},
    {"JB_accuracy", 0, 30, false, "an integer from 0 to 30"},
    {"Size_X", 0, kInfinity, true, "a number above 0"},
    {"Size_Y", 0, kInfinity, true, "a number above 0"},
    {"Size_Z", 0, kInfinity, true, "a number above 0"},
    {"JB_voxelsize", 0, kInfinity, true, "a number above 0"},
    {"Isovalue", 0, kInfinity, true, "a number above 0"},
    {"Viscosity", 0, kInfinity, false, "a number of at least 0"},
    {"radius", 0, kInfinity, true, "a number above 0"},
    {"length", 0, kInfinity, true, "a number above 0"},
    {"height", 0, kInfinity, false, "a number of at least 0"},
};

// Index of the accepted range holding `value`; -1 when none does; -2 when the
// parameter accepts any value.
int RangeOf(std::string_view name, double value, std::string_view& expectation) {
  bool listed = false;
  for (size_t i = 0; i < std::size(kAcceptedRanges); ++i) {
    const AcceptedRange& range = kAcceptedRanges[i];
    if (range.name != name) continue;
    listed = true;
    expectation = range.expectation;
    const bool aboveLow = range.lowOpen ? value > range.low : value >= range.low;
    if (aboveLow && value <= range.high) return static_cast<int>(i);
  }
  return listed ? -1 : -2;
}

bool FindParameterKind(std::string_view name, ValueKind& kind) {
  for (const ParameterDefault& p : GlomoraParameterDefaults()) {
    if (XSI::CString(p.name).GetAsciiString() != name) continue;
    switch (p.value.GetType()) {
      case CValue::siBool: kind = ValueKind::Bool; break;
      case CValue::siInt4: kind = ValueKind::Long; break;
      case CValue::siString: kind = ValueKind::String; break;
      default: kind = ValueKind::Double; break;
    }
    return true;
  }
  return false;
}

std::string KnownParameterNames() {
  std::string names;
  for (const ParameterDefault& p : GlomoraParameterDefaults()) {
    if (!names.empty()) names += ", ";
    names += XSI::CString(p.name).GetAsciiString();
  }
  return names;
}

// The long a keyed value becomes at read: half away from zero.
double RoundedLong(double value) { return value < 0.0 ? std::ceil(value - 0.5) : std::floor(value + 0.5); }

bool IsInt32(double value) {
  return std::isfinite(value) && value == std::floor(value) && value >= -2147483648.0 && value <= 2147483647.0;
}

// Checks a number against the parameter's accepted ranges; returns the range index.
int CheckNumber(std::string_view name, double value, const std::string& path, const json& shown) {
  std::string_view expectation;
  const int range = RangeOf(name, value, expectation);
  if (range == -1) Fail(path, "expected " + std::string(expectation), shown);
  return range;
}

AnimatedValue ParseConstant(const json& value, ValueKind kind, std::string_view name, const std::string& path) {
  switch (kind) {
    case ValueKind::Bool:
      if (!value.is_boolean()) Fail(path, "expected true or false", value);
      return AnimatedValue(CValue(value.get<bool>()));
    case ValueKind::Long: {
      if (!value.is_number() || !IsInt32(value.get<double>())) Fail(path, "expected an integer", value);
      CheckNumber(name, value.get<double>(), path, value);
      return AnimatedValue(CValue(static_cast<LONG>(value.get<double>())));
    }
    case ValueKind::Float:
    case ValueKind::Double: {
      if (!value.is_number() || !std::isfinite(value.get<double>())) Fail(path, "expected a number", value);
      CheckNumber(name, value.get<double>(), path, value);
      return AnimatedValue(CValue(value.get<double>()));
    }
    case ValueKind::String:
      if (!value.is_string()) Fail(path, "expected a text", value);
      return AnimatedValue(CValue(XSI::CString(value.get<std::string>().c_str())));
  }
  return AnimatedValue();
}

void CheckKeysObject(const json& value, const std::string& path) {
  if (!value.is_object() || value.size() != 1 || !value.contains("keys")) {
    Fail(path, "expected a value or {\"keys\": [[frame, value], ...]}", value);
  }
  const json& keys = value["keys"];
  if (!keys.is_array() || keys.empty()) Fail(path + ".keys", "expected a list of [frame, value] pairs", keys);
}

double ParseKeyFrame(const json& pair, const std::string& path) {
  if (!pair.is_array() || pair.size() != 2) Fail(path, "expected [frame, value]", pair);
  const json& frame = pair[0];
  if (!frame.is_number() || !std::isfinite(frame.get<double>())) Fail(path + "[0]", "expected a frame number", frame);
  if (!(std::fabs(frame.get<double>()) <= kFrameLimit)) Fail(path + "[0]", FrameLimitText(), frame);
  return frame.get<double>();
}

// {"keys": [[frame, value], ...]} of a parameter of `kind`.
AnimatedValue ParseKeys(const json& value, ValueKind kind, std::string_view name, const std::string& path) {
  CheckKeysObject(value, path);
  if (kind == ValueKind::String) Fail(path, "a text cannot be animated", value);
  const json& list = value["keys"];
  std::vector<Key> keys;
  std::vector<int> ranges;
  std::set<double> frames;
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string keyPath = path + ".keys[" + std::to_string(i) + "]";
    const double frame = ParseKeyFrame(list[i], keyPath);
    if (!frames.insert(frame).second) Fail(keyPath, "two keys at the same frame", list[i]);
    const json& v = list[i][1];
    double number = 0.0;
    if (v.is_boolean() && kind == ValueKind::Bool) {
      number = v.get<bool>() ? 1.0 : 0.0;
    } else if (v.is_number() && std::isfinite(v.get<double>())) {
      number = v.get<double>();
    } else {
      Fail(keyPath + "[1]", kind == ValueKind::Bool ? "expected true, false or a number" : "expected a number", v);
    }
    if (kind == ValueKind::Long && !IsInt32(RoundedLong(number))) Fail(keyPath + "[1]", "expected an integer", v);
    const double read = kind == ValueKind::Long ? RoundedLong(number) : number;
    keys.push_back(Key{frame, number});
    ranges.push_back(kind == ValueKind::Bool ? -2 : CheckNumber(name, read, keyPath + "[1]", v));
  }
  // Between two keys the value passes through every value in between; both
  // must lie in the same accepted range (Polygonization from 1 to 10 would
  // pass through 2 to 9).
  std::vector<size_t> order(keys.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keys[a].frame < keys[b].frame; });
  for (size_t i = 1; i < order.size(); ++i) {
    if (ranges[order[i]] != ranges[order[i - 1]]) {
      std::string_view expectation;
      RangeOf(name, keys[order[i]].value, expectation);
      Fail(path, "keys pass between values that are not accepted (expected " + std::string(expectation) + ")", value);
    }
  }
  return AnimatedValue::Keys(std::move(keys), kind);
}

AnimatedValue ParseValue(const json& value, ValueKind kind, std::string_view name, const std::string& path) {
  if (value.is_object()) return ParseKeys(value, kind, name, path);
  return ParseConstant(value, kind, name, path);
}

// --- transforms --------------------------------------------------------------

AnimatedVector ParseVector(const json& value, const std::string& path) {
  AnimatedVector vector;
  AnimatedValue* components[3] = {&vector.x, &vector.y, &vector.z};
  if (value.is_object()) {
    // {"keys": [[frame, [x, y, z]], ...]}: one key list per component.
    CheckKeysObject(value, path);
    const json& list = value["keys"];
    std::vector<Key> keys[3];
    std::set<double> frames;
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string keyPath = path + ".keys[" + std::to_string(i) + "]";
      const double frame = ParseKeyFrame(list[i], keyPath);
      if (!frames.insert(frame).second) Fail(keyPath, "two keys at the same frame", list[i]);
      const json& v = list[i][1];
      if (!v.is_array() || v.size() != 3) Fail(keyPath + "[1]", "expected 3 numbers", v);
      for (int axis = 0; axis < 3; ++axis) {
        if (!v[axis].is_number() || !std::isfinite(v[axis].get<double>())) {
          Fail(keyPath + "[1]", "expected 3 numbers", v);
        }
        keys[axis].push_back(Key{frame, v[axis].get<double>()});
      }
    }
    for (int axis = 0; axis < 3; ++axis) *components[axis] = AnimatedValue::Keys(keys[axis], ValueKind::Double);
    return vector;
  }
  if (!value.is_array() || value.size() != 3) Fail(path, "expected 3 numbers", value);
  for (size_t axis = 0; axis < 3; ++axis) {
    const std::string componentPath = path + "[" + std::to_string(axis) + "]";
    if (value[axis].is_object()) {
      *components[axis] = ParseKeys(value[axis], ValueKind::Double, "", componentPath);
    } else if (value[axis].is_number() && std::isfinite(value[axis].get<double>())) {
      *components[axis] = AnimatedValue(CValue(value[axis].get<double>()));
    } else {
      Fail(path, "expected 3 numbers", value);
    }
  }
  return vector;
}

void CheckKeys(const json& object, const std::string& path, std::initializer_list<std::string_view> known) {
  if (!object.is_object()) Fail(path, "expected an object", object);
  for (auto it = object.begin(); it != object.end(); ++it) {
    bool found = false;
    for (std::string_view k : known) found = found || k == it.key();
    if (found) continue;
    std::string list;
    for (std::string_view k : known) list += (list.empty() ? "" : ", ") + std::string(k);
    Fail(path.empty() ? it.key() : path + "." + it.key(), "unknown key (known keys: " + list + ")", it.value());
  }
}

XSI::Host::AnimatedPose ParsePose(const json& value, const std::string& path) {
  CheckKeys(value, path, {"translation", "rotation", "scaling"});
  XSI::Host::AnimatedPose pose;
  if (value.contains("translation")) pose.translation = ParseVector(value["translation"], path + ".translation");
  if (value.contains("rotation")) pose.rotationDegrees = ParseVector(value["rotation"], path + ".rotation");
  if (value.contains("scaling")) pose.scaling = ParseVector(value["scaling"], path + ".scaling");
  return pose;
}

// --- sources -------------------------------------------------------------------

// A point coordinate the plug-in takes: finite and within the float range.
bool IsPointCoordinate(double value) { return std::fabs(value) <= std::numeric_limits<float>::max(); }

// Points come from PLY and OBJ files, and a cloud's also from OpenVDB points grids.
bool HasPointsFileExtension(const std::string& file, bool cloud) {
  std::string extension = std::filesystem::path(file).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".ply" || extension == ".obj" || (cloud && extension == ".vdb");
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
    CheckKeys(value, path, {"type", "name", "comment", "transform", "points", "file", "missing"});
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
  if (hasPoints == hasFile) FailText(path, "a " + source.type + " needs either \"points\" or \"file\"");
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
    std::string patternError;
    const auto pattern = FramePattern::Parse(file.get<std::string>(), patternError);
    if (!pattern) Fail(path + ".file", patternError, file);
    const bool cloud = source.type == "cloud";
    if (!HasPointsFileExtension(file.get<std::string>(), cloud)) {
      Fail(path + ".file", cloud ? "expected a .ply, .obj or .vdb file" : "expected a .ply or .obj file", file);
    }
    source.file = ResolvePath(file.get<std::string>(), baseDir);
    // The error_code overloads: a name the system refuses (too long, say) is
    // simply not a file here, never an exception.
    std::error_code ignored;
    if (!pattern->HasFrame() && !std::filesystem::is_regular_file(source.file, ignored)) {
      Fail(path + ".file", "no such file", file);
    }
  }
  if (value.contains("missing")) {
    const json& missing = value["missing"];
    if (!hasFile || !missing.is_string() || (missing != "error" && missing != "empty")) {
      Fail(path + ".missing", "expected \"error\" or \"empty\" (with \"file\")", missing);
    }
    source.missingFramesEmpty = missing == "empty";
  }
  return source;
}

void ParseParameter(const std::string& name, const json& value, const std::filesystem::path& baseDir,
                    SceneDescription& scene) {
  const std::string path = "parameters." + name;
  ValueKind kind;
  if (!FindParameterKind(name, kind)) Fail(path, "unknown parameter (known: " + KnownParameterNames() + ")", value);
  AnimatedValue parsed = ParseValue(value, kind, name, path);
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

void ParseTop(const json& root, const std::filesystem::path& baseDir, SceneDescription& scene) {
  if (!root.is_object()) Fail("the scene", "expected an object", root);
  CheckKeys(root, "", {"name", "comment", "frames", "parameters", "transform", "sources"});
  if (root.contains("name")) {
    const json& name = root["name"];
    if (!name.is_string() || !IsValidObjectName(name.get<std::string>())) {
      Fail("name", "expected a name of letters, digits, '_' or '-'", name);
    }
    scene.name = name.get<std::string>();
  }
  if (root.contains("frames")) ParseFrames(root["frames"], scene);
  if (root.contains("parameters")) ParseParameters(root["parameters"], baseDir, scene);
  if (root.contains("transform")) scene.transform = ParsePose(root["transform"], "transform");
  if (root.contains("sources")) {
    const json& sources = root["sources"];
    if (!sources.is_array()) Fail("sources", "expected a list", sources);
    std::set<std::string> names = {scene.name, scene.name + "_space"};
    for (size_t i = 0; i < sources.size(); ++i) {
      SourceDescription source = ParseSource(sources[i], i, baseDir);
      if (!names.insert(source.name).second) {
        Fail(source.keyPath + ".name", "the name is taken by another object", json(source.name));
      }
      scene.sources.push_back(std::move(source));
    }
  }
}

bool ParseBool(std::string_view text, bool& value) {
  if (text == "true" || text == "1" || text == "on" || text == "yes") {
    value = true;
  } else if (text == "false" || text == "0" || text == "off" || text == "no") {
    value = false;
  } else {
    return false;
  }
  return true;
}

bool ParseDouble(std::string_view text, double& value) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size() && std::isfinite(value);
}

}  // namespace

bool ParseScene(std::string_view text, const std::filesystem::path& baseDir, SceneDescription& scene,
                std::string& error) {
  scene = SceneDescription();
  json root;
  try {
    root = json::parse(text.begin(), text.end());
  } catch (const json::exception& e) {
    // A syntax error, or a number beyond the double range (out_of_range).
    std::string what = e.what();
    const size_t bracket = what.find("] ");
    if (bracket != std::string::npos) what = what.substr(bracket + 2);
    if (what.size() > 200) what = what.substr(0, 197) + "...";
    error = "not valid JSON: " + what;
    return false;
  }
  try {
    ParseTop(root, baseDir, scene);
  } catch (const SceneError& e) {
    error = e.message;
    scene = SceneDescription();
    return false;
  } catch (const json::exception& e) {
    error = e.what();
    scene = SceneDescription();
    return false;
  }
  return true;
}

bool LoadSceneFile(const std::filesystem::path& file, SceneDescription& scene, std::string& error) {
  std::ifstream in(file, std::ios::binary);
  std::error_code ignored;
  if (!in || std::filesystem::is_directory(file, ignored)) {
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
  return ParseScene(text, absolute.parent_path(), scene, error);
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
  ValueKind kind;
  if (!FindParameterKind(name, kind)) {
    error = path + ": unknown parameter (known: " + KnownParameterNames() + ")";
    return false;
  }
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
  for (const ParameterDefault& p : GlomoraParameterDefaults()) {
    if (XSI::CString(p.name).GetAsciiString() == name) return AnimatedValue(p.value);
  }
  return AnimatedValue();
}

bool IsValidObjectName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}
