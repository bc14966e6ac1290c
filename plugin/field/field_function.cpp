#include "field/field_function.h"

#include <cmath>

#include "base/settings.h"
#include "field/blend_kernels.h"

namespace {

// The definition applied to the elements themselves, each record and rotation
// made on the spot; for a table that could not be built. With `cull`, the box
// test comes before the rotation is made, so culled elements cost no rotation.
template <class Add>
float SumFromElements(const FieldFunction& field, bool cull, float x, float y, float z) {
  float sum = -field.isoThreshold;
  for (int32_t k = 0; k < field.elementCount; ++k) {
    ElementRecord r;
    if (!MakeElementRecord(field.elements[k], 0, r)) continue;
    if (cull && !InsideCullBox(r, x, y, z)) continue;
    RotationMatrix rotation;
    if (r.kind & kRotatedKind) rotation = MakeRotationMatrix(field.elements[k]);
    Add()(sum, r, MeasureAt(r, &rotation, x, y, z));
  }
  return sum;
}

// Every record in array order (the models without a cut-off).
template <class Add>
float SumOverRecords(const ElementTable& table, float sum, float x, float y, float z) {
  const ElementRecord* records = table.Records();
  const RotationMatrix* rotations = table.Rotations();
  const int32_t count = table.RecordCount();
  for (int32_t n = 0; n < count; ++n) Add()(sum, records[n], MeasureAt(records[n], rotations, x, y, z));
  return sum;
}

}  // namespace

InverseSquareField::InverseSquareField(const MetaElement* elementArray, float threshold, int32_t count)
    : FieldFunction(elementArray, threshold, count), table_(elementArray, count, false) {}

float InverseSquareField::Evaluate(const float& x, const float& y, const float& z) const {
  if (!table_.Ready()) return SumFromElements<AddInverseSquare>(*this, false, x, y, z);
  return SumOverRecords<AddInverseSquare>(table_, -isoThreshold, x, y, z);
}

PolynomialField::PolynomialField(const MetaElement* elementArray, float threshold, int32_t count)
    : FieldFunction(elementArray, threshold, count), table_(elementArray, count, true) {}

float PolynomialField::Evaluate(const float& x, const float& y, const float& z) const {
  if (!table_.Ready()) return SumFromElements<AddPolynomial>(*this, true, x, y, z);
  const ElementRecord* records = table_.Records();
  const RotationMatrix* rotations = table_.Rotations();
  float sum = -isoThreshold;
  if (table_.HasGrid()) {
    // The bucket lists, in array order, every element whose box can hold the
    // point; the exact box test then decides as it would over the whole array.
    const uint32_t* candidate;
    const uint32_t* end;
    table_.Candidates(x, y, z, candidate, end);
    for (; candidate != end; ++candidate) {
      const ElementRecord& r = records[*candidate];
      if (InsideCullBox(r, x, y, z)) AddPolynomial()(sum, r, MeasureAt(r, rotations, x, y, z));
    }
    return sum;
  }
  const int32_t count = table_.RecordCount();
  for (int32_t n = 0; n < count; ++n) {
    const ElementRecord& r = records[n];
    if (InsideCullBox(r, x, y, z)) AddPolynomial()(sum, r, MeasureAt(r, rotations, x, y, z));
  }
  return sum;
}

ExponentialField::ExponentialField(const MetaElement* elementArray, float threshold, int32_t count)
    : FieldFunction(elementArray, threshold, count), table_(elementArray, count, false) {}

float ExponentialField::Evaluate(const float& x, const float& y, const float& z) const {
  if (!table_.Ready()) return SumFromElements<AddExponential>(*this, false, x, y, z);
  return SumOverRecords<AddExponential>(table_, -isoThreshold, x, y, z);
}

std::unique_ptr<FieldFunction> MakeFieldFunction(int32_t model, const MetaElement* elementArray, float threshold,
                                                 int32_t count) {
  switch (model) {
    case BlendingModel::kInverseSquare: return std::make_unique<InverseSquareField>(elementArray, threshold, count);
    case BlendingModel::kPolynomial: return std::make_unique<PolynomialField>(elementArray, threshold, count);
    case BlendingModel::kExponential: return std::make_unique<ExponentialField>(elementArray, threshold, count);
    default: return nullptr;
  }
}
