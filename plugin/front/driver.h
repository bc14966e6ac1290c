#pragma once
// The evaluation driver: the body of the main operator's update of
// "OutParameter". Reads the parameters, chooses the frames to compute, runs the
// voxel grid (Space 0) or the continuation polygonizer (Space 1), post-processes
// the mesh into the instance's MeshArrays and writes one integer to the output:
// the triangle count when normals or UVs were produced, else 0.

#include "xsi_operator.h"
#include "xsi_status.h"

struct OperatorInstance;

// Does nothing but return success for an output other than "OutParameter".
// Returns the host's status of OutputPort::PutValue.
XSI::CStatus RunEvaluation(OperatorInstance& instance, XSI::UpdateContext& context, XSI::OutputPort& output);

// Forgets the simulated frames: the voxel lattices are reset when next used and
// the next grid evaluation in Mode 1 or 2 steps again from "Start_frame". For
// an evaluation that stopped part way, when the lattices may hold frames that
// lastComputedFrame does not know of.
void RestartSimulation(OperatorInstance& instance);
