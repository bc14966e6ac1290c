#include "mesh_files.h"

#include <cstdint>
#include <vector>

#include "atomic_file.h"
#include "csv_reader.h"
#include "file_names.h"
#include "finite_points.h"
#include "obj_reader.h"
#include "obj_writer.h"
#include "ply_reader.h"
#include "ply_writer.h"
#include "vdb_files.h"
#include "vtk_reader.h"
#include "vtk_xml_reader.h"

bool ReadVdbPoints(std::span<const uint8_t> bytes, MeshData& mesh, std::string& error) {
  mesh.Clear();
  VdbPoints points;
  if (!DecodeVdbPoints(bytes, points, error)) return false;
  if (!CheckFinitePoints(points.positions, error)) return false;
  mesh.positions = std::move(points.positions);
  for (VdbPointAttribute& attribute : points.attributes) {
    mesh.attributes.push_back(VertexAttribute{std::move(attribute.name), attribute.components, std::move(attribute.values)});
  }
  return true;
}

MeshFormat MeshFormatOf(std::string_view path) {
  const std::string extension = LowerExtension(path);
  if (extension == ".ply") return MeshFormat::Ply;
  if (extension == ".obj") return MeshFormat::Obj;
  if (extension == ".vdb") return MeshFormat::VdbPoints;
  if (extension == ".csv" || extension == ".xyz") return MeshFormat::Csv;
  if (extension == ".vtk") return MeshFormat::Vtk;
  if (extension == ".vtu" || extension == ".vtp") return MeshFormat::VtkXml;
  return MeshFormat::Unknown;
}

bool IsPointsOnlyFormat(MeshFormat format) {
  return format == MeshFormat::VdbPoints || format == MeshFormat::Csv || format == MeshFormat::Vtk ||
         format == MeshFormat::VtkXml;
}

bool IsWritableMeshName(std::string_view path) {
  const MeshFormat format = MeshFormatOf(path);
  return format == MeshFormat::Ply || format == MeshFormat::Obj;
}

bool ReadMeshFile(const std::string& path, MeshData& mesh, std::string& error) {
  if (HoldsNul(path)) {
    error = kNulInFileName;
    return false;
  }
  const MeshFormat format = MeshFormatOf(path);
  if (format == MeshFormat::Unknown) {
    error = "not a .ply, .obj, .vdb, .csv, .xyz, .vtk, .vtu or .vtp file";
    return false;
  }
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes, error)) return false;
  switch (format) {
    case MeshFormat::Ply: return ReadPly(bytes, mesh, error);
    case MeshFormat::Obj: return ReadObj(bytes, mesh, error);
    case MeshFormat::VdbPoints: return ReadVdbPoints(bytes, mesh, error);
    case MeshFormat::Csv: return ReadCsv(bytes, mesh, error);
    case MeshFormat::Vtk: return ReadVtk(bytes, mesh, error);
    case MeshFormat::VtkXml: return ReadVtkXml(bytes, mesh, error);
    case MeshFormat::Unknown: break;
  }
  return false;
}

bool WriteMeshFile(const std::string& path, const MeshView& mesh, std::string_view objectName,
                   std::string_view comment, std::string& error) {
  if (HoldsNul(path)) {
    error = kNulInFileName;
    return false;
  }
  const MeshFormat format = MeshFormatOf(path);
  if (format != MeshFormat::Ply && format != MeshFormat::Obj) {
    error = path + ": the file name must end in .obj or .ply";
    return false;
  }
  if (!MakeParentFolder(path, error)) {
    error = path + ": " + error;
    return false;
  }
  const auto produce = [&](const ByteSink& sink) {
    if (format == MeshFormat::Obj) {
      WriteObj(mesh, objectName, comment, sink);
    } else {
      WritePly(mesh, comment, sink);
    }
  };
  if (!WriteFileAtomically(path, produce, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}
