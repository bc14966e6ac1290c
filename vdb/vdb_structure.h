#pragma once
// The layout of an OpenVDB file walked without OpenVDB: header, metadata,
// grid descriptors, transforms, the trees' nodes, every value block and, in
// points grids, the attribute descriptors, arrays and pages. Every length
// and count the file declares is checked against what the file holds (and
// every compressed block's own header against the size the reader will
// decompress it to) before OpenVDB reads the file, since OpenVDB believes
// them: it allocates what a damaged length asks (gigabytes, or more than
// the address space), and a stream that ended early hands it stale values.
// A file this walk accepts asks OpenVDB for no more memory than a small
// multiple of its size (a sparse tree's nodes, compressed blocks at the
// compressors' own limits).

#include <cstdint>
#include <span>
#include <string>

// True when `bytes` are an OpenVDB file (file format versions 222 to
// 224) whose grids are of the types a cloud reads
// (float, double, int32, int64, vec3i, vec3s, vec3d, half-float storage of
// the real ones, and points grids) and whose every declared length fits.
// Else false with a one-line reason in `error`, ending with the byte where
// the walk stopped.
bool CheckVdbStructure(std::span<const uint8_t> bytes, std::string& error);
