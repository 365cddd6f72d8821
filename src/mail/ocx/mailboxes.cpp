// The IMAP mailboxes: the selected mailbox and its status, the list of mailbox names,
// creating, deleting and renaming mailboxes, copying and appending messages, searching,
// and IDLE with the OnUpdate event. A POP3 session answers "not supported".
#include <cstring>

#include "core/errors/error_codes.h"
#include "mail/ocx/internet_mail.h"
#include "mail/ocx/member_helpers.h"

namespace mailctl {
namespace {


}  // namespace

// The start of every IMAP-only method: lazy initialise, then the POP3 refusal (Error
// untouched), then Error := 0. Returns true with *hr set when the method ends here.
#define CV_IMAP_METHOD_GATE(error)                                                        \
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;                               \
  if (ImapOnlyRefused()) return Raise(cvErrorOperationNotSupported, s_.throwError, true); \
  SetErrorArgument(error, 0)

HRESULT CInternetMail::get_MailboxName(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.mailboxName, value);
}

HRESULT CInternetMail::put_MailboxName(BSTR value) {
  CV_OCX_ENTRY;
  std::u16string name;
  In(name, value);
  if (ImapOnlyRefused()) return Raise(cvErrorOperationNotSupported, true, false);
  if (Connected() && !name.empty()) {
    ImapMailboxStatus status{};
    if (ImapSelectMailbox(server_, Utf8(name).c_str(), &status) < 0) return Raise(0, true, false);
    s_.mailboxStatus = status;
    s_.newMessages = 0;
  } else if (Connected()) {
    ImapUnselectMailbox(server_, int32_t(s_.mailboxStatus.readWrite));
  }
  s_.mailboxName = name;
  return S_OK;
}

HRESULT CInternetMail::get_Mailboxes(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (ImapOnlyRefused()) return Raise(cvErrorOperationNotSupported, true, false);
  if (mailboxes_.empty())
    if (HRESULT hr = FillMailboxList(); FAILED(hr)) return hr;
  return Out(int32_t(mailboxes_.size()), value);
}

HRESULT CInternetMail::get_Mailbox(int32_t index, BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (ImapOnlyRefused()) return Raise(cvErrorOperationNotSupported, true, false);
  if (mailboxes_.empty())
    if (HRESULT hr = FillMailboxList(); FAILED(hr)) return hr;
  if (index < 0 || size_t(index) >= mailboxes_.size()) return ocx::kCtlErrorInvalidPropertyIndex;
  return Out(mailboxes_[size_t(index)], value);
}

HRESULT CInternetMail::get_MailboxFlags(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (ImapOnlyRefused()) return Raise(cvErrorOperationNotSupported, true, false);
  return Out(int32_t(s_.mailboxStatus.mailboxFlags), value);
}

HRESULT CInternetMail::get_MailboxUID(int32_t* value) {
  CV_RUN_MODE_ONLY;
  if (ImapOnlyRefused()) return Raise(cvErrorOperationNotSupported, true, false);
  return Out(int32_t(s_.mailboxStatus.uidValidity), value);
}

HRESULT CInternetMail::SelectMailbox(VARIANT mailboxName, VARIANT* error) {
  CV_OCX_ENTRY;
  std::u16string name;
  if (HRESULT hr = TextArgument(mailboxName, &name, nullptr); FAILED(hr)) return hr;
  CV_IMAP_METHOD_GATE(error);
  ImapMailboxStatus status{};
  if (ImapSelectMailbox(server_, Utf8(name).c_str(), &status) < 0) return Fail(error, ImapGetLastError());
  s_.mailboxStatus = status;
  s_.mailboxName = name;
  s_.newMessages = 0;
  return S_OK;
}

HRESULT CInternetMail::UnselectMailbox(VARIANT expunge, VARIANT* error) {
  CV_OCX_ENTRY;
  bool remove = true;
  if (!ocx::IsMissingArgument(expunge)) {
    VARIANT b{};
    if (HRESULT hr = VariantChangeType(&b, &expunge, 0, VT_BOOL); FAILED(hr)) return hr;
    remove = b.boolVal != VARIANT_FALSE;
  }
  CV_IMAP_METHOD_GATE(error);
  if (ImapUnselectMailbox(server_, remove ? 1 : 0) < 0) return Fail(error, ImapGetLastError());
  return S_OK;
}

HRESULT CInternetMail::CreateMailbox(VARIANT mailboxName, VARIANT* error) {
  CV_OCX_ENTRY;
  std::string name;
  if (HRESULT hr = Utf8Argument(mailboxName, &name, nullptr); FAILED(hr)) return hr;
  CV_IMAP_METHOD_GATE(error);
  if (ImapCreateMailbox(server_, name.c_str()) < 0) return Fail(error, ImapGetLastError());
  mailboxes_.clear();
  return S_OK;
}

HRESULT CInternetMail::DeleteMailbox(VARIANT mailboxName, VARIANT* error) {
  CV_OCX_ENTRY;
  std::string name;
  if (HRESULT hr = Utf8Argument(mailboxName, &name, nullptr); FAILED(hr)) return hr;
  CV_IMAP_METHOD_GATE(error);
  if (ImapDeleteMailbox(server_, name.c_str()) < 0) return Fail(error, ImapGetLastError());
  mailboxes_.clear();
  return S_OK;
}

HRESULT CInternetMail::RenameMailbox(VARIANT oldName, VARIANT newName, VARIANT* error) {
  CV_OCX_ENTRY;
  std::string from, to;
  if (HRESULT hr = Utf8Argument(oldName, &from, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(newName, &to, nullptr); FAILED(hr)) return hr;
  CV_IMAP_METHOD_GATE(error);
  if (ImapRenameMailbox(server_, from.c_str(), to.c_str()) < 0) return Fail(error, ImapGetLastError());
  return S_OK;
}

HRESULT CInternetMail::CopyMessage(VARIANT messageNumber, VARIANT mailboxName, VARIANT options, VARIANT* error) {
  CV_OCX_ENTRY;
  (void)options;
  if (ocx::IsMissingArgument(messageNumber)) return DISP_E_PARAMNOTOPTIONAL;
  uint32_t number = 0;
  std::string name;
  if (HRESULT hr = NumberArgument(messageNumber, &number); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(mailboxName, &name); FAILED(hr)) return hr;
  CV_IMAP_METHOD_GATE(error);
  if (ImapCopyMessage(server_, number, name.c_str()) < 0) return Fail(error, ImapGetLastError());
  return S_OK;
}

HRESULT CInternetMail::CreateMessage(VARIANT messageData, VARIANT messageFlags, VARIANT mailboxName,
                                     VARIANT* error) {
  CV_OCX_ENTRY;
  std::string data, name;
  uint32_t flags = 0;
  if (HRESULT hr = ByteArgument(messageData, &data); FAILED(hr)) return hr;
  if (HRESULT hr = NumberArgument(messageFlags, &flags); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(mailboxName, &name, s_.mailboxName.c_str()); FAILED(hr)) return hr;
  CV_IMAP_METHOD_GATE(error);
  if (ImapAppendMessage(server_, OrNull(name), data.data(), uint32_t(data.size()), uint16_t(flags)) < 0)
    return Fail(error, ImapGetLastError());
  return S_OK;
}

HRESULT CInternetMail::SearchMailbox(VARIANT criteria, VARIANT* messages, VARIANT charSet, VARIANT* result) {
  CV_OCX_ENTRY;
  std::string text, charset;
  if (HRESULT hr = Utf8Argument(criteria, &text, nullptr); FAILED(hr)) return hr;
  if (HRESULT hr = Utf8Argument(charSet, &charset); FAILED(hr)) return hr;
  SAFEARRAY* array = nullptr;
  if (messages) {
    if (messages->vt == (VT_ARRAY | VT_I4))
      array = messages->parray;
    else if (messages->vt == (VT_BYREF | VT_ARRAY | VT_I4) && messages->pparray)
      array = *messages->pparray;
  }
  if (!array || SafeArrayGetDim(array) != 1) return E_INVALIDARG;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  if (ImapOnlyRefused()) return Raise(cvErrorOperationNotSupported, s_.throwError, true);
  SetErrorArgument(result, 0);
  LONG low = 0, high = -1;
  SafeArrayGetLBound(array, 1, &low);
  SafeArrayGetUBound(array, 1, &high);
  const int32_t capacity = high >= low ? int32_t(high - low + 1) : 0;
  std::vector<uint32_t> found(size_t(capacity) + 1);
  const int32_t n = ImapSearchMailbox(server_, text.c_str(), OrNull(charset), capacity > 0 ? found.data() : nullptr,
                                      capacity);
  if (n < 0) return Raise(0, s_.throwError, true);
  SetErrorArgument(result, n);
  const int32_t copy = std::min(n, capacity);
  for (int32_t i = 0; i < copy; ++i) {
    LONG index = low + i;
    int32_t number = int32_t(found[size_t(i)]);
    SafeArrayPutElement(array, &index, &number);
  }
  return S_OK;
}

HRESULT CInternetMail::Idle(VARIANT options, VARIANT timeout, VARIANT* error) {
  CV_OCX_ENTRY;
  uint32_t opts = 0, seconds = 0;
  if (HRESULT hr = NumberArgument(options, &opts); FAILED(hr)) return hr;
  if (HRESULT hr = NumberArgument(timeout, &seconds, uint32_t(s_.timeout)); FAILED(hr)) return hr;
  if (ImapOnlyRefused()) return Raise(cvErrorOperationNotSupported, s_.throwError, true);
  SetErrorArgument(error, 0);
  EnsureWindow();
  if (ImapIdle(server_, seconds, opts, reinterpret_cast<uintptr_t>(Window())) < 0)
    return Fail(error, ImapGetLastError());
  return S_OK;
}

}  // namespace mailctl
