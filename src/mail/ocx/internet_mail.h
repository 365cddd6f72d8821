#pragma once
// CInternetMail: the InternetMail control. It holds at most one mail-server session (POP3
// or IMAP, by ServerType), one DNS resolver, one MIME message object and, while sending,
// one SMTP session at a time; the property values that configure them; and the state of
// the message it holds (its number on the server, whether it is whole, its recipients).
#include <string>
#include <vector>

#include "core/frame/lib_types.h"
#include "core/tls/sec_tls.h"
#include "imap/imap.h"
#include "mail/common/mail_events.h"
#include "mail/ocx/internet_mail_events.h"
#include "mail/ocx/internet_mail_iface.h"
#include "mail/ocx/notify_messages.h"
#include "ocx/control.h"

namespace mailctl {

extern const ocx::ControlDescriptor kInternetMailDescriptor;
// The type library InternetMailCtl.
const plat::com::TypeLibDesc& InternetMailTypeLibrary();

// ServerType values.
inline constexpr int32_t kServerDefault = 0;
inline constexpr int32_t kServerPop3 = 1;
inline constexpr int32_t kServerImap = 2;

// lParam of kMsgMailboxUpdate: the update type in the low 32 bits and the message number in
// the high 32 (LPARAM is 64 bits wide: message numbers above 65,535 arrive whole).
inline constexpr LPARAM PackMailboxUpdate(uint32_t type, uint32_t number) noexcept {
  return LPARAM((uint64_t(number) << 32) | type);
}
inline constexpr uint32_t MailboxUpdateType(LPARAM lParam) noexcept { return uint32_t(uint64_t(lParam)); }
inline constexpr uint32_t MailboxUpdateNumber(LPARAM lParam) noexcept { return uint32_t(uint64_t(lParam) >> 32); }
// Timeout, cancel and progress: the only library events the control fires.
inline constexpr uint32_t kNotifyMask =
    cvmail::kMailEventTimeout | cvmail::kMailEventCancel | cvmail::kMailEventProgress;

// Options bits.
inline constexpr uint32_t kOptionImplicitSsl = 1;
inline constexpr uint32_t kOptionApop = 2;
inline constexpr uint32_t kOptionAuthLogin = 4;
inline constexpr uint32_t kOptionAllHeaders = 256;
inline constexpr uint32_t kOptionKeepOrder = 512;
// Delivery-status requests of a message sent (the mask of the four notifications, and the
// return of the headers or the whole message).
inline constexpr uint32_t kOptionNotifySuccess = 65536;
inline constexpr uint32_t kOptionNotifyFailure = 131072;
inline constexpr uint32_t kOptionNotifyDelay = 262144;
inline constexpr uint32_t kOptionReturnHeaders = 524288;
inline constexpr uint32_t kOptionReturnMessage = 1048576;
inline constexpr uint32_t kOptionNotify =
    kOptionNotifySuccess | kOptionNotifyFailure | kOptionNotifyDelay | kOptionReturnHeaders;

inline constexpr size_t kMaxMailboxNames = 256;

// The security details of the mail-server session, copied when it opens: the session's
// own record points into the session, which is gone after Disconnect.
struct SecurityDetails {
  uint32_t protocol = 0, cipher = 0, cipherStrength = 0, hash = 0, hashStrength = 0, keyExchange = 0;
  uint32_t certificateStatus = 0;
  SYSTEMTIME validFrom{}, validTo{};
  bool hasDates = false;
  std::string issuer, subject;
};

// Everything Reset restores, with its default (Reset keeps the values held outside it).
struct MailSettings {
  int32_t serverType = kServerDefault;
  int32_t serverPort = 0;
  uint32_t options = 0;
  int32_t relayPort = 0;
  bool secure = false;
  uint32_t secureProtocol = 0;
  bool throwError = false;
  bool trace = false;
  int32_t traceFlags = 0;
  int32_t timeout = 60;  // seconds
  std::u16string bcc, certificateName, certificatePassword, certificateStore, certificateUser, mailboxName;
  bool busy = false;
  bool cancel = false;
  bool complete = false;  // the message object holds a whole message, not only headers
  uint32_t messageIndex = 0;
  uint32_t messageSize = 0;
  uint32_t newMessages = 0;  // 0: the next read asks the server
  ImapMailboxStatus mailboxStatus{};
  SecurityDetails security;
};

// Same types as the interface slots, so each declaration overrides its slot.
#define CV_INTERNETMAIL_DECLARE(kind, name, id, names, ...) ::plat::com::Sig<__VA_ARGS__> CV_DISP_NAME_##kind(name);

class CInternetMail final : public ocx::Control<IInternetMail>, public CProxy_IInternetMailEvents<CInternetMail> {
 public:
  explicit CInternetMail(IUnknown* outer);
  ~CInternetMail() override = default;

  IINTERNETMAIL_MEMBERS(CV_INTERNETMAIL_DECLARE)

  const MailSettings& Settings() const { return s_; }
  LibHandle ServerHandle() const { return server_; }
  LibHandle ResolverHandle() const { return resolver_; }
  LibHandle MessageHandle() const { return message_; }
  // Test seam: the port direct delivery connects to (0: the SMTP library's default, 25).
  void SetDirectDeliveryPort(uint32_t port) { directPort_ = port; }

  // The update callback of the IMAP IDLE thread: posts kMsgMailboxUpdate to the window it names.
  static void MailboxUpdateCallback(LibHandle handle, uint32_t type, uint32_t number, uintptr_t window);

 protected:
  void FinalRelease() override;
  const ocx::LibraryOps* ErrorLibrary() override;
  bool HasSession() override { return Connected(); }
  bool ThrowErrors() override { return true; }  // a failed lazy initialise is always returned
  void FireError(uint32_t code, BSTR text) override;
  void OnLibrariesAttached() override;
  LRESULT OnWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool* handled) override;

 private:
  bool Connected() const { return server_ != kInvalidLibHandle; }
  bool Imap() const { return s_.serverType == kServerImap; }
  const ocx::LibraryOps& ServerLibrary() const;

  // RaiseError that also ends a running operation: the busy and cancel flags are cleared.
  // A code of 0 with no last error of the mail-server library changes nothing.
  HRESULT Raise(uint32_t code, bool returnFlag, bool fireFlag);
  // A method's failure: Error := the low 16 bits, raised with ThrowError and OnError.
  HRESULT Fail(VARIANT* error, uint32_t code);
  // A session that a cancel ended before its window was registered reports to nobody:
  // the host hears of the cancel here.
  void CanceledWithoutWindow(uint32_t code);
  // The mail-server library's last error, or the MIME library's.
  uint32_t ServerError() const;
  static uint32_t MimeError();

  // Message object.
  bool EnsureMessage();  // creates it when missing; false with the MIME library's error
  void MessageReplaced() { recipientsBuilt_ = false; }
  void DestroyMessage();
  std::u16string GetHeaderValue(const char* name, int32_t part, HRESULT* hr);
  HRESULT SetHeaderValue(const char* name, const std::string& value, int32_t part);
  HRESULT HeaderProperty(const char* name, int32_t part, BSTR* value);
  HRESULT PutHeaderProperty(const char* name, BSTR value, int32_t part);
  // Builds the recipient list when it is stale; false when that failed.
  bool BuildRecipients();
  // The message's text in a new global memory block (export target 4); null on failure.
  plat::HGLOBAL ExportMessageBlock(uint32_t exportOptions, uint32_t* length);
  uint32_t ExportOptions(uint32_t options) const;

  // Mail-server session.
  void ReadSecurityDetails();
  void CloseServerSession();
  void ForgetServerSession();
  HRESULT FetchMessage(uint32_t number, bool whole, bool returnFlag, bool fireFlag, VARIANT* error);
  HRESULT FillMailboxList();
  // The gate of the IMAP-only members: a POP3 session gets 0x80042FA9.
  bool ImapOnlyRefused() const { return Connected() && !Imap(); }

  // Sending.
  bool EnsureResolver();  // creates the resolver when missing
  bool SendToAddress(const std::string& address, const std::string& sender, const std::string& domain,
                     const std::string& relay, plat::HGLOBAL block, uint32_t length, uint32_t options,
                     uint32_t* stopCode);
  LibHandle ConnectForAddress(const std::string& address, const std::string& domain, const std::string& relay,
                              uint32_t* stopCode);
  bool FireRecipient(const std::string& address);

  // Notifications.
  void OnLibraryNotify(UINT msg, WPARAM wParam, LPARAM lParam);
  void OnMailboxUpdate(WPARAM wParam, LPARAM lParam);

  void StartTrace();
  void RestartTrace();
  HRESULT WalkHeaders(bool first, VARIANT* headerField, VARIANT* headerValue, VARIANT* result);

  MailSettings s_;
  // Kept by Reset.
  std::u16string domain_, password_, relayServer_, serverName_, traceFile_, userName_;
  bool localize_ = true;

  LibHandle server_ = kInvalidLibHandle;
  LibHandle resolver_ = kInvalidLibHandle;
  LibHandle message_ = kInvalidLibHandle;
  std::vector<std::string> recipients_;  // bare addresses of To, Cc and Bcc
  bool recipientsBuilt_ = false;
  bool recipientsFailed_ = false;
  std::vector<std::u16string> mailboxes_;
  std::u16string version_;
  uint32_t directPort_ = 0;
};

}  // namespace mailctl
