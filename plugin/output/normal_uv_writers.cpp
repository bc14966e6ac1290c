#include "output/normal_uv_writers.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <new>

#include "output/polygon_nodes.h"
#include "xsi_application.h"
#include "xsi_value.h"

namespace {

constexpr float kInversePi = 0.31830987f;
// -z must exceed this for a node to keep U as projected; otherwise U is mirrored to 1 - U.
constexpr float kFrontThreshold = 0.00001f;

// The normal stored for vertex v, each component rounded to single precision.
// False for vertices without a value: the filler triangle, the container
// outline's box corners, or any index at or past nodeValueCount.
bool NodeNormal(const MeshArrays& mesh, XSI::LONG v, float& x, float& y, float& z) {
  const XSI::LONG held = mesh.nodeValues.GetCount();
  const int64_t usable = mesh.nodeValueCount < held ? mesh.nodeValueCount : held;
  const int64_t first = 3 * static_cast<int64_t>(v);
  if (v < 0 || first + 3 > usable) return false;
  const XSI::LONG i = static_cast<XSI::LONG>(first);
  x = static_cast<float>(mesh.nodeValues[i]);
  y = static_cast<float>(mesh.nodeValues[i + 1]);
  z = static_cast<float>(mesh.nodeValues[i + 2]);
  return true;
}

void PutTriple(double* values, int64_t node, double a, double b, double c) {
  double* triple = values + 3 * node;
  triple[0] = a;
  triple[1] = b;
  triple[2] = c;
}

void AddTriple(XSI::CDoubleArray& values, double a, double b, double c) {
  values.Add(a);
  values.Add(b);
  values.Add(c);
}

// Three values per node of the mesh, each node's put by fill(values, node,
// vertex); the array is sized first (zeros), so nodes can be filled side by
// side through one pointer to its elements.
template <class Fill>
void FillNodeTriples(const XSI::CLongArray& polygons, XSI::CDoubleArray& values, Fill&& fill) {
  double* data = nullptr;
  ForEachPolygonNode(
      polygons,
      [&values, &data](int64_t nodes) {
        // The host's arrays count in int32.
        if (3 * nodes > INT32_MAX) throw std::bad_alloc();
        values.Resize(static_cast<XSI::LONG>(3 * nodes));
        data = nodes > 0 ? &values[0] : nullptr;
      },
      [&fill, &data](int64_t node, XSI::LONG vertex) { fill(data, node, vertex); });
}

// Spherical projection of a normal n = (x, y, z): V is the polar angle from
// -Y over pi, U the (scaled) -X component over the sine of that angle, mirrored
// to 1 - U on the half where -Z is not positive. ClampedAcos keeps theta off 0
// and pi, so the sine never vanishes. False for a normal with a NaN or infinite
// component, and when the result overflows (an unnormalised normal so long that
// -x / sin(theta) exceeds the float range). A zero normal is accepted: it lies
// on the equator, theta = pi/2, and projects to U = 1, V = 0.5.
bool ProjectNormal(float x, float y, float z, float& u, float& v) {
  if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) return false;
  // Components along the fixed axes -X, -Y, -Z, as dot products: unlike a bare
  // negation they give +0 rather than -0 for a zero component.
  const float alongMinusX = x * -1.0f + y * 0.0f + z * 0.0f;
  const float alongMinusY = x * 0.0f + y * -1.0f + z * 0.0f;
  const float alongMinusZ = x * 0.0f + y * 0.0f + z * -1.0f;
  const float theta = ClampedAcos(alongMinusY);
  v = theta * kInversePi;
  u = (alongMinusX / std::sin(theta)) * (kInversePi * 0.5f);
  if (!(alongMinusZ > kFrontThreshold)) u = 1.0f - u;
  return std::isfinite(u) && std::isfinite(v);
}

// PutArray into the cluster property behind the output, with the error line on refusal.
XSI::CStatus PutValues(const Settings& settings, XSI::OutputPort& output, const XSI::CString& portName,
                       const XSI::CDoubleArray& values) {
  XSI::ClusterProperty property(static_cast<XSI::CRef>(output.GetValue()));
  XSI::CClusterPropertyElementArray elements = property.GetElements();
  const XSI::CStatus status = elements.PutArray(values);
  if (status != XSI::CStatus::OK) {
    XSI::Application().LogMessage(settings.fullName + L" -> " + portName + L" -> error.", XSI::siInfoMsg);
  }
  return status;
}

}  // namespace

XSI::CStatus WriteNormals(const Settings& settings, const MeshArrays& mesh, StageClock& clock,
                          XSI::UpdateContext& context, XSI::OutputPort& output) {
  clock.Start();
  const XSI::CString portName = output.GetName();
  if (!mesh.valid || portName != L"OutUser_Normal_Property" || mesh.vertexCount <= 0) return XSI::CStatus::OK;

  // 1) Build the values: three per polygon node of the mesh.
  XSI::CDoubleArray values;
  if (settings.userNormals && settings.normalsOrUv && mesh.nodeValueCount > 0) {
    // The polygonizer's vertex normals, rounded through float; zeros for nodes
    // of vertices that have none.
    FillNodeTriples(mesh.polygons, values, [&](double* data, int64_t node, XSI::LONG v) {
      float x, y, z;
      if (NodeNormal(mesh, v, x, y, z)) {
        PutTriple(data, node, x, y, z);
      } else {
        PutTriple(data, node, 0.0, 0.0, 0.0);
      }
    });
  } else {
    // The host mesh's own node normals, read through this operator's input.
    const XSI::InputPort input(context.GetOperator().GetPort(L"Inpolymsh", L"GroupPolymsh", 0));
    const XSI::Primitive primitive(static_cast<XSI::CRef>(input.GetValue()));
    const XSI::PolygonMesh hostMesh(primitive.GetGeometry(DBL_MAX));
    NormalsFromMesh(settings, values, hostMesh.GetPolygons());
  }

  // 2) Write, then report.
  const XSI::CStatus status = PutValues(settings, output, portName, values);
  if (status != XSI::CStatus::OK) return status;
  if (settings.logTime && !settings.mute && settings.userNormals) LogTiming(L"- Normals::Set(): ", clock.Stop());
  return XSI::CStatus::OK;
}

XSI::CStatus WriteUVs(const Settings& settings, const MeshArrays& mesh, StageClock& clock,
                      XSI::UpdateContext& /*context*/, XSI::OutputPort& output) {
  clock.Start();
  const XSI::CString portName = output.GetName();
  if (!mesh.valid || portName != L"OutTexture_Projection" || mesh.vertexCount <= 0) return XSI::CStatus::OK;

  // 1) Build the values: three per polygon node of the mesh, (U, V, 1) where the
  //    node's vertex has a normal that projects to finite numbers, else zeros.
  XSI::CDoubleArray values;
  if (settings.uvSpace && settings.normalsOrUv && mesh.nodeValueCount > 0) {
    FillNodeTriples(mesh.polygons, values, [&](double* data, int64_t node, XSI::LONG vertex) {
      float x, y, z, u, v;
      if (NodeNormal(mesh, vertex, x, y, z) && ProjectNormal(x, y, z, u, v)) {
        PutTriple(data, node, u, v, 1.0);
      } else {
        PutTriple(data, node, 0.0, 0.0, 0.0);
      }
    });
  } else {
    // Zeros for every node: the sized array already holds them.
    FillNodeTriples(mesh.polygons, values, [](double*, int64_t, XSI::LONG) {});
  }

  // 2) Write, then report.
  const XSI::CStatus status = PutValues(settings, output, portName, values);
  if (status != XSI::CStatus::OK) return status;
  if (settings.logTime && !settings.mute && settings.uvSpace) LogTiming(L"- UVspace::Set(): ", clock.Stop());
  return XSI::CStatus::OK;
}

void NormalsFromMesh(const Settings& settings, XSI::CDoubleArray& values, const XSI::CPolygonFaceRefArray& polygons) {
  values.Clear();
  const int32_t polygonization = settings.polygonization;
  if (polygonization != Polygonization::kCubeTable && polygonization != Polygonization::kTetrahedra &&
      polygonization != Polygonization::kBoxes) {
    return;
  }

  if (polygonization != Polygonization::kBoxes && settings.uvSpace) {
    // The host's node normal array, copied into a pre-sized array.
    const XSI::MATH::CVector3Array normals = polygons.GetPolygonNodeNormalArray();
    const XSI::LONG count = normals.GetCount();
    values.Resize(3 * count);
    for (XSI::LONG i = 0; i < count; ++i) {
      values[3 * i] = normals[i].GetX();
      values[3 * i + 1] = normals[i].GetY();
      values[3 * i + 2] = normals[i].GetZ();
    }
    return;
  }

  // Node by node: every node of every polygon, so the array matches the
  // property's node count for triangles and quads alike.
  for (XSI::LONG f = 0; f < polygons.GetCount(); ++f) {
    const XSI::CPolygonNodeRefArray nodes = XSI::PolygonFace(polygons[f]).GetNodes();
    for (XSI::LONG k = 0; k < nodes.GetCount(); ++k) {
      const XSI::MATH::CVector3 normal = XSI::PolygonNode(nodes[k]).GetNormal();
      AddTriple(values, normal.GetX(), normal.GetY(), normal.GetZ());
    }
  }
}

float ClampedAcos(float a) {
  if (a <= -1.0f) {
    a = -0.99999f;
  } else if (a >= 1.0f) {
    a = 0.99999f;
  }
  return std::acos(a);
}
