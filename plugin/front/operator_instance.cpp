#include "front/operator_instance.h"

OperatorInstance::OperatorInstance() {
  BuildCubeTable(cubeTable);
  gridPolygonizer.owner = this;
}

OperatorInstance::~OperatorInstance() { ReleaseCubeTable(cubeTable); }
