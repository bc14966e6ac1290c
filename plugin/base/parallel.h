#pragma once
// The plug-in's worker threads. By default there are none: every piece of
// work runs on the thread that calls the plug-in, part after part in order.
// A host that wants more sets a thread count (Glomora_SetThreadCount); work
// split into parts then runs in a oneTBB task arena of that many threads,
// the calling thread among them.
//
// Whatever the count, the results are the same bits: a part only ever writes
// what no other part of the same piece of work reads or writes, and every
// value is formed by the same operations in the same order as with one
// thread. Which thread runs a part, and when, changes nothing but the time
// taken.

#include <cstdint>
#include <utility>

namespace parallel {

// Threads a thread count is clamped to.
constexpr int32_t kMaxThreads = 1024;

// Sets the number of threads the plug-in's work may use, clamped to
// 1 .. kMaxThreads, and returns the count in effect (1 when the arena
// cannot be made). 1 starts no thread. Never throws. Not to be called while
// an evaluation runs.
int32_t SetThreadCount(int32_t count);
int32_t ThreadCount();

// The index, 0 .. ThreadCount() - 1, of the thread running the current part
// (0 on the calling thread and outside any part): a key to per-thread scratch.
int32_t WorkerIndex();

// How many parts to split `items` independent items into: 1 with one
// thread, else a few per thread (so that uneven parts even out), never more
// than the items.
int64_t PartCount(int64_t items);

namespace detail {
using PartFunction = void (*)(void* context, int64_t part);
void RunParts(int64_t parts, PartFunction function, void* context);
}  // namespace detail

// Calls part(p) once for every p in [0, parts). With one thread, in order on
// the calling thread; otherwise on up to ThreadCount() threads, returning
// when every part is done. An exception thrown by a part ends the others
// early (parts not yet started are skipped) and is rethrown here.
template <class Part>
void ForEachPart(int64_t parts, Part&& part) {
  if (parts <= 0) return;
  if (parts == 1 || ThreadCount() == 1) {
    for (int64_t p = 0; p < parts; ++p) part(p);
    return;
  }
  detail::RunParts(
      parts, [](void* context, int64_t p) { (*static_cast<std::remove_reference_t<Part>*>(context))(p); },
      const_cast<void*>(static_cast<const void*>(&part)));
}

// Splits [0, count) into PartCount(count / grain) ranges of consecutive
// items and calls range(begin, end) for each, as ForEachPart.
template <class Range>
void ForEachRange(int64_t count, int64_t grain, Range&& range) {
  if (count <= 0) return;
  const int64_t parts = PartCount(grain > 1 ? (count + grain - 1) / grain : count);
  ForEachPart(parts, [&](int64_t p) { range(count * p / parts, count * (p + 1) / parts); });
}

}  // namespace parallel
