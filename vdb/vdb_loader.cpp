// The functions of vdb_files.h, taken from the module libglomora_vdb.so the
// first time one is called. OpenVDB and what it needs (Boost.Iostreams,
// Blosc, log4cplus, Imath, TBB, compressors) cost about 60 ms of processor
// time to load, relocate and initialise, at every start of every process that
// links them: the tool, the tool started again with the huge-page tunable,
// each worker of --jobs, the Python module. Most runs write no volume and
// read no .vdb file, so only those that do pay it, once.
//
// Where the module is: beside the plug-in library libglomora.so, as the
// process loaded it (the tool and the Python module link it, from PREFIX/lib
// once installed and from the build tree's plugin/ folder before; the module
// is made and installed there). A program that links the plug-in statically
// (the test suites, the benchmarks) has no libglomora.so: it takes the module
// this build made, GLOMORA_VDB_MODULE_BUILD_PATH.

#include <dlfcn.h>
#include <link.h>

#include <filesystem>
#include <system_error>

#include "vdb_files.h"
#include "vdb_module.h"
#include "vdb_structure.h"

namespace {

struct LoadedModule {
  const VdbModuleEntryPoints* entryPoints = nullptr;  // null when loading failed
  std::string error;                                  // why it failed
};

// The file the module is loaded from (see the top of this file).
std::string ModulePath() {
  void* plugin = ::dlopen(GLOMORA_PLUGIN_FILE_NAME, RTLD_LAZY | RTLD_NOLOAD);
  if (plugin == nullptr) return GLOMORA_VDB_MODULE_BUILD_PATH;
  std::string path;
  link_map* map = nullptr;
  if (::dlinfo(plugin, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
      map->l_name[0] != '\0') {
    // As the dynamic linker found it: PREFIX/bin/../lib/libglomora.so, say.
    std::error_code failure;
    const std::filesystem::path pluginPath = std::filesystem::weakly_canonical(map->l_name, failure);
    path = ((failure ? std::filesystem::path(map->l_name) : pluginPath).parent_path() / GLOMORA_VDB_MODULE_FILE_NAME)
               .string();
  }
  ::dlclose(plugin);
  return path.empty() ? std::string(GLOMORA_VDB_MODULE_BUILD_PATH) : path;
}

LoadedModule Load() {
  LoadedModule loaded;
  const std::string path = ModulePath();
  std::error_code failure;
  if (!std::filesystem::exists(path, failure)) {
    loaded.error = "the OpenVDB module is missing: " + path;
    return loaded;
  }
  // Bound now rather than on first call, so that a missing symbol of
  // OpenVDB's is this message and not an abort halfway through a file. Kept
  // loaded (never closed) until the process ends.
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* reason = ::dlerror();
    loaded.error = "the OpenVDB module cannot be loaded: " + std::string(reason != nullptr ? reason : path);
    return loaded;
  }
  using EntryPointsFunction = const VdbModuleEntryPoints* (*)();
  const auto entry = reinterpret_cast<EntryPointsFunction>(::dlsym(module, kVdbModuleSymbol));
  const VdbModuleEntryPoints* entryPoints = entry != nullptr ? entry() : nullptr;
  if (entryPoints == nullptr || entryPoints->version != kVdbModuleVersion ||
      entryPoints->latticeSize != sizeof(FieldLattice) || entryPoints->labelsSize != sizeof(FieldLabels) ||
      entryPoints->tilesSize != sizeof(FieldTiles) || entryPoints->encodeFieldVdb == nullptr ||
      entryPoints->encodeFieldTilesVdb == nullptr || entryPoints->decodeVdbPoints == nullptr) {
    loaded.error = "the OpenVDB module " + path + " belongs to another build of glomora (install glomora again)";
    return loaded;
  }
  loaded.entryPoints = entryPoints;
  return loaded;
}

// Loaded once per process, by whichever thread asks first.
const LoadedModule& Module() {
  static const LoadedModule loaded = Load();
  return loaded;
}

// `error` as one line of text: the names a file gives its grids, types and
// attributes are quoted as they are, and a damaged (or odd) one may hold a
// line break or another control character, shown as \xNN; a name that
// would make the message longer than a line of a log is cut short.
std::string OneLine(const std::string& error) {
  static constexpr char kHex[] = "0123456789abcdef";
  constexpr size_t kMostCharacters = 400;
  std::string line;
  for (const char c : error) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      line += std::string("\\x") + kHex[byte >> 4] + kHex[byte & 15];
    } else {
      line += c;
    }
  }
  if (line.size() > kMostCharacters) line = line.substr(0, kMostCharacters - 3) + "...";
  return line;
}

}  // namespace

bool LoadVdbModule(std::string& error) {
  if (Module().entryPoints != nullptr) return true;
  error = Module().error;
  return false;
}

bool EncodeFieldVdb(const FieldLattice& lattice, const FieldLabels& labels, std::string& bytes, std::string& error) {
  bytes.clear();
  if (!LoadVdbModule(error)) return false;
  return Module().entryPoints->encodeFieldVdb(lattice, labels, bytes, error);
}

bool EncodeFieldTilesVdb(const FieldTiles& tiles, const FieldLabels& labels, std::string& bytes, std::string& error) {
  bytes.clear();
  if (!LoadVdbModule(error)) return false;
  return Module().entryPoints->encodeFieldTilesVdb(tiles, labels, bytes, error);
}

bool DecodeVdbPoints(std::span<const uint8_t> bytes, VdbPoints& points, std::string& error) {
  points = VdbPoints();
  // Checked here, before OpenVDB reads a byte: it takes the file's lengths
  // on trust (see vdb_structure.h).
  const bool read = CheckVdbStructure(bytes, error) && LoadVdbModule(error) &&
                    Module().entryPoints->decodeVdbPoints(bytes, points, error);
  if (!read) error = OneLine(error);
  return read;
}
