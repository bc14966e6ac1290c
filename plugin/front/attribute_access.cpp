// Glomora_SetTransferAttributes, Glomora_TransferAttribute(At): the host asks
// for values to be gathered beside the elements, then has them carried onto
// the vertices of the latest mesh, found through the instance registry like
// Glomora_GetField.

#include <new>
#include <string>
#include <vector>

#include "field/attribute_transfer.h"
#include "front/glomora_api.h"
#include "front/instance_registry.h"
#include "front/operator_instance.h"
#include "front/transfer_request.h"

int32_t Glomora_SetTransferAttributes(const char* const* names, int32_t count) {
  try {
    std::vector<std::string> request;
    for (int32_t i = 0; names != nullptr && i < count; ++i) {
      if (names[i] == nullptr || names[i][0] == '\0') continue;
      bool repeated = false;
      for (const std::string& name : request) repeated = repeated || name == names[i];
      if (!repeated) request.emplace_back(names[i]);
    }
    SetTransferRequest(std::move(request));
  } catch (const std::bad_alloc&) {
    SetTransferRequest({});
  }
  return static_cast<int32_t>(TransferRequest().size());
}

namespace {

// The elements of the operator's latest evaluation carrying `name`, carried
// onto `points`.
bool TransferOnto(const OperatorInstance& in, const char* name, int32_t components, const double* points,
                  size_t pointCount, float* values) {
  const TransferElements& transfer = in.transfer;
  if (!transfer.valid) return false;
  const ElementChannel* channel = transfer.values.Find(name);
  if (channel == nullptr) return false;
  if (channel->components == 0) {
    // No source gave the attribute: every element carries zeros.
    for (size_t i = 0; i < pointCount * static_cast<size_t>(components > 0 ? components : 0); ++i) values[i] = 0.0f;
    return components > 0;
  }
  if (channel->components != components) return false;
  try {
    return TransferToPoints(transfer.blendingModel, transfer.elements.get(), transfer.count, channel->values.data(),
                            components, points, pointCount, values);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

bool Glomora_TransferAttribute(const XSI::CString& operatorFullName, const char* name, int32_t components,
                               float* values, size_t vertexCount) {
  if (name == nullptr || values == nullptr) return false;
  const OperatorInstance* in = FindInstance(operatorFullName);
  if (in == nullptr || !in->mesh.valid) return false;
  const XSI::MATH::CVector3Array& vertices = in->mesh.vertices;
  if (vertexCount != static_cast<size_t>(vertices.GetCount())) return false;
  static_assert(sizeof(XSI::MATH::CVector3) == 3 * sizeof(double), "vertices are x, y, z doubles in a row");
  return TransferOnto(*in, name, components, reinterpret_cast<const double*>(vertices.GetArray()), vertexCount,
                      values);
}

bool Glomora_TransferAttributeAt(const XSI::CString& operatorFullName, const char* name, int32_t components,
                                 const double* points, size_t pointCount, float* values) {
  if (name == nullptr || values == nullptr || (points == nullptr && pointCount > 0)) return false;
  const OperatorInstance* in = FindInstance(operatorFullName);
  if (in == nullptr) return false;
  return TransferOnto(*in, name, components, points, pointCount, values);
}
