#include "scene/element_settings.h"

#include "front/operator_instance.h"
#include "xsi_ref.h"
#include "xsi_siobject.h"

namespace {

// Slope of the viscosity factor: viscosityFactor = 0.396 * viscosity + 1.
constexpr float kViscositySlope = 0.396f;

// One element setting as a float. At the current time the parameter answers
// directly; otherwise it is found again through its full name (what the host
// does for values of another frame) and read at the frame being evaluated.
float ReadSetting(const OperatorInstance& instance, const XSI::Operator& op, const wchar_t* name,
                  bool atCurrentTime) {
  const XSI::Parameter parameter = op.GetParameter(name);
  if (atCurrentTime) return static_cast<float>(parameter.GetValue());
  XSI::CRef ref;
  ref.Set(parameter.GetFullName());
  const XSI::Parameter atFrame(ref);
  return static_cast<float>(atFrame.GetValue(static_cast<double>(instance.evalFrame)));
}

}  // namespace

void ReadElementSettings(OperatorInstance& instance, const XSI::Operator& op, bool atCurrentTime) {
  instance.viscosity = ReadSetting(instance, op, L"Viscosity", atCurrentTime);
  instance.viscosityFactor = kViscositySlope * instance.viscosity + 1.0f;
  instance.isovalue = ReadSetting(instance, op, L"Isovalue", atCurrentTime);
  instance.inverseIsovalue = 1.0f / instance.isovalue;
  instance.particleSize = ReadSetting(instance, op, L"Particle_size", atCurrentTime);
  instance.pointSize = ReadSetting(instance, op, L"Point_size", atCurrentTime);
  instance.component.x = ReadSetting(instance, op, L"Component_X", atCurrentTime);
  instance.component.y = ReadSetting(instance, op, L"Component_Y", atCurrentTime);
  instance.component.z = ReadSetting(instance, op, L"Component_Z", atCurrentTime);
}
