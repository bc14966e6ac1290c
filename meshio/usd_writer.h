#pragma once
// UsdLayerWriter: a USD text layer (.usda) of one animated polygon mesh, its
// frames taken one at a time in any order and written in frame order when
// the layer is complete:
//
//   #usda 1.0
//   (
//       doc = "COMMENT"
//       defaultPrim = "root"
//       startTimeCode = FIRST
//       endTimeCode = LAST
//       timeCodesPerSecond = FPS
//       framesPerSecond = FPS
//       upAxis = "Y"
//       metersPerUnit = 1
//   )
//
//   def Xform "root"
//   {
//       def Mesh "NAME"
//       {
//           float3[] extent.timeSamples = {
//               1: [(-1, -1, -1), (1, 1, 1)],
//               ...
//           }
//           ... faceVertexCounts, faceVertexIndices, points, normals,
//           primvars:st, velocities (usd_samples.h), the last three only
//           when a frame has them, each primvar's interpolation declared
//           before its samples ...
//           uniform token orientation = "rightHanded"
//           uniform token subdivisionScheme = "none"
//       }
//   }
//
// One time sample per frame taken, frames as time codes. The polygons of
// the mesh files run counter-clockwise seen from outside, so the layer's
// orientation is "rightHanded". While frames come, their samples wait in a
// file of no name in the layer's folder (it vanishes with the process,
// whatever ends it); the layer is then written under a temporary name and
// renamed (atomic_file.h). The bytes depend only on the frames taken and
// the stage: not on their order nor on the tool's threads.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "usd_samples.h"

// The layer's metadata.
struct UsdStage {
  std::string meshName;     // the Mesh prim under "/root"; letters, digits, '_' ('-' becomes '_')
  std::string comment;      // the layer's doc string (one line)
  double framesPerSecond = 24.0;
  std::string upAxis = "Y";  // "Y" or "Z"
  double metersPerUnit = 1.0;
};

// A valid prim name for `name`: letters, digits and '_', not starting with
// a digit ("-" and other characters become '_', a leading digit gets a '_').
std::string UsdPrimName(std::string_view name);

class UsdLayerWriter {
 public:
  UsdLayerWriter() = default;
  ~UsdLayerWriter();
  UsdLayerWriter(const UsdLayerWriter&) = delete;
  UsdLayerWriter& operator=(const UsdLayerWriter&) = delete;

  // Starts the layer `path` (its folder made when missing). False with
  // `error` (naming the folder) when the samples cannot be kept there.
  bool Open(const std::string& path, std::string& error);
  // Adds a frame's samples; a frame taken twice keeps its last samples.
  bool Add(const UsdFrameSamples& samples, std::string& error);
  // Adds a frame packed by UsdFrameSamples::Pack (in another process).
  bool AddPacked(std::string_view packed, std::string& error);
  // Writes the layer of every frame added (from the first to the last frame
  // added; at least one), then closes. False with `error` when it cannot be
  // written; nothing is then left under its name.
  bool Finish(const UsdStage& stage, std::string& error);
  // Drops the samples; nothing is written.
  void Close();

  size_t FrameCount() const { return frames_.size(); }
  const std::string& Path() const { return path_; }

 private:
  struct Piece {
    uint64_t offset = 0;
    uint64_t length = 0;
  };
  struct Frame {
    std::array<Piece, kUsdAttributeCount> pieces;
  };
  bool Append(std::string_view bytes, std::string& error);

  std::string path_;
  int fd_ = -1;
  uint64_t size_ = 0;
  std::map<int64_t, Frame> frames_;
  std::array<bool, kUsdAttributeCount> used_{};
};
