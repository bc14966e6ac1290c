#include "output/mesh_writer.h"

#include <cfloat>

#include "xsi_application.h"
#include "xsi_geometry.h"
#include "xsi_value.h"

XSI::CStatus WriteMesh(const Settings& settings, MeshArrays& mesh, StageClock& clock, XSI::UpdateContext& /*context*/,
                       XSI::OutputPort& output) {
  clock.Start();

  // 1) Nothing to write: no result, another output, or an empty mesh. Not a failure.
  const XSI::CString portName = output.GetName();
  if (!mesh.valid || portName != L"Outpolymsh" || mesh.vertexCount <= 0) return XSI::CStatus::OK;

  // 2) A mesh of a single polygon gets a second, degenerate triangle over three
  //    added vertices at the origin. Its indices are those of the added vertices,
  //    whatever the first polygon uses. polygonCount becomes 2, so a later call
  //    on the same result adds no second filler.
  if (mesh.polygonCount == 1) {
    const XSI::LONG base = mesh.vertices.GetCount();
    for (int k = 0; k < 3; ++k) mesh.vertices.Add(XSI::MATH::CVector3(0.0, 0.0, 0.0));
    mesh.vertexCount += 3;
    mesh.polygonCount = 2;
    mesh.polygons.Add(3);
    mesh.polygons.Add(base);
    mesh.polygons.Add(base + 1);
    mesh.polygons.Add(base + 2);
  }

  // 3) Hand the arrays to the host; it refuses out-of-range indices.
  XSI::PolygonMesh hostMesh(XSI::Primitive(static_cast<XSI::CRef>(output.GetValue())).GetGeometry(DBL_MAX));
  const XSI::CStatus setStatus = hostMesh.Set(mesh.vertices, mesh.polygons);
  if (setStatus != XSI::CStatus::OK) {
    XSI::Application().LogMessage(settings.fullName + L" -> " + portName + L" -> error.", XSI::siInfoMsg);
    return setStatus;
  }

  // 4) Timing line.
  if (settings.logTime && !settings.mute) LogTiming(L"- PolygonMesh::Set(): ", clock.Stop());
  return XSI::CStatus::OK;
}
