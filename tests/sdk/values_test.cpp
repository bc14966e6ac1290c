#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>

#include "xsi_arrays.h"
#include "xsi_string.h"
#include "xsi_value.h"

using XSI::CString;
using XSI::CValue;
using XSI::LONG;

TEST(CValue, IntegerTextIsPlainDecimal) {
  EXPECT_EQ(CValue(LONG{12}).GetAsText(), L"12");
  EXPECT_EQ(CValue(LONG{-3}).GetAsText(), L"-3");
  EXPECT_EQ(CValue(LONG{0}).GetAsText(), L"0");
  EXPECT_EQ(CValue(LONG{INT_MIN}).GetAsText(), L"-2147483648");
}

TEST(CValue, RealToLongTruncatesAndClamps) {
  EXPECT_EQ(static_cast<LONG>(CValue(2.9)), 2);
  EXPECT_EQ(static_cast<LONG>(CValue(-2.9)), -2);
  EXPECT_EQ(static_cast<LONG>(CValue(1e30)), INT_MAX);
  EXPECT_EQ(static_cast<LONG>(CValue(-1e30)), INT_MIN);
  EXPECT_EQ(static_cast<LONG>(CValue(std::nan(""))), 0);
  EXPECT_EQ(static_cast<LONG>(CValue(HUGE_VAL)), INT_MAX);
}

TEST(CValue, ConversionsBetweenKinds) {
  EXPECT_TRUE(static_cast<bool>(CValue(LONG{2})));
  EXPECT_FALSE(static_cast<bool>(CValue(0.0)));
  EXPECT_EQ(static_cast<float>(CValue(0.1)), 0.1f);
  EXPECT_EQ(static_cast<double>(CValue(true)), 1.0);
  EXPECT_EQ(static_cast<CString>(CValue(CString(L"a b"))), L"a b");
  int x = 0;
  EXPECT_EQ(static_cast<void*>(CValue(static_cast<void*>(&x))), &x);
  EXPECT_EQ(static_cast<void*>(CValue()), nullptr);
  EXPECT_FALSE(static_cast<XSI::CRef>(CValue(LONG{1})).IsValid());
}

TEST(CString, FindReplaceAndSubstrings) {
  const CString s(L"a.polymsh.b.polymsh");
  EXPECT_EQ(s.FindString(L".polymsh"), 1u);
  EXPECT_EQ(s.ReverseFindString(L".polymsh"), 11u);
  EXPECT_EQ(s.FindString(L"nope"), UINT_MAX);
  EXPECT_EQ(s.GetSubString(2, 7), L"polymsh");
  EXPECT_EQ(s.GetSubString(11), L".polymsh");
  EXPECT_EQ(s.GetSubString(99), L"");
  CString t(L"ab");
  t += L'c';
  EXPECT_EQ(t + L"d", L"abcd");
}

TEST(CString, Utf8RoundTrip) {
  const CString s("D:\\sim\\blöb \xe2\x82\xac");
  EXPECT_EQ(s.Length(), 13u);
  EXPECT_EQ(s.GetAsciiString(), "D:\\sim\\blöb \xe2\x82\xac");
  EXPECT_EQ(CString("\xff").GetAt(0), L'\uFFFD');
}

TEST(ValueArrays, ResizeKeepsLeadingElementsAndRefusesNegative) {
  XSI::CLongArray a;
  a.Add(5);
  a.Add(6);
  EXPECT_EQ(a.Resize(3), XSI::CStatus::OK);
  EXPECT_EQ(a[0], 5);
  EXPECT_EQ(a[2], 0);
  EXPECT_NE(a.Resize(-1), XSI::CStatus::OK);
  EXPECT_EQ(a.GetCount(), 3);
  XSI::CBoolArray b(2);
  b.Set(1, true);
  EXPECT_FALSE(b[0]);
  EXPECT_TRUE(b[1]);
}

namespace {
struct Pair {
  double x, y;
};
// Two adjacent double -> float -> double conversions: the pattern an
// optimiser once folded into a plain copy, dropping the rounding.
__attribute__((noinline)) Pair RoundThroughFloat(const Pair& p) {
  return Pair{static_cast<double>(static_cast<float>(p.x)), static_cast<double>(static_cast<float>(p.y))};
}
}  // namespace

TEST(BuildConfiguration, RoundingThroughFloatIsKept) {
  const Pair rounded = RoundThroughFloat(Pair{0.1, 0.2});
  EXPECT_EQ(rounded.x, static_cast<double>(0.1f));
  EXPECT_EQ(rounded.y, static_cast<double>(0.2f));
  EXPECT_NE(rounded.x, 0.1);
}
