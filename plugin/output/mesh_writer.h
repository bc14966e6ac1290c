#pragma once
// Writes the MeshArrays into the host polygon mesh behind the geometry
// transfer operator's output "Outpolymsh".

#include "base/clock.h"
#include "base/mesh_arrays.h"
#include "base/settings.h"
#include "xsi_operator.h"
#include "xsi_status.h"

// Returns success, or the failing status of PolygonMesh::Set (after logging
// "<fullName> -> Outpolymsh -> error."). Writes nothing and reports success
// when the result is not valid, the port is another or there are no
// vertices. A one-polygon result first gets a degenerate filler triangle over
// three added origin vertices (indices vertex count + 0, 1, 2); polygonCount
// becomes 2, so a later call adds no second one. Times itself on `clock`; with
// logTime set and mute clear, logs "- PolygonMesh::Set(): <ms> msec.". The
// context is not used.
XSI::CStatus WriteMesh(const Settings& settings, MeshArrays& mesh, StageClock& clock, XSI::UpdateContext& context,
                       XSI::OutputPort& output);
