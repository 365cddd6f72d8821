// The methods that open, end and drive the connection: Connect, Disconnect, Cancel and
// Command.
#include <strings.h>

#include "core/errors/error_codes.h"
#include "filexfer/ocx/file_transfer.h"
#include "filexfer/ocx/libraries.h"
#include "filexfer/ocx/method_frame.h"
#include "ftp/ftp.h"
#include "ftp/ftp_bits.h"
#include "http/http.h"
#include "ocx/variant_args.h"
#include "platform/msg/wait.h"

namespace filexfer {

HRESULT CFileTransfer::Connect(VARIANT serverName, VARIANT serverPort, VARIANT userName, VARIANT password,
                               VARIANT timeout, VARIANT options, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error);
  if (!ocx::IsMissingArgument(serverName)) {
    std::u16string text;
    if (HRESULT hr = TextArgument(serverName, &text, nullptr); FAILED(hr)) return hr;
    if (IsUrlArgument(text)) {
      BSTR url = SysAllocStringLen(text.data(), UINT(text.size()));
      HRESULT hr = put_URL(url);
      SysFreeString(url);
      if (FAILED(hr)) return hr;
    } else {
      s_.serverName = text;
    }
  }
  if (!ocx::IsMissingArgument(serverPort))
    if (HRESULT hr = ocx::VariantToInt32(&serverPort, &s_.serverPort); FAILED(hr)) return hr;
  if (!ocx::IsMissingArgument(userName))
    if (HRESULT hr = TextArgument(userName, &s_.userName, nullptr); FAILED(hr)) return hr;
  if (!ocx::IsMissingArgument(password))
    if (HRESULT hr = TextArgument(password, &s_.password, nullptr); FAILED(hr)) return hr;
  if (s_.serverType == kServerUndefined) {
    const std::string name = ocx::Utf16ToUtf8(s_.serverName);
    if (strncasecmp(name.c_str(), "ftp", 3) == 0)
      s_.serverType = kServerFtp;
    else if (strncasecmp(name.c_str(), "www", 3) == 0)
      s_.serverType = kServerHttp;
    else
      s_.serverType = s_.serverPort == 80 || s_.serverPort == 443 ? kServerHttp : kServerFtp;
  }
  if (!ocx::IsMissingArgument(timeout))
    if (HRESULT hr = ocx::VariantToInt32(&timeout, &s_.timeout); FAILED(hr)) return hr;
  if (!ocx::IsMissingArgument(options)) {
    uint32_t value = 0;
    if (HRESULT hr = ocx::VariantToUInt32(&options, &value); FAILED(hr)) return hr;
    s_.options = value;
    if (value & cvftp::kOptTlsExplicit) {
      s_.options |= cvftp::kOptTls;
      s_.secure = true;
    }
  }
  if (Open()) Disconnect(nullptr);
  if (SUCCEEDED(ConnectFromProperties())) return S_OK;
  return Fail(error);
}

HRESULT CFileTransfer::Disconnect(VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error, Init::None);
  s_.securityKept = false;
  if (Open()) {
    RefreshStatistics();
    if (s_.serverType == kServerFtp)
      FtpDisconnect(session_);
    else
      HttpDisconnect(session_);
  }
  SetState(ControlState::Unused);
  s_.featuresSet = false;
  session_ = kInvalidLibHandle;
  return S_OK;
}

HRESULT CFileTransfer::Cancel(VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error, Init::None);
  // A cancel is no operation of its own: a late one leaves the error of the call it came
  // too late for as the host's LastError.
  if (call_.depth == 1) call_.keepLastError = true;
  if (s_.state == ControlState::Connecting || s_.state == ControlState::Login) {
    // The host re-entered from its message loop while Connect waits in the library: the
    // wait ends now (the connect fails with the cancel), and a login between two waits
    // stops at its next one.
    FireCancelOnce();
    SetState(ControlState::Unused);
    plat::CancelBlockingCall();
    if (Open()) s_.serverType == kServerFtp ? FtpCancel(session_) : HttpCancel(session_);
    return S_OK;
  }
  if (!Open()) return S_OK;
  const int32_t r = s_.serverType == kServerFtp ? FtpCancel(session_) : HttpCancel(session_);
  if (r != -1) return S_OK;
  SetErrorArgument(error, Low16(CurrentLibrary().getLastError()));
  return RaiseError(0, s_.throwError, true);
}

HRESULT CFileTransfer::Command(VARIANT command, VARIANT* error) {
  CV_OCX_ENTRY;
  const MethodCall call = BeginMethod(error, Init::None);  // initialised after the refusals
  if (auto refused = FtpSessionGate(error, Gate::Direct)) return *refused;
  if (!IsInitialized()) AutoInitialize();
  std::u16string text;
  if (HRESULT hr = TextArgument(command, &text); FAILED(hr)) return hr;
  if (FtpSendCommand(session_, ocx::Utf16ToUtf8(text).c_str(), nullptr) == -1) return Fail(error);
  return S_OK;
}

}  // namespace filexfer
