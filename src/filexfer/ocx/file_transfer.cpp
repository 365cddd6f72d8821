// Construction, release, error hooks and the methods that manage the control itself:
// Initialize, Uninitialize, Reset, Disconnect, Cancel, Command's gates and About.
#include "filexfer/ocx/file_transfer.h"

#include "core/trace/trace.h"
#include "filexfer/ocx/guids.h"
#include "filexfer/ocx/libraries.h"
#include "ocx/variant_args.h"

namespace filexfer {

const ocx::ControlDescriptor kFileTransferDescriptor{
    CLSID_FileTransfer,
    IID_IFileTransfer,
    DIID__IFileTransferEvents,
    LIBID_FileTransferCtl,
    "Corvanetics.FileTransfer.9",
    "Corvanetics.FileTransfer",
    "FileTransfer Control",
    132497,  // set-client-site-first, invisible at run time, activate when visible, inside-out, ...
    {uint16_t(kLibVersionMajor), uint16_t(kLibVersionMinor), uint16_t(kLibVersionBuild), 0},
};

namespace {

constexpr uint32_t kErrorInvalidServerType = 0x80042739u;
constexpr uint32_t kErrorNotConnected = 0x80042749u;
constexpr uint32_t kErrorNotSupported = 0x80042FA9u;

// The method frame's Error argument: through its reference when it has one, else replaced.
void SetErrorArgument(VARIANT* error, int32_t value) {
  if (!error) return;
  if (error->vt & VT_BYREF) {
    ocx::SetVariantLong(error, value);
    return;
  }
  VariantClear(error);
  error->vt = VT_I4;
  error->lVal = value;
}

}  // namespace

CFileTransfer::CFileTransfer(IUnknown* outer)
    : Control(outer, kFileTransferDescriptor, kLibraries,
              {kErrorInvalidServerType, "Invalid server type or server type is undefined"}) {}

void CFileTransfer::FinalRelease() {
  TaskListAbortAll();
  Disconnect(nullptr);
  Control::FinalRelease();
}

const ocx::LibraryOps* CFileTransfer::ErrorLibrary() {
  if (s_.serverType == kServerFtp) return &kFtpLibrary;
  if (s_.serverType == kServerHttp) return &kHttpLibrary;
  return nullptr;
}

void CFileTransfer::FireError(uint32_t code, BSTR text) {
  VARIANT number{}, description{};
  number.vt = VT_I4;
  number.lVal = int32_t(code & 0xFFFFu);
  description.vt = VT_BSTR;
  description.bstrVal = text;  // borrowed: the firing copies it for each sink
  Fire_OnError(number, description);
}

void CFileTransfer::StartTrace() {
  std::string file = ocx::Utf16ToUtf8(s_.traceFile);
  s_.trace = TraceEnable(s_.traceFile.empty() ? nullptr : file.c_str(), s_.traceFlags) != 0;
}

void CFileTransfer::OnLibrariesAttached() {
  if (s_.trace) StartTrace();
}

// The libraries offer no task operations to this control yet: without them a prune keeps
// nothing it cannot ask about and an abort only forgets the ids.
void CFileTransfer::TaskListPrune() {
  if (tasks_.Count() < 1) {
    tasks_.AbortAll(nullptr, nullptr);
    return;
  }
  tasks_.Prune(nullptr);
}

void CFileTransfer::TaskListAbortAll() { tasks_.AbortAll(nullptr, nullptr); }

HRESULT CFileTransfer::About() {
  CV_OCX_ENTRY;
  return S_OK;  // no dialogs on this platform: the About box has nothing to show
}

HRESULT CFileTransfer::Initialize(VARIANT reserved, VARIANT* error) {
  CV_OCX_ENTRY;
  SetErrorArgument(error, 0);
  if (!ocx::IsMissingArgument(reserved)) {
    std::u16string ignored;
    if (HRESULT hr = ocx::VariantToText(reserved, &ignored); FAILED(hr)) return hr;
  }
  HRESULT hr = AutoInitialize();
  if (FAILED(hr)) {
    SetErrorArgument(error, int32_t(uint32_t(hr) & 0xFFFFu));
    return s_.throwError ? hr : S_OK;
  }
  return S_OK;
}

HRESULT CFileTransfer::Uninitialize() {
  CV_OCX_ENTRY;
  if (!IsInitialized()) return S_OK;
  Reset();
  DetachLibraries();
  s_.version.clear();
  return S_OK;
}

HRESULT CFileTransfer::Reset() {
  CV_OCX_ENTRY;
  TaskListAbortAll();
  Disconnect(nullptr);
  if (s_.trace) TraceDisable();
  s_ = FileTransferSettings{};
  tasks_.Clear();
  SetLastErrorCode(0);
  session_ = kInvalidLibHandle;
  return S_OK;
}

HRESULT CFileTransfer::Disconnect(VARIANT* error) {
  CV_OCX_ENTRY;
  SetErrorArgument(error, 0);
  s_.state = 0;
  s_.featuresSet = false;
  session_ = kInvalidLibHandle;
  return S_OK;
}

HRESULT CFileTransfer::Cancel(VARIANT* error) {
  CV_OCX_ENTRY;
  SetErrorArgument(error, 0);
  if (s_.state == 2 || s_.state == 3) {
    // The host re-entered from its message loop while Connect waits in the library.
    Fire_OnCancel();
    s_.state = 0;
    return S_OK;
  }
  if (!Open()) return S_OK;
  return E_NOTIMPL;
}

HRESULT CFileTransfer::Command(VARIANT, VARIANT* error) {
  CV_OCX_ENTRY;
  SetErrorArgument(error, 0);
  if (s_.serverType != kServerFtp) {
    kHttpLibrary.setLastError(kErrorNotSupported);
    SetErrorArgument(error, int32_t(kErrorNotSupported & 0xFFFFu));
    return RaiseError(kErrorNotSupported, s_.throwError, true);
  }
  if (!Open()) {
    kFtpLibrary.setLastError(kErrorNotConnected);
    SetErrorArgument(error, int32_t(kErrorNotConnected & 0xFFFFu));
    return RaiseError(kErrorNotConnected, s_.throwError, true);
  }
  return E_NOTIMPL;
}

}  // namespace filexfer
