#pragma once
// Writers of the per-node cluster properties of the output mesh: user normals
// ("OutUser_Normal_Property") and a spherical UV projection of the vertex
// normals ("OutTexture_Projection").

#include "xsi_arrays.h"
#include "xsi_geometry.h"
#include "xsi_operator.h"
#include "xsi_status.h"

struct OperatorInstance;

void WriteNormals(OperatorInstance& instance, XSI::CStatus& status, XSI::UpdateContext& context,
                  XSI::OutputPort& output);
void WriteUVs(OperatorInstance& instance, XSI::CStatus& status, XSI::UpdateContext& context,
              XSI::OutputPort& output);

// Fallback of WriteNormals: the node normals of the host mesh's own polygons.
void NormalsFromMesh(OperatorInstance& instance, XSI::CDoubleArray& values, const XSI::CPolygonFaceRefArray& polygons);

// Single-precision arc cosine of a, with a <= -1 taken as -0.99999 and a >= 1 as
// 0.99999 (the result lies strictly between 0 and pi).
float ClampedAcos(float a);
