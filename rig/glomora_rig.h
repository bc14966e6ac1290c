#pragma once
// GlomoraRig: the main operator and its three transfer operators wired into the
// stand-in host exactly as the 3D host wires them, with every parameter at its
// default (parameter_catalogue.h). Used by the command-line host and by tests to drive the plug-in
// through its exported callbacks.
//
// Objects made for a rig named NAME:
//   NAME.polymsh                          the output mesh, with the cluster
//                                         properties UserNormals and Texture_Projection
//   NAME_space.kine.global                the "InTransform" object (identity pose)
//   NAME.polymsh.GlomoraGeometry.Glomora  main operator; port groups
//       "GroupMetaballsGeometry" (InMetaballGeometry, InMetaballTransform),
//       "GroupTransform" (InTransform), "GroupOutput" (OutParameter)
//   NAME.polymsh.GlomoraGeometrySet       writes the mesh ("Outpolymsh")
//   NAME.polymsh.GlomoraNormalsSet        writes user normals ("OutUser_Normal_Property")
//   NAME.polymsh.GlomoraUVspaceSet        writes UVs ("OutTexture_Projection")
// The three transfer operators read the mesh through "Inpolymsh" of "GroupPolymsh".

#include "host/host_scene.h"
#include "xsi_ref.h"
#include "xsi_status.h"
#include "xsi_string.h"
#include "xsi_value.h"

class GlomoraRig {
 public:
  // Adds the objects and operators to the current scene (it does not reset it).
  explicit GlomoraRig(const XSI::CString& name = L"blob");

  // Sets a main-operator parameter (added when it is not one of the defaults).
  void SetParameter(const XSI::CString& name, const XSI::Host::AnimatedValue& value);
  // Adds a source object NAME with a primitive of the given type and connects
  // it (primitive and kinematic state) as a new instance of
  // "GroupMetaballsGeometry". Primitives get "radius" 1, "length" 2 and
  // "height" 2 as fits their type. Returns the primitive.
  XSI::CRef AddSource(const XSI::CString& objectName, const XSI::CString& type);

  // The host's calls. Update evaluates "OutParameter" at `frame`; Transfer runs
  // the geometry, normals and UV transfer operators in that order.
  XSI::CStatus Init();
  XSI::CStatus Update(double frame);
  void Transfer();
  XSI::CStatus Term();

  XSI::CRef mesh;
  XSI::CRef space;             // kinematic state of the "InTransform" object
  XSI::CRef op;
  XSI::CRef geometrySet;
  XSI::CRef normalsSet;
  XSI::CRef uvSet;
  XSI::CRef normalsProperty;
  XSI::CRef uvProperty;
};
