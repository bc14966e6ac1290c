#include "output/mesh_writer.h"

#include <cfloat>

#include "front/clock.h"
#include "front/operator_instance.h"
#include "xsi_application.h"
#include "xsi_geometry.h"
#include "xsi_value.h"

void WriteMesh(OperatorInstance& instance, XSI::CStatus& status, XSI::UpdateContext& /*context*/,
               XSI::OutputPort& output) {
  instance.clockStart = ClockMs();
  status = XSI::CStatus::OK;

  // 1) Nothing to write: no result, another output, or an empty mesh. Not a failure.
  const XSI::CString portName = output.GetName();
  if (!instance.resultValid || portName != L"Outpolymsh" || instance.vertexCount <= 0) return;

  // 2) A mesh of a single polygon gets a second, degenerate triangle over three
  //    added vertices at the origin. Its indices are those of the added vertices,
  //    whatever the first polygon uses. polygonCount becomes 2, so a later call
  //    on the same result adds no second filler.
  if (instance.polygonCount == 1) {
    const XSI::LONG base = instance.vertices.GetCount();
    for (int k = 0; k < 3; ++k) instance.vertices.Add(XSI::MATH::CVector3(0.0, 0.0, 0.0));
    instance.vertexCount += 3;
    instance.polygonCount = 2;
    instance.polygons.Add(3);
    instance.polygons.Add(base);
    instance.polygons.Add(base + 1);
    instance.polygons.Add(base + 2);
  }

  // 3) Hand the arrays to the host; it refuses out-of-range indices.
  XSI::PolygonMesh mesh(XSI::Primitive(static_cast<XSI::CRef>(output.GetValue())).GetGeometry(DBL_MAX));
  const XSI::CStatus setStatus = mesh.Set(instance.vertices, instance.polygons);
  if (setStatus != XSI::CStatus::OK) {
    XSI::Application().LogMessage(instance.fullName + L" -> " + portName + L" -> error.", XSI::siInfoMsg);
    status = setStatus;
    return;
  }

  // 4) Timing line.
  if (instance.logTime && !instance.mute) {
    instance.clockEnd = ClockMs();
    const XSI::CValue elapsed(static_cast<XSI::LONG>(instance.clockEnd - instance.clockStart));
    XSI::Application().LogMessage(L"- PolygonMesh::Set(): " + elapsed.GetAsText() + L" msec.", XSI::siInfoMsg);
  }
}
