// The InternetMail control without servers: its member layout, defaults and property rules,
// errors and how they reach the host, design mode, and the notification handlers.
#include <gtest/gtest.h>

#include "mail_host.h"
#include "platform/msg/message.h"

namespace {

using namespace mailhost;

TEST(InternetMailLayout, MembersStandInTheirOrderWithTheirIds) {
  const auto& t = mailctl::IInternetMail::DispatchTable();
  ASSERT_GE(t.count, 3u);
  EXPECT_STREQ(t.members[0].name, "About");
  EXPECT_EQ(t.members[2].id, -514);
  DISPID last = 0;
  int properties = 0, methods = 0;
  for (size_t i = 3; i < t.count; ++i) {
    const plat::com::DispMember& m = t.members[i];
    SCOPED_TRACE(m.name);
    EXPECT_GE(m.id, last);
    if (m.id != last) {
      EXPECT_EQ(m.id, last + 1);
      (m.id <= 83 ? properties : methods)++;
    }
    EXPECT_EQ(m.kind == plat::com::Kind::METHOD, m.id >= 84);
    last = m.id;
  }
  EXPECT_EQ(properties, 83);
  EXPECT_EQ(methods, 42);
}

class Deliverable : public MailDeliverable {};

TEST_F(Deliverable, ExportsOnlyItsFourEntryPoints) {
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
    EXPECT_NE(dlsym(module_, name), nullptr) << name;
  for (const char* name : {"MimeAttach", "SmtpConnectServer", "Pop3Login", "ImapLogin", "DnsLookupMx", "TraceEnable"})
    EXPECT_EQ(dlsym(module_, name), nullptr) << name;
}

TEST_F(Deliverable, PropertyDefaults) {
  const std::pair<const char16_t*, const char*> defaults[] = {
      {u"IsInitialized", "False"}, {u"Enabled", "True"},    {u"ServerType", "0"},      {u"ServerPort", "0"},
      {u"Timeout", "60"},          {u"Options", "0"},       {u"Secure", "False"},      {u"SecureProtocol", "0"},
      {u"RelayPort", "0"},         {u"ThrowError", "False"}, {u"Trace", "False"},      {u"TraceFlags", "0"},
      {u"Localize", "True"},       {u"IsConnected", "False"}, {u"IsBlocked", "False"}, {u"MessageIndex", "0"},
      {u"MessageSize", "0"},       {u"MessageCount", "0"},  {u"NewMessages", "0"},     {u"MailboxName", "\"\""},
      {u"CertificateStatus", "0"}, {u"CertificateIssuer", "\"\""}, {u"Encrypted", "0"}, {u"LastError", "0"},
      {u"Version", "\"9.5.9530.0\""}, {u"ContentLength", "-1"}, {u"MessageParts", "0"}, {u"From", "\"\""},
      {u"Message", "\"\""},        {u"Recipients", "0"},    {u"AllRecipients", "\"\""}, {u"AllHeaders", "\"\""},
  };
  for (auto [name, expect] : defaults) EXPECT_EQ(Show(name), expect) << plat::ToUtf8(name);
  EXPECT_EQ(Show(u"IsInitialized"), "True");  // the header reads initialised the control
  EXPECT_EQ(Show(u"NameServer", {I4(0)}).substr(0, 1), "\"");
  EXPECT_TRUE(events.empty());
}

TEST_F(Deliverable, PropertyRules) {
  struct Step {
    const char16_t* put;
    VARIANT value;
    HRESULT hr;
    const char16_t* read;
    const char* expect;
  } steps[] = {
      {u"ServerPort", I4(65536), HRESULT(0x800A017C), u"ServerPort", "0"},
      {u"ServerPort", I4(995), S_OK, u"ServerPort", "995"},
      {u"ServerType", I4(3), HRESULT(0x800A017C), u"ServerType", "0"},
      {u"RelayPort", I4(-1), HRESULT(0x800A017C), u"RelayPort", "0"},
      {u"Encrypted", I4(1), HRESULT(0x800A017C), u"Encrypted", "0"},
      {u"Encrypted", I4(0), S_OK, u"Encrypted", "0"},
      {u"Secure", Bool(true), S_OK, u"SecureProtocol", "16"},
      {u"SecureProtocol", I4(0), S_OK, u"Secure", "False"},
      {u"SecureProtocol", I4(8), S_OK, u"Secure", "True"},
      {u"Timeout", I4(-5), S_OK, u"Timeout", "-5"},
      {u"LastError", I4(10060), S_OK, u"LastErrorString", "\"The specified operation has timed out\""},
      {nullptr, {}, S_OK, u"LastError", "10060"},
      {u"LastError", I4(0), S_OK, u"LastError", "0"},
      {u"LastError", I4(12227), S_OK, u"LastErrorString", "\"User authentication is required\""},
      {u"LastError", I4(11999), S_OK, u"LastErrorString", "\"Undefined control error (0x80042EDF)\""},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.put ? plat::ToUtf8(s.put) : "read");
    if (s.put) {
      EXPECT_EQ(Put(s.put, s.value), s.hr);
    }
    EXPECT_EQ(Show(s.read), s.expect);
  }
  EXPECT_EQ(PutText(u"LocalAddress", u"1.2.3.4"), HRESULT(0x800A017F));
  EXPECT_EQ(Show(u"MessageDigest"), "!800A018A");  // never readable
  EXPECT_EQ(Show(u"NameServer", {I4(4)}), "!800A017D");
  EXPECT_EQ(Show(u"NameServer", {I4(-1)}), "!800A017D");
  VARIANT text = Str(u"127.0.0.1");
  EXPECT_EQ(PutIndexed(u"NameServer", I4(4), text), E_INVALIDARG);
  EXPECT_EQ(PutIndexed(u"NameServer", I4(3), text), S_OK);
  VariantClear(&text);
  EXPECT_EQ(Show(u"NameServer", {I4(3)}), "\"127.0.0.1\"");
  EXPECT_TRUE(events.empty());  // property errors fire no OnError
}

TEST_F(Deliverable, MethodErrorsReachTheHostOnceEach) {
  // Without a user name: Error, LastError, the text, OnError, and S_OK for the host.
  EXPECT_EQ(Run(u"Connect", {Str(u"127.0.0.1"), I4(110)}), "12227");
  EXPECT_EQ(TakeEvents(), "OnError 12227 \"User authentication is required\"\n");
  EXPECT_EQ(Show(u"LastError"), "12227");
  EXPECT_EQ(Show(u"ServerType"), "1");  // chosen from the port and kept
  // ThrowError turns it into the automation code of the same number.
  EXPECT_EQ(Put(u"ThrowError", Bool(true)), S_OK);
  EXPECT_EQ(Run(u"Connect", {Str(u"127.0.0.1"), I4(110)}, HRESULT(0x800A2FC3)), "12227");
  EXPECT_EQ(Put(u"ThrowError", Bool(false)), S_OK);
  events.clear();

  EXPECT_EQ(Run(u"GetMessage", {I4(0)}, HRESULT(0x800A0005)), "");  // nothing raised, Error untouched
  EXPECT_EQ(TakeEvents(), "");
  Run(u"GetMessage", {I4(1)});
  EXPECT_EQ(TakeEvents(), "OnError 10057 \"No connection established with remote host\"\n");
  EXPECT_EQ(Run(u"StoreMessage", {I4(1), Str(u"")}), "10057");
  EXPECT_EQ(Run(u"DeleteMessage", {I4(1)}), "10057");  // the library's invalid handle
  EXPECT_EQ(Run(u"CheckMailbox", {}), "10057");
  events.clear();

  // IMAP: ChangePassword is not supported and leaves Error at 0.
  EXPECT_EQ(Put(u"ServerType", I4(2)), S_OK);
  EXPECT_EQ(Run(u"ChangePassword", {Str(u"u"), Str(u"a"), Str(u"b")}), "0");
  EXPECT_EQ(TakeEvents(), "OnError 12201 \"The specified operation is not supported\"\n");
  EXPECT_EQ(Run(u"SelectMailbox", {Str(u"INBOX")}), "10057");
  EXPECT_EQ(Show(u"Mailboxes"), "0");  // not connected: an empty list
}

TEST_F(Deliverable, ServerTypeFollowsThePortUntilReset) {
  const std::pair<int32_t, const char*> cases[] = {{993, "2"}, {143, "2"}, {0, "1"}, {110, "1"}, {995, "1"}};
  for (auto [port, type] : cases) {
    EXPECT_EQ(Method(u"Reset", {}), S_OK);
    EXPECT_EQ(Run(u"Connect", {Str(u"127.0.0.1"), I4(port), Str(u"user")}), "12227");  // no password
    EXPECT_EQ(Show(u"ServerType"), type) << port;
    EXPECT_EQ(Show(u"ServerPort"), std::to_string(port));
  }
  EXPECT_NE(Show(u"LocalName"), "\"\"");
}

TEST_F(Deliverable, TraceStartsWithTheFirstUse) {
  // A trace library that cannot be loaded: starting the trace fails, which Trace shows.
  setenv("CV_TRACE_LIBRARY", (dir_ / "none.so").c_str(), 1);
  EXPECT_EQ(Put(u"Trace", Bool(true)), S_OK);
  EXPECT_EQ(Show(u"Trace"), "True");  // only the wish so far
  EXPECT_EQ(Show(u"IsInitialized"), "False");
  EXPECT_EQ(Run(u"Initialize", {Missing()}), "0");
  EXPECT_EQ(Show(u"Trace"), "False");
  EXPECT_EQ(Put(u"Trace", Bool(true)), S_OK);
  EXPECT_EQ(Show(u"Trace"), "False");
  unsetenv("CV_TRACE_LIBRARY");
}

TEST_F(Deliverable, InitializeResetAndUninitialize) {
  EXPECT_EQ(Run(u"Initialize", {Missing()}), "0");
  EXPECT_EQ(Show(u"IsInitialized"), "True");
  EXPECT_EQ(Put(u"Timeout", I4(5)), S_OK);
  EXPECT_EQ(PutText(u"ServerName", u"mail.example"), S_OK);
  EXPECT_EQ(PutText(u"Bcc", u"b@example.org"), S_OK);
  EXPECT_EQ(PutText(u"Subject", u"kept?"), S_OK);
  EXPECT_EQ(Put(u"Localize", Bool(false)), S_OK);
  EXPECT_EQ(Method(u"Reset", {}), S_OK);
  EXPECT_EQ(Show(u"Timeout"), "60");
  EXPECT_EQ(Show(u"Bcc"), "\"\"");
  EXPECT_EQ(Show(u"Subject"), "\"\"");  // the message object is gone
  EXPECT_EQ(Show(u"ServerName"), "\"mail.example\"");
  EXPECT_EQ(Show(u"Localize"), "False");
  EXPECT_EQ(Show(u"IsInitialized"), "True");
  EXPECT_EQ(Method(u"Uninitialize", {}), S_OK);
  EXPECT_EQ(Show(u"IsInitialized"), "False");
  EXPECT_EQ(PutText(u"To", u"x@example.org"), S_OK);  // any use initialises again
  EXPECT_EQ(Show(u"IsInitialized"), "True");
  EXPECT_EQ(Show(u"Recipients"), "1");
}

// --- In this process: design mode and the notification handlers ---

class InProcess : public MailInProcess {};

TEST_F(InProcess, DesignModeRefusesReadsAndMethods) {
  TestSite* site = new TestSite;
  site->userMode = false;
  IOleObject* ole = nullptr;
  ASSERT_EQ(control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
  ASSERT_EQ(ole->SetClientSite(site), S_OK);
  EXPECT_EQ(Show(u"Timeout"), "!800A018A");
  EXPECT_EQ(Show(u"From"), "!800A018A");
  EXPECT_EQ(Show(u"Enabled"), "True");  // the stock property has no run-mode check
  EXPECT_EQ(Put(u"Timeout", I4(9)), S_OK);  // writes are accepted
  EXPECT_EQ(PutText(u"Domain", u"example.org"), HRESULT(0x800A018A));
  EXPECT_EQ(Run(u"Connect", {}, HRESULT(0x800A0005)), "0");
  EXPECT_EQ(Method(u"ComposeMessage", {Str(u"a@b"), Str(u"c@d")}), HRESULT(0x800A0005));
  EXPECT_TRUE(events.empty());
  site->userMode = true;
  EXPECT_EQ(Show(u"Timeout"), "9");
  ole->SetClientSite(nullptr);
  ole->Release();
  site->Release();
}

TEST_F(InProcess, NotificationsBecomeEvents) {
  ASSERT_EQ(Run(u"Initialize", {Missing()}), "0");
  HWND window = object->Window();
  ASSERT_NE(window, nullptr);
  const WPARAM none = WPARAM(kInvalidLibHandle);  // the control holds no session
  plat::SendMessage(window, mailctl::kMsgPop3Notify, none, MAKELONG(16, 0));
  plat::SendMessage(window, mailctl::kMsgImapNotify, none, MAKELONG(32, 5));
  plat::SendMessage(window, mailctl::kMsgSmtpNotify, none, MAKELONG(128, 0));  // no status to read
  plat::SendMessage(window, mailctl::kMsgSmtpNotify, none, MAKELONG(64, 0));   // not fired
  EXPECT_EQ(TakeEvents(), "OnTimeout\nOnCancel\n");

  // Mailbox updates: only for the control's own session, never while events are frozen.
  plat::SendMessage(window, mailctl::kMsgMailboxUpdate, none, mailctl::PackMailboxUpdate(2, 7));
  plat::SendMessage(window, mailctl::kMsgMailboxUpdate, 4242, mailctl::PackMailboxUpdate(2, 8));
  IOleControl* ole = nullptr;
  ASSERT_EQ(control->QueryInterface(IID_IOleControl, reinterpret_cast<void**>(&ole)), S_OK);
  ole->FreezeEvents(1);
  plat::SendMessage(window, mailctl::kMsgMailboxUpdate, none, mailctl::PackMailboxUpdate(2, 9));
  ole->FreezeEvents(0);
  ole->Release();
  EXPECT_EQ(TakeEvents(), "OnUpdate 2 7\n");

  // The IDLE thread's callback posts; message numbers arrive whole.
  for (const uint32_t number : {0u, 1u, 65535u, 65536u, 70000u, 0x7FFFFFFFu}) {
    mailctl::CInternetMail::MailboxUpdateCallback(kInvalidLibHandle, 3, number, reinterpret_cast<uintptr_t>(window));
    mailctl::CInternetMail::MailboxUpdateCallback(kInvalidLibHandle, 1, 3, 0);  // no window: nothing
    plat::MSG msg;
    while (plat::PeekMessage(&msg, nullptr, 0, 0, plat::PM_REMOVE)) plat::DispatchMessage(&msg);
    EXPECT_EQ(TakeEvents(), "OnUpdate 3 " + std::to_string(number) + "\n");
  }
}

}  // namespace
