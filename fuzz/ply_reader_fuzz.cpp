// Arbitrary bytes as a PLY file. Checks what ReadPly promises: on success the
// positions come in threes and every face has 3 or more indices into them; on
// failure the mesh is empty and the message is one line.

#include <cstdint>
#include <span>
#include <string>

#include "fuzz_check.h"
#include "ply_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MeshData mesh;
  std::string error;
  if (ReadPly(std::span<const uint8_t>(data, size), mesh, error)) {
    FUZZ_CHECK(mesh.positions.size() % 3 == 0);
    const size_t vertexCount = mesh.positions.size() / 3;
    size_t at = 0;
    while (at < mesh.polygons.size()) {
      const int32_t n = mesh.polygons[at];
      FUZZ_CHECK(n >= 3 && at + static_cast<size_t>(n) < mesh.polygons.size());
      for (int32_t k = 1; k <= n; ++k) {
        const int32_t index = mesh.polygons[at + static_cast<size_t>(k)];
        FUZZ_CHECK(index >= 0 && static_cast<size_t>(index) < vertexCount);
      }
      at += static_cast<size_t>(n) + 1;
    }
  } else {
    FUZZ_CHECK(mesh.positions.empty() && mesh.polygons.empty());
    FUZZ_CHECK(!error.empty() && error.find('\n') == std::string::npos);
  }
  return 0;
}
