#include "parameter_catalogue.h"

#include <limits>

#include "base/parameter_table.h"
#include "xsi_string.h"

using XSI::CValue;
using XSI::Host::ValueKind;

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct Acceptance {
  std::string_view name;
  std::vector<AcceptedInterval> accepted;
  std::string_view expectation;
};

// The values a scene may give a parameter beyond its kind.
const std::vector<Acceptance>& Acceptances() {
  static const std::vector<Acceptance> list = {
      {"Space", {{0, 1, false}}, "0 (voxel grid) or 1 (continuation polygonizer)"},
      {"Mode", {{0, 3, false}}, "0, 1, 2 or 3"},
      {"Blending_model", {{0, 2, false}}, "0, 1 or 2"},
      {"Polygonization", {{0, 1, false}, {10, 10, false}}, "0, 1 or 10"},
      {"Grid_space", {{0, 1, false}}, "0 or 1"},
      {"Resolution_X", {{1, kInfinity, false}}, "an integer of at least 1"},
      {"Resolution_Y", {{1, kInfinity, false}}, "an integer of at least 1"},
      {"Resolution_Z", {{1, kInfinity, false}}, "an integer of at least 1"},
      {"JB_accuracy", {{0, 30, false}}, "an integer from 0 to 30"},
      {"Size_X", {{0, kInfinity, true}}, "a number above 0"},
      {"Size_Y", {{0, kInfinity, true}}, "a number above 0"},
      {"Size_Z", {{0, kInfinity, true}}, "a number above 0"},
      {"JB_voxelsize", {{0, kInfinity, true}}, "a number above 0"},
      {"Isovalue", {{0, kInfinity, true}}, "a number above 0"},
      {"Viscosity", {{0, kInfinity, false}}, "a number of at least 0"},
      {"radius", {{0, kInfinity, true}}, "a number above 0"},
      {"length", {{0, kInfinity, true}}, "a number above 0"},
      {"height", {{0, kInfinity, false}}, "a number of at least 0"},
  };
  return list;
}

struct Description {
  std::string_view name;
  std::string_view meaning;
  std::vector<ParameterCode> codes;
};

// What each parameter does, as the parameter reference shows it. Each
// operator and primitive parameter has one (a test checks it), and each
// selector a meaning for every code it accepts.
const std::vector<Description>& Descriptions() {
  static const std::vector<Description> list = {
      {"Mute", "On: the operator computes nothing and every frame's mesh is empty.", {}},
      {"Log_time",
       "On: the plug-in logs the time of each stage of a frame (graph evaluation, simulation, polygonizer, "
       "post-processing, the transfers into the mesh). `--stats` turns it on for its timings.",
       {}},
      {"Space",
       "Which polygonizer makes the surface.",
       {{0,
         "voxel grid: the field is sampled on a lattice of Resolution_X x Resolution_Y x Resolution_Z cells "
         "filling the container box (Size_X, Size_Y, Size_Z, centred on the origin) and carried from frame to "
         "frame as a simulation (Mode, Start_frame, Viscosity, Grid_space); the surface is cut where it leaves "
         "the box. Its cost grows with the lattice and the particles, not with the surface's area."},
        {1,
         "continuation polygonizer: the surface is tracked from seeds near each element through cubes of "
         "JB_voxelsize, without a box; every frame on its own (no simulation: Mode, Start_frame, Viscosity and "
         "Grid_space are not used). Each cube it visits evaluates every element, so its cost grows with "
         "elements x surface area."}}},
      {"Polygonization",
       "How each lattice cube the surface crosses becomes polygons, in both Spaces. Keys may not pass "
       "between 1 and 10.",
       {{0,
         "cube table: up to four triangles per cube, one vertex per crossed lattice edge. Where the surface "
         "passes diagonally through a lattice face, the two cubes sharing it may resolve it differently and "
         "leave a triangle and its reverse in that face (`--check` counts these coincident pairs)."},
        {1,
         "six tetrahedra per cube: two to three times the triangles of 0 (vertices also on the face and "
         "cube diagonals); no ambiguous faces, so a surface that stays inside the box (or in Space 1) is closed "
         "and 2-manifold."},
        {10,
         "boxes: each crossed cube as a closed box of one cell (8 vertices of its own, 6 quadrilaterals; "
         "neighbouring boxes touch but share nothing), to look at the lattice; turns User_normals, UVspace, "
         "smoothing and short-edge relaxation off."}}},
      {"User_normals",
       "On: a normal per vertex, the interpolated field gradient (not scaled to unit length), written with "
       "the mesh.",
       {}},
      {"UVspace",
       "On: UV coordinates per polygon corner, a spherical projection of the vertex normals (the normals are "
       "then scaled so that their largest component is 1 or -1).",
       {}},
      {"Grid_space",
       "Space 0: how the carried field follows each frame's newly sampled field.",
       {{0, "follows it both ways, with the lag Viscosity sets: the surface moves with the elements."},
        {1,
         "only grows toward it: the field never shrinks, except where a subtractive element pushes the sampled "
         "field below minus the Isovalue (there it is cleared), so moving elements leave trails."}}},
      {"Mode",
       "Space 0: how a frame is reached, and whether the frames' meshes go to or come from cache files "
       "(Cache_filename).",
       {{0,
         "each frame is one simulation step from the field of whichever frame was evaluated before it; frames "
         "in between are never stepped through."},
        {1,
         "simulation: a frame more than one after the last computed one is reached by stepping through every "
         "frame in between (the progress bar's recompute); Start_frame restarts it."},
        {2, "as 1, and each computed frame's mesh is written to its cache file."},
        {3,
         "playback: each frame's mesh is read from its cache file; nothing is gathered or simulated, so the "
         "frames are independent (`--jobs` spreads them over processes)."}}},
      {"Start_frame",
       "Space 0 (Modes 1 and 2): the frame where the simulation starts: its field is reset there, and frames "
       "before it are empty.",
       {}},
      {"Blending_model",
       "How an element's distance d (the squared distance from its centre in its own scaled axes; fourth "
       "powers for cubes and along a cylinder's axis) becomes its share of the field, summed over elements.",
       {{0,
         "inverse square: radius^2 / d, reaching everywhere (in Space 0, Optimization_volume_hyperbolic limits "
         "it to a box around each element)."},
        {1,
         "polynomial: 4 (1 - 2d)^2 with d in units of the element's diameter, 0 from d = 0.5 on (about 1.4 "
         "radii from a sphere's centre): compact, and the fastest."},
        {2,
         "exponential: e^-d with d in units of the element's diameter, reaching everywhere "
         "(Optimization_volume_exponential limits it in Space 0)."}}},
      {"Container", "Space 0: also draw the container box's twelve edges (zero-area quadrilaterals) around the surface.", {}},
      {"Size_X", "Space 0: the container box's size along X, centred on the origin; nothing outside it is meshed.", {}},
      {"Size_Y", "Space 0: the container box's size along Y.", {}},
      {"Size_Z", "Space 0: the container box's size along Z.", {}},
      {"Resolution_X",
       "Space 0: lattice cells along X; a cell is Size_X / Resolution_X long. The lattices take 32 bytes per "
       "point, (Resolution_X + 1) x (Resolution_Y + 1) x (Resolution_Z + 1) points (64 each: 8.8 MB; 256 "
       "each: 543 MB), checked against the memory budget before a run.",
       {}},
      {"Resolution_Y", "Space 0: lattice cells along Y.", {}},
      {"Resolution_Z", "Space 0: lattice cells along Z.", {}},
      {"JB_voxelsize",
       "Space 1: the edge of the tracking lattice's cubes: half the size gives about four times the triangles "
       "and the time.",
       {}},
      {"JB_accuracy",
       "Space 1: how exactly a vertex is placed on its cube edge: JB_accuracy + 2 bisection steps; also the "
       "step of the normals' estimate.",
       {}},
      {"JB_simple",
       "Space 1: on, one seed probe per element (along its +X +Y +Z diagonal) instead of eight: fewer seed "
       "cubes to start tracking from.",
       {}},
      {"Geometry_smooth_active",
       "Smoothing after polygonization (off while Geometry_smooth_strength is below 0.00001).", {}},
      {"Geometry_smooth_strength",
       "Smoothing passes: each moves every vertex half-way to the mean of its neighbours; a fractional part "
       "makes a partial last pass.",
       {}},
      {"Geometry_degenerate_active",
       "Short-edge relaxation after polygonization: both ends of every triangle edge shorter than the "
       "tolerance move half-way to the mean of their neighbours; nothing is removed (off while "
       "Geometry_degenerate_tolerance is below 0.00001).",
       {}},
      {"Geometry_degenerate_tolerance",
       "The short edge's length as a fraction of the cell (Space 0: the mean of the three cell sides; Space 1: "
       "JB_voxelsize), halved with Polygonization 1.",
       {}},
      {"Geometry_preserve_boundary",
       "Smoothing and short-edge relaxation keep the vertices of the mesh's open boundary in place (where the "
       "container box cuts the surface).",
       {}},
      {"Optimization_volume_hyperbolic",
       "Space 0, Blending_model 0: each element is sampled only in a box around it (1.5 x its radius x its "
       "largest scale, times Optimization_volume_scale, wider when Isovalue is below 1) instead of over the "
       "whole lattice: much faster, the far tail of the field is cut.",
       {}},
      {"Optimization_volume_exponential", "Space 0, Blending_model 2: the same box as Optimization_volume_hyperbolic.", {}},
      {"Optimization_volume_scale",
       "Space 0, Blending_models 0 and 2 with their optimization on: widens (above 1) or narrows the sampling "
       "box.",
       {}},
      {"Cache_filename",
       "Modes 2 and 3: the cache files' folder and name; frame F's file is NAME.F.grd (an extension and a frame "
       "number in the name are dropped: shot.grd and shot.0012.grd both give shot.F.grd). Relative to the scene "
       "file. No cache when it is empty or its name holds * ? \" < > | or :.",
       {}},
      {"Viscosity",
       "Space 0: how slowly the field follows the elements: each frame it moves 1 / (1 + 0.396 x Viscosity) of "
       "the way to the newly sampled field (all of it at 0). Above 0 the surface lags behind moving particles, "
       "smooths their jitter over frames and stretches into trails; each frame then depends on all before it.",
       {}},
      {"Isovalue",
       "The field level of the surface: lower values give a fuller surface in which elements merge from farther "
       "apart, higher values a thinner one.",
       {}},
      {"Particle_size",
       "The diameter of a cloud's particles (their radius is half of it); a negative size makes them subtractive.",
       {}},
      {"Point_size", "The radius of the elements at a polygon mesh's points.", {}},
      {"Component_X",
       "Scale along X of every point element (cloud particles and mesh points); a negative value makes them "
       "subtractive.",
       {}},
      {"Component_Y", "Scale along Y of every point element.", {}},
      {"Component_Z", "Scale along Z of every point element.", {}},
      {"radius", "Sphere and cylinder sources: the radius.", {}},
      {"length", "Cube sources: the edge length (its radius is half of it).", {}},
      {"height", "Cylinder sources: the length along its Y axis; below 0.00001 it is 0.001.", {}},
  };
  return list;
}

void Describe(ParameterSpec& entry) {
  for (const Description& d : Descriptions()) {
    if (d.name != entry.name) continue;
    entry.meaning = d.meaning;
    entry.codes = d.codes;
  }
}

void Accept(ParameterSpec& entry) {
  for (const Acceptance& a : Acceptances()) {
    if (a.name != entry.name) continue;
    entry.accepted = a.accepted;
    entry.expectation = a.expectation;
  }
}

ParameterSpec FromTable(const ParameterDefinition& p) {
  ParameterSpec entry;
  entry.name = XSI::CString(p.name).GetAsciiString();
  entry.hostName = p.name;
  switch (p.kind) {
    case ParameterKind::Bool:
      entry.kind = ValueKind::Bool;
      entry.defaultValue = CValue(p.defaultValue != 0.0);
      break;
    case ParameterKind::Long:
      entry.kind = ValueKind::Long;
      entry.defaultValue = CValue(static_cast<XSI::LONG>(p.defaultValue));
      break;
    case ParameterKind::Double:
      entry.kind = ValueKind::Double;
      entry.defaultValue = CValue(p.defaultValue);
      break;
    case ParameterKind::String:
      entry.kind = ValueKind::String;
      entry.defaultValue = CValue(XSI::CString(L""));
      break;
  }
  entry.elementSetting = static_cast<int32_t>(p.id) >= static_cast<int32_t>(Parameter::Viscosity);
  Accept(entry);
  Describe(entry);
  return entry;
}

const ParameterSpec* Find(const std::vector<ParameterSpec>& list, std::string_view name) {
  for (const ParameterSpec& entry : list) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

}  // namespace

const std::vector<ParameterSpec>& OperatorParameters() {
  static const std::vector<ParameterSpec> list = [] {
    std::vector<ParameterSpec> entries;
    for (const ParameterDefinition& p : kParameterTable) entries.push_back(FromTable(p));
    return entries;
  }();
  return list;
}

const std::vector<ParameterSpec>& PrimitiveParameters() {
  static const std::vector<ParameterSpec> list = [] {
    std::vector<ParameterSpec> entries;
    const std::pair<const wchar_t*, double> primitives[] = {{L"radius", 1.0}, {L"length", 2.0}, {L"height", 2.0}};
    for (const auto& [name, value] : primitives) {
      ParameterSpec entry{XSI::CString(name).GetAsciiString(), name, ValueKind::Double, CValue(value), {}, {}, false, {}, {}};
      Accept(entry);
      Describe(entry);
      entries.push_back(std::move(entry));
    }
    return entries;
  }();
  return list;
}

const ParameterSpec* FindOperatorParameter(std::string_view name) { return Find(OperatorParameters(), name); }

const ParameterSpec* FindPrimitiveParameter(std::string_view name) { return Find(PrimitiveParameters(), name); }

std::string OperatorParameterNames() {
  std::string names;
  for (const ParameterSpec& entry : OperatorParameters()) names += (names.empty() ? "" : ", ") + entry.name;
  return names;
}

int AcceptedIntervalOf(const ParameterSpec* entry, double value) {
  if (entry == nullptr || entry->accepted.empty()) return -2;
  for (size_t i = 0; i < entry->accepted.size(); ++i) {
    const AcceptedInterval& interval = entry->accepted[i];
    const bool aboveLow = interval.lowOpen ? value > interval.low : value >= interval.low;
    if (aboveLow && value <= interval.high) return static_cast<int>(i);
  }
  return -1;
}
