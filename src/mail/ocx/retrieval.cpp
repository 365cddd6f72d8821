// Reading the messages of the mail-server session: counts and sizes, unique ids and flags,
// retrieval into the message object, storing, deleting and undeleting.
#include <cstdio>

#include "core/errors/error_codes.h"
#include "mail/ocx/internet_mail.h"
#include "mail/ocx/member_helpers.h"
#include "mail/ocx/staged_message.h"
#include "mime/mime.h"
#include "pop3/pop3.h"

namespace mailctl {
namespace {


}  // namespace

HRESULT CInternetMail::FetchMessage(uint32_t number, bool whole, bool returnFlag, bool fireFlag, VARIANT* error) {
  if (number == 0) return ocx::kCtlErrorInvalidProcedureCall;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (!Connected()) return Raise(cvErrorNotConnected, returnFlag, fireFlag);
  if (s_.complete && number == s_.messageIndex) return S_OK;
  if (s_.busy) return Raise(cvErrorOperationInProgress, returnFlag, fireFlag);
  SetErrorArgument(error, 0);
  StagedMessage staged;
  // An emptied message object, as a held one would be, unless there is none yet.
  if (!staged.Create(message_ != kInvalidLibHandle)) return Raise(MimeError(), returnFlag, fireFlag);
  s_.busy = true;
  uint32_t size = 0;
  const int32_t r = Imap() ? ImapRetrieveMessageTo(server_, number, whole ? 0 : kImapReadHeader | kImapReadPeek,
                                                   StagedMessage::Take, &staged, &size)
                           : Pop3RetrieveMessageTo(server_, number, whole ? 0 : kPop3ReadHeadersOnly,
                                                   StagedMessage::Take, &staged, &size);
  s_.busy = false;
  if (r < 0 || size == 0) {
    const uint32_t code = ServerError();
    SetErrorArgument(error, Low16(code));
    return Raise(code, returnFlag, fireFlag);
  }
  DestroyMessage();
  message_ = staged.Finish();
  s_.complete = false;
  recipientsBuilt_ = false;
  s_.messageSize = size;
  s_.messageIndex = number;
  s_.bcc.clear();
  if (whole) s_.complete = true;
  // More parts than a message holds: the message is there to read, and the limit is said.
  if (staged.partLimit()) {
    SetErrorArgument(error, Low16(cvErrorInvalidMessagePart));
    return Raise(cvErrorInvalidMessagePart, returnFlag, fireFlag);
  }
  return S_OK;
}

HRESULT CInternetMail::get_MessageIndex(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(int32_t(s_.messageIndex), value);
}

HRESULT CInternetMail::put_MessageIndex(int32_t value) {
  CV_OCX_ENTRY;
  const uint32_t number = uint32_t(value);
  if (number == s_.messageIndex) return S_OK;
  if (number == 0) {
    if (message_ != kInvalidLibHandle) MimeResetMessage(message_);
    recipientsBuilt_ = false;
    s_.complete = false;
    s_.messageIndex = 0;
    return S_OK;
  }
  return FetchMessage(number, false, true, false, nullptr);
}

HRESULT CInternetMail::get_MessageCount(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (!Connected()) return Out(int32_t(0), value);
  const int32_t n = Imap() ? ImapGetMessageCount(server_) : Pop3GetMessageCount(server_);
  return Out(n < 0 ? -1 : n, value);
}

HRESULT CInternetMail::get_LastMessage(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (!Connected()) return Out(int32_t(0), value);
  if (Imap()) {
    const int32_t n = ImapGetMessageCount(server_);
    if (n < 0) return Raise(0, true, false);
    return Out(n, value);
  }
  uint32_t last = 0;
  if (Pop3GetMailboxStatus(server_, &last, nullptr) < 0) return Raise(0, true, false);
  return Out(int32_t(last), value);
}

HRESULT CInternetMail::get_MessageSize(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(int32_t(s_.messageSize), value);
}

HRESULT CInternetMail::get_MessageUID(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (!Connected() || s_.messageIndex == 0) return Out(std::u16string(), value);
  char text[128] = "";
  if (Imap()) {
    const int32_t uid = ImapGetMessageUid(server_, s_.messageIndex);
    if (uid < 0 && ImapGetLastError() != 0) return Raise(0, true, false);
    std::snprintf(text, sizeof text, "%u", uint32_t(uid));
  } else if (Pop3GetMessageUid(server_, s_.messageIndex, text, sizeof text) < 0) {
    return Raise(0, true, false);
  }
  return OutUtf8(text, value);
}

HRESULT CInternetMail::get_MessageFlags(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (!Connected()) return Out(int32_t(0), value);
  if (!Imap()) return Raise(cvErrorOperationNotSupported, true, false);
  uint32_t flags = 0;
  if (ImapGetMessageFlags(server_, s_.messageIndex, &flags) < 0) return Raise(0, true, false);
  return Out(int32_t(flags), value);
}

HRESULT CInternetMail::put_MessageFlags(int32_t value) {
  CV_OCX_ENTRY;
  if (!Connected()) return ocx::kCtlErrorInvalidPropertyValue;
  if (!Imap()) return Raise(cvErrorOperationNotSupported, true, false);
  if (ImapStoreMessageFlags(server_, s_.messageIndex, kImapStoreReplace, uint32_t(value)) < 0)
    return Raise(0, true, false);
  return S_OK;
}

HRESULT CInternetMail::get_NewMessages(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (Connected() && s_.newMessages == 0) {
    if (Imap()) {
      uint32_t messages = 0, recent = 0;
      if (ImapCheckMailbox(server_, &messages, &recent) < 0) return Raise(0, true, false);
      s_.newMessages = recent;
    } else {
      const int32_t n = Pop3GetMessageCount(server_);
      if (n < 0) return Raise(0, true, false);
      s_.newMessages = uint32_t(n);
    }
  }
  return Out(Connected() ? int32_t(s_.newMessages) : 0, value);
}

HRESULT CInternetMail::get_RecentMessages(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (!Connected()) return Out(int32_t(0), value);
  if (Imap()) return Out(int32_t(s_.mailboxStatus.recent), value);
  const int32_t n = Pop3GetMessageCount(server_);
  if (n < 0) return Raise(0, true, false);
  return Out(n, value);
}

HRESULT CInternetMail::get_UnreadMessages(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (!Connected()) return Out(int32_t(0), value);
  if (!Imap()) return Raise(cvErrorOperationNotSupported, true, false);
  const int32_t n = ImapSearchMailbox(server_, "UNSEEN", nullptr, nullptr, 0);
  if (n < 0) return Raise(0, true, false);
  return Out(n, value);
}

HRESULT CInternetMail::get_MailboxSize(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (!Connected()) return Out(int32_t(0), value);
  if (Imap()) {
    const std::string name = Utf8(s_.mailboxName);
    const int32_t n = ImapGetMailboxSize(server_, OrNull(name));
    if (n < 0) return Raise(0, true, false);
    return Out(n, value);
  }
  uint32_t size = 0;
  if (Pop3GetMailboxStatus(server_, nullptr, &size) < 0) return Raise(0, true, false);
  return Out(int32_t(size), value);
}

// --- Methods ---

HRESULT CInternetMail::GetMessage(VARIANT messageNumber, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t number = 0;
  if (HRESULT hr = NumberArgument(messageNumber, &number, s_.messageIndex); FAILED(hr)) return hr;
  return FetchMessage(number, true, s_.throwError, true, error);
}

HRESULT CInternetMail::StoreMessage(VARIANT messageNumber, VARIANT fileName, VARIANT* error) {
  CV_OCX_ENTRY;
  if (ocx::IsMissingArgument(messageNumber)) return DISP_E_PARAMNOTOPTIONAL;
  uint32_t number = 0;
  std::string name;
  if (HRESULT hr = NumberArgument(messageNumber, &number); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(fileName, &name); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (!Connected()) return Fail(error, cvErrorNotConnected);
  if (s_.busy) return Fail(error, cvErrorOperationInProgress);
  s_.busy = true;
  const int32_t r = Imap() ? ImapStoreMessage(server_, number, name.c_str())
                           : Pop3StoreMessage(server_, number, name.c_str());
  s_.busy = false;
  if (r < 0) return Fail(error, ServerError());
  return S_OK;
}

HRESULT CInternetMail::DeleteMessage(VARIANT messageNumber, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t number = 0;
  if (HRESULT hr = NumberArgument(messageNumber, &number, s_.messageIndex); FAILED(hr)) return hr;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (s_.busy) return Fail(error, cvErrorOperationInProgress);
  s_.busy = true;
  const int32_t r = Imap() ? ImapDeleteMessage(server_, number) : Pop3DeleteMessage(server_, number);
  s_.busy = false;
  if (r < 0) return Fail(error, ServerError());
  return S_OK;
}

HRESULT CInternetMail::UndeleteMessage(VARIANT messageNumber, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t number = 0;
  if (HRESULT hr = NumberArgument(messageNumber, &number, s_.messageIndex); FAILED(hr)) return hr;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (!Imap()) return Raise(cvErrorOperationNotSupported, s_.throwError, true);
  SetErrorArgument(error, 0);
  if (ImapUndeleteMessage(server_, number) < 0) return Fail(error, ServerError());
  return S_OK;
}

HRESULT CInternetMail::CheckMailbox(VARIANT* error) {
  CV_OCX_ENTRY;
  SetErrorArgument(error, 0);
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (Imap()) {
    uint32_t messages = 0, recent = 0;
    if (ImapCheckMailbox(server_, &messages, &recent) < 0) return Fail(error, ServerError());
    s_.newMessages = recent;
    return S_OK;
  }
  if (Pop3SendCommand(server_, "NOOP", nullptr) != 1) return Fail(error, ServerError());
  const int32_t n = Pop3GetMessageCount(server_);
  if (n < 0) return Fail(error, ServerError());
  s_.newMessages = uint32_t(n);
  return S_OK;
}

}  // namespace mailctl
