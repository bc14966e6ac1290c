#pragma once
// Variant value passed between the host and plug-ins.

#include <cstdint>

#include "xsi_ref.h"
#include "xsi_status.h"
#include "xsi_string.h"

namespace XSI {

class CValue {
 public:
  enum DataType { siEmpty = 0, siInt4, siBool, siFloat, siDouble, siString, siRef, siPtr };

  CValue() = default;
  CValue(LONG value) : type_(siInt4), long_(value) {}             // NOLINT
  CValue(bool value) : type_(siBool), bool_(value) {}             // NOLINT
  CValue(float value) : type_(siFloat), double_(value) {}         // NOLINT
  CValue(double value) : type_(siDouble), double_(value) {}       // NOLINT
  CValue(const CString& value) : type_(siString), string_(value) {}  // NOLINT
  CValue(const wchar_t* value) : type_(siString), string_(value) {}  // NOLINT
  CValue(const CRef& value) : type_(siRef), ref_(value) {}        // NOLINT
  CValue(void* value) : type_(siPtr), ptr_(value) {}              // NOLINT

  DataType GetType() const { return type_; }
  bool IsEmpty() const { return type_ == siEmpty; }

  // Conversions. Numbers convert between each other (a double becomes a long by
  // truncation toward zero, clamped to the long range, NaN giving 0); text
  // converts to numbers by parsing; anything else converts to 0, false, empty.
  operator bool() const;      // NOLINT
  operator LONG() const;      // NOLINT
  operator float() const;     // NOLINT
  operator double() const;    // NOLINT
  operator CString() const;   // NOLINT
  operator CRef() const;      // NOLINT
  operator void*() const;     // NOLINT

  // Text form: an integer in decimal ("12", "-3"), a bool as "true"/"false",
  // a real number in shortest round-trip form, a reference as its full name.
  CString GetAsText() const;

 private:
  DataType type_ = siEmpty;
  LONG long_ = 0;
  bool bool_ = false;
  double double_ = 0.0;
  CString string_;
  CRef ref_;
  void* ptr_ = nullptr;
};

}  // namespace XSI
