#pragma once
// The thread counts the determinism tests compare, and a scope that sets the
// plug-in's thread count and puts it back to one.

#include "base/parallel.h"
#include "grid/lattice_storage.h"

namespace test_support {

// One thread, two (this machine's cores), an odd count, and more threads
// than cores (parts run in every interleaving).
constexpr int kThreadCounts[] = {1, 2, 3, 8};

class ScopedThreadCount {
 public:
  explicit ScopedThreadCount(int count) { parallel::SetThreadCount(count); }
  ~ScopedThreadCount() { parallel::SetThreadCount(1); }
  ScopedThreadCount(const ScopedThreadCount&) = delete;
  ScopedThreadCount& operator=(const ScopedThreadCount&) = delete;
};

// Both storages of the voxel grid's lattices, which must give the same bytes.
constexpr int32_t kLatticeStorages[] = {LatticeStorage::kDense, LatticeStorage::kSparse};

// Forces a lattice storage for the scope, then puts the automatic choice back.
class ScopedLatticeStorage {
 public:
  explicit ScopedLatticeStorage(int32_t storage) { SetLatticeStorage(storage); }
  ~ScopedLatticeStorage() { SetLatticeStorage(LatticeStorage::kAuto); }
  ScopedLatticeStorage(const ScopedLatticeStorage&) = delete;
  ScopedLatticeStorage& operator=(const ScopedLatticeStorage&) = delete;
};

}  // namespace test_support
