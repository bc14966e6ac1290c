#include "scene/element_settings.h"

#include "base/parameter_table.h"
#include "xsi_ref.h"
#include "xsi_siobject.h"

namespace {

// Slope of the viscosity factor: viscosityFactor = 0.396 * viscosity + 1.
constexpr float kViscositySlope = 0.396f;

// One element setting as a float. At the current time the parameter answers
// directly; otherwise it is found again through its full name (what the host
// does for values of another frame) and read at the frame being evaluated.
float ReadSetting(const Settings& settings, const XSI::Operator& op, Parameter setting,
                  bool atCurrentTime) {
  const XSI::Parameter parameter = op.GetParameter(ParameterName(setting));
  if (atCurrentTime) return static_cast<float>(parameter.GetValue());
  XSI::CRef ref;
  ref.Set(parameter.GetFullName());
  const XSI::Parameter atFrame(ref);
  return static_cast<float>(atFrame.GetValue(static_cast<double>(settings.evalFrame)));
}

}  // namespace

void ReadElementSettings(Settings& settings, const XSI::Operator& op, bool atCurrentTime) {
  settings.viscosity = ReadSetting(settings, op, Parameter::Viscosity, atCurrentTime);
  settings.viscosityFactor = kViscositySlope * settings.viscosity + 1.0f;
  settings.isovalue = ReadSetting(settings, op, Parameter::Isovalue, atCurrentTime);
  settings.inverseIsovalue = 1.0f / settings.isovalue;
  settings.particleSize = ReadSetting(settings, op, Parameter::ParticleSize, atCurrentTime);
  settings.pointSize = ReadSetting(settings, op, Parameter::PointSize, atCurrentTime);
  settings.component.x = ReadSetting(settings, op, Parameter::ComponentX, atCurrentTime);
  settings.component.y = ReadSetting(settings, op, Parameter::ComponentY, atCurrentTime);
  settings.component.z = ReadSetting(settings, op, Parameter::ComponentZ, atCurrentTime);
}
