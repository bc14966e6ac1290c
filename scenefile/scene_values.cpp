#include "scene_values.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>
#include <vector>

#include "parameter_catalogue.h"

using json = nlohmann::json;
using XSI::CValue;
using XSI::LONG;
using XSI::Host::AnimatedValue;
using XSI::Host::AnimatedVector;
using XSI::Host::Key;
using XSI::Host::ValueKind;

namespace scenefile {

namespace {

// The long a keyed value becomes at read: half away from zero.
double RoundedLong(double value) { return value < 0.0 ? std::ceil(value - 0.5) : std::floor(value + 0.5); }

// The catalogue's entry of an operator or primitive parameter; null for a
// name of neither (a vector's component).
const ParameterSpec* SpecOf(std::string_view name) {
  const ParameterSpec* entry = FindOperatorParameter(name);
  return entry != nullptr ? entry : FindPrimitiveParameter(name);
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
      Fail(path, "keys pass between values that are not accepted (expected " + SpecOf(name)->expectation + ")", value);
    }
  }
  return AnimatedValue::Keys(std::move(keys), kind);
}

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

}  // namespace

std::string FrameLimitText() {
  const std::string limit = std::to_string(static_cast<int64_t>(kFrameLimit));
  return "a frame number beyond the frame limit (frames run from -" + limit + " to " + limit + ")";
}

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

[[noreturn]] void FailMissingFile(const std::string& path, const json& value) {
  throw SceneError{path + ": no such file, got " + Show(value), true};
}

bool IsInt32(double value) {
  return std::isfinite(value) && value == std::floor(value) && value >= -2147483648.0 && value <= 2147483647.0;
}

int CheckNumber(std::string_view name, double value, const std::string& path, const json& shown) {
  const ParameterSpec* entry = SpecOf(name);
  const int range = AcceptedIntervalOf(entry, value);
  if (range == -1) Fail(path, "expected " + entry->expectation, shown);
  return range;
}

AnimatedValue ParseValue(const json& value, ValueKind kind, std::string_view name, const std::string& path) {
  if (value.is_object()) return ParseKeys(value, kind, name, path);
  return ParseConstant(value, kind, name, path);
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

}  // namespace scenefile
