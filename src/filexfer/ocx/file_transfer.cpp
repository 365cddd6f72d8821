// Construction, release, error hooks, the task list, and the methods that manage the
// control itself: Initialize, Uninitialize, Reset and About.
#include "filexfer/ocx/file_transfer.h"

#include "core/errors/error_codes.h"
#include "core/trace/trace.h"
#include "filexfer/ocx/guids.h"
#include "filexfer/ocx/libraries.h"
#include "filexfer/ocx/method_frame.h"
#include "ftp/ftp.h"
#include "http/http.h"
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
    &FileTransferTypeLibrary,
};

namespace {


}  // namespace

CFileTransfer::CFileTransfer(IUnknown* outer)
    : Control(outer, kFileTransferDescriptor, kLibraries,
              {cvErrorInvalidProtocol, "Invalid server type or server type is undefined"}),
      taskTarget_(std::make_shared<TaskNotifyTarget>()) {
  RegisterTaskTarget(taskTarget_);
}

CFileTransfer::~CFileTransfer() { UnregisterTaskTarget(*taskTarget_); }

void CFileTransfer::FinalRelease() {
  TaskListAbortAll();
  Disconnect(nullptr);
  // Task threads that still report after this post nothing.
  UnregisterTaskTarget(*taskTarget_);
  taskTarget_->window.store(nullptr);
  Control::FinalRelease();
}

HRESULT CFileTransfer::FreezeEvents(BOOL freeze) {
  HRESULT hr = Control::FreezeEvents(freeze);
  taskTarget_->freeze.store(FreezeCount());
  return hr;
}

const ocx::LibraryOps* CFileTransfer::ErrorLibrary() {
  if (s_.serverType == kServerFtp) return &kFtpLibrary;
  if (s_.serverType == kServerHttp) return &kHttpLibrary;
  return nullptr;
}

void CFileTransfer::FireError(uint32_t code, BSTR text) {
  // One failed call, one OnError: the first error the call met (the libraries return that
  // one) was reported already.
  if (call_.depth > 0) {
    if (call_.errorFired) return;
    call_.errorFired = true;
  }
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
  taskTarget_->window.store(Window());
  if (s_.trace) StartTrace();
}

void CFileTransfer::TaskListPrune() {
  if (tasks_.Count() < 1) {
    tasks_.AbortAll(nullptr, nullptr);
    return;
  }
  const int32_t type = tasks_.ServerType();
  tasks_.Prune([type](uint32_t id) -> uint32_t {
    if (type == kServerFtp) return cvftp::TaskGetError(id);
    if (type == kServerHttp) return HttpTaskGetError(id);
    return 0;  // another library has no tasks: nothing is kept
  });
}

void CFileTransfer::TaskListAbortAll() {
  constexpr uint32_t kWaitMs = 10000;
  if (tasks_.ServerType() == kServerFtp) {
    tasks_.AbortAll([](uint32_t id) { FtpTaskAbort(id, 0); },
                    [](std::span<const uint32_t> ids) { cvftp::TaskWaitAll(ids.data(), int32_t(ids.size()), kWaitMs); });
  } else if (tasks_.ServerType() == kServerHttp) {
    tasks_.AbortAll([](uint32_t id) { HttpTaskAbort(id); },
                    [](std::span<const uint32_t> ids) { HttpTaskWaitAll(ids.data(), int32_t(ids.size()), kWaitMs); });
  } else {
    tasks_.AbortAll(nullptr, nullptr);
  }
}

HRESULT CFileTransfer::About() {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(nullptr, Init::None);
  return S_OK;  // no dialogs on this platform: the About box has nothing to show
}

HRESULT CFileTransfer::Initialize(VARIANT reserved, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error, Init::None);  // it initialises itself
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
  taskTarget_->serverType.store(0);
  SetLastErrorCode(0);
  session_ = kInvalidLibHandle;
  firstRead_ = false;
  return S_OK;
}

}  // namespace filexfer
