#include "memory_budget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#if defined(__SANITIZE_ADDRESS__)
#define RELIABILITY_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RELIABILITY_ASAN 1
#endif
#endif

namespace {

bool enforced = false;

class MemoryBudget : public ::testing::Environment {
 public:
  void SetUp() override {
#ifndef RELIABILITY_ASAN
    std::ifstream statm("/proc/self/statm");
    uint64_t pages = 0;
    ASSERT_TRUE(static_cast<bool>(statm >> pages));
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_AS, &limit), 0);
    const uint64_t wanted = pages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE)) + kTestMemoryBudget;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > wanted) limit.rlim_cur = wanted;
    ASSERT_EQ(::setrlimit(RLIMIT_AS, &limit), 0);
    enforced = true;
#endif
  }
};

// Registered before main runs the tests (gtest_main).
const auto* const kRegistered = ::testing::AddGlobalTestEnvironment(new MemoryBudget);

}  // namespace

bool TestMemoryBudgetEnforced() { return enforced; }
