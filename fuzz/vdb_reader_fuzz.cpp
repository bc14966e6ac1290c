// Arbitrary bytes as an OpenVDB file of points (a cloud's "file"), read as
// the tool reads one: on success finite points, no polygons and attributes
// of one value set per point; on failure an empty mesh and a message of one
// line. The corpus holds points and volume files that OpenVDB wrote
// (tests/vdb/vdb_files_test.cpp makes them).

#include <cmath>
#include <cstdint>
#include <span>
#include <string>

#include "mesh_files.h"
#include "mesh_read_check.h"

// OpenVDB's reader leaks the node it was reading, and the page handles of a
// points grid's attributes, when it refuses a damaged file (the library's
// exception safety, not ours to mend). The fuzzer's fast unwinder often
// stops inside the library, which is built without frame pointers, so the
// leaks are matched by the library's name rather than its functions'.
// LeakSanitizer asks for this list; in a build without it the function is
// never called.
extern "C" const char* __lsan_default_suppressions() { return "leak:libopenvdb.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MeshData mesh;
  std::string error;
  const bool ok = ReadVdbPoints(std::span<const uint8_t>(data, size), mesh, error);
  CheckReadMesh(ok, mesh);
  if (!ok) {
    FUZZ_CHECK(mesh.attributes.empty() && !error.empty() && error.find('\n') == std::string::npos);
    return 0;
  }
  FUZZ_CHECK(mesh.polygons.empty());
  for (const double coordinate : mesh.positions) FUZZ_CHECK(std::isfinite(coordinate));
  for (const VertexAttribute& attribute : mesh.attributes) {
    FUZZ_CHECK((attribute.components == 1 || attribute.components == 3) &&
               attribute.values.size() == mesh.VertexCount() * static_cast<size_t>(attribute.components));
  }
  return 0;
}
