// Arbitrary bytes as an OBJ file, checked against what ReadObj promises
// (mesh_read_check.h).

#include <cstdint>
#include <span>
#include <string>

#include "mesh_read_check.h"
#include "obj_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MeshData mesh;
  std::string error;
  CheckReadMesh(ReadObj(std::span<const uint8_t>(data, size), mesh, error), mesh);
  return 0;
}
