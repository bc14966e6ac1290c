#pragma once
// Sign bits of the voxel grid's simulated field, as the surface extraction
// reads them: per lattice row (i, j) a run of 64-bit words, bit k of word
// k / 64 set when point (i, j, k) lies strictly above the iso value (a value
// equal to it counts as outside, and so does NaN). From them, the cubes of a
// slab (planes i and i + 1) with corners on both sides, 64 at a time.

#include <algorithm>
#include <cstddef>
#include <cstdint>

// The bits of a lattice of nx x ny x nz points: every row, or (with
// planeRows) per plane a run of rows, the planes' runs packed one after
// the other.
struct LatticeSigns {
  uint64_t* bits = nullptr;
  int32_t nx = 0;
  int32_t ny = 0;
  int32_t nz = 0;
  int32_t words = 0;  // words per row: (nz + 63) / 64
  // Per slab i, at [2 i] and [2 i + 1], the first row j and the end of the
  // rows whose cubes (and the edges starting at their corners) are read:
  // elsewhere every point of the slab has the same sign, and its rows' bits
  // need not be held. Null: every row.
  const int32_t* slabRows = nullptr;

  // The slab's rows of cubes or edges from 0 to `limit`, narrowed to slabRows.
  int32_t FirstRow(int32_t slab) const { return slabRows != nullptr ? slabRows[2 * static_cast<size_t>(slab)] : 0; }
  int32_t EndRow(int32_t slab, int32_t limit) const {
    return slabRows != nullptr ? std::min(limit, slabRows[2 * static_cast<size_t>(slab) + 1]) : limit;
  }

  // Per plane i, at [2 i] and [2 i + 1], the first row held and the end of
  // the rows held; at planeStart[i] the index of their first word. Null: every row is held, row (i, j) at
  // (i * ny + j) * words.
  const int32_t* planeRows = nullptr;
  const size_t* planeStart = nullptr;

  // A held row: the first of its words.
  uint64_t* Row(int32_t i, int32_t j) const {
    if (planeStart != nullptr) {
      return bits + planeStart[i] +
             static_cast<size_t>(j - planeRows[2 * static_cast<size_t>(i)]) * static_cast<size_t>(words);
    }
    return bits + (static_cast<size_t>(i) * static_cast<size_t>(ny) + static_cast<size_t>(j)) * static_cast<size_t>(words);
  }
};

// The sign bits of `count` values into ceil(count / 64) words.
void ComputeRowSigns(const float* values, int32_t count, float iso, uint64_t* words);

// Bits k and k + 1 of a row as a 2-bit number (k + 1 may lie in the next word).
inline unsigned TwoBits(const uint64_t* row, int32_t k) {
  const int32_t w = k >> 6;
  const int b = k & 63;
  const unsigned low = static_cast<unsigned>(row[w] >> b) & 1u;
  const unsigned high = b == 63 ? static_cast<unsigned>(row[w + 1]) & 1u : static_cast<unsigned>(row[w] >> (b + 1)) & 1u;
  return low | (high << 1);
}

// A row's word w shifted down by one bit: bit k holds point k + 1.
inline uint64_t NextBits(const uint64_t* row, int32_t w, int32_t words) {
  return (row[w] >> 1) | (w + 1 < words ? row[w + 1] << 63 : 0);
}

// Word w of a row shifted down by `shift` points (0 or 1).
inline uint64_t ShiftedBits(const uint64_t* row, int32_t w, int32_t words, int shift) {
  return shift == 0 ? row[w] : NextBits(row, w, words);
}

// The number of bits set, in a few arithmetic steps (without the processor's
// population count, which the baseline x86-64 target lacks, the compiler
// would call a library routine).
inline int CountBits(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<int>((x * 0x0101010101010101ULL) >> 56);
}

// The bits of word w that stand for points below `limit`.
inline uint64_t BitsBelow(int32_t w, int32_t limit) {
  const int32_t first = w * 64;
  if (limit - first >= 64) return ~uint64_t{0};
  return limit - first <= 0 ? 0 : (uint64_t{1} << (limit - first)) - 1;
}

// Calls cube(j, k, caseIndex) for every cube (i, j, k) of slab i whose eight
// corners are not all on one side, j then k ascending; the case index has
// bit n set when corner n is positive (corner numbering of cubes/cube_table.h).
template <class Cube>
void ForEachCrossedCube(const LatticeSigns& signs, int32_t i, Cube&& cube) {
  const int32_t words = signs.words;
  const int32_t cubesK = signs.nz - 1;
  const int32_t endRow = signs.EndRow(i, signs.ny - 1);
  for (int32_t j = signs.FirstRow(i); j < endRow; ++j) {
    const uint64_t* rowA = signs.Row(i, j);          // corners 0, 1
    const uint64_t* rowB = rowA + words;             // corners 2, 3
    const uint64_t* rowC = signs.Row(i + 1, j);      // corners 4, 5
    const uint64_t* rowD = rowC + words;             // corners 6, 7
    for (int32_t w = 0; w < words; ++w) {
      // A cube is skipped when its eight corners lie on one side: the four
      // rows agree at k and at k + 1.
      const uint64_t all = rowA[w] & rowB[w] & rowC[w] & rowD[w];
      const uint64_t any = rowA[w] | rowB[w] | rowC[w] | rowD[w];
      const uint64_t nextA = NextBits(rowA, w, words), nextB = NextBits(rowB, w, words);
      const uint64_t nextC = NextBits(rowC, w, words), nextD = NextBits(rowD, w, words);
      const uint64_t allNext = nextA & nextB & nextC & nextD;
      const uint64_t anyNext = nextA | nextB | nextC | nextD;
      uint64_t mixed = ~((all & allNext) | (~any & ~anyNext)) & BitsBelow(w, cubesK);
      const int32_t first = w * 64;
      while (mixed != 0) {
        const int32_t k = first + __builtin_ctzll(mixed);
        mixed &= mixed - 1;
        const auto caseIndex = static_cast<int32_t>(TwoBits(rowA, k) | (TwoBits(rowB, k) << 2) |
                                                    (TwoBits(rowC, k) << 4) | (TwoBits(rowD, k) << 6));
        cube(j, k, caseIndex);
      }
    }
  }
}
