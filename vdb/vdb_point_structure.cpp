// The buffers of a points grid's tree, walked as PointDataLeafNode reads
// them (see vdb_walk.h).

#include <string_view>
#include <vector>

#include "vdb_walk.h"

namespace vdb_walk {

namespace {

// One attribute array of a points leaf, as its metadata declares it.
struct PointArray {
  uint64_t bytes = 0;     // the data's bytes (stored or compressed)
  uint64_t expected = 0;  // the bytes the array holds once read
  bool uniform = false;
  bool paged = false;
  size_t page = 0;         // paged: the page it is in
  bool opensPage = false;  // paged: the first array of its page
};

// Storage bytes of one value of an attribute of value type `type` under
// codec `codec` (points/AttributeArray.h and its codecs), 0 when unknown.
size_t StorageBytes(std::string_view type, std::string_view codec) {
  struct Type {
    std::string_view name;
    size_t size;
    size_t components;
    bool real;
  };
  static constexpr Type kTypes[] = {
      {"bool", 1, 1, false},   {"int8", 1, 1, false},  {"uint8", 1, 1, false},  {"int16", 2, 1, false},
      {"uint16", 2, 1, false}, {"int32", 4, 1, false}, {"uint32", 4, 1, false}, {"int64", 8, 1, false},
      {"uint64", 8, 1, false}, {"half", 2, 1, true},   {"float", 4, 1, true},   {"double", 8, 1, true},
      {"vec3i", 12, 3, false}, {"vec3s", 12, 3, true}, {"vec3d", 24, 3, true},  {"vec3h", 6, 3, true},
      {"mat3s", 36, 9, true},  {"mat3d", 72, 9, true}, {"mat4s", 64, 16, true}, {"mat4d", 128, 16, true},
      {"quats", 16, 4, true},  {"quatd", 32, 4, true},
  };
  for (const Type& t : kTypes) {
    if (t.name != type) continue;
    if (codec == "null") return t.size;
    if (!t.real) return codec == (t.name == "uint8" ? "grp" : t.name == "uint32" ? "str" : "") ? t.size : 0;
    if (codec == "trnc") return 2 * t.components;
    if (codec == "fxpt8" || codec == "ufxpt8") return t.components <= 3 ? t.components : 0;
    if (codec == "fxpt16" || codec == "ufxpt16") return t.components <= 3 ? 2 * t.components : 0;
    if (codec == "uvec") return t.components == 3 ? 2 : 0;
    return 0;
  }
  return 0;
}

// AttributeSet::Descriptor::read: a count and as many (type, codec) pairs
// and (name, position) pairs, the group map (name, offset), metadata. Returns the
// storage bytes per value of each position.
std::vector<size_t> Descriptor(Walk& walk) {
  const uint64_t types = walk.Count<uint64_t>(8, "attribute types");
  std::vector<size_t> storage;
  std::vector<std::string> typeNames;
  for (uint64_t n = 0; n < types; ++n) {
    const std::string type = walk.String("attribute type");
    const std::string codec = walk.String("attribute codec");
    storage.push_back(StorageBytes(type, codec));
    typeNames.push_back(type + " (" + codec + ")");
  }
  std::vector<bool> taken(types, false);
  for (uint64_t n = 0; n < types; ++n) {
    const std::string name = walk.String("attribute name");
    const uint64_t position = walk.Get<uint64_t>("attribute position");
    if (position >= types || taken[position]) walk.Fail("attribute \"" + name + "\" at a wrong position");
    taken[position] = true;
    if (storage[position] == 0) walk.Fail("attribute \"" + name + "\" of unknown type " + typeNames[position]);
  }
  const uint64_t groups = walk.Count<uint64_t>(12, "attribute groups");
  for (uint64_t n = 0; n < groups; ++n) {
    walk.String("group name");
    walk.Get<uint64_t>("group offset");
  }
  CheckMetadata(walk, "attribute metadata");
  return storage;
}

// TypedAttributeArray::readMetadata: byte count (with the six bytes of
// flags and size), flags, serialisation flags, size, stride when strided.
PointArray ArrayMetadata(Walk& walk, size_t storage) {
  PointArray array;
  const uint64_t bytes = walk.Get<uint64_t>("attribute array");
  const uint8_t flags = walk.Get<uint8_t>("attribute array");
  const uint8_t serialisation = walk.Get<uint8_t>("attribute array");
  const uint64_t size = walk.Get<uint32_t>("attribute array");
  uint64_t stride = 1;
  if (serialisation >= 0x10) walk.Fail("an attribute array with unknown flags");
  if (serialisation & 0x1) stride = walk.Get<uint32_t>("attribute array");
  if (bytes < 6 || bytes - 6 > walk.Left()) walk.Fail("an attribute array longer than the file");
  array.bytes = bytes - 6;
  array.uniform = (serialisation & 0x2) != 0;
  array.paged = (serialisation & 0x8) != 0;
  const uint64_t values = array.uniform ? 1 : (flags & 0x8) ? size * stride : stride;
  array.expected = values * storage;
  return array;
}

// TypedAttributeArray::readBuffers (arrays written whole): a compressed
// flag unless uniform, then the bytes, Blosc-compressed or as held.
void WholeArray(Walk& walk, const PointArray& array) {
  uint8_t compressed = 0;
  if (!array.uniform) compressed = walk.Get<uint8_t>("attribute values");
  const uint8_t* data = walk.Take(array.bytes, "attribute values");
  if (compressed == 1) {
    CheckBloscChunk(walk, data, array.bytes, array.expected, "attribute values");
  } else if (array.bytes != array.expected) {
    walk.Fail("attribute values of " + std::to_string(array.bytes) + " bytes where " + std::to_string(array.expected) +
              " are expected");
  }
}

// A points tree's buffers (PointDataLeafNode::readBuffers): a pass count,
// then pass by pass over every leaf: voxel buffer sizes; descriptor and
// array metadata; per attribute its page headers; the voxel offsets; per
// attribute its page data (or its whole arrays).
}  // namespace

void CheckPointBuffers(Walk& walk_, uint32_t version_, const std::vector<LeafMask>& leaves_) {
  if (version_ < kMultiPassVersion) walk_.Fail("a points grid of a format older than 224");
  const uint16_t passes = walk_.Get<uint16_t>("pass count");
  if (leaves_.empty()) return;
  if (passes < 4 || (passes - 4) % 2 != 0) walk_.Fail("a points grid of " + std::to_string(passes) + " passes");
  const size_t attributes = (passes - 4) / 2;

  // pass 0 and 1
  walk_.Take(2 * leaves_.size(), "voxel buffer sizes");
  std::vector<std::vector<PointArray>> arrays(leaves_.size());
  bool shared = false;
  std::vector<size_t> storage;
  for (auto& leafArrays : arrays) {
    if (!shared) {
      const uint8_t header = walk_.Get<uint8_t>("attribute descriptor");
      storage = Descriptor(walk_);
      if (header & 1) shared = true;
      if (header & 2) walk_.Take(walk_.Get<uint64_t>("attribute descriptor"), "attribute descriptor");
      if (header > 3) walk_.Fail("an attribute descriptor with unknown flags");
      if (storage.size() > attributes) walk_.Fail("a points leaf with more attributes than the grid's passes");
    }
    for (size_t s : storage) leafArrays.push_back(ArrayMetadata(walk_, s));
  }

  // passes 2 to attributes + 1: each attribute's page headers
  std::vector<std::vector<uint64_t>> pages(attributes);  // stored bytes of each page
  for (size_t a = 0; a < attributes; ++a) {
    uint64_t used = 0, pageBytes = 0;
    for (auto& leafArrays : arrays) {
      if (a >= leafArrays.size() || !leafArrays[a].paged) continue;
      PointArray& array = leafArrays[a];
      if (used == pageBytes) {
        const int32_t compressed = walk_.Get<int32_t>("page header");
        const int64_t uncompressed = compressed > 0 ? walk_.Get<int32_t>("page header") : -int64_t{compressed};
        if (uncompressed < 0) walk_.Fail("a page of negative size");
        if (compressed > 0) {
          if (static_cast<uint64_t>(compressed) > walk_.Left()) walk_.Fail("a page longer than the file");
          if (static_cast<uint64_t>(uncompressed) > kMostExpansion * static_cast<uint64_t>(compressed)) {
            walk_.Fail("a page that expands too far");
          }
        } else if (static_cast<uint64_t>(uncompressed) > walk_.Left()) {
          walk_.Fail("a page longer than the file");
        }
        pages[a].push_back(static_cast<uint64_t>(compressed) << 32 | static_cast<uint32_t>(uncompressed));
        used = 0;
        pageBytes = static_cast<uint64_t>(uncompressed);
        array.opensPage = true;
      }
      array.page = pages[a].size() - 1;
      if (array.bytes != array.expected) walk_.Fail("a paged attribute array of a wrong size");
      used += array.bytes;
      if (used > pageBytes) walk_.Fail("attribute arrays overrun their page");
    }
    if (used != pageBytes) walk_.Fail("a page that its arrays do not fill");
  }

  // pass attributes + 2: voxel offsets, 2048 bytes a leaf, stored or Blosc
  for (const LeafMask& mask : leaves_) {
    CheckLeafBufferMask(walk_, mask);
    const uint16_t bytes = walk_.Get<uint16_t>("voxel offsets");
    if (bytes == 0xffff) {
      walk_.Take(kLeafVoxels * 4, "voxel offsets");
    } else {
      CheckBloscChunk(walk_, walk_.Take(bytes, "voxel offsets"), bytes, kLeafVoxels * 4, "voxel offsets");
    }
  }

  // passes attributes + 3 on: the arrays' data
  for (size_t a = 0; a < attributes; ++a) {
    for (auto& leafArrays : arrays) {
      if (a >= leafArrays.size()) continue;
      const PointArray& array = leafArrays[a];
      if (!array.paged) {
        WholeArray(walk_, array);
        continue;
      }
      if (!array.opensPage) continue;
      const uint64_t page = pages[a][array.page];
      const int32_t compressed = static_cast<int32_t>(page >> 32);
      const uint64_t uncompressed = static_cast<uint32_t>(page);
      if (compressed > 0) {
        CheckBloscChunk(walk_, walk_.Take(static_cast<uint64_t>(compressed), "page"), static_cast<uint64_t>(compressed),
                        uncompressed, "page");
      } else {
        walk_.Take(uncompressed, "page");
      }
    }
  }
}

}  // namespace vdb_walk
