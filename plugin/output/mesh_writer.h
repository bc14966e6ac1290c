#pragma once
// Writes the instance's MeshArrays into the host polygon mesh behind the
// geometry transfer operator's output "Outpolymsh".

#include "xsi_operator.h"
#include "xsi_status.h"

struct OperatorInstance;

// Sets status to success, or to the failing status of PolygonMesh::Set (after
// logging "<fullName> -> Outpolymsh -> error."). A one-triangle result gets a
// degenerate filler triangle appended first.
void WriteMesh(OperatorInstance& instance, XSI::CStatus& status, XSI::UpdateContext& context,
               XSI::OutputPort& output);
