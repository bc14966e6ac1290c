#include "output/normal_uv_writers.h"

#include <cmath>

#include "front/operator_instance.h"

// Placeholders until the writers land.
void WriteNormals(OperatorInstance&, XSI::CStatus& status, XSI::UpdateContext&, XSI::OutputPort&) {
  status = XSI::CStatus::OK;
}
void WriteUVs(OperatorInstance&, XSI::CStatus& status, XSI::UpdateContext&, XSI::OutputPort&) {
  status = XSI::CStatus::OK;
}
void NormalsFromMesh(OperatorInstance&, XSI::CDoubleArray&, const XSI::CPolygonFaceRefArray&) {}
float ClampedAcos(float a) { return std::acos(a); }
