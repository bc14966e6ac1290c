#pragma once
// The peers' benchmark data (gen_scenes.py): the folder it is in and a reader
// for its float32 files, and a main() for the benchmark programs that take
// the folder from --data=DIR or the environment variable GLOMORA_PEER_DATA
// (default ./peerdata).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

inline std::string& PeerDataFolder() {
  static std::string folder = "peerdata";
  return folder;
}

// `count` floats from the data file `name`; false when it is missing or short.
inline bool ReadPeerFloats(const std::string& name, std::vector<float>& out, size_t count) {
  const std::string path = PeerDataFolder() + "/" + name;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  out.resize(count);
  const bool ok = std::fread(out.data(), sizeof(float), count, file) == count;
  std::fclose(file);
  return ok;
}

// Runs the registered benchmarks; --data=DIR is taken out of the arguments
// before Google Benchmark reads them.
inline int RunPeerBenchmarks(int argc, char** argv) {
  if (const char* folder = std::getenv("GLOMORA_PEER_DATA")) PeerDataFolder() = folder;
  std::vector<char*> rest;
  for (int a = 0; a < argc; ++a) {
    if (std::strncmp(argv[a], "--data=", 7) == 0) {
      PeerDataFolder() = argv[a] + 7;
    } else {
      rest.push_back(argv[a]);
    }
  }
  int restCount = static_cast<int>(rest.size());
  benchmark::Initialize(&restCount, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
