#include "base/allocation.h"

namespace allocation_faults {

namespace {
int remaining = -1;  // allocations left before the injected failure; -1: none armed
}

void FailAfter(int successes) { remaining = successes; }

void Clear() { remaining = -1; }

bool NextFails() {
  if (remaining < 0) return false;
  if (remaining == 0) {
    remaining = -1;
    return true;
  }
  --remaining;
  return false;
}

}  // namespace allocation_faults
