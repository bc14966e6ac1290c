#pragma once
// Writes the instance's MeshArrays into the host polygon mesh behind the
// geometry transfer operator's output "Outpolymsh".

#include "xsi_operator.h"
#include "xsi_status.h"

struct OperatorInstance;

// Sets status to success, or to the failing status of PolygonMesh::Set (after
// logging "<fullName> -> Outpolymsh -> error."). Writes nothing and reports
// success when the result is not valid, the port is another or there are no
// vertices. A one-polygon result first gets a degenerate filler triangle over
// three added origin vertices (indices vertex count + 0, 1, 2); polygonCount
// becomes 2, so a later call adds no second one. With logTime set and mute
// clear, logs "- PolygonMesh::Set(): <ms> msec.". The context is not used.
void WriteMesh(OperatorInstance& instance, XSI::CStatus& status, XSI::UpdateContext& context,
               XSI::OutputPort& output);
