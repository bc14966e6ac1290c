#pragma once
// ElementTable: the elements of one polygonization as ElementRecords in array
// order, their rotation matrices, and for the polynomial model a uniform grid
// of buckets over the records' cull boxes, so that a query visits only the
// elements whose box can hold it. Built once, read-only afterwards.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "field/element_record.h"
#include "field/polynomial_reach.h"
#include "base/allocation.h"
#include "scene/meta_element.h"

class ElementTable {
 public:
  // An empty table: not Ready().
  ElementTable() = default;
  // Records for the elements with a distance measure, in array order. With
  // `withCullGrid`, also the grid over their cull boxes, unless it would be
  // too large (see the source) or is pointless (one cell). Takes one block of
  // memory; when it cannot be had, or the count is beyond what a record can
  // index, the table is not Ready() and the caller evaluates from the
  // elements themselves.
  ElementTable(const MetaElement* elements, int32_t count, bool withCullGrid);

  bool Ready() const { return records_ != nullptr; }
  int32_t RecordCount() const { return recordCount_; }
  const ElementRecord* Records() const { return records_; }
  const RotationMatrix* Rotations() const { return rotations_; }
  bool HasGrid() const { return offsets_ != nullptr; }

  // Requires HasGrid(). Indices into Records(), ascending, of every record
  // whose cull box holds (x, y, z), among others whose box only comes near;
  // the caller applies the exact box test. For any query, finite or not: the
  // bucket of a point is found by a monotone map of each coordinate, and a
  // record is entered in every bucket between those of its box's two ends.
  void Candidates(float x, float y, float z, const uint32_t*& begin, const uint32_t*& end) const {
    const size_t bucket =
        (static_cast<size_t>(Cell(x, 0)) * cellCount_[1] + static_cast<size_t>(Cell(y, 1))) * cellCount_[2] +
        static_cast<size_t>(Cell(z, 2));
    begin = entries_ + offsets_[bucket];
    end = entries_ + offsets_[bucket + 1];
  }

  // Grid extent in cells per axis (1, 1, 1 without a grid) and number of
  // bucket entries, for tests and benchmarks.
  int32_t CellCount(int axis) const { return cellCount_[axis]; }
  size_t EntryCount() const { return entryCount_; }

 private:
  // Cell of coordinate v on `axis`: floor((v - origin) * inverse) in double,
  // clamped to [0, n - 1]. Non-decreasing in v, infinities included; a NaN
  // lands in the last cell, where no box can hold it anyway.
  int32_t Cell(float v, int axis) const {
    const int32_t n = cellCount_[axis];
    const double t = (static_cast<double>(v) - origin_[axis]) * inverse_[axis];
    if (t < 1.0) return 0;
    if (t < static_cast<double>(n)) return static_cast<int32_t>(t);
    return n - 1;
  }

  std::unique_ptr<unsigned char[], FreeDeleter> block_;
  const ElementRecord* records_ = nullptr;
  const RotationMatrix* rotations_ = nullptr;
  const uint32_t* offsets_ = nullptr;  // bucket b holds entries_[offsets_[b] .. offsets_[b + 1])
  const uint32_t* entries_ = nullptr;
  int32_t recordCount_ = 0;
  size_t entryCount_ = 0;
  int32_t cellCount_[3] = {1, 1, 1};  // bucket of cell (i, j, k): (i * n1 + j) * n2 + k
  double origin_[3] = {0.0, 0.0, 0.0};
  double inverse_[3] = {0.0, 0.0, 0.0};
};

// The box of the polynomial reach of each of a table's records (index m),
// made once for those who ask more than once: low x, y, z then high x, y, z
// at box[6m ...]; flags[m] has kHasReach for a record with a reach, and
// kEllipsoidReach when the reach is also an ellipsoid.
struct RecordReaches {
  static constexpr uint8_t kHasReach = 1;
  static constexpr uint8_t kEllipsoidReach = 2;
  std::vector<float> box;
  std::vector<uint8_t> flags;
  void Make(const ElementRecord* records, int32_t recordCount);
  const float* Low(size_t m) const { return box.data() + 6 * m; }
  const float* High(size_t m) const { return box.data() + 6 * m + 3; }
};

// The candidate lists ElementTable(elements, count, true).Candidates would
// give at each of the points `queries` (x, y, z at 3q, 3q + 1, 3q + 2),
// without making the buckets no query falls in: lists[q], ascending indices
// into `records` (the table's records of the same elements, `reaches`
// theirs). False, with
// empty lists, when that table would have no grid (every record is then a
// candidate).
bool CullBucketsAt(const MetaElement* elements, int32_t count, const ElementRecord* records, int32_t recordCount,
                   const RecordReaches& reaches, const float* queries, size_t queryCount,
                   std::vector<std::vector<uint32_t>>& lists);
