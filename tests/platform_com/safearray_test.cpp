#include <gtest/gtest.h>

#include "platform/com/com.h"

namespace {

// Counts references so that the array's release of interface elements is visible.
struct Counted : IUnknown {
  int refs = 1;
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
};

}  // namespace

TEST(SafeArray, BoundsAndIndexing) {
  SAFEARRAYBOUND bounds[2] = {{3, 1}, {2, -1}};  // first dimension 1..3, second -1..0
  SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(SafeArrayGetDim(psa), 2u);
  EXPECT_EQ(SafeArrayGetElemsize(psa), 4u);
  LONG lb, ub;
  ASSERT_EQ(SafeArrayGetLBound(psa, 1, &lb), S_OK);
  ASSERT_EQ(SafeArrayGetUBound(psa, 1, &ub), S_OK);
  EXPECT_EQ(lb, 1);
  EXPECT_EQ(ub, 3);
  ASSERT_EQ(SafeArrayGetLBound(psa, 2, &lb), S_OK);
  ASSERT_EQ(SafeArrayGetUBound(psa, 2, &ub), S_OK);
  EXPECT_EQ(lb, -1);
  EXPECT_EQ(ub, 0);
  EXPECT_EQ(SafeArrayGetLBound(psa, 3, &lb), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetLBound(psa, 0, &lb), DISP_E_BADINDEX);

  for (LONG j = -1; j <= 0; ++j)
    for (LONG i = 1; i <= 3; ++i) {
      LONG idx[2] = {i, j};
      int32_t v = i * 10 + j;
      ASSERT_EQ(SafeArrayPutElement(psa, idx, &v), S_OK);
    }
  // The first dimension varies fastest in memory.
  int32_t* data;
  ASSERT_EQ(SafeArrayAccessData(psa, reinterpret_cast<void**>(&data)), S_OK);
  EXPECT_EQ(data[0], 9);
  EXPECT_EQ(data[1], 19);
  EXPECT_EQ(data[3], 10);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);  // still accessed
  ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);

  struct {
    LONG i, j;
  } outside[] = {{0, 0}, {4, 0}, {1, -2}, {1, 1}, {LONG(0x80000000), 0}};
  for (auto o : outside) {
    LONG idx[2] = {o.i, o.j};
    int32_t v = 0;
    EXPECT_EQ(SafeArrayGetElement(psa, idx, &v), DISP_E_BADINDEX) << o.i << "," << o.j;
    EXPECT_EQ(SafeArrayPutElement(psa, idx, &v), DISP_E_BADINDEX);
  }
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(SafeArrayCreate(VT_EMPTY, 1, bounds), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, bounds), nullptr);
}

TEST(SafeArray, OwnedElementsAreCopiedAndFreed) {
  // Strings: Put copies, Get returns a fresh copy, Copy duplicates, Redim frees the tail.
  SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 0, 3);
  ASSERT_NE(strings, nullptr);
  BSTR s = SysAllocString(u"hello");
  LONG i = 1;
  ASSERT_EQ(SafeArrayPutElement(strings, &i, s), S_OK);
  SysFreeString(s);
  BSTR got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(strings, &i, &got), S_OK);
  EXPECT_EQ(std::u16string(got, SysStringLen(got)), u"hello");
  SysFreeString(got);
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(strings, &copy), S_OK);
  SAFEARRAYBOUND smaller{1, 0};
  ASSERT_EQ(SafeArrayRedim(strings, &smaller), S_OK);
  LONG ub;
  SafeArrayGetUBound(strings, 1, &ub);
  EXPECT_EQ(ub, 0);
  EXPECT_EQ(SafeArrayGetElement(strings, &i, &got), DISP_E_BADINDEX);
  ASSERT_EQ(SafeArrayGetElement(copy, &i, &got), S_OK);  // the copy kept its own string
  EXPECT_EQ(std::u16string(got, SysStringLen(got)), u"hello");
  SysFreeString(got);
  SAFEARRAYBOUND larger{4, 0};
  ASSERT_EQ(SafeArrayRedim(copy, &larger), S_OK);
  i = 3;
  ASSERT_EQ(SafeArrayGetElement(copy, &i, &got), S_OK);
  EXPECT_EQ(got, nullptr);  // grown elements start empty
  EXPECT_EQ(SafeArrayDestroy(strings), S_OK);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);

  // Interfaces: held references are released on replacement and destroy.
  Counted a, b;
  SAFEARRAY* objects = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
  LONG k = 0;
  ASSERT_EQ(SafeArrayPutElement(objects, &k, static_cast<IUnknown*>(&a)), S_OK);
  EXPECT_EQ(a.refs, 2);
  ASSERT_EQ(SafeArrayPutElement(objects, &k, static_cast<IUnknown*>(&b)), S_OK);
  EXPECT_EQ(a.refs, 1);
  EXPECT_EQ(b.refs, 2);
  // Variants holding an interface go the same way.
  SAFEARRAY* variants = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UNKNOWN;
  v.punkVal = &a;
  ASSERT_EQ(SafeArrayPutElement(variants, &k, &v), S_OK);
  EXPECT_EQ(a.refs, 2);
  ASSERT_EQ(SafeArrayLock(objects), S_OK);
  EXPECT_EQ(SafeArrayDestroy(objects), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayRedim(objects, &smaller), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(b.refs, 2);
  ASSERT_EQ(SafeArrayUnlock(objects), S_OK);
  EXPECT_EQ(SafeArrayDestroy(objects), S_OK);
  EXPECT_EQ(b.refs, 1);
  // A variant owning an array destroys it on clear.
  VARIANT holder;
  VariantInit(&holder);
  holder.vt = VT_ARRAY | VT_VARIANT;
  holder.parray = variants;
  EXPECT_EQ(VariantClear(&holder), S_OK);
  EXPECT_EQ(a.refs, 1);
}
