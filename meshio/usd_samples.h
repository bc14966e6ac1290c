#pragma once
// UsdFrameSamples: one frame of an animated mesh as the time samples of a USD
// text layer (usd_writer.h) hold it, formatted, and packed into bytes for
// another process to hand over (a worker process of --jobs formats its
// frames, the coordinator writes the layer).
//
// Each attribute's sample is one line, "            FRAME: [VALUES],\n", in
// the layer's indentation; values are floats in their shortest round-trip
// text ("0.1", "-2.5e-07", "nan", "inf"), indices as integers:
//   extent             float3[]    [(min x, y, z), (max x, y, z)] of the
//                                  points; [(0, 0, 0), (0, 0, 0)] when the
//                                  frame is empty
//   faceVertexCounts   int[]       per polygon its vertex count
//   faceVertexIndices  int[]       the polygons' vertex indices in order
//   points             point3f[]   x, y, z of each vertex (as float)
//   normals            normal3f[]  one per point ("vertex" interpolation)
//   primvars:st        texCoord2f[] u, v of each point ("vertex")
//   velocities         vector3f[]  x, y, z per point, in units per second
// A frame without normals, UVs or velocities has [] for them, so that no
// held sample of another frame shows through.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "byte_sink.h"
#include "mesh_data.h"

// The time-sampled attributes, in the order the layer writes them.
enum class UsdAttribute { Extent, FaceVertexCounts, FaceVertexIndices, Points, Normals, St, Velocities };
constexpr size_t kUsdAttributeCount = 7;

// One entry per UsdAttribute: its declaration in the layer and, for
// primvars, their interpolation ("" for none).
struct UsdAttributeInfo {
  std::string_view declaration;  // "point3f[] points"
  std::string_view interpolation;
};
const UsdAttributeInfo& UsdAttributeOf(UsdAttribute attribute);

class UsdFrameSamples {
 public:
  // Takes frame `frame` of `mesh` (per-node normals and UVs, three values per
  // node, see MeshData) and `velocities` (empty, or three per vertex in
  // units per second). The layer holds one normal and one UV per point: false
  // with `error` naming the frame and the vertex when the nodes of a vertex
  // carry different ones (the plug-in makes them per vertex), or when
  // `velocities` has another length. The mesh is read, not kept.
  bool Take(int64_t frame, const MeshView& mesh, std::span<const float> velocities, std::string& error);

  int64_t Frame() const { return frame_; }
  // True when the frame has values for `attribute` (always for the geometry).
  bool Has(UsdAttribute attribute) const { return has_[static_cast<size_t>(attribute)]; }
  // The attribute's sample line, formatted block by block on the tool's
  // threads and handed to `sink` in order: the same bytes at any count.
  void Format(UsdAttribute attribute, const ByteSink& sink) const;

  // Every attribute's line after a fixed header (signature, frame, which
  // attributes have values, each line's length), for UnpackUsdFrame.
  std::string Pack() const;

 private:
  int64_t frame_ = 0;
  std::array<bool, kUsdAttributeCount> has_{};
  std::vector<float> points_;
  std::vector<int32_t> counts_;
  std::vector<int32_t> indices_;
  std::vector<float> normals_;
  std::vector<float> uvs_;  // u, v per point
  std::vector<float> velocities_;
};

// A frame as Pack left it: the lines are views into the packed bytes.
struct UnpackedUsdFrame {
  int64_t frame = 0;
  std::array<bool, kUsdAttributeCount> has{};
  std::array<std::string_view, kUsdAttributeCount> lines;
};
// False with `error` when `packed` is not a whole packed frame (wrong
// signature, lengths that do not add up).
bool UnpackUsdFrame(std::string_view packed, UnpackedUsdFrame& frame, std::string& error);
