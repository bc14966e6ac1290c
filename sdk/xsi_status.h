#pragma once
// Status codes returned by host and plug-in calls.

#include <cstdint>

namespace XSI {

typedef int32_t LONG;
typedef uint32_t ULONG;

class CStatus {
 public:
  enum Code : LONG {
    OK = 0,
    False = 1,
    Fail = static_cast<LONG>(0x80004005),
    InvalidArgument = static_cast<LONG>(0x80070057),
    OutOfMemory = static_cast<LONG>(0x8007000E),
    MemberNotFound = static_cast<LONG>(0x80020003),
  };

  CStatus() = default;
  CStatus(LONG code) : code_(code) {}  // NOLINT: implicit like the host's

  LONG GetCode() const { return code_; }
  bool Succeeded() const { return code_ >= 0; }
  bool operator==(LONG code) const { return code_ == code; }
  bool operator!=(LONG code) const { return code_ != code; }
  bool operator==(const CStatus& other) const { return code_ == other.code_; }
  bool operator!=(const CStatus& other) const { return code_ != other.code_; }

 private:
  LONG code_ = OK;
};

}  // namespace XSI
