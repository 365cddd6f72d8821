// The session methods of CPopClient: connecting, commands, messages, raw reads and writes.
#include <cstring>

#include "core/errors/error_codes.h"
#include "ocx/variant_args.h"
#include "platform/base/utf.h"
#include "pop3/ocx/pop_client.h"
#include "pop3/ocx/pop_client_args.h"
#include "pop3/pop3_control.h"

namespace popctl {
namespace {

constexpr uint32_t kHeaderValueSize = 1024;

// Owns a library global memory block.
struct BlockText {
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  ~BlockText() {
    if (block) plat::GlobalFree(block);
  }
  std::u16string Text() const {
    if (!block || length == 0) return {};
    const char* data = static_cast<const char*>(plat::GlobalLock(block));
    std::u16string text = plat::ToUtf16(std::string_view(data, length));
    plat::GlobalUnlock(block);
    return text;
  }
};

void Wipe(std::string& s) {
  if (!s.empty()) explicit_bzero(s.data(), s.size());
}

// Marks a blocking Connect under way for the length of the call.
class ConnectingScope {
 public:
  ConnectingScope(bool& flag, bool on) : flag_(flag), was_(flag) { flag_ = on; }
  ~ConnectingScope() { flag_ = was_; }
  ConnectingScope(const ConnectingScope&) = delete;
  ConnectingScope& operator=(const ConnectingScope&) = delete;

 private:
  bool& flag_;
  bool was_;
};

}  // namespace

HRESULT CPopClient::TakeMessageId(const VARIANT& arg, int32_t* message, bool zeroMeansCurrent) {
  if (HRESULT hr = OptionalInt(arg, s_.message, message); FAILED(hr)) return hr;
  if (zeroMeansCurrent && *message == 0) *message = s_.message;
  return S_OK;
}

HRESULT CPopClient::ConnectFailure(VARIANT* error) {
  const HRESULT hr = MethodFailure(error);
  // Until the login is done the library reports to no window: a cancel that ended the
  // connect is the host's to hear of here, after the error as the library's events come.
  if (cvcore::IsCanceled(LastErrorCode())) Fire_OnCancel();
  return hr;
}

HRESULT CPopClient::Connect(VARIANT remoteHost, VARIANT remotePort, VARIANT userName, VARIANT password,
                            VARIANT timeout, VARIANT options, VARIANT* error) {
  CV_OCX_ENTRY;
  if (!IsInitialized()) AutoInitialize();  // a failure shows in the library's answer
  std::u16string host, user, pass;
  int32_t port = 0, seconds = 0, flags = 0;
  if (HRESULT hr = OptionalText(remoteHost, s_.hostAddress.empty() ? s_.hostName : s_.hostAddress, &host); FAILED(hr))
    return hr;
  if (HRESULT hr = OptionalInt(remotePort, s_.remotePort, &port); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalText(userName, s_.userName, &user); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalText(password, s_.password, &pass); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalInt(timeout, s_.timeout, &seconds); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalInt(options, s_.options, &flags); FAILED(hr)) return hr;
  if (s_.secure) flags |= kPop3OptionSecure;
  if (handle_ != kInvalidLibHandle) DropSession();

  SetErrorArgument(error, 0);
  SecCredentials* credentials = nullptr;
  if (!s_.certificateName.empty() || s_.secureProtocol != 0) {
    std::string certPassword = ocx::Utf16ToUtf8(s_.certificatePassword);
    SecCreateCredentials(uint32_t(s_.secureProtocol), ocx::Utf16ToUtf8(s_.certificateUser).c_str(),
                         certPassword.c_str(), ocx::Utf16ToUtf8(s_.certificateStore).c_str(),
                         ocx::Utf16ToUtf8(s_.certificateName).c_str(), &credentials);
    Wipe(certPassword);
  }
  const std::string hostText = ocx::Utf16ToUtf8(host);
  ConnectingScope connecting(connecting_, s_.blocking);
  const LibHandle h = Pop3Connect(hostText.c_str(), uint32_t(port), uint32_t(seconds), uint32_t(flags), credentials,
                                  s_.blocking ? nullptr : Window(), s_.blocking ? 0 : kLibraryNotifyMessage);
  SecFreeCredentials(&credentials);
  if (h == kInvalidLibHandle) return ConnectFailure(error);

  handle_ = h;
  SetHost(host);
  s_.userName = user;
  s_.password = pass;
  s_.options = flags;
  s_.remotePort = port;
  s_.timeout = seconds;
  if (!s_.blocking) {
    // The login and OnConnect follow the library's connect event.
    if (EventsFrozen()) Pop3FreezeEvents(handle_, 1);
    return S_OK;
  }
  if (CompleteLogin(true) != 0) return ConnectFailure(error);
  return S_OK;
}

HRESULT CPopClient::ChangePassword(VARIANT oldPassword, VARIANT newPassword, VARIANT* error) {
  CV_OCX_ENTRY;
  std::u16string oldText, newText;
  if (HRESULT hr = OptionalText(oldPassword, u"", &oldText); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalText(newPassword, u"", &newText); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  std::string oldUtf8 = ocx::Utf16ToUtf8(oldText), newUtf8 = ocx::Utf16ToUtf8(newText);
  const int32_t r =
      Pop3ChangePassword(handle_, ocx::Utf16ToUtf8(s_.userName).c_str(), oldUtf8.c_str(), newUtf8.c_str());
  Wipe(oldUtf8);
  Wipe(newUtf8);
  return r == 0 ? MethodFailure(error) : S_OK;
}

HRESULT CPopClient::CloseMessage(VARIANT* error) {
  CV_OCX_ENTRY;
  SetErrorArgument(error, 0);
  return Pop3CloseMessage(handle_) != 0 ? MethodFailure(error) : S_OK;
}

HRESULT CPopClient::Command(VARIANT command, VARIANT parameters, VARIANT options, VARIANT* error) {
  CV_OCX_ENTRY;
  std::u16string name, argument;
  int32_t flags = 0;
  if (HRESULT hr = OptionalText(command, u"", &name); FAILED(hr)) return hr;
  const bool withArgument = !ocx::IsMissingArgument(parameters);
  if (withArgument)
    if (HRESULT hr = OptionalText(parameters, u"", &argument); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalInt(options, 0, &flags); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  const std::string nameText = ocx::Utf16ToUtf8(name), argumentText = ocx::Utf16ToUtf8(argument);
  const int32_t status = Pop3SendCommand(handle_, nameText.c_str(), withArgument ? argumentText.c_str() : nullptr);
  if (status != 1) return MethodFailure(error);  // "-ERR" alone leaves no library error
  if ((flags & kCommandMultiLine) && Pop3BeginMultiLine(handle_) != 0) return MethodFailure(error);
  return S_OK;
}

HRESULT CPopClient::DeleteMessage(VARIANT messageId, VARIANT* error) {
  CV_OCX_ENTRY;
  int32_t message = 0;
  if (HRESULT hr = TakeMessageId(messageId, &message); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  return Pop3DeleteMessage(handle_, uint32_t(message)) != 0 ? MethodFailure(error) : S_OK;
}

HRESULT CPopClient::GetHeader(VARIANT messageId, VARIANT headerField, VARIANT* headerValue, VARIANT* result) {
  CV_OCX_ENTRY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  int32_t message = 0;
  if (HRESULT hr = TakeMessageId(messageId, &message, true); FAILED(hr)) return hr;
  std::u16string field;
  if (HRESULT hr = ocx::VariantToText(headerField, &field); FAILED(hr)) return hr;
  SetBoolArgument(result, false);
  char value[kHeaderValueSize] = {};
  const std::string name = ocx::Utf16ToUtf8(field);
  if (Pop3GetHeaderValue(handle_, uint32_t(message), name.c_str(), value, sizeof value) < 0)
    return RaiseError(0, s_.throwError, false);
  if (HRESULT hr = SetTextArgument(headerValue, FromAnsi(value)); FAILED(hr)) return hr;
  SetBoolArgument(result, true);
  return S_OK;
}

HRESULT CPopClient::TextResult(bool headersOnly, const VARIANT& messageId, VARIANT* out, VARIANT* error) {
  int32_t message = 0;
  if (HRESULT hr = TakeMessageId(messageId, &message); FAILED(hr)) return hr;
  if (message != s_.message) ForgetMessage();
  s_.message = message;
  SetErrorArgument(error, 0);
  BlockText text;
  const int32_t r = headersOnly ? Pop3GetHeaders(handle_, uint32_t(message), &text.block, &text.length)
                                : Pop3RetrieveMessage(handle_, uint32_t(message), &text.block, &text.length, 0);
  if (r != 0) return MethodFailure(error);
  return SetTextArgument(out, text.Text());
}

HRESULT CPopClient::GetHeaders(VARIANT messageId, VARIANT* headers, VARIANT* error) {
  CV_OCX_ENTRY;
  return TextResult(true, messageId, headers, error);
}

HRESULT CPopClient::GetMessage(VARIANT messageId, VARIANT* message, VARIANT* error) {
  CV_OCX_ENTRY;
  return TextResult(false, messageId, message, error);
}

HRESULT CPopClient::OpenMessage(VARIANT messageId, VARIANT options, VARIANT* error) {
  CV_OCX_ENTRY;
  int32_t message = 0, flags = 0;
  if (HRESULT hr = TakeMessageId(messageId, &message); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalInt(options, 0, &flags); FAILED(hr)) return hr;
  if (message != s_.message) ForgetMessage();
  s_.message = message;
  SetErrorArgument(error, 0);
  return Pop3OpenMessage(handle_, uint32_t(message), uint32_t(flags)) != 0 ? MethodFailure(error) : S_OK;
}

HRESULT CPopClient::Read(VARIANT* buffer, VARIANT length, VARIANT* result) {
  CV_OCX_ENTRY;
  int32_t count = 0;
  const LibHandle h = handle_;
  const HRESULT hr = ReadIntoBuffer(
      buffer, length, [h](char* data, int32_t size) { return Pop3Read(h, data, size); }, &count);
  if (FAILED(hr)) return hr;
  SetLongArgument(result, count < 0 ? -1 : count);
  return count < 0 ? MethodFailure(nullptr) : S_OK;
}

HRESULT CPopClient::SendMessage(VARIANT message, VARIANT options, VARIANT* error) {
  CV_OCX_ENTRY;
  (void)options;
  if (ocx::IsMissingArgument(message)) return E_INVALIDARG;
  std::u16string text;
  if (HRESULT hr = ocx::VariantToText(message, &text); FAILED(hr)) return hr;
  if (text.empty()) return E_INVALIDARG;
  std::string utf8;
  try {
    utf8 = ocx::Utf16ToUtf8(text);
  } catch (...) {
    return HRESULT(0x800A0007);
  }
  SetErrorArgument(error, 0);
  return Pop3SendMessage(handle_, utf8.data(), uint32_t(utf8.size())) != 0 ? MethodFailure(error) : S_OK;
}

HRESULT CPopClient::StoreMessage(VARIANT messageId, VARIANT fileName, VARIANT* error) {
  CV_OCX_ENTRY;
  int32_t message = 0;
  if (HRESULT hr = TakeMessageId(messageId, &message); FAILED(hr)) return hr;
  std::u16string file;
  if (HRESULT hr = OptionalText(fileName, u"", &file); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  const std::string path = ocx::Utf16ToUtf8(file);
  return Pop3StoreMessage(handle_, uint32_t(message), path.empty() ? nullptr : path.c_str()) != 0
             ? MethodFailure(error)
             : S_OK;
}

HRESULT CPopClient::Write(VARIANT buffer, VARIANT length, VARIANT* result) {
  CV_OCX_ENTRY;
  std::string bytes;
  if (HRESULT hr = BytesOfBuffer(buffer, length, &bytes); FAILED(hr)) return hr;
  const int32_t sent = Pop3Write(handle_, bytes.data(), int32_t(bytes.size()));
  SetLongArgument(result, sent < 0 ? -1 : sent);
  return sent < 0 ? MethodFailure(nullptr) : S_OK;
}

}  // namespace popctl
