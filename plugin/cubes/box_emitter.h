#pragma once
// Emitters that append axis-aligned boxes to a mesh: a closed box (one per
// crossed cell with polygonization 10) and the container's wire outline.
//
// Box corner m of a box with centre o and half extent h:
//   0 (+x, +y, +z)  1 (-x, +y, +z)  2 (-x, +y, -z)  3 (+x, +y, -z)
//   4 (+x, -y, +z)  5 (-x, -y, +z)  6 (-x, -y, -z)  7 (+x, -y, -z)
// Corners 0..3 form the +y face, 4..7 the -y face; corner m + 4 lies below m.
// Coordinates are formed in single precision and widened to double.

#include "base/numeric.h"
#include "xsi_arrays.h"
#include "xsi_math.h"

// Appends the 8 corners of the box (centre, full edge lengths `size`) and six
// quadrilaterals, each as 4 followed by four vertex indices, faces in the order
// +y, -x, -z, +x, +z, -y, every face counter-clockwise seen from outside.
// Shares no vertex with what the arrays already hold.
void EmitBox(XSI::MATH::CVector3Array& vertices, XSI::CLongArray& polygons, const Float3& centre,
             const Float3& size);

// The same box written in place: its kBoxCorners corners to corners[0 ..]
// and its six quadrilaterals (kBoxEntries entries) to entries[0 ..], the
// corners numbered from `base`.
constexpr int kBoxCorners = 8;
constexpr int kBoxEntries = 30;
void WriteBox(XSI::MATH::CVector3* corners, XSI::LONG* entries, XSI::LONG base, const Float3& centre,
              const Float3& size);

// Appends the twelve edges of the box as zero-area quadrilaterals (a, b, b, a),
// using six copies of the eight corners (48 vertices, each used once).
// Appends nothing when a size component is not finite.
void EmitContainerOutline(XSI::MATH::CVector3Array& vertices, XSI::CLongArray& polygons, const Float3& centre,
                          const Float3& size);
