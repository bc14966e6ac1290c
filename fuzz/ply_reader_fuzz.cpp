// Arbitrary bytes as a PLY file, checked against what ReadPly promises
// (mesh_read_check.h), and on failure a message of one line.

#include <cstdint>
#include <span>
#include <string>

#include "mesh_read_check.h"
#include "ply_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MeshData mesh;
  std::string error;
  const bool ok = ReadPly(std::span<const uint8_t>(data, size), mesh, error);
  CheckReadMesh(ok, mesh);
  if (!ok) FUZZ_CHECK(!error.empty() && error.find('\n') == std::string::npos);
  return 0;
}
