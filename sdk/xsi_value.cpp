#include "xsi_value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <string>

namespace XSI {

namespace {

LONG ClampToLong(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return 2147483647;
  if (value <= -2147483648.0) return static_cast<LONG>(-2147483647 - 1);
  return static_cast<LONG>(value);
}

double ParseNumber(const CString& text) {
  const std::string s = text.GetAsciiString();
  double value = 0.0;
  const char* begin = s.c_str();
  while (*begin == ' ') ++begin;
  auto result = std::from_chars(begin, s.c_str() + s.size(), value);
  if (result.ec != std::errc()) return 0.0;
  return value;
}

}  // namespace

CValue::operator bool() const {
  switch (type_) {
    case siBool: return bool_;
    case siInt4: return long_ != 0;
    case siFloat:
    case siDouble: return double_ != 0.0;
    case siString: return string_ == L"true" || string_ == L"1";
    case siRef: return ref_.IsValid();
    case siPtr: return ptr_ != nullptr;
    default: return false;
  }
}

CValue::operator LONG() const {
  switch (type_) {
    case siBool: return bool_ ? 1 : 0;
    case siInt4: return long_;
    case siFloat:
    case siDouble: return ClampToLong(double_);
    case siString: return ClampToLong(ParseNumber(string_));
    default: return 0;
  }
}

CValue::operator double() const {
  switch (type_) {
    case siBool: return bool_ ? 1.0 : 0.0;
    case siInt4: return static_cast<double>(long_);
    case siFloat:
    case siDouble: return double_;
    case siString: return ParseNumber(string_);
    default: return 0.0;
  }
}

CValue::operator float() const { return static_cast<float>(static_cast<double>(*this)); }

CValue::operator CString() const {
  if (type_ == siString) return string_;
  return GetAsText();
}

CValue::operator CRef() const { return type_ == siRef ? ref_ : CRef(); }

CValue::operator void*() const { return type_ == siPtr ? ptr_ : nullptr; }

CString CValue::GetAsText() const {
  switch (type_) {
    case siInt4: return CString(std::to_string(long_).c_str());
    case siBool: return CString(bool_ ? L"true" : L"false");
    case siFloat: {
      char buffer[32];
      auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(double_));
      return CString(std::string(buffer, result.ptr).c_str());
    }
    case siDouble: {
      char buffer[32];
      auto result = std::to_chars(buffer, buffer + sizeof buffer, double_);
      return CString(std::string(buffer, result.ptr).c_str());
    }
    case siString: return string_;
    case siRef: return ref_.GetAsText();
    default: return CString();
  }
}

}  // namespace XSI
