#pragma once
// CPopClient: the PopClient control. It gives a host one POP3 session at a time through the
// POP3 library: connect (blocking, or completed by events on the host's message loop),
// login, mailbox counters, message sizes, ids, senders and header fields, whole messages,
// headers or raw data, deleting, storing, submitting and arbitrary commands.
#include <string>

#include "core/frame/lib_types.h"
#include "core/tls/sec_tls.h"
#include "ocx/client_members.h"
#include "ocx/control.h"
#include "pop3/ocx/pop_client_events.h"
#include "pop3/ocx/pop_client_iface.h"
#include "pop3/pop3_bits.h"

namespace popctl {

extern const ocx::ControlDescriptor kPopClientDescriptor;
// The type library PopClientCtl.
const plat::com::TypeLibDesc& PopClientTypeLibrary();

// The message the library notifies the control window with.
inline constexpr UINT kLibraryNotifyMessage = 2025;

// popCommand bit of SendCommand: the answer is a multi-line response.
inline constexpr int32_t kCommandMultiLine = 1;
// The protocol mask Secure sets when none is given: TLS 1.2.
inline constexpr int32_t kProtocolTls12 = 16;

// Everything Reset restores, with its default.
struct PopClientSettings {
  int32_t authType = 0;
  bool autoResolve = false;
  bool blocking = true;
  std::u16string certificateName, certificatePassword, certificateStore, certificateUser;
  bool connected = false;
  std::u16string headerField;
  std::u16string hostAddress, hostName;
  int32_t message = 0;
  // What the current message's properties read, kept until the current message changes.
  int32_t messageSize = 0;
  std::u16string messageFrom, messageUid;
  int32_t options = 0;
  std::u16string password;
  int32_t remotePort = 0;
  bool secure = false;
  int32_t secureProtocol = 0;
  bool throwError = false;
  int32_t timeout = 60;
  bool trace = false;
  std::u16string traceFile;
  int32_t traceFlags = 0;
  std::u16string userName;

  PopClientSettings() = default;
  PopClientSettings(const PopClientSettings&) = default;
  PopClientSettings& operator=(const PopClientSettings&) = default;
  ~PopClientSettings();  // the passwords are wiped
};

// The server's security information as the connection left it (the library's record points
// into the session, which may go before the properties are read).
struct SecuritySnapshot {
  SecSessionInfo info{};
  std::u16string issuer, subject;
};

// Same types as the interface slots, so each declaration overrides its slot.
#define CV_POPCLIENT_DECLARE(kind, name, id, names, ...) ::plat::com::Sig<__VA_ARGS__> CV_DISP_NAME_##kind(name);

class CPopClient final : public ocx::Control<IPopClient>, public CProxy_IPopClientEvents<CPopClient> {
 public:
  explicit CPopClient(IUnknown* outer);
  ~CPopClient() override = default;

  IPOPCLIENT_MEMBERS(CV_POPCLIENT_DECLARE)

  HRESULT FreezeEvents(BOOL freeze) override;

  const PopClientSettings& Settings() const { return s_; }
  LibHandle SessionHandle() const { return handle_; }

 protected:
  void FinalRelease() override;
  bool HasSession() override { return handle_ != kInvalidLibHandle; }
  bool ThrowErrors() override { return true; }  // a failed lazy initialise is always reported
  void FireError(uint32_t code, BSTR text) override;
  void OnLibrariesAttached() override;
  LRESULT OnWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool* handled) override;

 private:
  template <class, class>
  friend struct ocx::ClientMembers;
  template <class>
  friend struct ocx::ControlMembers;

  // The error reporter after a failed library call of a method: Error := the low word,
  // OnError, an error HRESULT only with ThrowError.
  HRESULT MethodFailure(VARIANT* error);
  // A failed Connect reported, with OnCancel when a cancel ended it.
  HRESULT ConnectFailure(VARIANT* error);
  // A failing property: the error reporter with the return flag and without OnError.
  HRESULT Raise(uint32_t code = 0);
  // An address or service helper's failure (in the thread's last error) raised.
  HRESULT RaiseHelperFailure();

  void OnLibraryNotify(WPARAM wParam, LPARAM lParam);
  void ReportCommand();
  void ReportProgress();
  // The steps after the connection is made: security information, login, registration.
  // 0, or the library error (the session is then disconnected).
  uint32_t CompleteLogin(bool blocking);
  void ReadSecurityInfo();
  void ForgetMessage();
  void DropSession();
  void StartTrace();
  // Sets the current message from an optional argument (missing: Message).
  HRESULT TakeMessageId(const VARIANT& arg, int32_t* message, bool zeroMeansCurrent = false);
  // GetHeaders and GetMessage: the library's block as text into out.
  HRESULT TextResult(bool headersOnly, const VARIANT& messageId, VARIANT* out, VARIANT* error);
  void SetHost(const std::u16string& host);
  uint32_t LookupFamily() const { return (s_.options & kPop3OptionIpv6Only) ? 23u : 0u; }

  PopClientSettings s_;
  LibHandle handle_ = kInvalidLibHandle;
  // A blocking Connect is under way: the library has no window to report a cancel through
  // until the login is done.
  bool connecting_ = false;
  SecuritySnapshot security_;
  std::u16string version_;  // built on first read
};

}  // namespace popctl
