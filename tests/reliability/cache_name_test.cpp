// Cache file names that would make the cache land somewhere other than where
// the name says.

#include <gtest/gtest.h>

#include <string>

#include "front/parameters.h"
#include "xsi_string.h"

// The file layer stops reading a name at a NUL: "keep\0.obj" would put frame
// 1's cache into a file called "keep" (anything the user had there lost).
TEST(CacheFileNameRule, RefusesANameWithANul) {
  for (const std::wstring& text : {std::wstring(L"keep\0.obj", 9), std::wstring(L"dir\0/take.grd", 13),
                                  std::wstring(L"take.grd\0", 9), std::wstring(1, L'\0')}) {
    SCOPED_TRACE(XSI::CString(text).GetAsciiString());
    XSI::CString name(text);
    EXPECT_FALSE(ApplyCacheFileNameRule(name));
    EXPECT_TRUE(name.IsEmpty());
  }
  XSI::CString plain(L"cache/take.0001.grd");
  EXPECT_TRUE(ApplyCacheFileNameRule(plain));
  EXPECT_EQ(plain, XSI::CString(L"cache\\take"));
}
