#include "front/transfer_request.h"

namespace {

std::vector<std::string>& Names() {
  static std::vector<std::string> names;
  return names;
}

}  // namespace

const std::vector<std::string>& TransferRequest() { return Names(); }

void SetTransferRequest(std::vector<std::string> names) { Names() = std::move(names); }
