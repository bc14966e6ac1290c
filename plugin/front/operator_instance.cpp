#include "front/operator_instance.h"

OperatorInstance::OperatorInstance() { BuildCubeTable(cubeTable); }

OperatorInstance::~OperatorInstance() { ReleaseCubeTable(cubeTable); }
