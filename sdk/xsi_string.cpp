#include "xsi_string.h"

#include <climits>
#include <cwctype>

namespace XSI {

namespace {

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

CString::CString(const char* utf8) {
  if (!utf8) return;
  // Decode UTF-8; malformed bytes become U+FFFD so no input is lost silently.
  const auto* s = reinterpret_cast<const unsigned char*>(utf8);
  while (*s) {
    char32_t c = *s;
    int extra = 0;
    if (c < 0x80) {
      extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
      c &= 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      c &= 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      c &= 0x07;
      extra = 3;
    } else {
      text_ += L'\uFFFD';
      ++s;
      continue;
    }
    ++s;
    bool ok = true;
    for (int n = 0; n < extra; ++n) {
      if ((*s & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (*s & 0x3F);
      ++s;
    }
    text_ += ok ? static_cast<wchar_t>(c) : L'\uFFFD';
  }
}

std::string CString::GetAsciiString() const {
  std::string out;
  out.reserve(text_.size());
  for (wchar_t c : text_) AppendUtf8(out, static_cast<char32_t>(c));
  return out;
}

ULONG CString::FindString(const CString& sub, ULONG start) const {
  const auto at = text_.find(sub.text_, start);
  return at == std::wstring::npos ? UINT_MAX : static_cast<ULONG>(at);
}

ULONG CString::ReverseFindString(const CString& sub) const {
  const auto at = text_.rfind(sub.text_);
  return at == std::wstring::npos ? UINT_MAX : static_cast<ULONG>(at);
}

CString CString::GetSubString(ULONG start, ULONG length) const {
  if (start >= text_.size()) return CString();
  return CString(text_.substr(start, length == UINT_MAX ? std::wstring::npos : length));
}

bool CString::IsEqualNoCase(const CString& other) const {
  if (text_.size() != other.text_.size()) return false;
  for (size_t i = 0; i < text_.size(); ++i) {
    if (std::towlower(text_[i]) != std::towlower(other.text_[i])) return false;
  }
  return true;
}

}  // namespace XSI
