#pragma once
// The main operator's parameters as the plug-in defines them: name, value kind
// and default, in reading order (the 29 operator-level parameters that
// ReadParameters reads, then the seven element settings that
// ReadElementSettings reads). Hosts define the operator from this table.

#include <cstdint>
#include <iterator>

enum class Parameter : int32_t {
  Mute, LogTime, Space, Polygonization, UserNormals, UVSpace, GridSpace, Mode, StartFrame, BlendingModel,
  Container, SizeX, SizeY, SizeZ, ResolutionX, ResolutionY, ResolutionZ, JBVoxelSize, JBAccuracy, JBSimple,
  SmoothActive, SmoothStrength, DegenerateActive, DegenerateTolerance, PreserveBoundary, VolumeHyperbolic,
  VolumeExponential, VolumeScale, CacheFilename,
  Viscosity, Isovalue, ParticleSize, PointSize, ComponentX, ComponentY, ComponentZ,
};

enum class ParameterKind : int32_t { Bool, Long, Double, String };

struct ParameterDefinition {
  Parameter id;
  const wchar_t* name;   // the host's parameter name
  ParameterKind kind;
  double defaultValue;   // bools as 0 or 1; the text parameter's default is empty
};

inline constexpr ParameterDefinition kParameterTable[] = {
    {Parameter::Mute, L"Mute", ParameterKind::Bool, 0},
    {Parameter::LogTime, L"Log_time", ParameterKind::Bool, 0},
    {Parameter::Space, L"Space", ParameterKind::Long, 1},
    {Parameter::Polygonization, L"Polygonization", ParameterKind::Long, 0},
    {Parameter::UserNormals, L"User_normals", ParameterKind::Bool, 1},
    {Parameter::UVSpace, L"UVspace", ParameterKind::Bool, 0},
    {Parameter::GridSpace, L"Grid_space", ParameterKind::Long, 0},
    {Parameter::Mode, L"Mode", ParameterKind::Long, 1},
    {Parameter::StartFrame, L"Start_frame", ParameterKind::Long, 1},
    {Parameter::BlendingModel, L"Blending_model", ParameterKind::Long, 1},
    {Parameter::Container, L"Container", ParameterKind::Bool, 0},
    {Parameter::SizeX, L"Size_X", ParameterKind::Double, 4.0},
    {Parameter::SizeY, L"Size_Y", ParameterKind::Double, 4.0},
    {Parameter::SizeZ, L"Size_Z", ParameterKind::Double, 4.0},
    {Parameter::ResolutionX, L"Resolution_X", ParameterKind::Long, 64},
    {Parameter::ResolutionY, L"Resolution_Y", ParameterKind::Long, 64},
    {Parameter::ResolutionZ, L"Resolution_Z", ParameterKind::Long, 64},
    {Parameter::JBVoxelSize, L"JB_voxelsize", ParameterKind::Double, 0.05},
    {Parameter::JBAccuracy, L"JB_accuracy", ParameterKind::Long, 3},
    {Parameter::JBSimple, L"JB_simple", ParameterKind::Bool, 0},
    {Parameter::SmoothActive, L"Geometry_smooth_active", ParameterKind::Bool, 0},
    {Parameter::SmoothStrength, L"Geometry_smooth_strength", ParameterKind::Double, 1.0},
    {Parameter::DegenerateActive, L"Geometry_degenerate_active", ParameterKind::Bool, 0},
    {Parameter::DegenerateTolerance, L"Geometry_degenerate_tolerance", ParameterKind::Double, 0.1},
    {Parameter::PreserveBoundary, L"Geometry_preserve_boundary", ParameterKind::Bool, 1},
    {Parameter::VolumeHyperbolic, L"Optimization_volume_hyperbolic", ParameterKind::Bool, 1},
    {Parameter::VolumeExponential, L"Optimization_volume_exponential", ParameterKind::Bool, 1},
    {Parameter::VolumeScale, L"Optimization_volume_scale", ParameterKind::Double, 1.0},
    {Parameter::CacheFilename, L"Cache_filename", ParameterKind::String, 0},
    {Parameter::Viscosity, L"Viscosity", ParameterKind::Double, 0.0},
    {Parameter::Isovalue, L"Isovalue", ParameterKind::Double, 1.0},
    {Parameter::ParticleSize, L"Particle_size", ParameterKind::Double, 0.2},
    {Parameter::PointSize, L"Point_size", ParameterKind::Double, 0.1},
    {Parameter::ComponentX, L"Component_X", ParameterKind::Double, 1.0},
    {Parameter::ComponentY, L"Component_Y", ParameterKind::Double, 1.0},
    {Parameter::ComponentZ, L"Component_Z", ParameterKind::Double, 1.0},
};

constexpr bool TableFollowsParameterOrder() {
  for (int32_t i = 0; i < static_cast<int32_t>(std::size(kParameterTable)); ++i) {
    if (static_cast<int32_t>(kParameterTable[i].id) != i) return false;
  }
  return true;
}
static_assert(std::size(kParameterTable) == 36 && TableFollowsParameterOrder(), "one entry per Parameter, in order");

// The host's name of a parameter.
constexpr const wchar_t* ParameterName(Parameter p) { return kParameterTable[static_cast<int32_t>(p)].name; }
