#include <gtest/gtest.h>
#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/base/utf.h"
#include "platform/registry/registry.h"
#include "test_object.h"

namespace {

class ClassLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/cvcomXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    setenv("CV_REGISTRY_ROOT", dir_.c_str(), 1);
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    Register("Test.Object.1", "{6C1B7E52-3D0A-4F51-9B0E-7A1D2C3B4A03}", CV_TEST_COM_MODULE);
    // Version-independent ProgID through CurVer, in the user's classes.
    plat::RegSetString(plat::HKEY_CURRENT_USER, "Software\\Classes\\Test.Object\\CurVer", "", "Test.Object.1");
  }
  void TearDown() override {
    CoUninitialize();
    std::filesystem::remove_all(dir_);
  }
  static void Register(const std::string& progId, const std::string& clsid, const std::string& path) {
    using namespace plat;
    ASSERT_EQ(RegSetString(HKEY_CLASSES_ROOT, (progId + "\\CLSID").c_str(), "", clsid), ERROR_SUCCESS);
    ASSERT_EQ(RegSetString(HKEY_CLASSES_ROOT, ("CLSID\\" + clsid + "\\ProgID").c_str(), "", progId), ERROR_SUCCESS);
    ASSERT_EQ(RegSetString(HKEY_CLASSES_ROOT, ("CLSID\\" + clsid + "\\InprocServer32").c_str(), "", path),
              ERROR_SUCCESS);
  }
  std::filesystem::path dir_;
};

}  // namespace

TEST(Guid, TextRoundTrip) {
  OLECHAR buf[39];
  ASSERT_EQ(StringFromGUID2(IID_IDispatch, buf, 39), 39);
  EXPECT_EQ(std::u16string(buf), u"{00020400-0000-0000-C000-000000000046}");
  EXPECT_EQ(StringFromGUID2(IID_IDispatch, buf, 38), 0);
  CLSID back;
  ASSERT_EQ(CLSIDFromString(u"{00020400-0000-0000-c000-000000000046}", &back), S_OK);
  EXPECT_TRUE(back == IID_IDispatch);
  for (const char16_t* bad : {u"{00020400-0000-0000-C000-00000000004}", u"{00020400-0000-0000-C000-00000000004G}",
                              u"{00020400+0000-0000-C000-000000000046}"})
    EXPECT_EQ(CLSIDFromString(bad, &back), CO_E_CLASSSTRING);
}

TEST_F(ClassLookupTest, CreateByProgIdAndCallByName) {
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID(u"test.object", &clsid), S_OK);  // through CurVer, any case
  EXPECT_TRUE(clsid == testcom::CLSID_TestObject);
  LPOLESTR progId = nullptr;
  ASSERT_EQ(ProgIDFromCLSID(clsid, &progId), S_OK);
  EXPECT_EQ(std::u16string(progId), u"Test.Object.1");
  CoTaskMemFree(progId);

  IDispatch* disp = nullptr;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&disp)),
            S_OK);
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"ADD")};
  DISPID id;
  ASSERT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
  VARIANT args[2], sum;
  VariantInit(&sum);
  args[1].vt = VT_I4;
  args[1].lVal = 20;
  args[0].vt = VT_I4;
  args[0].lVal = 22;
  VARIANT ref;
  ref.vt = VT_BYREF | VT_VARIANT;
  ref.pvarVal = &sum;
  VARIANT all[3] = {ref, args[0], args[1]};
  DISPPARAMS dp{all, nullptr, 3, 0};
  ASSERT_EQ(disp->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &dp, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(sum.lVal, 42);

  // The module was loaded once and is reused; DllCanUnloadNow follows the objects.
  void* handle = dlopen(CV_TEST_COM_MODULE, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(handle, "DllCanUnloadNow"));
  ASSERT_NE(canUnload, nullptr);
  EXPECT_EQ(canUnload(), S_FALSE);
  disp->Release();
  EXPECT_EQ(canUnload(), S_OK);
  dlclose(handle);
}

TEST_F(ClassLookupTest, LookupFailures) {
  CLSID clsid;
  EXPECT_EQ(CLSIDFromProgID(u"No.Such.Thing", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromString(u"No.Such.Thing", &clsid), CO_E_CLASSSTRING);
  CLSID unregistered = testcom::CLSID_TestObject;
  unregistered.Data1 ^= 1;
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(CoCreateInstance(unregistered, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(p, nullptr);
  LPOLESTR progId;
  EXPECT_EQ(ProgIDFromCLSID(unregistered, &progId), REGDB_E_CLASSNOTREG);
  // A registered module without DllGetClassObject, and a path that does not exist.
  Register("No.Entry", "{6C1B7E52-3D0A-4F51-9B0E-7A1D2C3B4A10}", CV_TEST_PLAT_MODULE);
  Register("No.File", "{6C1B7E52-3D0A-4F51-9B0E-7A1D2C3B4A11}", (dir_ / "missing.so").string());
  ASSERT_EQ(CLSIDFromProgID(u"No.Entry", &clsid), S_OK);
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), CO_E_ERRORINDLL);
  ASSERT_EQ(CLSIDFromProgID(u"No.File", &clsid), S_OK);
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), CO_E_DLLNOTFOUND);
  // An interface the object does not have, aggregation it refuses.
  EXPECT_EQ(CoCreateInstance(testcom::CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject, &p),
            E_NOINTERFACE);
  IUnknown* outer = reinterpret_cast<IUnknown*>(&clsid);
  EXPECT_EQ(CoCreateInstance(testcom::CLSID_TestObject, outer, CLSCTX_INPROC_SERVER, IID_IDispatch, &p),
            CLASS_E_NOAGGREGATION);
}

TEST(Apartment, InitialiseCountsAndGuardsCreation) {
  void* p = nullptr;
  EXPECT_EQ(CoCreateInstance(testcom::CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
            CO_E_NOTINITIALIZED);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(CoCreateInstance(testcom::CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
            CO_E_NOTINITIALIZED);
}

TEST(MemStream, ReadWriteSeek) {
  const BYTE init[] = {1, 2, 3};
  IStream* s = SHCreateMemStream(init, 3);
  ASSERT_NE(s, nullptr);
  LARGE_INTEGER end{};
  ASSERT_EQ(s->Seek(end, STREAM_SEEK_END, nullptr), S_OK);
  int32_t extent[2] = {741, 741};
  ASSERT_EQ(s->Write(extent, sizeof extent, nullptr), S_OK);
  LARGE_INTEGER start{};
  s->Seek(start, STREAM_SEEK_SET, nullptr);
  BYTE back[16];
  ULONG got = 0;
  EXPECT_EQ(s->Read(back, sizeof back, &got), S_FALSE);
  EXPECT_EQ(got, 3 + sizeof extent);
  EXPECT_EQ(back[2], 3);
  LARGE_INTEGER before{};
  before.QuadPart = -1;
  EXPECT_EQ(s->Seek(before, STREAM_SEEK_SET, nullptr), STG_E_INVALIDFUNCTION);
  s->Release();
}
