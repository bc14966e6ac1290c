#pragma once
// A per-process memory budget for the reliability tests, as a host would set
// one: the address space may grow by kTestMemoryBudget beyond what the test
// process holds when the first test starts, so an allocation past it fails
// and the plug-in's own out-of-memory paths run instead of the machine
// paging. Sanitizer builds cannot limit the address space (their shadow
// memory reserves terabytes); there ASAN_OPTIONS=max_allocation_size_mb
// (set by `make test-sanitize` and .ci/run) refuses any single allocation
// above the budget instead.

#include <cstdint>

constexpr uint64_t kTestMemoryBudget = uint64_t{4} << 30;

// True when the budget is enforced on the address space.
bool TestMemoryBudgetEnforced();
