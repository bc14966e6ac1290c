// The per-frame cache file of the voxel grid. Layout, little-endian, fields
// back to back:
//   0   16 bytes  signature 89 47 52 44 0D 0A 1A 0A "20000000"
//   16  int32 V   vertices
//   20  int32 L   entries of the polygon description
//   24  int32 N   node values
//   28  int32     reserved, written 0, ignored
//   32  V x 3 float32   vertex x, y, z
//       L int32         polygon description
//       N float64       node values
// The name is the base + "." + frame + ".grd". The base is stored with "\"
// as separator; this system's file layer uses "/".

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "grid/grid_cache.h"

#include "xsi_application.h"
#include "xsi_value.h"

namespace {

constexpr unsigned char kCacheSignature[16] = {0x89, 0x47, 0x52, 0x44, 0x0D, 0x0A, 0x1A, 0x0A,
                                               '2',  '0',  '0',  '0',  '0',  '0',  '0',  '0'};
constexpr size_t kHeaderBytes = 32;
constexpr size_t kChunkBytes = 1 << 16;  // block size of the array reads and writes

// The name this system's file layer opens and a failed write is logged with.
XSI::CString CacheFileName(const Settings& settings) { return GridCacheFileName(settings.cacheFileBase, settings.evalFrame); }

// UTF-8 path of the frame's cache file.
std::string CacheFilePath(const Settings& settings) { return CacheFileName(settings).GetAsciiString(); }

void PutInt32(unsigned char* out, int32_t value) {
  const auto u = static_cast<uint32_t>(value);
  for (int b = 0; b < 4; ++b) out[b] = static_cast<unsigned char>(u >> (8 * b));
}

int32_t GetInt32(const unsigned char* in) {
  uint32_t u = 0;
  for (int b = 0; b < 4; ++b) u |= static_cast<uint32_t>(in[b]) << (8 * b);
  return static_cast<int32_t>(u);
}

void PutFloat32(unsigned char* out, float value) {
  uint32_t u;
  std::memcpy(&u, &value, 4);
  for (int b = 0; b < 4; ++b) out[b] = static_cast<unsigned char>(u >> (8 * b));
}

float GetFloat32(const unsigned char* in) {
  uint32_t u = 0;
  for (int b = 0; b < 4; ++b) u |= static_cast<uint32_t>(in[b]) << (8 * b);
  float value;
  std::memcpy(&value, &u, 4);
  return value;
}

void PutFloat64(unsigned char* out, double value) {
  uint64_t u;
  std::memcpy(&u, &value, 8);
  for (int b = 0; b < 8; ++b) out[b] = static_cast<unsigned char>(u >> (8 * b));
}

double GetFloat64(const unsigned char* in) {
  uint64_t u = 0;
  for (int b = 0; b < 8; ++b) u |= static_cast<uint64_t>(in[b]) << (8 * b);
  double value;
  std::memcpy(&value, &u, 8);
  return value;
}

// Writes `count` records of `recordBytes` each, encoded by put(index, out), in
// blocks. False when a block is not written whole.
template <class Put>
bool WriteRecords(std::FILE* file, size_t count, size_t recordBytes, Put&& put) {
  unsigned char block[kChunkBytes];
  const size_t perBlock = kChunkBytes / recordBytes;
  for (size_t first = 0; first < count; first += perBlock) {
    const size_t n = count - first < perBlock ? count - first : perBlock;
    for (size_t r = 0; r < n; ++r) put(first + r, block + r * recordBytes);
    if (std::fwrite(block, recordBytes, n, file) != n) return false;
  }
  return true;
}

// Reads `count` records, decoded by get(index, in). False when the file ends first.
template <class Get>
bool ReadRecords(std::FILE* file, size_t count, size_t recordBytes, Get&& get) {
  unsigned char block[kChunkBytes];
  const size_t perBlock = kChunkBytes / recordBytes;
  for (size_t first = 0; first < count; first += perBlock) {
    const size_t n = count - first < perBlock ? count - first : perBlock;
    if (std::fread(block, recordBytes, n, file) != n) return false;
    for (size_t r = 0; r < n; ++r) get(first + r, block + r * recordBytes);
  }
  return true;
}

bool WriteFile(std::FILE* file, const MeshArrays& mesh) {
  const XSI::MATH::CVector3Array& vertices = mesh.vertices;
  const XSI::CLongArray& polygons = mesh.polygons;
  const XSI::CDoubleArray& nodeValues = mesh.nodeValues;
  unsigned char header[kHeaderBytes];
  std::memcpy(header, kCacheSignature, 16);
  PutInt32(header + 16, vertices.GetCount());
  PutInt32(header + 20, polygons.GetCount());
  PutInt32(header + 24, nodeValues.GetCount());
  PutInt32(header + 28, 0);
  if (std::fwrite(header, 1, kHeaderBytes, file) != kHeaderBytes) return false;
  const bool written =
      WriteRecords(file, static_cast<size_t>(vertices.GetCount()), 12,
                   [&](size_t n, unsigned char* out) {
                     const XSI::MATH::CVector3& v = vertices[static_cast<XSI::LONG>(n)];
                     PutFloat32(out, static_cast<float>(v.GetX()));
                     PutFloat32(out + 4, static_cast<float>(v.GetY()));
                     PutFloat32(out + 8, static_cast<float>(v.GetZ()));
                   }) &&
      WriteRecords(file, static_cast<size_t>(polygons.GetCount()), 4,
                   [&](size_t n, unsigned char* out) { PutInt32(out, polygons[static_cast<XSI::LONG>(n)]); }) &&
      WriteRecords(file, static_cast<size_t>(nodeValues.GetCount()), 8,
                   [&](size_t n, unsigned char* out) { PutFloat64(out, nodeValues[static_cast<XSI::LONG>(n)]); });
  return written && std::fflush(file) == 0 && std::ferror(file) == 0;
}

}  // namespace

XSI::CString GridCacheFileName(const XSI::CString& base, int32_t frame) {
  const XSI::CString name = base + L"." + XSI::CValue(static_cast<XSI::LONG>(frame)).GetAsText() + L".grd";
  std::wstring text = name.GetWideString();
  for (wchar_t& c : text) {
    if (c == L'\\') c = L'/';
  }
  return XSI::CString(text);
}

bool WriteGridCache(const Settings& settings, const MeshArrays& mesh) {
  if (!settings.cacheUsable) return true;
  const XSI::CString name = CacheFileName(settings);
  const std::string path = name.GetAsciiString();
  // The frame's file is replaced only by a complete one: write beside it,
  // then rename over it (atomic within a folder).
  const std::string partial = path + ".partial";
  bool saved = false;
  if (std::FILE* file = std::fopen(partial.c_str(), "wb")) {
    const bool written = WriteFile(file, mesh);
    const bool closed = std::fclose(file) == 0;
    saved = written && closed && std::rename(partial.c_str(), path.c_str()) == 0;
    if (!saved) std::remove(partial.c_str());
  }
  // A frame missing from the cache shows only when it is played back, maybe
  // much later: say so now, in the form of any other failed write.
  if (!saved) XSI::Application().LogMessage(settings.fullName + L" -> " + name + L" -> error.", XSI::siInfoMsg);
  return saved;
}

void ReadGridCache(const Settings& settings, MeshArrays& mesh) {
  if (settings.mode != Mode::kReadCache || !settings.cacheUsable) return;
  std::FILE* file = std::fopen(CacheFilePath(settings).c_str(), "rb");
  if (file == nullptr) return;

  // 1) signature: anything else is not this kind of file, left alone
  unsigned char header[kHeaderBytes];
  if (std::fread(header, 1, 16, file) != 16 || std::memcmp(header, kCacheSignature, 16) != 0) {
    std::fclose(file);
    return;
  }

  // 2) counts, checked against what the file holds before anything is
  //    allocated: negative counts, or more data than the file has, make the
  //    file count as truncated.
  bool complete = std::fread(header + 16, 1, 16, file) == 16;
  const int32_t v = complete ? GetInt32(header + 16) : -1;
  const int32_t l = complete ? GetInt32(header + 20) : -1;
  const int32_t n = complete ? GetInt32(header + 24) : -1;
  if (complete) {
    complete = v >= 0 && l >= 0 && n >= 0;
    long fileBytes = -1;
    if (complete && std::fseek(file, 0, SEEK_END) == 0) fileBytes = std::ftell(file);
    const uint64_t needed = kHeaderBytes + 12 * static_cast<uint64_t>(v >= 0 ? v : 0) +
                            4 * static_cast<uint64_t>(l >= 0 ? l : 0) + 8 * static_cast<uint64_t>(n >= 0 ? n : 0);
    complete = complete && fileBytes >= 0 && needed <= static_cast<uint64_t>(fileBytes) &&
               std::fseek(file, static_cast<long>(kHeaderBytes), SEEK_SET) == 0;
  }
  if (!complete) {
    mesh.Clear();
    std::fclose(file);
    return;
  }

  // 3) the three arrays
  XSI::MATH::CVector3Array& vertices = mesh.vertices;
  XSI::CLongArray& polygons = mesh.polygons;
  XSI::CDoubleArray& nodeValues = mesh.nodeValues;
  try {
    vertices.Resize(v);
    polygons.Resize(l);
    nodeValues.Resize(n);
    complete = ReadRecords(file, static_cast<size_t>(v), 12,
                           [&](size_t m, unsigned char* bytes) {
                             vertices[static_cast<XSI::LONG>(m)].Set(GetFloat32(bytes), GetFloat32(bytes + 4),
                                                                     GetFloat32(bytes + 8));
                           }) &&
               ReadRecords(file, static_cast<size_t>(l), 4,
                           [&](size_t m, unsigned char* bytes) { polygons[static_cast<XSI::LONG>(m)] = GetInt32(bytes); }) &&
               ReadRecords(file, static_cast<size_t>(n), 8, [&](size_t m, unsigned char* bytes) {
                 nodeValues[static_cast<XSI::LONG>(m)] = GetFloat64(bytes);
               });
  } catch (const std::bad_alloc&) {
    complete = false;
  }
  if (!complete) mesh.Clear();
  std::fclose(file);
}
