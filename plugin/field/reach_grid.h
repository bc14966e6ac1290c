#pragma once
// ReachGrid: the records of an ElementTable binned by where their polynomial
// reach (PolynomialReach's box) begins, for queries that want every record
// able to add to the polynomial field at a point and care little for the
// order they come in (the attribute transfer sorts what it keeps).
//
// The cells are boxes of a half (x, y) and a quarter (z) of the largest
// reach side: a record is kept once, in the cell of its box's low corner,
// with a copy of its box and of itself, so that a query scans 3 x 3 x 5
// cells (nine runs in memory) and tests boxes side by side before it reads
// any record. Plain spheres, whose measure is a few products, keep their
// centre, factors, weight and record in one 32-byte slot instead; the
// spheres of a query's runs are gathered side by side, and their measures
// taken four at a time (SSE2, the same float operations in the same order
// as MeasureAt). Records with a larger box (a few, else the grid is not
// made) are scanned by every query.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "field/element_record.h"
#include "field/element_table.h"

class ReachGrid {
 public:
  // Which records a grid keeps: the plain spheres (unrotated, their reach
  // narrowed to the support on every axis) or all the others.
  enum class Kind { PlainSpheres, Others };

  // Bins the `count` records of positive weight (no other adds to a sum):
  // the plain spheres into `spheres`, the others into `others`. False when
  // a grid does not pay (too many records far larger than the rest, or more
  // cells than memory allows): then the caller takes the table's own buckets.
  static bool BuildBoth(const ElementRecord* records, int32_t count, ReachGrid& spheres, ReachGrid& others);

  // Others: sets `found` to the slots of every record whose reach box holds
  // (x, y, z) (for any query, finite or not), in no particular order, each
  // once: every record that can add to the polynomial field there is among
  // them (the reach box lies inside the cull box, so they pass the field's
  // cull test as well).
  // `found` holds at least SlotCount() + 4 entries; returns how many it got.
  size_t Holding(float x, float y, float z, uint32_t* found) const {
    size_t n = 0;
    if (slots_.empty()) return 0;
    ForEachRun(x, y, z, [&](uint32_t begin, uint32_t end) { n = ScanBoxes(begin, end, x, y, z, found, n); });
    return n;
  }
  size_t SlotCount() const { return slotCount_; }

  // Plain spheres: the spheres of every run a query scans, side by side, so
  // that the queries of one cell (the caller visits them in a row) scan one
  // array instead of finding the runs again. Key() is the same for two
  // queries exactly when they scan the same runs; keys run from 0 to
  // KeyCount() - 1.
  struct Gathered {
    std::vector<float> axis[6];  // centre x, y, z, axis factor x, y, z (three more entries at the end)
    std::vector<float> weight;
    std::vector<uint32_t> record;
    std::vector<uint32_t> slot;
    size_t count = 0;
  };
  uint64_t Key(float x, float y, float z) const;
  uint64_t KeyCount() const;
  // Room in `to` for the spheres of any query's runs, so that gathering
  // allocates nothing.
  void Reserve(Gathered& to) const;
  size_t MostGathered() const { return mostGathered_; }
  void Gather(float x, float y, float z, Gathered& to) const;
  // The entries of `from` whose measure at (x, y, z), computed as MeasureAt
  // does, is below the support 0.5: those that add to the polynomial field
  // there (such a measure puts the point inside the reach box, and so
  // inside the cull box), with their measures: found[i] an entry, measure[i]
  // its d. `found` and `measure` hold at least from.count entries; returns
  // how many it got.
  static size_t ReachingIn(const Gathered& from, float x, float y, float z, uint32_t* found, float* measure);

  // The record of a slot, its index among the records, and (Others) a copy
  // of it, kept beside the slots in their order.
  uint32_t RecordOf(uint32_t slot) const { return spheres_.empty() ? slots_[slot].record : spheres_[slot].record; }
  const ElementRecord& CopyOf(uint32_t slot) const { return copies_[slot]; }

 private:
  // How many cells, per axis, a box may reach beyond the one it begins in.
  static constexpr int32_t kSpan[3] = {2, 2, 4};

  struct Box;
  // Bins `boxes` (records of `kind`, in ascending order; `sides` the
  // largest side of each finite box, reordered here).
  bool Bin(const ElementRecord* records, int32_t count, Kind kind, const std::vector<Box>& boxes,
           std::vector<double>& sides);

  struct Slot {
    float low[3];
    float high[3];
    uint32_t record;
    uint32_t unused;
  };

  // q's cell on each axis, which may lie up to kSpan cells past the last
  // (a box that holds q begins at most kSpan[a] cells before q's cell);
  // false when no box of the cells can hold q.
  bool QueryCell(float x, float y, float z, int32_t (&cell)[3]) const {
    const float q[3] = {x, y, z};
    for (int a = 0; a < 3; ++a) {
      const double t = (static_cast<double>(q[a]) - origin_[a]) * inverse_[a];
      if (!(t >= 0.0) || !(t < static_cast<double>(cells_[a] + kSpan[a]))) return false;
      cell[a] = static_cast<int32_t>(t);
    }
    return true;
  }

  // Calls run(begin, end) for the oversize slots, then for each run of
  // cells whose boxes may hold q.
  template <class Run>
  void ForEachRun(float x, float y, float z, Run&& run) const {
    const size_t cells = starts_.size() - 1;
    run(starts_[cells], static_cast<uint32_t>(slotCount_));
    int32_t cell[3];
    if (!QueryCell(x, y, z, cell)) return;
    int32_t first[3];
    int32_t last[3];
    for (int a = 0; a < 3; ++a) {
      first[a] = cell[a] >= kSpan[a] ? cell[a] - kSpan[a] : 0;
      last[a] = cell[a] < cells_[a] ? cell[a] : cells_[a] - 1;
      if (first[a] > last[a]) return;
    }
    for (int32_t i = first[0]; i <= last[0]; ++i) {
      for (int32_t j = first[1]; j <= last[1]; ++j) {
        const size_t row = (static_cast<size_t>(i) * static_cast<size_t>(cells_[1]) + static_cast<size_t>(j)) *
                           static_cast<size_t>(cells_[2]);
        run(starts_[row + static_cast<size_t>(first[2])], starts_[row + static_cast<size_t>(last[2]) + 1]);
      }
    }
  }

  // Puts the slots [begin, end) whose box holds q at out[n], ...,
  // without a branch per slot; returns the new count.
  size_t ScanBoxes(uint32_t begin, uint32_t end, float x, float y, float z, uint32_t* out, size_t n) const {
    for (uint32_t at = begin; at < end; ++at) {
      const Slot& s = slots_[at];
      const bool holds = (s.low[0] <= x) & (x <= s.high[0]) & (s.low[1] <= y) & (y <= s.high[1]) & (s.low[2] <= z) &
                         (z <= s.high[2]);
      out[n] = at;
      n += holds ? 1 : 0;
    }
    return n;
  }
  // Plain spheres: what the measure and the sum need, one per slot.
  struct Sphere {
    float centre[3];
    float factor[3];
    float weight;
    uint32_t record;
  };

  size_t slotCount_ = 0;
  size_t mostGathered_ = 0;  // the most slots a query's runs hold
  std::vector<Slot> slots_;            // Others: cell by cell (ascending records within a cell), then the oversize
  std::vector<ElementRecord> copies_;  // Others: the records of the slots, in the same order
  std::vector<Sphere> spheres_;        // plain spheres: in the same order
  std::vector<uint32_t> starts_;  // cell b's slots: [starts_[b], starts_[b + 1]); the last: the oversize
  int32_t cells_[3] = {1, 1, 1};  // cell (i, j, k) is (i * n1 + j) * n2 + k
  double origin_[3] = {0.0, 0.0, 0.0};
  double inverse_[3] = {0.0, 0.0, 0.0};
};
