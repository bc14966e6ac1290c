#pragma once
// The nodes of a polygon description (per polygon its vertex count n, then n
// vertex indices): polygons in order, the nodes of each polygon in order,
// triangles and quads alike walked by their own counts. The walk ends at the
// first count that is not positive or would run past the end of the array,
// so a malformed description is never read out of range (the host refuses
// such a mesh anyway).

#include <cstdint>
#include <vector>

#include "base/parallel.h"
#include "xsi_arrays.h"

// Polygons per block of the walk: where each block starts is found in one
// pass over the counts, then the blocks go to separate threads.
constexpr int64_t kPolygonsPerNodeBlock = 4096;

// Calls prepare(nodeCount) once, then visit(node, vertex) for every node,
// nodes numbered from 0 in walk order. With threads, nodes of different
// blocks are visited side by side: visit must only write what belongs to its
// node. Throws std::bad_alloc when the block table cannot be had.
template <class Prepare, class Visit>
void ForEachPolygonNode(const XSI::CLongArray& polygons, Prepare&& prepare, Visit&& visit) {
  struct BlockStart {
    XSI::LONG entry;
    int64_t node;
  };
  // 1) the counts alone: the node count, and where each block starts
  std::vector<BlockStart> blocks;
  const XSI::LONG count = polygons.GetCount();
  XSI::LONG offset = 0;
  int64_t nodes = 0;
  for (int64_t polygon = 0; offset < count; ++polygon) {
    const XSI::LONG n = polygons[offset];
    if (n < 1 || n > count - offset - 1) break;
    if (polygon % kPolygonsPerNodeBlock == 0) blocks.push_back(BlockStart{offset, nodes});
    nodes += n;
    offset += n + 1;
  }
  const XSI::LONG end = offset;
  prepare(nodes);
  // 2) the nodes, block by block
  const auto blockCount = static_cast<int64_t>(blocks.size());
  parallel::ForEachRange(blockCount, 1, [&](int64_t first, int64_t last) {
    XSI::LONG at = blocks[static_cast<size_t>(first)].entry;
    int64_t node = blocks[static_cast<size_t>(first)].node;
    const XSI::LONG stop = last < blockCount ? blocks[static_cast<size_t>(last)].entry : end;
    while (at < stop) {
      const XSI::LONG n = polygons[at];
      for (XSI::LONG k = 1; k <= n; ++k) visit(node++, polygons[at + k]);
      at += n + 1;
    }
  });
}
