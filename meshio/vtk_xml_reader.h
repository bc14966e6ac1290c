#pragma once
// Reader of VTK XML files of points (.vtu unstructured grids, .vtp poly
// data), as particle solvers write them.

#include <cstdint>
#include <span>
#include <string>

#include "mesh_data.h"

// Reads the points of a VTK XML file held in `bytes` (VTKFile of type
// UnstructuredGrid or PolyData, every Piece in order): the Points array as
// positions, the PointData arrays of 1 to 4 components as attributes under
// their own names (an array of another width, or of strings, is left out;
// so is an array that not every piece has with the same width). Arrays may
// be inline ASCII or base64 binary, or in the AppendedData block (raw or
// base64), uncompressed or zlib-compressed (vtkZLibDataCompressor), with a
// UInt32 or UInt64 header, little or big endian, of any of VTK's numeric
// types (read as double for positions, float for attributes). Cells and cell
// data are not kept (the points are what a cloud takes).
//
// The XML is parsed by expat and the compressed blocks are inflated by zlib.
// Returns true with `mesh` filled (no polygons); false with a one-line
// message in `error`, and `mesh` empty, when the bytes are malformed, end
// early, use another compressor, or hold a coordinate beyond the float
// range. Never reads outside `bytes`.
bool ReadVtkXml(std::span<const uint8_t> bytes, MeshData& mesh, std::string& error);
