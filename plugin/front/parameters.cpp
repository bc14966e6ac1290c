#include "front/parameters.h"

#include <cfloat>
#include <climits>

#include "front/clock.h"
#include "front/operator_instance.h"

namespace {

// The current time for parameter reads.
constexpr double kNow = DBL_MAX;

constexpr float kSwitchOffBelow = 0.00001f;

class Reader {
 public:
  explicit Reader(const XSI::Operator& op) : op_(op) {}
  bool Bool(const wchar_t* name) const { return static_cast<bool>(op_.GetParameterValue(name, kNow)); }
  int32_t Long(const wchar_t* name) const { return static_cast<XSI::LONG>(op_.GetParameterValue(name, kNow)); }
  float Float(const wchar_t* name) const { return static_cast<float>(op_.GetParameterValue(name, kNow)); }
  XSI::CString String(const wchar_t* name) const {
    return static_cast<XSI::CString>(op_.GetParameterValue(name, kNow));
  }

 private:
  const XSI::Operator& op_;
};

// A NUL would end the name where the file layer reads it, so the cache would
// go to a file the name does not show (beside the user's own files).
bool IsForbiddenCharacter(wchar_t c) {
  return c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' || c == L'|' || c == L'\0';
}

}  // namespace

void ReadParameters(OperatorInstance& in, const XSI::Operator& op) {
  const Reader read(op);

  in.mute = read.Bool(L"Mute");
  in.logTime = read.Bool(L"Log_time");
  if (in.logTime && !in.mute) in.clockStart = ClockMs();
  in.space = read.Long(L"Space");
  in.polygonization = read.Long(L"Polygonization");
  in.userNormals = read.Bool(L"User_normals");
  in.uvSpace = read.Bool(L"UVspace");
  in.normalsOrUv = in.userNormals || in.uvSpace;
  in.gridSpace = read.Long(L"Grid_space");
  in.mode = read.Long(L"Mode");
  in.startFrame = read.Long(L"Start_frame");
  in.blendingModel = read.Long(L"Blending_model");
  in.container = read.Bool(L"Container");
  in.size.x = read.Float(L"Size_X");
  in.size.y = read.Float(L"Size_Y");
  in.size.z = read.Float(L"Size_Z");
  in.resolution.x = read.Long(L"Resolution_X");
  in.resolution.y = read.Long(L"Resolution_Y");
  in.resolution.z = read.Long(L"Resolution_Z");

  in.inverseResolution.x = 1.0f / static_cast<float>(in.resolution.x);
  in.inverseResolution.y = 1.0f / static_cast<float>(in.resolution.y);
  in.inverseResolution.z = 1.0f / static_cast<float>(in.resolution.z);
  if (in.space == 0) {
    in.cellSize.x = in.size.x / static_cast<float>(in.resolution.x);
    in.cellSize.y = in.size.y / static_cast<float>(in.resolution.y);
    in.cellSize.z = in.size.z / static_cast<float>(in.resolution.z);
  } else if (in.space == 1) {
    const float voxel = read.Float(L"JB_voxelsize");
    in.cellSize = Float3{voxel, voxel, voxel};
  }
  in.inverseCellSize.x = 1.0f / in.cellSize.x;
  in.inverseCellSize.y = 1.0f / in.cellSize.y;
  in.inverseCellSize.z = 1.0f / in.cellSize.z;
  in.halfSize.x = in.size.x * 0.5f;
  in.halfSize.y = in.size.y * 0.5f;
  in.halfSize.z = in.size.z * 0.5f;

  // Stored plus 2, saturating instead of overflowing at the top of the range.
  const int32_t accuracy = read.Long(L"JB_accuracy");
  in.jbAccuracy = accuracy > INT32_MAX - 2 ? INT32_MAX : accuracy + 2;
  in.jbSimple = read.Bool(L"JB_simple");

  in.smoothActive = read.Bool(L"Geometry_smooth_active");
  in.smoothStrength = read.Float(L"Geometry_smooth_strength");
  if (in.smoothStrength < kSwitchOffBelow) in.smoothActive = false;
  in.degenerateActive = read.Bool(L"Geometry_degenerate_active");
  in.degenerateTolerance = read.Float(L"Geometry_degenerate_tolerance");
  if (in.degenerateTolerance < kSwitchOffBelow) in.degenerateActive = false;
  in.preserveBoundary = read.Bool(L"Geometry_preserve_boundary");
  if (!in.smoothActive && !in.degenerateActive) in.preserveBoundary = false;

  in.volumeHyperbolic = read.Bool(L"Optimization_volume_hyperbolic");
  in.volumeExponential = read.Bool(L"Optimization_volume_exponential");
  in.volumeScale = read.Float(L"Optimization_volume_scale");
  if (in.polygonization == 10) {
    // Boxes carry no normals and are not post-processed.
    in.userNormals = false;
    in.uvSpace = false;
    in.normalsOrUv = false;
    in.degenerateActive = false;
    in.smoothActive = false;
  }

  in.cacheUsable = false;
  if (in.mode > 1) {
    in.cacheFileBase = read.String(L"Cache_filename");
    in.cacheUsable = ApplyCacheFileNameRule(in.cacheFileBase);
  }
}

bool ApplyCacheFileNameRule(XSI::CString& name) {
  std::wstring text = name.Native();
  name = XSI::CString();

  const size_t first = text.find_first_not_of(L' ');
  if (first == std::wstring::npos) return false;
  text = text.substr(first, text.find_last_not_of(L' ') - first + 1);
  for (wchar_t& c : text) {
    if (c == L'/') c = L'\\';
  }
  for (wchar_t c : text) {
    if (IsForbiddenCharacter(c)) return false;
  }

  const size_t lastSlash = text.rfind(L'\\');
  const size_t nameStart = lastSlash == std::wstring::npos ? 0 : lastSlash + 1;
  // The extension starts at the last dot of the file name part, or at the dot
  // before it when there is one (so blob.0012.grd has the base name blob).
  size_t nameEnd = text.size();
  const size_t lastDot = text.rfind(L'.');
  if (lastDot != std::wstring::npos && lastDot >= nameStart) {
    nameEnd = lastDot;
    if (lastDot > nameStart) {
      const size_t previousDot = text.rfind(L'.', lastDot - 1);
      if (previousDot != std::wstring::npos && previousDot >= nameStart) nameEnd = previousDot;
    }
  }

  const std::wstring baseName = text.substr(nameStart, nameEnd - nameStart);
  if (baseName.empty() || baseName.find(L':') != std::wstring::npos) return false;
  name = XSI::CString(text.substr(0, nameStart) + baseName);
  return true;
}
