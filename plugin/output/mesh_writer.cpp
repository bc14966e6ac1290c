#include "output/mesh_writer.h"

#include "front/operator_instance.h"

// Placeholder until the writers land.
void WriteMesh(OperatorInstance&, XSI::CStatus& status, XSI::UpdateContext&, XSI::OutputPort&) {
  status = XSI::CStatus::OK;
}
