#include "cache_playback.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "scene_plan.h"
#include "xsi_string.h"
#include "xsi_value.h"

namespace {

// The cache file's layout, as the plug-in writes it (plugin/grid/grid_cache.cpp).
constexpr unsigned char kSignature[16] = {0x89, 0x47, 0x52, 0x44, 0x0D, 0x0A, 0x1A, 0x0A,
                                          '2',  '0',  '0',  '0',  '0',  '0',  '0',  '0'};
constexpr uint64_t kHeaderBytes = 32;
constexpr uint64_t kVertexBytes = 12;  // 3 float32
constexpr uint64_t kEntryBytes = 4;    // int32
constexpr uint64_t kNodeValueBytes = 8;  // float64
constexpr size_t kRecordsPerRead = 4096;

int32_t Int32At(const unsigned char* in) {
  uint32_t u = 0;
  for (int b = 0; b < 4; ++b) u |= static_cast<uint32_t>(in[b]) << (8 * b);
  return static_cast<int32_t>(u);
}

float Float32At(const unsigned char* in) {
  const uint32_t u = static_cast<uint32_t>(Int32At(in));
  float value;
  std::memcpy(&value, &u, 4);
  return value;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Reads `count` records of `size` bytes in blocks, handing each to
// take(index, bytes), which returns false to stop. False when the file ends
// before or `take` stops; `stopped` says which.
template <class Take>
bool ReadRecords(std::FILE* file, uint64_t count, size_t size, bool& stopped, Take&& take) {
  std::vector<unsigned char> block(size * kRecordsPerRead);
  stopped = false;
  for (uint64_t done = 0; done < count;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kRecordsPerRead, count - done));
    if (std::fread(block.data(), size, n, file) != n) return false;
    for (size_t i = 0; i < n; ++i) {
      if (!take(done + i, block.data() + i * size)) {
        stopped = true;
        return false;
      }
    }
    done += n;
  }
  return true;
}

}  // namespace

bool PlaysBackCache(const SceneDescription& scene, int64_t frame) {
  const auto at = static_cast<double>(frame);
  return static_cast<XSI::LONG>(EffectiveParameter(scene, "Space").At(at)) == 0 &&
         static_cast<XSI::LONG>(EffectiveParameter(scene, "Mode").At(at)) == 3 &&
         !static_cast<bool>(EffectiveParameter(scene, "Mute").At(at)) &&
         frame >= static_cast<XSI::LONG>(EffectiveParameter(scene, "Start_frame").At(at));
}

std::string CacheFileProblem(const std::string& path) {
  // 1) the file
  std::error_code failure;
  const std::filesystem::file_status status = std::filesystem::status(path, failure);
  if (status.type() == std::filesystem::file_type::not_found) {
    return "the cache file is missing (Mode 3 plays back the files a Mode 2 run writes)";
  }
  if (failure) return "the cache file cannot be read (" + failure.message() + ")";
  if (status.type() != std::filesystem::file_type::regular) return "not a cache file (not a regular file)";
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return std::string("the cache file cannot be read (") + std::strerror(errno) + ")";
  const uint64_t fileBytes = std::filesystem::file_size(path, failure);
  if (failure) return "the cache file cannot be read (" + failure.message() + ")";

  // 2) the signature and the counts
  unsigned char header[kHeaderBytes];
  const size_t got = std::fread(header, 1, kHeaderBytes, file.get());
  if (std::memcmp(header, kSignature, std::min<size_t>(got, sizeof kSignature)) != 0) {
    return "not a cache file (its first 16 bytes are not the cache file signature)";
  }
  if (got < kHeaderBytes) {
    return "the cache file is too short (" + std::to_string(got) + " bytes; its header alone takes " +
           std::to_string(kHeaderBytes) + ")";
  }
  const int32_t v = Int32At(header + 16);
  const int32_t l = Int32At(header + 20);
  const int32_t n = Int32At(header + 24);
  const std::string counts = std::to_string(v) + " vertices, " + std::to_string(l) + " polygon entries, " +
                             std::to_string(n) + " node values";
  if (v < 0 || l < 0 || n < 0) return "the cache file's counts are not counts (" + counts + ")";
  const uint64_t needed = kHeaderBytes + kVertexBytes * static_cast<uint64_t>(v) +
                          kEntryBytes * static_cast<uint64_t>(l) + kNodeValueBytes * static_cast<uint64_t>(n);
  if (needed > fileBytes) {
    return "the cache file's counts go beyond the file (" + counts + ": " + std::to_string(needed) +
           " bytes, the file has " + std::to_string(fileBytes) + "): it is truncated or damaged";
  }
  if (needed < fileBytes) {
    return "the cache file is longer than its counts say (" + counts + ": " + std::to_string(needed) +
           " bytes, the file has " + std::to_string(fileBytes) + "): it is damaged";
  }

  // 3) the vertices and the polygon description
  std::string problem;
  bool stopped = false;
  const bool verticesRead = ReadRecords(file.get(), static_cast<uint64_t>(v), kVertexBytes, stopped,
                                        [&](uint64_t index, const unsigned char* bytes) {
                                          for (int c = 0; c < 3; ++c) {
                                            if (std::isfinite(Float32At(bytes + 4 * c))) continue;
                                            problem = "vertex " + std::to_string(index) + " of the cache file is not "
                                                      "a finite number: it is damaged";
                                            return false;
                                          }
                                          return true;
                                        });
  if (!verticesRead) return stopped ? problem : "the cache file cannot be read (it ended early)";
  int64_t left = 0;  // indices still to come of the current polygon
  const bool polygonsRead = ReadRecords(
      file.get(), static_cast<uint64_t>(l), kEntryBytes, stopped, [&](uint64_t index, const unsigned char* bytes) {
        const int32_t entry = Int32At(bytes);
        const std::string at = "entry " + std::to_string(index) + " of the cache file's polygon description";
        if (left > 0) {
          --left;
          if (entry >= 0 && entry < v) return true;
          problem = at + " is vertex " + std::to_string(entry) + " of " + std::to_string(v) + ": it is damaged";
          return false;
        }
        if (entry >= 3 && static_cast<uint64_t>(entry) < static_cast<uint64_t>(l) - index) {
          left = entry;
          return true;
        }
        problem = at + " is a polygon of " + std::to_string(entry) + " vertices" +
                  (entry >= 3 ? ", past its end" : "") + ": it is damaged";
        return false;
      });
  if (!polygonsRead) return stopped ? problem : "the cache file cannot be read (it ended early)";
  return std::string();
}

std::string CachePlaybackProblem(const SceneDescription& scene, int64_t frame, RunFailure& failure) {
  const std::string prefix = "frame " + std::to_string(frame) + ": ";
  const std::string file = CacheFileOf(scene, frame);
  if (file.empty()) {
    failure = RunFailure::BadInput;
    const std::string name =
        static_cast<XSI::CString>(EffectiveParameter(scene, "Cache_filename").At(0.0)).GetAsciiString();
    return prefix + "Mode 3 plays back cache files, and \"Cache_filename\" " +
           (name.find_first_not_of(' ') == std::string::npos
                ? std::string("is empty")
                : "\"" + name + "\" is refused (it needs a file name, without * ? \" < > | or :)");
  }
  failure = RunFailure::Failed;
  const std::string problem = CacheFileProblem(file);
  return problem.empty() ? problem : prefix + file + ": " + problem;
}
