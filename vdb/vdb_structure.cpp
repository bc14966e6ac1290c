// The walk of vdb_structure.h. It follows OpenVDB's reader (io::Stream)
// field by field: where that reader takes a length from the file and
// allocates it, the walk first checks that the file holds it.

#include "vdb_structure.h"

#include <array>
#include <bit>
#include <cstring>
#include <string_view>
#include <vector>

#include "vdb_walk.h"

namespace vdb_walk {

uint32_t Uint32At(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, 4);
  return value;
}

void CheckBloscChunk(Walk& walk, const uint8_t* chunk, uint64_t compressed, uint64_t expected, const char* what) {
  if (compressed < kBloscHeader) walk.Fail(std::string(what) + ": a compressed block shorter than its header");
  const uint64_t nbytes = Uint32At(chunk + 4);
  const uint64_t cbytes = Uint32At(chunk + 12);
  // OpenVDB pads what it compresses to at least 128 bytes.
  const bool padded = expected < kBloscPadding && nbytes >= expected && nbytes <= kBloscPadding;
  if (cbytes != compressed || (nbytes != expected && !padded)) {
    walk.Fail(std::string(what) + ": a compressed block declares " + std::to_string(nbytes) + " bytes in " +
              std::to_string(cbytes) + " where " + std::to_string(expected) + " in " + std::to_string(compressed) +
              " are expected");
  }
  if (expected > kMostExpansion * compressed) walk.Fail(std::string(what) + ": a compressed block expands too far");
}

// A count, then name, type name, byte count and bytes. The fixed-size types are read by their size whatever the byte
// count says, so it must be that size.
void CheckMetadata(Walk& walk, const char* what) {
  struct Fixed {
    std::string_view type;
    uint32_t size;
  };
  static constexpr Fixed kFixed[] = {
      {"bool", 1},   {"float", 4},  {"double", 8}, {"int32", 4},   {"int64", 8},  {"vec2i", 8},
      {"vec2s", 8},  {"vec2d", 16}, {"vec3i", 12}, {"vec3s", 12},  {"vec3d", 24}, {"vec4i", 16},
      {"vec4s", 16}, {"vec4d", 32}, {"mat4s", 64}, {"mat4d", 128},
  };
  const uint64_t count = walk.Count<uint32_t>(12, what);
  for (uint64_t n = 0; n < count; ++n) {
    const std::string name = walk.String(what);
    const std::string type = walk.String(what);
    const uint32_t size = walk.Get<uint32_t>(what);
    for (const Fixed& fixed : kFixed) {
      if (fixed.type == type && fixed.size != size) {
        walk.Fail(std::string(what) + " \"" + name + "\" of type " + type + " holds " + std::to_string(size) +
                  " bytes, not " + std::to_string(fixed.size));
      }
    }
    // The delayed-load table (each leaf's compression and compressed size)
    // is read by counts of its own, which must stay inside its bytes: a
    // count, then the masks and the sizes, each as a byte count (0 for
    // stored as is) and its bytes.
    const uint8_t* value = walk.Take(size, what);
    if (type == "__delayedload" && size != 0) {
      Walk inner(std::span<const uint8_t>(value, size));
      try {
        const uint64_t leaves = inner.Get<uint32_t>("delayed-load table");
        for (const uint64_t each : {uint64_t{1}, uint64_t{8}}) {
          const uint64_t compressed = inner.Get<uint32_t>("delayed-load table");
          if (compressed == 0) {
            inner.Take(leaves * each, "delayed-load table");
          } else {
            const uint8_t* chunk = inner.Take(compressed, "delayed-load table");
            CheckBloscChunk(inner, chunk, compressed, leaves * each, "delayed-load table");
          }
        }
        if (inner.Left() != 0) inner.Fail("delayed-load table shorter than its bytes");
      } catch (const Damaged& damaged) {
        walk.Fail(std::string(what) + " \"" + name + "\": " + damaged.what);
      }
    }
  }
}

void CheckLeafBufferMask(Walk& walk, const LeafMask& mask) {
  if (std::memcmp(walk.Take(kLeafMaskBytes, "leaf mask"), mask.data(), kLeafMaskBytes) != 0) {
    walk.Fail("a leaf's two value masks differ");
  }
}

}  // namespace vdb_walk

namespace {

using namespace vdb_walk;

// io::readData through bloscFromStream or unzipFromStream: an int64 length,
// negative for `-length` stored bytes, else that many compressed bytes.
void CheckData(Walk& walk, uint32_t compression, uint64_t expected, const char* what) {
  if ((compression & (kBlosc | kZip)) == 0) {
    walk.Take(expected, what);
    return;
  }
  const int64_t length = walk.Get<int64_t>(what);
  if (length <= 0) {
    // Negated in unsigned arithmetic: INT64_MIN has no signed negation.
    const uint64_t stored = 0 - static_cast<uint64_t>(length);
    if (stored != expected) {
      walk.Fail(std::string(what) + ": " + std::to_string(stored) + " stored bytes where " + std::to_string(expected) +
                " are expected");
    }
    walk.Take(expected, what);
    return;
  }
  const uint8_t* block = walk.Take(static_cast<uint64_t>(length), what);
  if (compression & kBlosc) {
    CheckBloscChunk(walk, block, static_cast<uint64_t>(length), expected, what);
  } else if (expected >
             1100 * static_cast<uint64_t>(length) + 64) {  // zlib's deflate stands for at most ~1032 bytes a byte
    walk.Fail(std::string(what) + ": a compressed block expands too far");
  }
}

size_t CountOn(const uint8_t* mask, size_t bytes) {
  size_t on = 0;
  for (size_t i = 0; i < bytes; ++i) on += static_cast<size_t>(std::popcount(mask[i]));
  return on;
}

// A value type of the trees read: its size, and its size stored as half
// floats (0 when it is not real).
struct ValueKind {
  size_t size = 0;
  size_t halfSize = 0;
  bool points = false;
};

bool KindOf(std::string_view name, ValueKind& kind) {
  struct Entry {
    std::string_view name;
    ValueKind kind;
  };
  static constexpr Entry kKinds[] = {
      {"float", {4, 2, false}},  {"double", {8, 2, false}}, {"int32", {4, 0, false}},  {"int64", {8, 0, false}},
      {"vec3i", {12, 0, false}}, {"vec3s", {12, 6, false}}, {"vec3d", {24, 6, false}}, {"ptdataidx32", {4, 0, true}},
  };
  for (const Entry& entry : kKinds) {
    if (entry.name == name) {
      kind = entry.kind;
      return true;
    }
  }
  return false;
}

// The transform: a map type name and its fixed-size data (math/Maps.h).
void CheckTransform(Walk& walk, bool nested = false) {
  const std::string type = walk.String("transform");
  if (type == "AffineMap" || type == "UnitaryMap") {
    walk.Take(128, "transform");
  } else if (type == "ScaleMap" || type == "UniformScaleMap") {
    walk.Take(5 * 24, "transform");
  } else if (type == "TranslationMap") {
    walk.Take(24, "transform");
  } else if (type == "ScaleTranslateMap" || type == "UniformScaleTranslateMap") {
    walk.Take(6 * 24, "transform");
  } else if (type == "NonlinearFrustumMap" && !nested) {
    walk.Take(48 + 8 + 8, "transform");
    CheckTransform(walk, true);
  } else {
    walk.Fail("a transform of unknown type \"" + type + "\"");
  }
}

// One tree of a grid, walked as io::Stream reads it.
class TreeWalk {
 public:
  TreeWalk(Walk& walk, const ValueKind& kind, bool half, uint32_t compression, uint32_t version)
      : walk_(walk), kind_(kind), half_(half && kind.halfSize != 0), compression_(compression), version_(version) {}

  void Topology() {
    walk_.Get<int32_t>("tree");  // buffer count, 1 (others are warned about and read the same)
    const uint8_t* background = walk_.Take(kind_.size, "background");
    // A points tree's nodes are made with its background, which must be 0.
    if (kind_.points && CountOn(background, kind_.size) != 0) walk_.Fail("a points grid whose background is not 0");
    const uint64_t tiles = walk_.Count<uint32_t>(12 + kind_.size + 1, "tile count");
    const uint64_t children = walk_.Count<uint32_t>(12 + 2 * 4096, "node count");
    walk_.Take(tiles * (12 + kind_.size + 1), "tiles");
    // The root keeps its nodes in a map by origin and reads their buffers
    // in its order: nodes out of that order (or twice at one origin) would
    // be read against the wrong buffers.
    bool first = true;
    std::array<int32_t, 3> last{};
    for (uint64_t n = 0; n < children; ++n) {
      std::array<int32_t, 3> origin;
      std::memcpy(origin.data(), walk_.Take(12, "node origin"), 12);
      for (int32_t c : origin) {
        if ((c & ((1 << 12) - 1)) != 0) walk_.Fail("a node origin off the nodes' lattice");
      }
      if (!first && !(last < origin)) walk_.Fail("node origins out of order");
      first = false;
      last = origin;
      Internal(0);
    }
  }

  void Buffers() {
    if (kind_.points) {
      CheckPointBuffers(walk_, version_, leaves_);
      return;
    }
    for (const LeafMask& mask : leaves_) {
      CheckLeafBufferMask(walk_, mask);
      CompressedValues(kLeafVoxels, mask.data(), "voxel values");
    }
  }

 private:
  void Internal(int level) {
    const size_t entries = size_t{1} << (3 * kLog2[level]);
    const uint8_t* childMask = walk_.Take(entries / 8, "node mask");
    const uint8_t* valueMask = walk_.Take(entries / 8, "node mask");
    CompressedValues(entries, valueMask, "tile values");
    const size_t childCount = CountOn(childMask, entries / 8);
    const size_t least = level == 0 ? 2 * 512 : kLeafMaskBytes;  // what a child takes at the least
    if (childCount > walk_.Left() / least) walk_.Fail("more child nodes than the file holds");
    for (size_t byte = 0; byte < entries / 8; ++byte) {
      for (int bit = 0; bit < 8; ++bit) {
        if ((childMask[byte] >> bit & 1) == 0) continue;
        if (level == 0) {
          Internal(1);
        } else {
          LeafMask mask;
          std::memcpy(mask.data(), walk_.Take(kLeafMaskBytes, "leaf mask"), kLeafMaskBytes);
          leaves_.push_back(mask);
        }
      }
    }
  }

  // io::readCompressedValues.
  void CompressedValues(size_t count, const uint8_t* valueMask, const char* what) {
    const int8_t metadata = walk_.Get<int8_t>(what);
    if (metadata < 0 || metadata > 6)
      walk_.Fail(std::string(what) + ": unknown compression " + std::to_string(metadata));
    if (metadata == 2 || metadata == 4 || metadata == 5) walk_.Take(kind_.size, what);
    if (metadata == 5) walk_.Take(kind_.size, what);
    if (metadata == 3 || metadata == 4 || metadata == 5) walk_.Take(count / 8, what);
    size_t stored = count;
    if ((compression_ & kActiveMask) && metadata != 6) stored = CountOn(valueMask, count / 8);
    if (half_) {
      if (stored > 0) CheckData(walk_, compression_, stored * kind_.halfSize, what);
    } else {
      CheckData(walk_, compression_, stored * kind_.size, what);
    }
  }

  Walk& walk_;
  ValueKind kind_;
  bool half_;
  uint32_t compression_;
  uint32_t version_;
  std::vector<LeafMask> leaves_;
};

void CheckGrids(Walk& walk, uint32_t version, bool offsets) {
  const uint64_t grids = walk.Count<int32_t>(12 + 24, "grid count");
  std::vector<std::string> names;
  for (uint64_t g = 0; g < grids; ++g) {
    const std::string name = walk.String("grid name");
    std::string type = walk.String("grid type");
    const std::string parent = walk.String("grid instance parent");
    const std::string label = "grid \"" + name + "\"";
    constexpr std::string_view kHalf = "_HalfFloat";
    bool half = false;
    if (type.size() > kHalf.size() && type.ends_with(kHalf)) {
      half = true;
      type.resize(type.size() - kHalf.size());
    }
    ValueKind kind;
    constexpr std::string_view kPrefix = "Tree_", kSuffix = "_5_4_3";
    if (!type.starts_with(kPrefix) || !type.ends_with(kSuffix) ||
        !KindOf(std::string_view(type).substr(kPrefix.size(), type.size() - kPrefix.size() - kSuffix.size()), kind)) {
      throw Damaged{label + " is of type " + type + ", which is not read here", true};
    }
    if (!parent.empty()) {
      bool known = false;
      for (const std::string& earlier : names) known = known || earlier == parent;
      if (!known) walk.Fail(label + " is an instance of \"" + parent + "\", which comes before it nowhere");
    }
    names.push_back(name);
    const int64_t gridAt = walk.Get<int64_t>("grid position");
    const int64_t blockAt = walk.Get<int64_t>("grid position");
    const int64_t endAt = walk.Get<int64_t>("grid position");
    if (offsets && static_cast<uint64_t>(gridAt) != walk.At()) walk.Fail(label + " does not start where it says");
    const uint32_t compression = walk.Get<uint32_t>("grid compression");
    if (compression > (kZip | kActiveMask | kBlosc)) walk.Fail(label + " has unknown compression flags");
    CheckMetadata(walk, "grid metadata");
    CheckTransform(walk);
    if (parent.empty()) {
      TreeWalk tree(walk, kind, half, compression, version);
      tree.Topology();
      if (offsets && static_cast<uint64_t>(blockAt) != walk.At())
        walk.Fail(label + " does not hold its data where it says");
      tree.Buffers();
    }
    if (offsets && static_cast<uint64_t>(endAt) != walk.At()) walk.Fail(label + " does not end where it says");
  }
}

}  // namespace

bool CheckVdbStructure(std::span<const uint8_t> bytes, std::string& error) {
  Walk walk(bytes);
  try {
    if (walk.Left() < 8 || walk.Get<int64_t>("header") != kMagic) {
      error = "not a readable OpenVDB file: it does not start with OpenVDB's signature";
      return false;
    }
    const uint32_t version = walk.Get<uint32_t>("header");
    if (version < kOldestVersion || version > kNewestVersion) {
      error = "not a readable OpenVDB file: its format version " + std::to_string(version) +
              " is not read here (only " + std::to_string(kOldestVersion) + " to " + std::to_string(kNewestVersion) +
              ")";
      return false;
    }
    walk.Take(8, "header");  // library major and minor version
    const uint8_t offsets = walk.Get<uint8_t>("header");
    if (offsets > 1) walk.Fail("a header with a wrong grid-offsets flag");
    walk.Take(36, "header");  // the file's identifier
    CheckMetadata(walk, "file metadata");
    CheckGrids(walk, version, offsets == 1);
  } catch (const Damaged& damaged) {
    error = std::string("not a readable OpenVDB file: ") + (damaged.unread ? "" : "damaged, ") + damaged.what +
            " (at byte " + std::to_string(walk.At()) + " of " + std::to_string(bytes.size()) + ")";
    return false;
  }
  return true;
}
