#pragma once
// What the module libglomora_vdb.so (vdb_files.cpp and OpenVDB) hands the
// loader (vdb_loader.cpp): the functions of vdb_files.h, behind one C symbol.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "vdb_files.h"

// Raised whenever the entry points or the types they take change, so that a
// module of another build is refused instead of called.
inline constexpr uint32_t kVdbModuleVersion = 3;

struct VdbModuleEntryPoints {
  uint32_t version = 0;  // kVdbModuleVersion of the build that made the module
  size_t latticeSize = 0;  // sizeof(FieldLattice) there
  size_t labelsSize = 0;   // sizeof(FieldLabels) there
  size_t tilesSize = 0;    // sizeof(FieldTiles) there
  bool (*encodeFieldVdb)(const FieldLattice&, const FieldLabels&, std::string&, std::string&) = nullptr;
  bool (*encodeFieldTilesVdb)(const FieldTiles&, const FieldLabels&, std::string&, std::string&) = nullptr;
  bool (*decodeVdbPoints)(std::span<const uint8_t>, VdbPoints&, std::string&) = nullptr;
};

// The module's only exported symbol: extern "C" const VdbModuleEntryPoints* GlomoraVdb_EntryPoints().
inline constexpr char kVdbModuleSymbol[] = "GlomoraVdb_EntryPoints";
