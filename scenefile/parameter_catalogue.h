#pragma once
// The one catalogue of the main operator's parameters as the tool, scene
// files and the Python module name them: each with its kind, its default (the
// plug-in's, base/parameter_table.h) and the values a scene may give it.
// Also the primitives' parameters ("radius", "length", "height").

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_scene.h"
#include "xsi_value.h"

// A code of a selector parameter (Space, Mode, ...) and what it selects.
struct ParameterCode {
  int32_t value;
  std::string_view meaning;
};

// An interval of accepted values; `lowOpen` excludes `low` itself.
struct AcceptedInterval {
  double low;
  double high;
  bool lowOpen;
};

struct ParameterSpec {
  std::string name;           // as scene files and --set write it: "Resolution_X"
  const wchar_t* hostName;    // the host's parameter name (the same text)
  XSI::Host::ValueKind kind;  // Bool, Long, Double or String
  XSI::CValue defaultValue;   // the plug-in's default
  // Accepted values: a parameter may list several intervals (Polygonization
  // accepts 0, 1 and 10); none: every value of its kind.
  std::vector<AcceptedInterval> accepted;
  std::string expectation;    // what an error says is expected: "0, 1 or 10"
  bool elementSetting;        // one of the seven element settings, read per gathered frame
  // What the parameter does, for people (the parameter reference), and for
  // a selector the meaning of each code it accepts.
  std::string_view meaning;
  std::vector<ParameterCode> codes;
};

// The 36 operator parameters in the plug-in's reading order: the 29
// operator-level parameters, then the seven element settings.
const std::vector<ParameterSpec>& OperatorParameters();

// "radius", "length" and "height" of the sphere, cube and cylinder primitives.
const std::vector<ParameterSpec>& PrimitiveParameters();

// The parameter named `name`, or null.
const ParameterSpec* FindOperatorParameter(std::string_view name);
const ParameterSpec* FindPrimitiveParameter(std::string_view name);

// "Mute, Log_time, Space, ...": the operator parameters' names in order.
std::string OperatorParameterNames();

// The parameter reference: every operator and primitive parameter with its
// meaning, kind, default, accepted values and codes, as Markdown (what
// `glomora run --help-parameters` prints and docs/parameters.md holds).
std::string ParameterReference();

// Which of `entry`'s accepted intervals holds `value`: its index, -1 when
// none does, -2 when the parameter accepts every value (also for no entry).
int AcceptedIntervalOf(const ParameterSpec* entry, double value);
