#pragma once
// Mesh files by format: the one place that picks a reader or a writer from a
// file's name (its extension, in either case).
//
//   .ply  PLY, ASCII or binary (ply_reader.h); written binary little-endian (ply_writer.h)
//   .obj  Wavefront OBJ (obj_reader.h, obj_writer.h)
//   .vdb  OpenVDB points grids, read as points with their attributes (vdb_files.h)
//   .csv, .xyz  text points with a header naming the columns (csv_reader.h)
//   .vtk  VTK legacy files, points and point data (vtk_reader.h)
//   .vtu, .vtp  VTK XML files, points and point data (vtk_xml_reader.h)

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "mesh_data.h"

enum class MeshFormat { Unknown, Ply, Obj, VdbPoints, Csv, Vtk, VtkXml };

// The format of a file named `path`.
MeshFormat MeshFormatOf(std::string_view path);

// True when `path` names a format of points only (.vdb, .csv, .xyz, .vtk, .vtu, .vtp),
// which a cloud may read but a mesh source may not.
bool IsPointsOnlyFormat(MeshFormat format);

// True when `path` names a format the writers take (.obj, .ply).
bool IsWritableMeshName(std::string_view path);

// Reads `path` by its format into `mesh`; false with a message in `error`
// when the file cannot be read or is malformed.
bool ReadMeshFile(const std::string& path, MeshData& mesh, std::string& error);

// The points of an OpenVDB file's points grids (vdb_files.h), held in
// `bytes`, as a mesh of points with their attributes and no polygons; false
// with a one-line message in `error`, and `mesh` empty, when the file is
// damaged, holds no points grid or a point is not finite.
bool ReadVdbPoints(std::span<const uint8_t> bytes, MeshData& mesh, std::string& error);

// Writes `mesh` to `path` by its format (OBJ with object `objectName`, or
// binary PLY), `comment` on the comment line; the folder made when missing;
// the file written whole under a temporary name first (atomic_file.h).
// False with `error` naming the file.
bool WriteMeshFile(const std::string& path, const MeshView& mesh, std::string_view objectName,
                   std::string_view comment, std::string& error);
