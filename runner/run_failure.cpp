#include "run_failure.h"

namespace {

struct NamedFailure {
  RunFailure failure;
  std::string_view name;
};

constexpr NamedFailure kNames[] = {
    {RunFailure::None, "none"},
    {RunFailure::BadInput, "bad_input"},
    {RunFailure::MissingFile, "missing_file"},
    {RunFailure::OverBudget, "over_budget"},
    {RunFailure::OutOfMemory, "out_of_memory"},
    {RunFailure::Failed, "failed"},
    {RunFailure::Cancelled, "cancelled"},
};

}  // namespace

int ExitStatusOf(RunFailure failure) {
  switch (failure) {
    case RunFailure::None: return kExitSuccess;
    case RunFailure::BadInput:
    case RunFailure::MissingFile:
    case RunFailure::OverBudget: return kExitBadInput;
    case RunFailure::Cancelled: return kExitCancelled;
    case RunFailure::OutOfMemory:
    case RunFailure::Failed: break;
  }
  return kExitFailure;
}

std::string_view FailureName(RunFailure failure) {
  for (const NamedFailure& named : kNames) {
    if (named.failure == failure) return named.name;
  }
  return "failed";
}

RunFailure FailureNamed(std::string_view name) {
  for (const NamedFailure& named : kNames) {
    if (named.name == name) return named.failure;
  }
  return RunFailure::Failed;
}
