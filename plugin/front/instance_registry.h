#pragma once
// InstanceRegistry: the process-wide list of registered OperatorInstance
// records, keyed by each record's settings.fullName (which follows the record: it is
// empty until the first evaluation). The transfer operators find the main
// operator's record through it.

#include "xsi_string.h"

struct OperatorInstance;

struct RegistryEntry {
  OperatorInstance* instance;
  RegistryEntry* next;
};

// Registers `instance` at the head of the list unless a registered record
// already carries `operatorFullName`. Returns whether it was registered; false
// also when no memory is left for the entry.
bool RegisterInstance(OperatorInstance* instance, const XSI::CString& operatorFullName);

// Unlinks and frees the entry that refers to `instance`, if any. Entries of
// other records are never touched, even when they carry the same key.
void UnregisterInstance(const OperatorInstance* instance);

// The first registered record whose fullName equals `fullName` exactly, or null.
OperatorInstance* FindInstance(const XSI::CString& fullName);

// Head of the list (for inspection).
const RegistryEntry* RegistryHead();
