#include "front/parameters.h"

#include <cfloat>
#include <climits>

#include "base/parameter_table.h"


namespace {

// The current time for parameter reads.
constexpr double kNow = DBL_MAX;

constexpr float kSwitchOffBelow = 0.00001f;

class Reader {
 public:
  explicit Reader(const XSI::Operator& op) : op_(op) {}
  bool Bool(Parameter p) const { return static_cast<bool>(Value(p)); }
  int32_t Long(Parameter p) const { return static_cast<XSI::LONG>(Value(p)); }
  float Float(Parameter p) const { return static_cast<float>(Value(p)); }
  XSI::CString String(Parameter p) const { return static_cast<XSI::CString>(Value(p)); }

 private:
  XSI::CValue Value(Parameter p) const { return op_.GetParameterValue(ParameterName(p), kNow); }

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

  settings.mute = read.Bool(Parameter::Mute);
  settings.logTime = read.Bool(Parameter::LogTime);
  if (settings.logTime && !settings.mute) clock.Start();
  settings.space = read.Long(Parameter::Space);
  settings.polygonization = read.Long(Parameter::Polygonization);
  settings.userNormals = read.Bool(Parameter::UserNormals);
  settings.uvSpace = read.Bool(Parameter::UVSpace);
  settings.normalsOrUv = settings.userNormals || settings.uvSpace;
  settings.gridSpace = read.Long(Parameter::GridSpace);
  settings.mode = read.Long(Parameter::Mode);
  settings.startFrame = read.Long(Parameter::StartFrame);
  settings.blendingModel = read.Long(Parameter::BlendingModel);
  settings.container = read.Bool(Parameter::Container);
  settings.size.x = read.Float(Parameter::SizeX);
  settings.size.y = read.Float(Parameter::SizeY);
  settings.size.z = read.Float(Parameter::SizeZ);
  settings.resolution.x = read.Long(Parameter::ResolutionX);
  settings.resolution.y = read.Long(Parameter::ResolutionY);
  settings.resolution.z = read.Long(Parameter::ResolutionZ);

  settings.inverseResolution.x = 1.0f / static_cast<float>(settings.resolution.x);
  settings.inverseResolution.y = 1.0f / static_cast<float>(settings.resolution.y);
  settings.inverseResolution.z = 1.0f / static_cast<float>(settings.resolution.z);
  if (settings.space == Space::kVoxelGrid) {
    settings.cellSize.x = settings.size.x / static_cast<float>(settings.resolution.x);
    settings.cellSize.y = settings.size.y / static_cast<float>(settings.resolution.y);
    settings.cellSize.z = settings.size.z / static_cast<float>(settings.resolution.z);
  } else if (settings.space == Space::kContinuation) {
    const float voxel = read.Float(Parameter::JBVoxelSize);
    settings.cellSize = Float3{voxel, voxel, voxel};
  }
  settings.inverseCellSize.x = 1.0f / settings.cellSize.x;
  settings.inverseCellSize.y = 1.0f / settings.cellSize.y;
  settings.inverseCellSize.z = 1.0f / settings.cellSize.z;
  settings.halfSize.x = settings.size.x * 0.5f;
  settings.halfSize.y = settings.size.y * 0.5f;
  settings.halfSize.z = settings.size.z * 0.5f;

  // Stored plus 2, saturating instead of overflowing at the top of the range.
  const int32_t accuracy = read.Long(Parameter::JBAccuracy);
  settings.bisectionHalvings = accuracy > INT32_MAX - 2 ? INT32_MAX : accuracy + 2;
  settings.jbSimple = read.Bool(Parameter::JBSimple);

  settings.smoothActive = read.Bool(Parameter::SmoothActive);
  settings.smoothStrength = read.Float(Parameter::SmoothStrength);
  if (settings.smoothStrength < kSwitchOffBelow) settings.smoothActive = false;
  settings.degenerateActive = read.Bool(Parameter::DegenerateActive);
  settings.degenerateTolerance = read.Float(Parameter::DegenerateTolerance);
  if (settings.degenerateTolerance < kSwitchOffBelow) settings.degenerateActive = false;
  settings.preserveBoundary = read.Bool(Parameter::PreserveBoundary);
  if (!settings.smoothActive && !settings.degenerateActive) settings.preserveBoundary = false;

  settings.volumeHyperbolic = read.Bool(Parameter::VolumeHyperbolic);
  settings.volumeExponential = read.Bool(Parameter::VolumeExponential);
  settings.volumeScale = read.Float(Parameter::VolumeScale);
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
    settings.cacheFileBase = read.String(Parameter::CacheFilename);
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
