#pragma once
// Wide-character string of the host, with the operations plug-ins use.

#include <string>

#include "xsi_status.h"

namespace XSI {

class CString {
 public:
  CString() = default;
  CString(const wchar_t* text) : text_(text ? text : L"") {}  // NOLINT: host-style implicit
  CString(const std::wstring& text) : text_(text) {}           // NOLINT
  // Narrow text is read as UTF-8.
  explicit CString(const char* utf8);
  CString(wchar_t character) : text_(1, character) {}  // NOLINT

  const wchar_t* GetWideString() const { return text_.c_str(); }
  // UTF-8 copy of the text (the stand-in's equivalent of the host's ASCII view).
  std::string GetAsciiString() const;
  ULONG Length() const { return static_cast<ULONG>(text_.size()); }
  bool IsEmpty() const { return text_.empty(); }
  void Clear() { text_.clear(); }

  // Index of the first occurrence of `sub` at or after `start`, or UINT_MAX.
  ULONG FindString(const CString& sub, ULONG start = 0) const;
  // Index of the last occurrence of `sub`, or UINT_MAX.
  ULONG ReverseFindString(const CString& sub) const;
  // Characters [start, start + length); length UINT_MAX means to the end.
  CString GetSubString(ULONG start, ULONG length = 0xFFFFFFFFu) const;
  wchar_t GetAt(ULONG index) const { return text_[index]; }
  wchar_t operator[](ULONG index) const { return text_[index]; }

  CString& operator+=(const CString& other) {
    text_ += other.text_;
    return *this;
  }
  CString& operator+=(wchar_t character) {
    text_ += character;
    return *this;
  }
  friend CString operator+(const CString& a, const CString& b) { return CString(a.text_ + b.text_); }
  friend CString operator+(const CString& a, const wchar_t* b) { return CString(a.text_ + b); }
  friend CString operator+(const wchar_t* a, const CString& b) { return CString(a + b.text_); }

  bool IsEqualNoCase(const CString& other) const;
  bool operator==(const CString& other) const { return text_ == other.text_; }
  bool operator!=(const CString& other) const { return text_ != other.text_; }
  bool operator==(const wchar_t* other) const { return text_ == other; }
  bool operator!=(const wchar_t* other) const { return text_ != other; }
  bool operator<(const CString& other) const { return text_ < other.text_; }

  const std::wstring& Native() const { return text_; }

 private:
  std::wstring text_;
};

}  // namespace XSI
