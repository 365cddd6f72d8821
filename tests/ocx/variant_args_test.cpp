// The argument readers, result writers and string conversions every control method uses.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "ocx/variant_args.h"

namespace {

VARIANT Of(VARTYPE vt) {
  VARIANT v{};
  v.vt = vt;
  return v;
}
VARIANT I2(int16_t x) {
  VARIANT v = Of(VT_I2);
  v.iVal = x;
  return v;
}
VARIANT I4(int32_t x) {
  VARIANT v = Of(VT_I4);
  v.lVal = x;
  return v;
}
VARIANT R8(double x) {
  VARIANT v = Of(VT_R8);
  v.dblVal = x;
  return v;
}
VARIANT Str(const char16_t* s) {
  VARIANT v = Of(VT_BSTR);
  v.bstrVal = SysAllocString(s);
  return v;
}

struct ReaderCase {
  const char* what;
  VARIANT arg;
  HRESULT hr64, hrU32, hrI32;
  uint64_t u64;
  uint32_t u32;
  int32_t i32;
};

TEST(VariantReaders, TableOfTypesAndValues) {
  int32_t byRefValue = -5;
  VARIANT byRef = Of(VT_BYREF | VT_I4);
  byRef.plVal = &byRefValue;
  double bigValue = 5e9;
  VARIANT byRefBig = Of(VT_BYREF | VT_R8);
  byRefBig.pdblVal = &bigValue;
  VARIANT byRefNull = Of(VT_BYREF | VT_I4);
  const ReaderCase cases[] = {
      {"missing", Of(VT_ERROR), S_OK, S_OK, S_OK, 0, 0, 0},
      {"empty", Of(VT_EMPTY), S_OK, S_OK, S_OK, 0, 0, 0},
      {"I2 -1", I2(-1), S_OK, S_OK, S_OK, 65535, 65535, -1},
      {"I4 -1", I4(-1), S_OK, S_OK, S_OK, 65535, 65535, -1},
      {"I4 -40000", I4(-40000), S_OK, S_OK, S_OK, 4294967296ull - 40000, 4294967296u - 40000, -40000},
      {"R8 1.9", R8(1.9), S_OK, S_OK, S_OK, 1, 2, 2},  // the 32-bit readers round through VT_I4
      {"R8 2.5", R8(2.5), S_OK, S_OK, S_OK, 2, 2, 2},  // half to even
      {"R8 5e9", R8(5e9), S_OK, DISP_E_OVERFLOW, DISP_E_OVERFLOW, 5000000000ull, 0, 0},
      {"R8 NaN", R8(std::nan("")), DISP_E_OVERFLOW, DISP_E_OVERFLOW, DISP_E_OVERFLOW, 0, 0, 0},
      {"text 12", Str(u"12"), S_OK, S_OK, S_OK, 12, 12, 12},
      {"text &H1F", Str(u"&H1F"), S_OK, S_OK, S_OK, 31, 31, 31},
      {"text letters", Str(u"abc"), DISP_E_TYPEMISMATCH, DISP_E_TYPEMISMATCH, DISP_E_TYPEMISMATCH, 0, 0, 0},
      {"by reference", byRef, S_OK, S_OK, S_OK, 65531, 65531, -5},
      // A by-reference argument goes through VT_I4 first, also for the 64-bit reader.
      {"by reference 5e9", byRefBig, DISP_E_OVERFLOW, DISP_E_OVERFLOW, DISP_E_OVERFLOW, 0, 0, 0},
      {"null reference", byRefNull, E_INVALIDARG, E_INVALIDARG, E_INVALIDARG, 0, 0, 0},
  };
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.what);
    uint64_t u64 = 99;
    uint32_t u32 = 99;
    int32_t i32 = 99;
    EXPECT_EQ(ocx::VariantToUInt64(&c.arg, &u64), c.hr64);
    EXPECT_EQ(ocx::VariantToUInt32(&c.arg, &u32), c.hrU32);
    EXPECT_EQ(ocx::VariantToInt32(&c.arg, &i32), c.hrI32);
    EXPECT_EQ(u64, c.u64);
    EXPECT_EQ(u32, c.u32);
    EXPECT_EQ(i32, c.i32);
  }
  for (const ReaderCase& c : cases) VariantClear(const_cast<VARIANT*>(&c.arg));
  VARIANT any = I4(1);
  EXPECT_EQ(ocx::VariantToUInt64(&any, nullptr), E_INVALIDARG);
  EXPECT_EQ(ocx::VariantToUInt32(&any, nullptr), E_INVALIDARG);
  EXPECT_EQ(ocx::VariantToInt32(&any, nullptr), E_INVALIDARG);
}

TEST(VariantWriters, ByReferenceTargetsKeepTheCallersType) {
  int16_t i2 = 7;
  VARIANT toI2 = Of(VT_BYREF | VT_I2);
  toI2.piVal = &i2;
  EXPECT_EQ(ocx::SetVariantLong(&toI2, 40000), ocx::kCtlErrorOverflow);
  EXPECT_EQ(ocx::SetVariantLong(&toI2, -40000), ocx::kCtlErrorOverflow);  // refused too, not cut to 16 bits
  EXPECT_EQ(i2, 7);
  EXPECT_EQ(ocx::SetVariantLong(&toI2, -32768), S_OK);
  EXPECT_EQ(i2, -32768);
  // The 64-bit writer checks the whole value: 2^32 + 5 is not 5.
  EXPECT_EQ(ocx::SetVariantInt64(&toI2, 4294967301LL), ocx::kCtlErrorOverflow);
  EXPECT_EQ(i2, -32768);

  int32_t i4 = 1;
  VARIANT toI4 = Of(VT_BYREF | VT_I4);
  toI4.plVal = &i4;
  EXPECT_EQ(ocx::SetVariantInt64(&toI4, 5000000000LL), ocx::kCtlErrorOverflow);
  EXPECT_EQ(ocx::SetVariantInt64(&toI4, -1), ocx::kCtlErrorOverflow);
  EXPECT_EQ(ocx::SetVariantLong(&toI4, -1), S_OK);
  EXPECT_EQ(i4, -1);

  double r8 = 0;
  VARIANT toR8 = Of(VT_BYREF | VT_R8);
  toR8.pdblVal = &r8;
  EXPECT_EQ(ocx::SetVariantInt64(&toR8, 5000000000LL), S_OK);
  EXPECT_EQ(r8, 5e9);

  BSTR text = SysAllocString(u"old");
  VARIANT toText = Of(VT_BYREF | VT_BSTR);
  toText.pbstrVal = &text;
  EXPECT_EQ(ocx::SetVariantInt64(&toText, 5000000000LL), S_OK);
  EXPECT_EQ(std::u16string(text), u"5000000000");
  EXPECT_EQ(ocx::SetVariantStringA(&toText, "gr\xC3\xBC\xC3\x9F"), S_OK);
  EXPECT_EQ(std::u16string(text), u"gr\u00FC\u00DF");
  EXPECT_EQ(ocx::SetVariantBSTR(&toText, nullptr), S_OK);
  EXPECT_EQ(text, nullptr);
  // Strings go only into by-reference BSTRs.
  EXPECT_EQ(ocx::SetVariantBSTR(&toI4, u"x"), DISP_E_TYPEMISMATCH);
  SysFreeString(text);
}

TEST(VariantWriters, ByValueTargetsAndRefusedTargets) {
  VARIANT v = Str(u"replaced");
  EXPECT_EQ(ocx::SetVariantInt64(&v, 5000000000LL), S_OK);
  EXPECT_EQ(v.vt, VT_R8);
  EXPECT_EQ(v.dblVal, 5e9);
  EXPECT_EQ(ocx::SetVariantInt64(&v, 0x7FFFFFFF), S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(ocx::SetVariantInt64(&v, -5000000000LL), S_OK);  // below the 32-bit range: a double, not cut bits
  EXPECT_EQ(v.vt, VT_R8);
  EXPECT_EQ(v.dblVal, -5e9);
  EXPECT_EQ(ocx::SetVariantStringA(&v, "text"), S_OK);
  EXPECT_EQ(v.vt, VT_BSTR);

  // Through a VT_BYREF|VT_VARIANT wrapper the caller's own VARIANT changes.
  VARIANT wrapper = Of(VT_BYREF | VT_VARIANT);
  wrapper.pvarVal = &v;
  EXPECT_EQ(ocx::SetVariantLong(&wrapper, 42), S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 42);

  VARIANT omitted = Of(VT_ERROR);
  VARIANT nullWrapper = Of(VT_BYREF | VT_VARIANT);
  VARIANT array = Of(VT_ARRAY | VT_I4);
  VARIANT byRefArray = Of(VT_BYREF | VT_ARRAY | VT_I4);
  SAFEARRAY* psa = nullptr;
  byRefArray.pparray = &psa;
  VARIANT nullRef = Of(VT_BYREF | VT_I4);
  VARIANT dateRef = Of(VT_BYREF | VT_DATE);
  DATE d = 0;
  dateRef.pdate = &d;
  struct {
    VARIANT* target;
    HRESULT hr;
  } refused[] = {{nullptr, E_INVALIDARG},         {&omitted, E_INVALIDARG},     {&nullWrapper, E_INVALIDARG},
                 {&array, DISP_E_TYPEMISMATCH},    {&byRefArray, DISP_E_TYPEMISMATCH},
                 {&nullRef, E_INVALIDARG},         {&dateRef, DISP_E_TYPEMISMATCH}};
  for (auto& r : refused) {
    EXPECT_EQ(ocx::SetVariantLong(r.target, 1), r.hr);
    EXPECT_EQ(ocx::SetVariantInt64(r.target, 1), r.hr);
    EXPECT_EQ(ocx::SetVariantStringA(r.target, "x"), r.hr == E_INVALIDARG ? E_INVALIDARG : DISP_E_TYPEMISMATCH);
  }
  VariantClear(&v);
}

TEST(Utf, LongTextsGoThroughHeapStorage) {
  // Far beyond any stack buffer of four bytes per character.
  std::u16string huge(3'000'000, u'\u20AC');
  std::string utf8 = ocx::Utf16ToUtf8(huge.c_str());
  EXPECT_EQ(utf8.size(), 9'000'000u);
  BSTR back = ocx::Utf8ToUtf16(utf8.c_str());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(SysStringLen(back), huge.size());
  SysFreeString(back);
  EXPECT_EQ(ocx::Utf16ToUtf8(static_cast<const OLECHAR*>(nullptr)), "");
  EXPECT_EQ(ocx::Utf8ToUtf16(nullptr), nullptr);
}

TEST(VariantToText, ConvertsOrRefuses) {
  std::u16string out;
  VARIANT n = I4(-12);
  EXPECT_EQ(ocx::VariantToText(n, &out), S_OK);
  EXPECT_EQ(out, u"-12");
  VARIANT missing = Of(VT_ERROR);
  missing.scode = DISP_E_PARAMNOTFOUND;
  EXPECT_EQ(ocx::VariantToText(missing, &out, u"File1"), S_OK);
  EXPECT_EQ(out, u"File1");
  EXPECT_LT(ocx::VariantToText(missing, &out), 0);
}

// The conversions the readers lean on, on the platform's VariantChangeType.
TEST(VariantChangeTypeTable, ConversionsControlsRelyOn) {
  struct {
    VARIANT in;
    VARTYPE to;
    HRESULT hr;
    double expect;
  } cases[] = {
      {R8(1.5), VT_I4, S_OK, 2},          {R8(2.5), VT_I4, S_OK, 2},           {R8(-2.5), VT_I4, S_OK, -2},
      {R8(3e9), VT_I4, DISP_E_OVERFLOW, 0}, {I4(70000), VT_I2, DISP_E_OVERFLOW, 0}, {Str(u"  42 "), VT_I4, S_OK, 42},
      {Str(u"&HFF"), VT_I4, S_OK, 255},   {Str(u"1e3"), VT_R8, S_OK, 1000},   {Str(u"12x"), VT_I4, DISP_E_TYPEMISMATCH, 0},
      {Str(u""), VT_I4, DISP_E_TYPEMISMATCH, 0},
  };
  for (auto& c : cases) {
    VARIANT out{};
    HRESULT hr = VariantChangeType(&out, &c.in, 0, c.to);
    EXPECT_EQ(hr, c.hr);
    if (SUCCEEDED(hr)) {
      EXPECT_EQ(c.to == VT_R8 ? out.dblVal : c.to == VT_I4 ? out.lVal : out.iVal, c.expect);
    }
    VariantClear(&out);
    VariantClear(&c.in);
  }
}

}  // namespace
