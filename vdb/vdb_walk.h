#pragma once
// The byte walk behind CheckVdbStructure (vdb_structure.h), shared by the
// walk of the file, its grids and their trees (vdb_structure.cpp) and that
// of points grids' buffers (vdb_point_structure.cpp).

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace vdb_walk {

inline constexpr int64_t kMagic = 0x56444220;
inline constexpr uint32_t kOldestVersion = 222;  // node mask compression, grid compression flags
inline constexpr uint32_t kMultiPassVersion = 224;
inline constexpr uint32_t kNewestVersion = 224;

// Grid compression flags.
inline constexpr uint32_t kZip = 0x1;
inline constexpr uint32_t kActiveMask = 0x2;
inline constexpr uint32_t kBlosc = 0x4;

// A Blosc chunk's own header: version, codec version, flags, type size,
// then uncompressed bytes, block size and compressed bytes (uint32 each).
inline constexpr size_t kBloscHeader = 16;
inline constexpr uint64_t kBloscPadding = 128;
// What one compressed byte can stand for at most, with room for the
// compressors Blosc holds (LZ4's longest match step is 255 bytes a byte).
inline constexpr uint64_t kMostExpansion = 256;

// The tree configuration every registered grid type has (5, 4, 3): a root
// of 32^3-entry internal nodes over 16^3-entry ones over 8^3-voxel leaves.
inline constexpr int kLog2[3] = {5, 4, 3};
inline constexpr int kLeafVoxels = 512;
inline constexpr size_t kLeafMaskBytes = kLeafVoxels / 8;

struct Damaged {
  std::string what;
  bool unread = false;  // a kind of grid this reader does not read, not damage
};

using LeafMask = std::array<uint8_t, kLeafMaskBytes>;

class Walk {
 public:
  explicit Walk(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  size_t At() const { return at_; }
  size_t Left() const { return bytes_.size() - at_; }

  [[noreturn]] void Fail(const std::string& what) const { throw Damaged{what}; }

  const uint8_t* Take(uint64_t count, const char* what) {
    if (count > Left()) {
      Fail(std::string(what) + " of " + std::to_string(count) + " bytes goes past the end of the file (" +
           std::to_string(Left()) + " bytes left)");
    }
    const uint8_t* start = bytes_.data() + at_;
    at_ += static_cast<size_t>(count);
    return start;
  }

  template <class T>
  T Get(const char* what) {
    T value;
    std::memcpy(&value, Take(sizeof(T), what), sizeof(T));
    return value;
  }

  std::string String(const char* what) {
    const uint32_t length = Get<uint32_t>(what);
    const uint8_t* text = Take(length, what);
    return std::string(reinterpret_cast<const char*>(text), length);
  }

  // A count of entries of at least `each` bytes apiece, checked before a
  // reader sizes anything by it.
  template <class T>
  uint64_t Count(size_t each, const char* what) {
    const T count = Get<T>(what);
    if constexpr (std::is_signed_v<T>) {
      if (count < 0) Fail(std::string(what) + " is negative (" + std::to_string(count) + ")");
    }
    const uint64_t n = static_cast<uint64_t>(count);
    if (n > Left() / each) Fail(std::string(what) + " " + std::to_string(n) + " is more than the file holds");
    return n;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t at_ = 0;
};

// A Blosc chunk of `compressed` bytes that the reader decompresses into
// `expected` bytes: its header must say both.
void CheckBloscChunk(Walk& walk, const uint8_t* chunk, uint64_t compressed, uint64_t expected, const char* what);

// Metadata (MetaMap::readMeta), as files, grids and attribute descriptors
// hold it.
void CheckMetadata(Walk& walk, const char* what);

// A leaf's buffer starts with its value mask again; OpenVDB reads the
// values by one copy or the other, so they must agree.
void CheckLeafBufferMask(Walk& walk, const LeafMask& mask);

// A points tree's buffers, whose leaves' topology masks are `leaves`.
void CheckPointBuffers(Walk& walk, uint32_t version, const std::vector<LeafMask>& leaves);

}  // namespace vdb_walk
