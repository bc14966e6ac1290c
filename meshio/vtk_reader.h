#pragma once
// Reader of VTK legacy files (.vtk), as particle solvers write them.

#include <cstdint>
#include <span>
#include <string>

#include "mesh_data.h"

// Reads the points of a VTK legacy file held in `bytes` (versions 2 to 5,
// ASCII or binary big-endian; dataset POLYDATA or UNSTRUCTURED_GRID): the
// POINTS as positions, the POINT_DATA arrays (SCALARS of 1 to 4
// components, VECTORS, NORMALS, TEXTURE_COORDINATES, COLOR_SCALARS, FIELD
// arrays of 1 to 4 components) as attributes under their own names. Cells
// and cell data are read past and not kept (the points are what a cloud
// takes). Returns true with `mesh` filled (no polygons); false with a
// one-line message in `error`, and `mesh` empty, when the bytes are
// malformed, end early, or hold a coordinate beyond the float range. Never
// reads outside `bytes`.
bool ReadVtk(std::span<const uint8_t> bytes, MeshData& mesh, std::string& error);
