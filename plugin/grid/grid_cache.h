#pragma once
// The per-frame cache file of the voxel grid (layout: grid_cache.cpp): the
// extracted mesh of a frame written in Mode 2 and played back in Mode 3.

#include <cstdint>

#include "base/mesh_arrays.h"
#include "base/settings.h"

// The cache file of `frame` for a base name that passed the cache file name
// rule (front/parameters.h): base + "." + frame + ".grd", every "\" turned
// into "/" (this system's file layer): "D:\sim\blob" and 12 give
// "D:/sim/blob.12.grd", -3 gives "D:/sim/blob.-3.grd".
XSI::CString GridCacheFileName(const XSI::CString& base, int32_t frame);
// Writes the arrays to the cache file of settings.evalFrame when
// settings.cacheUsable: into a temporary file in the same folder, renamed
// over the frame's file once every byte is written, so a reader never sees
// a partial frame and a failed write leaves the previous file as it was.
// A write that fails (the file or its folder cannot be opened, a write,
// the close or the rename fails) logs
// "<fullName> -> <cache file name, "/" as separator> -> error." and returns
// false; true when the file was written or no cache is in use.
bool WriteGridCache(const Settings& settings, const MeshArrays& mesh);
// Fills the arrays from the cache file of settings.evalFrame when
// settings.mode is Mode::kReadCache and settings.cacheUsable; leaves them as
// they are when the file is missing or not a cache file, clears them when it
// is truncated or inconsistent.
void ReadGridCache(const Settings& settings, MeshArrays& mesh);
