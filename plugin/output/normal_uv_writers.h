#pragma once
// Writers of the per-node cluster properties of the output mesh: user normals
// ("OutUser_Normal_Property") and a spherical UV projection of the vertex
// normals ("OutTexture_Projection").

#include "base/clock.h"
#include "base/mesh_arrays.h"
#include "base/settings.h"
#include "xsi_arrays.h"
#include "xsi_geometry.h"
#include "xsi_operator.h"
#include "xsi_status.h"

// Both writers put three doubles per polygon node into the property behind
// `output`: polygons in the order of the MeshArrays' description, walked by
// their own counts (triangles and quads alike), nodes in polygon order. A node
// whose vertex has no entry below nodeValueCount (the filler triangle, the
// container outline) gets zeros. They write nothing and report success when the
// result is not valid, the port is not theirs or there are no vertices; a
// refused PutArray is logged as "<fullName> -> <port> -> error." and its status
// returned. They time themselves on `clock`; with logTime set, mute clear and
// their own switch set (userNormals, uvSpace) they log the elapsed milliseconds.
//
// WriteNormals: with userNormals, normalsOrUv and node values, each vertex
// normal rounded to float; otherwise NormalsFromMesh of the mesh connected to
// this operator's "Inpolymsh" (group "GroupPolymsh").
XSI::CStatus WriteNormals(const Settings& settings, const MeshArrays& mesh, StageClock& clock,
                          XSI::UpdateContext& context, XSI::OutputPort& output);
// WriteUVs: with uvSpace, normalsOrUv and node values, (U, V, 1) per node from
// the vertex normal n (components rounded to float): theta = ClampedAcos(-y),
// V = theta / pi, U = -x / sin(theta) / (2 pi), replaced by 1 - U unless
// -z > 0.00001. A zero normal gives (1, 0.5, 1); a normal with a NaN or
// infinite component, or whose U or V overflows, gives zeros. Without the
// projection every node gets zeros.
XSI::CStatus WriteUVs(const Settings& settings, const MeshArrays& mesh, StageClock& clock, XSI::UpdateContext& context,
                      XSI::OutputPort& output);

// Fallback of WriteNormals: replaces `values` with the host's node normals of
// every node of `polygons` (x, y, z per node, in host order). Polygonization 0
// or 1 with uvSpace reads the host's node normal array in one call; 0 or 1
// without uvSpace, and 10, ask each node. Any other polygonization leaves
// `values` empty.
void NormalsFromMesh(const Settings& settings, XSI::CDoubleArray& values, const XSI::CPolygonFaceRefArray& polygons);

// Single-precision arc cosine of a, with a <= -1 taken as -0.99999 and a >= 1 as
// 0.99999: for finite a the result lies strictly between 0 and pi, so its sine
// is never 0. NaN passes through as NaN.
float ClampedAcos(float a);
