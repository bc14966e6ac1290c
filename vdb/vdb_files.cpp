// The module libglomora_vdb.so: the functions of vdb_files.h made with
// OpenVDB, handed to the loader (vdb_loader.cpp) through the one symbol the
// module exports.

#include "vdb_module.h"

#include <openvdb/io/Stream.h>
#include <openvdb/openvdb.h>
#include <openvdb/points/AttributeArray.h>
#include <openvdb/points/PointDataGrid.h>

#include <cstring>
#include <memory>
#include <new>
#include <sstream>
#include <streambuf>

namespace {

// The file header ahead of the identifier: magic number (int64), file
// format version and library major and minor versions (uint32 each), the
// grid-offsets flag (char). Then the identifier as 36 characters of text,
// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx".
constexpr size_t kUuidAt = 8 + 4 + 4 + 4 + 1;
constexpr size_t kUuidLength = 36;

// OpenVDB's archive writer on a seekable in-memory stream: the layout its
// file writer makes (with grid offsets, so readers can load one grid alone
// or delay loading), without opening a file of its own.
class MemoryArchive : public openvdb::io::Archive {
 public:
  void WriteTo(std::ostream& out, const openvdb::GridCPtrVec& grids) const { write(out, grids, true); }
};

// A read-only stream over bytes held elsewhere (no copy), seekable both ways
// as the archive reader may ask.
class SpanBuffer : public std::streambuf {
 public:
  explicit SpanBuffer(std::span<const uint8_t> bytes) {
    char* begin = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
    setg(begin, begin, begin + bytes.size());
  }

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir from, std::ios_base::openmode which) override {
    if (!(which & std::ios_base::in)) return pos_type(off_type(-1));
    off_type base = 0;
    if (from == std::ios_base::cur) base = gptr() - eback();
    if (from == std::ios_base::end) base = egptr() - eback();
    const off_type target = base + offset;
    if (target < 0 || target > egptr() - eback()) return pos_type(off_type(-1));
    setg(eback(), eback() + target, egptr());
    return pos_type(target);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override {
    return seekoff(off_type(position), std::ios_base::beg, which);
  }
};

// splitmix64's finaliser: every input bit reaches every output bit.
uint64_t Mix(uint64_t h) {
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ULL;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebULL;
  h ^= h >> 31;
  return h;
}

// Replaces the header's random identifier by 128 bits hashed from every
// other byte of the file, written as an RFC 9562 version 8 ("custom") UUID.
// False when the header does not have the expected layout.
bool SetContentUuid(std::string& bytes) {
  if (bytes.size() < kUuidAt + kUuidLength) return false;
  for (size_t dash : {8, 13, 18, 23}) {
    if (bytes[kUuidAt + dash] != '-') return false;
  }
  uint64_t a = 0x6a09e667f3bcc908ULL;
  uint64_t b = 0xbb67ae8584caa73bULL;
  auto feed = [&](size_t from, size_t to) {
    size_t at = from;
    for (; at + 8 <= to; at += 8) {
      uint64_t word = 0;
      std::memcpy(&word, bytes.data() + at, 8);
      a = Mix(a ^ word);
      b = Mix(b + word + 0x9e3779b97f4a7c15ULL);
    }
    for (; at < to; ++at) {
      const uint64_t byte = static_cast<unsigned char>(bytes[at]);
      a = Mix(a ^ byte);
      b = Mix(b + byte + 0x9e3779b97f4a7c15ULL);
    }
  };
  feed(0, kUuidAt);
  feed(kUuidAt + kUuidLength, bytes.size());
  b = Mix(b ^ static_cast<uint64_t>(bytes.size()));
  uint8_t id[16];
  for (int i = 0; i < 8; ++i) {
    id[i] = static_cast<uint8_t>(a >> (56 - 8 * i));
    id[8 + i] = static_cast<uint8_t>(b >> (56 - 8 * i));
  }
  id[6] = static_cast<uint8_t>((id[6] & 0x0f) | 0x80);  // version 8
  id[8] = static_cast<uint8_t>((id[8] & 0x3f) | 0x80);  // variant 10
  constexpr char kHex[] = "0123456789abcdef";
  size_t at = kUuidAt;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) bytes[at++] = '-';
    bytes[at++] = kHex[id[i] >> 4];
    bytes[at++] = kHex[id[i] & 0x0f];
  }
  return true;
}

// The file of the grid "density" and, with `withVelocity`, "v" that
// `fill(density, velocity)` sets the voxels of (velocity null without it),
// placed and labelled as EncodeFieldVdb says.
template <class Fill>
bool EncodeGrids(const double voxelSize[3], const double origin[3], bool withVelocity, const FieldLabels& labels,
                 const Fill& fill, std::string& bytes, std::string& error) {
  bytes.clear();
  try {
    openvdb::initialize();
    // 1) the values
    const openvdb::FloatGrid::Ptr grid = openvdb::FloatGrid::create(0.0f);
    const openvdb::Vec3SGrid::Ptr velocity =
        withVelocity ? openvdb::Vec3SGrid::create(openvdb::Vec3s(0.0f, 0.0f, 0.0f)) : nullptr;
    if (!fill(*grid, velocity.get(), error)) return false;

    // 2) where they are: voxel (i, j, k) at origin + (i, j, k) * voxelSize
    const openvdb::Vec3d scale(voxelSize[0], voxelSize[1], voxelSize[2]);
    const openvdb::Vec3d translation(origin[0], origin[1], origin[2]);
    grid->setTransform(std::make_shared<openvdb::math::Transform>(
        std::make_shared<openvdb::math::ScaleTranslateMap>(scale, translation)));

    // 3) what they are
    grid->setName("density");
    grid->setCreator(labels.creator);
    grid->insertMeta("isovalue", openvdb::FloatMetadata(labels.isovalue));
    grid->insertMeta("scene", openvdb::StringMetadata(labels.scene));
    grid->insertMeta("frame", openvdb::Int64Metadata(labels.frame));
    openvdb::GridCPtrVec grids{grid};

    // 4) the velocity beside it, where the density is
    if (velocity) {
      velocity->setTransform(grid->transform().copy());
      velocity->setName("v");
      velocity->setCreator(labels.creator);
      velocity->setVectorType(openvdb::VEC_CONTRAVARIANT_RELATIVE);
      velocity->insertMeta("scene", openvdb::StringMetadata(labels.scene));
      velocity->insertMeta("frame", openvdb::Int64Metadata(labels.frame));
      grids.push_back(velocity);
    }

    // 5) the file, then its identifier
    std::ostringstream out(std::ios::binary);
    MemoryArchive().WriteTo(out, grids);
    bytes = std::move(out).str();
  } catch (const std::bad_alloc&) {
    bytes.clear();
    error = "out of memory";
    return false;
  } catch (const std::exception& e) {
    bytes.clear();
    error = std::string("OpenVDB: ") + e.what();
    return false;
  }
  if (!SetContentUuid(bytes)) {
    bytes.clear();
    error = "OpenVDB wrote a file header of an unknown layout";
    return false;
  }
  return true;
}

bool EncodeField(const FieldLattice& lattice, const FieldLabels& labels, std::string& bytes, std::string& error) {
  bytes.clear();
  if (lattice.values == nullptr || lattice.nx <= 0 || lattice.ny <= 0 || lattice.nz <= 0) {
    error = "the field is empty";
    return false;
  }
  const auto fill = [&](openvdb::FloatGrid& grid, openvdb::Vec3SGrid* velocity, std::string&) {
    // Exactly the non-zero values become active voxels, walked in memory
    // order (k fastest) so the accessor's cached leaf serves runs.
    openvdb::FloatGrid::Accessor voxels = grid.getAccessor();
    const float* value = lattice.values;
    for (int32_t i = 0; i < lattice.nx; ++i) {
      for (int32_t j = 0; j < lattice.ny; ++j) {
        for (int32_t k = 0; k < lattice.nz; ++k, ++value) {
          if (*value != 0.0f) voxels.setValue(openvdb::Coord(i, j, k), *value);
        }
      }
    }
    if (velocity != nullptr) {
      openvdb::Vec3SGrid::Accessor vectors = velocity->getAccessor();
      value = lattice.values;
      const float* v = lattice.velocity;
      for (int32_t i = 0; i < lattice.nx; ++i) {
        for (int32_t j = 0; j < lattice.ny; ++j) {
          for (int32_t k = 0; k < lattice.nz; ++k, ++value, v += 3) {
            if (*value != 0.0f) vectors.setValue(openvdb::Coord(i, j, k), openvdb::Vec3s(v[0], v[1], v[2]));
          }
        }
      }
    }
    return true;
  };
  return EncodeGrids(lattice.voxelSize, lattice.origin, lattice.velocity != nullptr, labels, fill, bytes, error);
}

bool EncodeFieldTiles(const FieldTiles& field, const FieldLabels& labels, std::string& bytes, std::string& error) {
  bytes.clear();
  if (field.nx <= 0 || field.ny <= 0 || field.nz <= 0) {
    error = "the field is empty";
    return false;
  }
  using FloatLeaf = openvdb::FloatGrid::TreeType::LeafNodeType;
  using VectorLeaf = openvdb::Vec3SGrid::TreeType::LeafNodeType;
  static_assert(FloatLeaf::DIM == 8 && VectorLeaf::DIM == 8, "a leaf is a tile of 8 x 8 x 8 points");
  const auto fill = [&](openvdb::FloatGrid& grid, openvdb::Vec3SGrid* velocity, std::string& problem) {
    // A leaf per tile holding a non-zero value, active exactly there: a
    // leaf's voxel offset ((x & 7) * 8 + (y & 7)) * 8 + (z & 7) is the
    // tile's layout. The tree does not depend on the order leaves come in.
    for (const FieldTile& tile : field.tiles) {
      const int32_t* o = tile.origin;
      const auto at = [o] { return std::to_string(o[0]) + ", " + std::to_string(o[1]) + ", " + std::to_string(o[2]); };
      if (o[0] < 0 || o[1] < 0 || o[2] < 0 || o[0] >= field.nx || o[1] >= field.ny || o[2] >= field.nz ||
          (o[0] & 7) != 0 || (o[1] & 7) != 0 || (o[2] & 7) != 0) {
        problem = "a tile of the field lies outside its lattice or off the tiles' corners, at " + at();
        return false;
      }
      if (tile.values == nullptr || (field.hasVelocity && tile.velocity == nullptr)) {
        problem = "the tile of the field at " + at() + " has no values";
        return false;
      }
      const openvdb::Coord origin(o[0], o[1], o[2]);
      std::unique_ptr<FloatLeaf> leaf;
      std::unique_ptr<VectorLeaf> vectors;
      for (openvdb::Index n = 0; n < FloatLeaf::SIZE; ++n) {
        const float value = tile.values[n];
        if (value == 0.0f) continue;
        if (!leaf) {
          leaf = std::make_unique<FloatLeaf>(origin, 0.0f, false);
          if (velocity != nullptr) vectors = std::make_unique<VectorLeaf>(origin, openvdb::Vec3s(0.0f), false);
        }
        leaf->setValueOn(n, value);
        if (vectors) {
          const float* v = tile.velocity + 3 * n;
          vectors->setValueOn(n, openvdb::Vec3s(v[0], v[1], v[2]));
        }
      }
      if (!leaf) continue;
      grid.tree().addLeaf(leaf.release());
      if (vectors) velocity->tree().addLeaf(vectors.release());
    }
    return true;
  };
  return EncodeGrids(field.voxelSize, field.origin, field.hasVelocity, labels, fill, bytes, error);
}

// Width of an attribute value type the reader keeps (1 or 3), else 0.
int32_t KeptWidth(const std::string& type) {
  if (type == "float" || type == "double" || type == "int32" || type == "int64") return 1;
  if (type == "vec3s" || type == "vec3d" || type == "vec3i") return 3;
  return 0;
}

// Appends the values of the points of `leaf` (index order) of the array at
// `at`, of value type `type`, as floats.
template <class Leaf>
void AppendValues(const Leaf& leaf, size_t at, const std::string& type, std::vector<float>& values) {
  const openvdb::points::AttributeArray& array = leaf.constAttributeArray(at);
  auto each = [&](auto sample) {
    using T = decltype(sample);
    const openvdb::points::AttributeHandle<T> handle(array);
    for (auto index = leaf.beginIndexOn(); index; ++index) {
      const T value = handle.get(*index);
      if constexpr (openvdb::VecTraits<T>::IsVec) {
        for (int c = 0; c < 3; ++c) values.push_back(static_cast<float>(value[c]));
      } else {
        values.push_back(static_cast<float>(value));
      }
    }
  };
  if (type == "float") each(float{});
  if (type == "double") each(double{});
  if (type == "int32") each(int32_t{});
  if (type == "int64") each(int64_t{});
  if (type == "vec3s") each(openvdb::Vec3f{});
  if (type == "vec3d") each(openvdb::Vec3d{});
  if (type == "vec3i") each(openvdb::Vec3i{});
}

bool DecodePoints(std::span<const uint8_t> bytes, VdbPoints& points, std::string& error) {
  points = VdbPoints();
  std::vector<double>& positions = points.positions;
  try {
    openvdb::initialize();
    SpanBuffer buffer(bytes);
    std::istream in(&buffer);
    openvdb::io::Stream stream(in, false);
    const openvdb::GridPtrVecPtr grids = stream.getGrids();
    // The reader stops quietly at the end of a truncated file, with what it
    // had so far.
    if (in.fail()) {
      error = "not a readable OpenVDB file: it ends too soon";
      return false;
    }
    bool found = false;
    bool attributesChosen = false;
    std::vector<std::string> types;  // value type of each kept attribute
    std::string names;
    for (const openvdb::GridBase::Ptr& base : *grids) {
      names += (names.empty() ? "" : ", ") + base->getName() + " (" + base->type() + ")";
      const auto grid = openvdb::gridPtrCast<openvdb::points::PointDataGrid>(base);
      if (!grid) continue;
      found = true;
      const openvdb::math::Transform& transform = grid->transform();
      for (auto leaf = grid->tree().cbeginLeaf(); leaf; ++leaf) {
        const openvdb::points::AttributeSet& set = leaf->attributeSet();
        // Offsets past the arrays' ends would be read as points.
        leaf->validateOffsets();
        const size_t at = set.find("P");
        if (at == openvdb::points::AttributeSet::INVALID_POS) {
          error = "points grid \"" + grid->getName() + "\" has no positions (\"P\")";
          points = VdbPoints();
          return false;
        }
        // The attributes are those of the first leaf, less any that a later
        // leaf lacks or holds with another type.
        if (!attributesChosen) {
          attributesChosen = true;
          for (const auto& [name, position] : set.descriptor().map()) {
            const std::string type = set.descriptor().valueType(position);
            if (name == "P" || KeptWidth(type) == 0) continue;
            points.attributes.push_back(VdbPointAttribute{name, KeptWidth(type), {}});
            types.push_back(type);
          }
        }
        for (size_t a = points.attributes.size(); a-- > 0;) {
          const size_t position = set.find(points.attributes[a].name);
          if (position == openvdb::points::AttributeSet::INVALID_POS ||
              set.descriptor().valueType(position) != types[a]) {
            points.attributes.erase(points.attributes.begin() + static_cast<std::ptrdiff_t>(a));
            types.erase(types.begin() + static_cast<std::ptrdiff_t>(a));
          }
        }
        // Positions are stored per point relative to its voxel's centre, in
        // voxel units (possibly quantised; the handle decodes).
        const openvdb::points::AttributeHandle<openvdb::Vec3f> handle(leaf->constAttributeArray(at));
        for (auto index = leaf->beginIndexOn(); index; ++index) {
          const openvdb::Vec3d voxel = index.getCoord().asVec3d() + openvdb::Vec3d(handle.get(*index));
          const openvdb::Vec3d world = transform.indexToWorld(voxel);
          positions.push_back(world.x());
          positions.push_back(world.y());
          positions.push_back(world.z());
        }
        for (size_t a = 0; a < points.attributes.size(); ++a) {
          AppendValues(*leaf, set.find(points.attributes[a].name), types[a], points.attributes[a].values);
        }
      }
    }
    if (!found) {
      error = names.empty() ? "the file holds no grid" : "the file holds no points grid, only " + names;
      return false;
    }
  } catch (const std::bad_alloc&) {
    // Damaged counts ask for absurd sizes as readily as a huge file does.
    points = VdbPoints();
    error = "not a readable OpenVDB file: out of memory reading it (damaged, or too large)";
    return false;
  } catch (const std::exception& e) {
    points = VdbPoints();
    error = std::string("not a readable OpenVDB file: ") + e.what();
    return false;
  }
  return true;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const VdbModuleEntryPoints* GlomoraVdb_EntryPoints() {
  static const VdbModuleEntryPoints entryPoints{kVdbModuleVersion, sizeof(FieldLattice), sizeof(FieldLabels),
                                                sizeof(FieldTiles),        &EncodeField,         &EncodeFieldTiles,
                                                &DecodePoints};
  return &entryPoints;
}
