#include "front/parameters.h"

#include <cfloat>
#include <climits>


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

void ReadParameters(Settings& settings, StageClock& clock, const XSI::Operator& op) {
  const Reader read(op);

  settings.mute = read.Bool(L"Mute");
  settings.logTime = read.Bool(L"Log_time");
  if (settings.logTime && !settings.mute) clock.Start();
  settings.space = read.Long(L"Space");
  settings.polygonization = read.Long(L"Polygonization");
  settings.userNormals = read.Bool(L"User_normals");
  settings.uvSpace = read.Bool(L"UVspace");
  settings.normalsOrUv = settings.userNormals || settings.uvSpace;
  settings.gridSpace = read.Long(L"Grid_space");
  settings.mode = read.Long(L"Mode");
  settings.startFrame = read.Long(L"Start_frame");
  settings.blendingModel = read.Long(L"Blending_model");
  settings.container = read.Bool(L"Container");
  settings.size.x = read.Float(L"Size_X");
  settings.size.y = read.Float(L"Size_Y");
  settings.size.z = read.Float(L"Size_Z");
  settings.resolution.x = read.Long(L"Resolution_X");
  settings.resolution.y = read.Long(L"Resolution_Y");
  settings.resolution.z = read.Long(L"Resolution_Z");

  settings.inverseResolution.x = 1.0f / static_cast<float>(settings.resolution.x);
  settings.inverseResolution.y = 1.0f / static_cast<float>(settings.resolution.y);
  settings.inverseResolution.z = 1.0f / static_cast<float>(settings.resolution.z);
  if (settings.space == Space::kVoxelGrid) {
    settings.cellSize.x = settings.size.x / static_cast<float>(settings.resolution.x);
    settings.cellSize.y = settings.size.y / static_cast<float>(settings.resolution.y);
    settings.cellSize.z = settings.size.z / static_cast<float>(settings.resolution.z);
  } else if (settings.space == Space::kContinuation) {
    const float voxel = read.Float(L"JB_voxelsize");
    settings.cellSize = Float3{voxel, voxel, voxel};
  }
  settings.inverseCellSize.x = 1.0f / settings.cellSize.x;
  settings.inverseCellSize.y = 1.0f / settings.cellSize.y;
  settings.inverseCellSize.z = 1.0f / settings.cellSize.z;
  settings.halfSize.x = settings.size.x * 0.5f;
  settings.halfSize.y = settings.size.y * 0.5f;
  settings.halfSize.z = settings.size.z * 0.5f;

  // Stored plus 2, saturating instead of overflowing at the top of the range.
  const int32_t accuracy = read.Long(L"JB_accuracy");
  settings.bisectionHalvings = accuracy > INT32_MAX - 2 ? INT32_MAX : accuracy + 2;
  settings.jbSimple = read.Bool(L"JB_simple");

  settings.smoothActive = read.Bool(L"Geometry_smooth_active");
  settings.smoothStrength = read.Float(L"Geometry_smooth_strength");
  if (settings.smoothStrength < kSwitchOffBelow) settings.smoothActive = false;
  settings.degenerateActive = read.Bool(L"Geometry_degenerate_active");
  settings.degenerateTolerance = read.Float(L"Geometry_degenerate_tolerance");
  if (settings.degenerateTolerance < kSwitchOffBelow) settings.degenerateActive = false;
  settings.preserveBoundary = read.Bool(L"Geometry_preserve_boundary");
  if (!settings.smoothActive && !settings.degenerateActive) settings.preserveBoundary = false;

  settings.volumeHyperbolic = read.Bool(L"Optimization_volume_hyperbolic");
  settings.volumeExponential = read.Bool(L"Optimization_volume_exponential");
  settings.volumeScale = read.Float(L"Optimization_volume_scale");
  if (settings.polygonization == Polygonization::kBoxes) {
    // Boxes carry no normals and are not post-processed.
    settings.userNormals = false;
    settings.uvSpace = false;
    settings.normalsOrUv = false;
    settings.degenerateActive = false;
    settings.smoothActive = false;
  }

  settings.cacheUsable = false;
  if (settings.mode >= Mode::kWriteCache) {
    settings.cacheFileBase = read.String(L"Cache_filename");
    settings.cacheUsable = ApplyCacheFileNameRule(settings.cacheFileBase);
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
