#pragma once
// A small control over the framework, for the framework's tests: a string and an indexed
// property, a method that raises errors, one that fires an event, one that stores a result,
// and two fake libraries that AutoInitialize attaches.
#include <array>
#include <string>

#include "ocx/control.h"

namespace testocx {

CV_IID(LIBID_TestCtl, 0x0695A1AD, 0xE370, 0x4756, 0xAA, 0xBC, 0x7A, 0xD4, 0x80, 0xBF, 0x62, 0x63);
CV_IID(IID_ITestCtl, 0xE9A5F50C, 0x0EC2, 0x4BA7, 0x86, 0x62, 0xB3, 0xE2, 0xEC, 0xE3, 0xCE, 0x56);
CV_IID(DIID_ITestCtlEvents, 0x5709E314, 0x9E02, 0x479A, 0xA3, 0xDF, 0x9B, 0xA1, 0x91, 0x15, 0xE9, 0xD1);
CV_IID(CLSID_TestCtl, 0xEA7CAF60, 0x6C4C, 0x44F4, 0xAA, 0x47, 0xE0, 0xF2, 0x14, 0xFC, 0xAE, 0x75);

inline constexpr DISPID kEventNotify = 1;  // (Code, Text)
inline constexpr DISPID kEventError = 9;   // (Description, Number): another order than other controls

namespace k = ::plat::com::p;  // the parameter kinds

#define ITESTCTL_MEMBERS(X)                                         \
  X(METHOD, About, -552, "")                                        \
  X(PUT, Enabled, -514, "", k::Bool)                                \
  X(GET, Enabled, -514, "", k::BoolOut)                             \
  X(GET, Name, 1, "", k::BstrOut)                                   \
  X(PUT, Name, 1, "", k::Bstr)                                      \
  X(GET, Item, 2, "Index", k::I4, k::I4Out)                         \
  X(PUT, Item, 2, "Index", k::I4, k::I4)                            \
  X(GET, ThrowError, 3, "", k::BoolOut)                             \
  X(PUT, ThrowError, 3, "", k::Bool)                                \
  X(GET, LastError, 4, "", k::I4Out)                                \
  X(GET, ServerType, 5, "", k::I4Out)                               \
  X(PUT, ServerType, 5, "", k::I4)                                  \
  X(METHOD, Raise, 6, "Code,Fire,Error", k::Var, k::Var, k::VarRef) \
  X(METHOD, Initialize, 7, "Error", k::VarRef)                      \
  X(METHOD, Notify, 8, "Code,Text", k::Var, k::Var)                 \
  X(METHOD, Store, 9, "Value,Result", k::Var, k::VarRef)

CV_DISPATCH_INTERFACE(ITestCtl, ITESTCTL_MEMBERS)

// The fake libraries: attach counts, a switch to make the next attaches fail, and a
// last error. Library 1 answers ServerType 1, library 2 ServerType 2.
struct FakeLibrary {
  int attached = 0;
  bool failAttach = false;
  uint32_t lastError = 0;
};
FakeLibrary& Fake(int which);  // 1 or 2
void ResetFakes();

extern const ocx::ControlDescriptor kTestCtlDescriptor;
const plat::com::TypeLibDesc& TestCtlTypeLibrary();

#define CV_TESTCTL_DECLARE(kind, name, id, names, ...) ::plat::com::Sig<__VA_ARGS__> CV_DISP_NAME_##kind(name);

class TestCtl final : public ocx::Control<ITestCtl> {
 public:
  explicit TestCtl(IUnknown* outer);
  ITESTCTL_MEMBERS(CV_TESTCTL_DECLARE)

  bool hasSession = false;
  int finalReleases = 0;

 protected:
  const ocx::LibraryOps* ErrorLibrary() override;
  bool HasSession() override { return hasSession; }
  bool ThrowErrors() override { return throwError_; }
  void FireError(uint32_t code, BSTR text) override;

 private:
  std::u16string name_;
  std::array<int32_t, 4> items_{};
  bool throwError_ = false;
  int32_t serverType_ = 0;
};

}  // namespace testocx
