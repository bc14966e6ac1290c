#include "parameter_catalogue.h"

#include <limits>

#include "base/parameter_table.h"
#include "xsi_string.h"

using XSI::CValue;
using XSI::Host::ValueKind;

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct Acceptance {
  std::string_view name;
  std::vector<AcceptedInterval> accepted;
  std::string_view expectation;
};

// The values a scene may give a parameter beyond its kind.
const std::vector<Acceptance>& Acceptances() {
  static const std::vector<Acceptance> list = {
      {"Space", {{0, 1, false}}, "0 (voxel grid) or 1 (continuation polygonizer)"},
      {"Mode", {{0, 3, false}}, "0, 1, 2 or 3"},
      {"Blending_model", {{0, 2, false}}, "0, 1 or 2"},
      {"Polygonization", {{0, 1, false}, {10, 10, false}}, "0, 1 or 10"},
      {"Grid_space", {{0, 1, false}}, "0 or 1"},
      {"Resolution_X", {{1, kInfinity, false}}, "an integer of at least 1"},
      {"Resolution_Y", {{1, kInfinity, false}}, "an integer of at least 1"},
      {"Resolution_Z", {{1, kInfinity, false}}, "an integer of at least 1"},
      {"JB_accuracy", {{0, 30, false}}, "an integer from 0 to 30"},
      {"Size_X", {{0, kInfinity, true}}, "a number above 0"},
      {"Size_Y", {{0, kInfinity, true}}, "a number above 0"},
      {"Size_Z", {{0, kInfinity, true}}, "a number above 0"},
      {"JB_voxelsize", {{0, kInfinity, true}}, "a number above 0"},
      {"Isovalue", {{0, kInfinity, true}}, "a number above 0"},
      {"Viscosity", {{0, kInfinity, false}}, "a number of at least 0"},
      {"radius", {{0, kInfinity, true}}, "a number above 0"},
      {"length", {{0, kInfinity, true}}, "a number above 0"},
      {"height", {{0, kInfinity, false}}, "a number of at least 0"},
  };
  return list;
}

void Accept(ParameterSpec& spec) {
  for (const Acceptance& a : Acceptances()) {
    if (a.name != spec.name) continue;
    spec.accepted = a.accepted;
    spec.expectation = a.expectation;
  }
}

ParameterSpec FromTable(const ParameterDefinition& p) {
  ParameterSpec spec;
  spec.name = XSI::CString(p.name).GetAsciiString();
  spec.hostName = p.name;
  switch (p.kind) {
    case ParameterKind::Bool:
      spec.kind = ValueKind::Bool;
      spec.defaultValue = CValue(p.defaultValue != 0.0);
      break;
    case ParameterKind::Long:
      spec.kind = ValueKind::Long;
      spec.defaultValue = CValue(static_cast<XSI::LONG>(p.defaultValue));
      break;
    case ParameterKind::Double:
      spec.kind = ValueKind::Double;
      spec.defaultValue = CValue(p.defaultValue);
      break;
    case ParameterKind::String:
      spec.kind = ValueKind::String;
      spec.defaultValue = CValue(XSI::CString(L""));
      break;
  }
  spec.elementSetting = static_cast<int32_t>(p.id) >= static_cast<int32_t>(Parameter::Viscosity);
  Accept(spec);
  return spec;
}

const ParameterSpec* Find(const std::vector<ParameterSpec>& list, std::string_view name) {
  for (const ParameterSpec& spec : list) {
    if (spec.name == name) return &spec;
  }
  return nullptr;
}

}  // namespace

const std::vector<ParameterSpec>& OperatorParameters() {
  static const std::vector<ParameterSpec> list = [] {
    std::vector<ParameterSpec> specs;
    for (const ParameterDefinition& p : kParameterTable) specs.push_back(FromTable(p));
    return specs;
  }();
  return list;
}

const std::vector<ParameterSpec>& PrimitiveParameters() {
  static const std::vector<ParameterSpec> list = [] {
    std::vector<ParameterSpec> specs;
    const std::pair<const wchar_t*, double> primitives[] = {{L"radius", 1.0}, {L"length", 2.0}, {L"height", 2.0}};
    for (const auto& [name, value] : primitives) {
      ParameterSpec spec{XSI::CString(name).GetAsciiString(), name, ValueKind::Double, CValue(value), {}, {}, false};
      Accept(spec);
      specs.push_back(std::move(spec));
    }
    return specs;
  }();
  return list;
}

const ParameterSpec* FindOperatorParameter(std::string_view name) { return Find(OperatorParameters(), name); }

const ParameterSpec* FindPrimitiveParameter(std::string_view name) { return Find(PrimitiveParameters(), name); }

std::string OperatorParameterNames() {
  std::string names;
  for (const ParameterSpec& spec : OperatorParameters()) names += (names.empty() ? "" : ", ") + spec.name;
  return names;
}

int AcceptedIntervalOf(const ParameterSpec* spec, double value) {
  if (spec == nullptr || spec->accepted.empty()) return -2;
  for (size_t i = 0; i < spec->accepted.size(); ++i) {
    const AcceptedInterval& interval = spec->accepted[i];
    const bool aboveLow = interval.lowOpen ? value > interval.low : value >= interval.low;
    if (aboveLow && value <= interval.high) return static_cast<int>(i);
  }
  return -1;
}
