// Arbitrary bytes as a VTK XML file (.vtu, .vtp), checked against what ReadVtk
// promises (mesh_read_check.h), attributes one entry per point, and on
// failure a message of one line.

#include <cstdint>
#include <span>
#include <string>

#include "vtk_xml_reader.h"
#include "mesh_read_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MeshData mesh;
  std::string error;
  const bool ok = ReadVtkXml(std::span<const uint8_t>(data, size), mesh, error);
  CheckReadMesh(ok, mesh);
  for (const VertexAttribute& attribute : mesh.attributes) {
    FUZZ_CHECK(attribute.components >= 1 && attribute.Count() == mesh.VertexCount());
  }
  if (!ok) FUZZ_CHECK(!error.empty() && error.find('\n') == std::string::npos && mesh.attributes.empty());
  return 0;
}
