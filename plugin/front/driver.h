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
