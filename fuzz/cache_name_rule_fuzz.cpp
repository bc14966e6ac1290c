// Arbitrary bytes as a "Cache_filename" value (UTF-32 code units, so any
// wchar_t reaches the rule), reduced by ApplyCacheFileNameRule. Checks what
// the rule promises: a refused name comes back empty; an accepted one has a
// non-empty base name without ':' after its last separator, "\" as the only
// separator, no character a file name may not hold, and no blank at either end.

#include <cstdint>
#include <cstring>
#include <string>

#include "front/parameters.h"
#include "fuzz_check.h"
#include "xsi_string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring text(size / sizeof(wchar_t), L'\0');
  if (!text.empty()) std::memcpy(text.data(), data, text.size() * sizeof(wchar_t));
  XSI::CString name(text);
  const bool usable = ApplyCacheFileNameRule(name);
  const std::wstring result = name.Native();
  if (!usable) {
    FUZZ_CHECK(result.empty());
    return 0;
  }
  FUZZ_CHECK(!result.empty());
  FUZZ_CHECK(result.find_first_of(L"/*?\"<>|") == std::wstring::npos);
  FUZZ_CHECK(result.find(L'\0') == std::wstring::npos);
  const size_t lastSlash = result.rfind(L'\\');
  const std::wstring base = lastSlash == std::wstring::npos ? result : result.substr(lastSlash + 1);
  FUZZ_CHECK(!base.empty() && base.find(L':') == std::wstring::npos);
  // The result is the input's own prefix (blanks trimmed, "/" read as "\").
  std::wstring trimmed = text.substr(text.find_first_not_of(L' '));
  for (wchar_t& c : trimmed) {
    if (c == L'/') c = L'\\';
  }
  FUZZ_CHECK(trimmed.compare(0, result.size(), result) == 0);
  // The frame's file name built from it (what the grid cache opens) converts.
  const std::string path = (name + L".1.grd").GetAsciiString();
  FUZZ_CHECK(!path.empty());
  return 0;
}
