#include "front/instance_registry.h"

#include <new>

#include "front/operator_instance.h"

namespace {
RegistryEntry* head = nullptr;
}

bool RegisterInstance(OperatorInstance* instance, const XSI::CString& operatorFullName) {
  for (const RegistryEntry* e = head; e; e = e->next) {
    if (e->instance && e->instance->settings.fullName == operatorFullName) return false;
  }
  auto* entry = new (std::nothrow) RegistryEntry{instance, head};
  if (!entry) return false;
  head = entry;
  return true;
}

void UnregisterInstance(const OperatorInstance* instance) {
  // Matching the record rather than the key keeps a live record findable when
  // another record with the same name (never registered itself) terminates.
  RegistryEntry* previous = nullptr;
  for (RegistryEntry* e = head; e; previous = e, e = e->next) {
    if (e->instance != instance) continue;
    (previous ? previous->next : head) = e->next;
    delete e;
    return;
  }
}

OperatorInstance* FindInstance(const XSI::CString& fullName) {
  for (const RegistryEntry* e = head; e; e = e->next) {
    if (e->instance && e->instance->settings.fullName == fullName) return e->instance;
  }
  return nullptr;
}

const RegistryEntry* RegistryHead() { return head; }
