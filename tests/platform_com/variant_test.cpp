#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/com/com.h"

namespace {

std::u16string Text(const VARIANT& v) { return std::u16string(v.bstrVal, SysStringLen(v.bstrVal)); }

VARIANT I4(int32_t x) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = x;
  return v;
}
VARIANT R8(double x) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_R8;
  v.dblVal = x;
  return v;
}
VARIANT Str(const char16_t* s) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(s);
  return v;
}

}  // namespace

TEST(Bstr, LengthPrefixedAndEmbeddedNulsKept) {
  BSTR b = SysAllocStringLen(u"a\0b", 3);
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(SysStringByteLen(b), 6u);
  EXPECT_EQ(b[3], 0);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  // Reallocating from a part of itself is allowed.
  ASSERT_TRUE(SysReAllocStringLen(&b, b + 2, 1));
  EXPECT_EQ(std::u16string(b, SysStringLen(b)), u"b");
  SysFreeString(b);
  SysFreeString(nullptr);
}

struct Conversion {
  VARIANT (*make)();
  VARTYPE to;
  HRESULT hr;
  double number;            // expected numeric value when hr is S_OK and the target is a number
  const char16_t* text;     // expected text when the target is VT_BSTR
};

TEST(VariantChangeType, ConversionTable) {
  const Conversion table[] = {
      // Floats to integers round half to even.
      {[] { return R8(2.5); }, VT_I4, S_OK, 2, nullptr},
      {[] { return R8(3.5); }, VT_I4, S_OK, 4, nullptr},
      {[] { return R8(-2.5); }, VT_I2, S_OK, -2, nullptr},
      {[] { return R8(1.9); }, VT_I4, S_OK, 2, nullptr},
      {[] { return R8(32767.5); }, VT_I2, DISP_E_OVERFLOW, 0, nullptr},
      {[] { return R8(2147483647.4); }, VT_I4, S_OK, 2147483647, nullptr},
      {[] { return R8(1e300); }, VT_I8, DISP_E_OVERFLOW, 0, nullptr},
      {[] { return R8(NAN); }, VT_I4, DISP_E_OVERFLOW, 0, nullptr},
      {[] { return R8(1e300); }, VT_R4, DISP_E_OVERFLOW, 0, nullptr},
      // Integer ranges.
      {[] { return I4(40000); }, VT_I2, DISP_E_OVERFLOW, 0, nullptr},
      {[] { return I4(-1); }, VT_UI4, DISP_E_OVERFLOW, 0, nullptr},
      {[] { return I4(255); }, VT_UI1, S_OK, 255, nullptr},
      {[] { return I4(256); }, VT_UI1, DISP_E_OVERFLOW, 0, nullptr},
      // Text to numbers: decimal and &H hex.
      {[] { return Str(u" 12 "); }, VT_I4, S_OK, 12, nullptr},
      {[] { return Str(u"-7.5"); }, VT_I4, S_OK, -8, nullptr},
      {[] { return Str(u"1e3"); }, VT_I2, S_OK, 1000, nullptr},
      {[] { return Str(u"&H1F"); }, VT_I4, S_OK, 31, nullptr},
      {[] { return Str(u"&HFFFF"); }, VT_I4, S_OK, -1, nullptr},
      {[] { return Str(u"&H10000"); }, VT_I4, S_OK, 65536, nullptr},
      {[] { return Str(u"&HFFFFFFFF"); }, VT_I4, S_OK, -1, nullptr},
      {[] { return Str(u"99999999999999999999"); }, VT_I8, DISP_E_OVERFLOW, 0, nullptr},
      {[] { return Str(u"3000000000"); }, VT_I4, DISP_E_OVERFLOW, 0, nullptr},
      {[] { return Str(u"abc"); }, VT_I4, DISP_E_TYPEMISMATCH, 0, nullptr},
      {[] { return Str(u""); }, VT_R8, DISP_E_TYPEMISMATCH, 0, nullptr},
      {[] { return Str(u"1,000"); }, VT_I4, DISP_E_TYPEMISMATCH, 0, nullptr},
      {[] { return Str(u"&H"); }, VT_I4, DISP_E_TYPEMISMATCH, 0, nullptr},
      {[] { return Str(u"1.5.2"); }, VT_R8, DISP_E_TYPEMISMATCH, 0, nullptr},
      {[] { return Str(u"0.25"); }, VT_R8, S_OK, 0.25, nullptr},
      {[] { return Str(u"True"); }, VT_BOOL, S_OK, -1, nullptr},
      {[] { return Str(u"0"); }, VT_BOOL, S_OK, 0, nullptr},
      // Numbers, booleans and empties to text.
      {[] { return I4(-42); }, VT_BSTR, S_OK, 0, u"-42"},
      {[] { return R8(0.5); }, VT_BSTR, S_OK, 0, u"0.5"},
      {[] { VARIANT v; VariantInit(&v); v.vt = VT_BOOL; v.boolVal = VARIANT_TRUE; return v; }, VT_BSTR, S_OK, 0, u"-1"},
      {[] { VARIANT v; VariantInit(&v); return v; }, VT_BSTR, S_OK, 0, u""},
      {[] { VARIANT v; VariantInit(&v); return v; }, VT_I4, S_OK, 0, nullptr},
      // Null and error values convert to nothing else.
      {[] { VARIANT v; VariantInit(&v); v.vt = VT_NULL; return v; }, VT_I4, DISP_E_TYPEMISMATCH, 0, nullptr},
      {[] { VARIANT v; VariantInit(&v); v.vt = VT_ERROR; v.scode = DISP_E_PARAMNOTFOUND; return v; }, VT_BSTR,
       DISP_E_TYPEMISMATCH, 0, nullptr},
      // Unknown type codes.
      {[] { VARIANT v; VariantInit(&v); v.vt = 0x7F; return v; }, VT_I4, DISP_E_BADVARTYPE, 0, nullptr},
      {[] { return I4(1); }, VARTYPE(0x7F), DISP_E_BADVARTYPE, 0, nullptr},
  };
  int row = 0;
  for (const Conversion& c : table) {
    SCOPED_TRACE(row++);
    VARIANT src = c.make();
    VARIANT dst;
    VariantInit(&dst);
    HRESULT hr = VariantChangeType(&dst, &src, 0, c.to);
    EXPECT_EQ(hr, c.hr);
    if (hr == S_OK) {
      EXPECT_EQ(dst.vt, c.to);
      if (c.to == VT_BSTR) {
        EXPECT_EQ(Text(dst), c.text);
      } else {
        VARIANT asR8;
        VariantInit(&asR8);
        ASSERT_EQ(VariantChangeType(&asR8, &dst, 0, VT_R8), S_OK);
        EXPECT_EQ(asR8.dblVal, c.number);
      }
    } else {
      EXPECT_EQ(dst.vt, VT_EMPTY);  // a failed conversion leaves the target alone
    }
    VariantClear(&dst);
    VariantClear(&src);
  }
}

TEST(VariantChangeType, InPlaceByReferenceAndDates) {
  // In place: the string is freed and replaced by the number.
  VARIANT v = Str(u"&H7FFF");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I2), S_OK);
  EXPECT_EQ(v.vt, VT_I2);
  EXPECT_EQ(v.iVal, 32767);
  // A by-reference source is followed.
  int16_t target = -5;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_I2;
  ref.piVal = &target;
  VARIANT out;
  VariantInit(&out);
  ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_BSTR), S_OK);
  EXPECT_EQ(Text(out), u"-5");
  VariantClear(&out);
  // Dates: text in both directions, the date alone at midnight, the time alone on day 0.
  struct {
    const char16_t* in;
    const char16_t* out;
  } dates[] = {{u"7/4/2021 1:02:03 PM", u"7/4/2021 1:02:03 PM"},
               {u"2021-07-04T13:02:03Z", u"7/4/2021 1:02:03 PM"},
               {u"12/31/1999", u"12/31/1999"},
               {u"0:30:00", u"12:30:00 AM"}};
  for (const auto& d : dates) {
    VARIANT s = Str(d.in), date, back;
    VariantInit(&date);
    VariantInit(&back);
    ASSERT_EQ(VariantChangeType(&date, &s, 0, VT_DATE), S_OK) << std::string(d.in, d.in + 4);
    ASSERT_EQ(VariantChangeType(&back, &date, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Text(back), d.out);
    VariantClear(&s);
    VariantClear(&back);
  }
  VARIANT bad = Str(u"13/45/2020");
  EXPECT_EQ(VariantChangeType(&out, &bad, 0, VT_DATE), DISP_E_TYPEMISMATCH);
  VariantClear(&bad);
  SYSTEMTIME st{};
  ASSERT_TRUE(VariantTimeToSystemTime(2.5, &st));
  EXPECT_EQ(st.wYear, 1900);
  EXPECT_EQ(st.wDay, 1);
  EXPECT_EQ(st.wHour, 12);
  EXPECT_FALSE(VariantTimeToSystemTime(1e9, &st));
}

TEST(Variant, CopyAndCopyIndOwnTheirContent) {
  VARIANT a = Str(u"text"), b, c;
  VariantInit(&b);
  VariantInit(&c);
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_NE(b.bstrVal, a.bstrVal);
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_VARIANT;
  ref.pvarVal = &a;
  ASSERT_EQ(VariantCopyInd(&c, &ref), S_OK);
  EXPECT_EQ(c.vt, VT_BSTR);
  EXPECT_NE(c.bstrVal, a.bstrVal);
  EXPECT_EQ(Text(c), u"text");
  // Clearing a by-reference variant does not free what it points to.
  ASSERT_EQ(VariantClear(&ref), S_OK);
  EXPECT_EQ(Text(a), u"text");
  VARIANT nullRef;
  VariantInit(&nullRef);
  nullRef.vt = VT_BYREF | VT_I4;
  EXPECT_EQ(VariantCopyInd(&c, &nullRef), E_INVALIDARG);
  VARIANT badType;
  VariantInit(&badType);
  badType.vt = 0x7F;
  EXPECT_EQ(VariantClear(&badType), DISP_E_BADVARTYPE);
  VariantClear(&a);
  VariantClear(&b);
  VariantClear(&c);
}
