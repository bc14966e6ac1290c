#pragma once
// TransferRequest: the names of the values the evaluations gather beside the
// elements for Glomora_TransferAttribute, one list for every instance (set by
// Glomora_SetTransferAttributes), and what an instance keeps of its latest
// evaluation to answer it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/allocation.h"
#include "scene/element_values.h"
#include "scene/meta_element.h"

// The names asked for; empty by default: nothing is gathered or kept.
const std::vector<std::string>& TransferRequest();
void SetTransferRequest(std::vector<std::string> names);

// The elements the latest evaluation's mesh was made from, with the values
// gathered beside them; valid only while that mesh is the instance's result.
struct TransferElements {
  std::unique_ptr<MetaElement, FreeDeleter> elements;
  int32_t count = 0;
  int32_t blendingModel = 0;
  ElementValues values;
  bool valid = false;

  void Release() {
    elements.reset();
    count = 0;
    values.Clear();
    valid = false;
  }
};
