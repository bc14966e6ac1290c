// The parameter reference, made from the catalogue (parameter_catalogue.cpp)
// so that it says what the parser accepts and the plug-in defaults to.

#include <cstdio>
#include <string>

#include "parameter_catalogue.h"
#include "xsi_string.h"

using XSI::Host::ValueKind;

namespace {

const char* KindName(ValueKind kind) {
  switch (kind) {
    case ValueKind::Bool: return "bool";
    case ValueKind::Long: return "int";
    case ValueKind::String: return "text";
    default: return "float";
  }
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

std::string DefaultText(const ParameterSpec& entry) {
  switch (entry.kind) {
    case ValueKind::Bool: return static_cast<bool>(entry.defaultValue) ? "true" : "false";
    case ValueKind::Long: return std::to_string(static_cast<XSI::LONG>(entry.defaultValue));
    case ValueKind::String: {
      const std::string text = static_cast<XSI::CString>(entry.defaultValue).GetAsciiString();
      return text.empty() ? "empty" : "\"" + text + "\"";
    }
    default: return Number(static_cast<double>(entry.defaultValue));
  }
}

std::string AcceptedText(const ParameterSpec& entry) {
  if (!entry.expectation.empty()) return entry.expectation;
  switch (entry.kind) {
    case ValueKind::Bool: return "true or false";
    case ValueKind::Long: return "any whole number from -2147483648 to 2147483647";
    case ValueKind::String: return "any text";
    default: return "any finite number";
  }
}

void TableRow(std::string& out, const ParameterSpec& entry) {
  out += "| " + entry.name + " | " + KindName(entry.kind) + " | " + DefaultText(entry) + " | " + AcceptedText(entry) +
         " |\n";
}

void Section(std::string& out, const ParameterSpec& entry) {
  out += "\n### " + entry.name + "\n\n";
  out += std::string(KindName(entry.kind)) + ", default " + DefaultText(entry) + "; accepted: " + AcceptedText(entry) +
         ".\n\n";
  out += std::string(entry.meaning) + "\n";
  if (entry.codes.empty()) return;
  out += "\n";
  for (const ParameterCode& code : entry.codes) {
    out += "- " + std::to_string(code.value) + ": " + std::string(code.meaning) + "\n";
  }
}

}  // namespace

std::string ParameterReference() {
  const std::vector<ParameterSpec>& operatorParameters = OperatorParameters();
  std::string out =
      "# Parameters\n"
      "\n"
      "[README](../README.md) · [the tool](tool.md) · [scene files](scene-files.md) · parameters · "
      "[particle simulations](particles.md) · [Python](python.md)\n"
      "\n"
      "The main operator's " +
      std::to_string(operatorParameters.size()) +
      " parameters in the plug-in's reading order, named as scene files (`\"parameters\"`), `--set NAME=VALUE`, "
      "the Python module (`surface(points, NAME=VALUE)`, `Scene.parameters`) and the Blender add-on name them: "
      "the operator-level parameters, then the seven element settings, which are read again for every frame "
      "the sources are gathered for. Then the primitive sources' own parameters. A parameter a scene does not "
      "give keeps its default; a number may be animated (`{\"keys\": [[frame, value], ...]}`), and a whole-number "
      "parameter rounds half away from zero.\n"
      "\n"
      "`glomora run --help-parameters` prints this page; docs/parameters.md is its output (a test keeps the "
      "two equal). Which values suit a particle simulation: [Meshing particle simulations](particles.md).\n"
      "\n"
      "| Parameter | Kind | Default | Accepted |\n"
      "|---|---|---|---|\n";
  for (const ParameterSpec& entry : operatorParameters) TableRow(out, entry);
  for (const ParameterSpec& entry : PrimitiveParameters()) TableRow(out, entry);
  out += "\n## Operator parameters\n";
  for (const ParameterSpec& entry : operatorParameters) {
    if (!entry.elementSetting) Section(out, entry);
  }
  out += "\n## Element settings\n\nThe size and scale of cloud particles and mesh points, and the surface's level.\n";
  for (const ParameterSpec& entry : operatorParameters) {
    if (entry.elementSetting) Section(out, entry);
  }
  out += "\n## Primitive sources\n\nKeys of a `sphere`, `cube` or `cylinder` source (not of `\"parameters\"`).\n";
  for (const ParameterSpec& entry : PrimitiveParameters()) Section(out, entry);
  return out;
}
