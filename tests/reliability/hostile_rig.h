#pragma once
// Drives the plug-in through the host's calls with hostile parameters and
// sources, and checks what any evaluation must leave behind, whatever it was
// given: a status of success, a host mesh whose polygon description is well
// formed with every index in range, cluster values that match the mesh's
// nodes, and finite coordinates unless a source itself was not finite.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "glomora_rig.h"
#include "host/host_scene.h"

// A source for a hostile scene.
enum class SourceKind {
  None,          // no source connected
  Sphere,        // radius 1 primitive at the origin
  Cube,          // length 2 primitive, rotated
  Cylinder,      // subtractive (negative scaling) cylinder
  Cloud,         // a few particles near the origin
  EmptyCloud,    // a cloud with no points
  Coincident,    // many particles at one point
  FarAway,       // particles at 1e30
  NaNCloud,      // particles with NaN coordinates
  InfiniteCloud, // particles with infinite coordinates
  HugePrimitive, // sphere with radius 1e30
  TinyPrimitive, // sphere with radius 1e-30
  ZeroScaled,    // sphere scaled by 0
};

std::string Describe(SourceKind kind);
bool IsNonFinite(SourceKind kind);

struct HostileCase {
  std::vector<std::pair<std::wstring, XSI::CValue>> parameters;
  std::vector<SourceKind> sources;
  double frame = 1.0;
  std::string Describe() const;
};

// What an evaluation left in the host.
struct HostileOutcome {
  XSI::CStatus status;
  XSI::MATH::CVector3Array vertices;
  XSI::CLongArray polygons;
  std::vector<std::wstring> log;
  bool LogContains(const std::wstring& text) const;
};

// Builds a fresh scene (resets the host scene) with a rig, applies the case,
// evaluates `evaluations` frames from case.frame on (with transfers), reads
// back the host mesh and checks the invariants (gtest failures). A recompute
// loop is cancelled, as a user would, once it has stepped 64 frames.
HostileOutcome RunHostileCase(const HostileCase& hostile, int evaluations = 1);
