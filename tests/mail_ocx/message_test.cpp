// The message object through the control: composing, headers and recipients, dates in
// and out of the local zone, the whole text, parts and attachments, files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "mail_host.h"
#include "peers/peer.h"

namespace {

using namespace mailhost;

std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class MessageTest : public MailDeliverable {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);
    tzset();
    MailDeliverable::SetUp();
  }
  void Compose() {
    EXPECT_EQ(Run(u"ComposeMessage", {Str(u"Ann <ann@example.org>"), Str(u"bob@example.org, Cy <cy@example.org>"),
                                      Str(u"dee@example.org"), Str(u"eve@example.org"), Str(u"Hello"),
                                      Str(u"plain text \u00e9"), Str(u"<p>html</p>")}),
              "0");
  }
  cvpeers::TempDir dir_;
};

TEST_F(MessageTest, ComposedMessageHasItsHeadersAndRecipients) {
  EXPECT_EQ(Show(u"Subject"), "\"\"");
  Compose();
  EXPECT_EQ(Show(u"From"), "\"Ann <ann@example.org>\"");
  EXPECT_EQ(Show(u"Subject"), "\"Hello\"");
  EXPECT_EQ(Show(u"Bcc"), "\"eve@example.org\"");  // held by the control, not in the message
  EXPECT_EQ(Show(u"Recipients"), "4");
  EXPECT_EQ(Show(u"Recipient", {I4(1)}), "\"cy@example.org\"");
  EXPECT_EQ(Show(u"Recipient", {I4(4)}), "\"\"");  // the end of the list
  EXPECT_EQ(Show(u"Recipient", {I4(5)}), "!800A017D");
  EXPECT_EQ(Show(u"Recipient", {I4(-1)}), "!800A017D");
  EXPECT_EQ(Show(u"AllRecipients"), "\"bob@example.org,cy@example.org,dee@example.org,eve@example.org\"");
  const std::string text = Show(u"Message");
  EXPECT_NE(text.find("multipart/alternative"), std::string::npos) << text;
  EXPECT_NE(text.find("charset=utf-8"), std::string::npos) << text;
  EXPECT_NE(text.find("quoted-printable"), std::string::npos) << text;
  EXPECT_EQ(text.find("eve@"), std::string::npos) << "Bcc never enters the message";
  EXPECT_NE(Show(u"AllHeaders").find("Subject: Hello\r\n"), std::string::npos);

  // Writing To or Bcc changes the list at the next read.
  EXPECT_EQ(PutText(u"To", u"zed@example.org"), S_OK);
  EXPECT_EQ(PutText(u"Bcc", u""), S_OK);
  EXPECT_EQ(Show(u"AllRecipients"), "\"zed@example.org,dee@example.org\"");
  EXPECT_EQ(Show(u"Recipients"), "2");
  EXPECT_EQ(Method(u"ClearMessage", {}), S_OK);
  EXPECT_EQ(Show(u"Recipients"), "0");
  EXPECT_EQ(Show(u"Message"), "\"\"");
}

TEST_F(MessageTest, GenericHeaderMethods) {
  VARIANT name{}, value{}, result{};
  EXPECT_EQ(Method(u"SetHeader", {Str(u"X-Test"), Str(u"one"), Ref(&result)}), S_OK);
  EXPECT_EQ(Value(result), "True");
  EXPECT_EQ(Method(u"GetHeader", {Str(u"x-test"), Ref(&value), Ref(&result)}), S_OK);
  EXPECT_EQ(Value(value) + Value(result), "\"one\"True");
  EXPECT_EQ(PutText(u"Subject", u"two"), S_OK);
  std::string walked;
  EXPECT_EQ(Method(u"GetFirstHeader", {Ref(&name), Ref(&value), Ref(&result)}), S_OK);
  while (Value(result) == "True") {
    walked += Value(name) + "=" + Value(value) + ";";
    EXPECT_EQ(Method(u"GetNextHeader", {Ref(&name), Ref(&value), Ref(&result)}), S_OK);
  }
  EXPECT_NE(walked.find("\"X-Test\"=\"one\";"), std::string::npos) << walked;
  EXPECT_NE(walked.find("\"Subject\"=\"two\";"), std::string::npos) << walked;
  EXPECT_EQ(Value(name), "\"\"");  // the end leaves empty texts

  // A missing by-reference output is refused before anything runs.
  EXPECT_EQ(Method(u"GetFirstHeader", {Missing(), Ref(&value), Ref(&result)}), E_INVALIDARG);
  // Deleting a header that is not there raises and leaves Result false.
  EXPECT_EQ(Method(u"DeleteHeader", {Str(u"X-Absent"), Ref(&result)}), S_OK);
  EXPECT_EQ(Value(result), "False");
  EXPECT_EQ(TakeEvents(), "OnError 12283 \"The specified message header is invalid or has not been defined\"\n");
  EXPECT_EQ(Method(u"DeleteHeader", {Str(u"X-Test"), Ref(&result)}), S_OK);
  EXPECT_EQ(Value(result), "True");
  VariantClear(&name);
  VariantClear(&value);
  VariantClear(&result);
}

TEST_F(MessageTest, AddressesAndReturnReceipt) {
  EXPECT_EQ(PutText(u"Domain", u"example.net"), S_OK);
  VARIANT parsed{};
  EXPECT_EQ(Method(u"ParseAddress", {Str(u"Joe Bloggs <joe>"), Ref(&parsed)}), S_OK);
  EXPECT_EQ(Value(parsed), "\"joe@example.net\"");
  EXPECT_EQ(Method(u"ParseAddress", {Str(u""), Ref(&parsed)}), S_OK);
  EXPECT_EQ(Value(parsed), "\"\"");
  VariantClear(&parsed);
  EXPECT_EQ(PutText(u"ReturnReceipt", u"Receipts <back@example.org>"), S_OK);
  EXPECT_EQ(Show(u"ReturnReceipt"), "\"back@example.org\"");
}

TEST_F(MessageTest, DatesAreReexpressedInTheLocalZoneWhenLocalized) {
  setenv("TZ", "UTC0", 1);
  tzset();
  EXPECT_EQ(Show(u"TimeZone"), "0");
  EXPECT_EQ(PutText(u"Date", u"Mon, 1 Jun 2026 12:00:00 +0200"), S_OK);
  EXPECT_EQ(Show(u"Date"), "\"Mon, 01 Jun 2026 10:00:00 +0000\"");
  EXPECT_EQ(Put(u"Localize", Bool(false)), S_OK);
  EXPECT_EQ(PutText(u"Date", u"Mon, 1 Jun 2026 12:00:00 +0200"), S_OK);
  EXPECT_EQ(Show(u"Date"), "\"Mon, 01 Jun 2026 12:00:00 +0200\"");
  // An unparsable date raises the date error and keeps the old one.
  EXPECT_EQ(PutText(u"Date", u"not a date"), HRESULT(0x800A3029));
  EXPECT_EQ(Show(u"LastError"), "12329");
  EXPECT_EQ(Show(u"Date"), "\"Mon, 01 Jun 2026 12:00:00 +0200\"");
  // TimeZone is the process's zone: seconds west of UTC.
  EXPECT_EQ(Put(u"TimeZone", I4(-3600)), S_OK);
  EXPECT_EQ(Show(u"TimeZone"), "-3600");
  EXPECT_EQ(Put(u"Localize", Bool(true)), S_OK);
  EXPECT_EQ(Show(u"Date"), "\"Mon, 01 Jun 2026 11:00:00 +0100\"");
  EXPECT_TRUE(events.empty());
}

TEST_F(MessageTest, MessageTextRoundTrips) {
  const char16_t* text = u"From: a@example.org\r\nTo: b@example.org\r\nSubject: round\r\n\r\nbody line\r\n";
  EXPECT_EQ(PutText(u"Message", text), S_OK);
  EXPECT_EQ(Show(u"Subject"), "\"round\"");
  EXPECT_EQ(Show(u"MessageText"), "\"body line\r\n\"");
  const std::string exported = Show(u"Message");
  EXPECT_NE(exported.find("Subject: round\r\n"), std::string::npos);
  EXPECT_NE(exported.find("\r\n\r\nbody line\r\n"), std::string::npos);
  // An empty body clears the whole flag: the Message reads empty.
  EXPECT_EQ(PutText(u"MessageText", u""), S_OK);
  EXPECT_EQ(Show(u"Message"), "\"\"");
  EXPECT_EQ(PutText(u"MessageText", u"new body"), S_OK);
  EXPECT_EQ(Show(u"ContentLength"), "8");
  EXPECT_EQ(Run(u"AppendMessage", {Str(u" more")}), "0");
  EXPECT_EQ(Show(u"MessageText"), "\"new body more\"");
  // Two pieces of one message parsed one after the other.
  EXPECT_EQ(Method(u"ClearMessage", {}), S_OK);
  EXPECT_EQ(Run(u"ParseMessage", {Str(u"Subject: in pieces\r\n")}), "0");
  EXPECT_EQ(Run(u"ParseMessage", {Str(u"\r\nthe body\r\n")}), "0");
  EXPECT_EQ(Show(u"Subject"), "\"in pieces\"");
  // Parts made and taken away again.
  EXPECT_EQ(Show(u"MessageParts"), "1");
  EXPECT_EQ(Run(u"CreatePart", {Str(u"second part"), I4(10), I4(4)}), "0");
  EXPECT_EQ(Show(u"MessageParts"), "2");
  EXPECT_EQ(Put(u"MessagePart", I4(1)), S_OK);
  EXPECT_EQ(Show(u"MessageText"), "\"second part\"");
  EXPECT_EQ(Show(u"ContentType").find("charset=utf-8") != std::string::npos, true) << Show(u"ContentType");
  EXPECT_EQ(Put(u"MessagePart", I4(7)), HRESULT(0x800A2FFA));
  EXPECT_EQ(Run(u"DeletePart", {I4(1)}), "0");
  EXPECT_EQ(Show(u"MessageParts"), "1");
}

// Repeated To and Cc headers, as some mailers write them: the properties show every
// address the recipient list counts; writing one replaces every instance.
TEST_F(MessageTest, RepeatedAddressHeadersShowEveryAddress) {
  EXPECT_EQ(PutText(u"Message",
                    u"From: a@example.org\r\nTo: t1@example.org\r\nCc: c1@example.org\r\n"
                    u"To: t2@example.org\r\nCc: C Two <c2@example.org>, c3@example.org\r\n\r\nbody\r\n"),
            S_OK);
  EXPECT_EQ(Show(u"Cc"), "\"c1@example.org, C Two <c2@example.org>, c3@example.org\"");
  EXPECT_EQ(Show(u"To"), "\"t1@example.org, t2@example.org\"");
  EXPECT_EQ(Show(u"Recipients"), "5");
  EXPECT_EQ(PutText(u"Cc", u"only@example.org"), S_OK);
  EXPECT_EQ(Show(u"Cc"), "\"only@example.org\"");
  EXPECT_EQ(Show(u"Recipients"), "3");
  EXPECT_EQ(PutText(u"To", u""), S_OK);
  EXPECT_EQ(Show(u"To"), "\"\"");
  EXPECT_EQ(Show(u"Recipients"), "1");
}

// More parts than a message holds: the text is kept whole and readable, and the limit is
// reported.
TEST_F(MessageTest, MessageOfMorePartsThanTheLimitStaysReadable) {
  std::u16string text = u"Subject: many\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n";
  for (int i = 1; i <= 1030; ++i) text += u"--b\r\n\r\npart " + plat::ToUtf16(std::to_string(i)) + u"\r\n";
  text += u"--b--\r\n";
  EXPECT_EQ(PutText(u"Message", text.c_str()), HRESULT(0x800A2FFA));
  EXPECT_EQ(Show(u"LastError"), "12282");
  EXPECT_EQ(Show(u"Subject"), "\"many\"");
  EXPECT_EQ(Show(u"MessageParts"), "1024");
  EXPECT_NE(Show(u"Message").find("part 1030\r\n--b--\r\n"), std::string::npos);
  EXPECT_EQ(Method(u"ClearMessage", {}), S_OK);
  EXPECT_EQ(Run(u"ParseMessage", {Str(text.c_str())}), "12282");
  EXPECT_EQ(Show(u"MessageParts"), "1024");
  EXPECT_NE(Show(u"Message").find("part 1030\r\n"), std::string::npos);
}

TEST_F(MessageTest, AttachmentsGoInAndComeOut) {
  Compose();
  VARIANT bytes = Array(VT_UI1, 10);
  for (LONG i = 0; i < 10; ++i) {
    uint8_t b = uint8_t('0' + i);
    SafeArrayPutElement(bytes.parray, &i, &b);
  }
  EXPECT_EQ(Run(u"AttachData", {bytes, I4(4), Str(u"four.bin"), Str(u"application/octet-stream")}), "0");
  EXPECT_EQ(Run(u"AttachData", {Str(u"caf\u00e9"), Missing(), Str(u"word.txt")}), "0");
  // A two-dimensional array is refused without raising.
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  VARIANT square{};
  square.vt = VT_ARRAY | VT_UI1;
  square.parray = SafeArrayCreate(VT_UI1, 2, bounds);
  EXPECT_EQ(Run(u"AttachData", {square}, HRESULT(0x800A0005)), "");
  EXPECT_EQ(Run(u"AttachData", {Missing()}, E_INVALIDARG), "");
  EXPECT_TRUE(events.empty());

  const std::string parts = Show(u"MessageParts");
  // The mixed body, the alternative pair inside it with its two texts, then the two files.
  ASSERT_EQ(parts, "6") << Show(u"Message");
  VARIANT found{};
  EXPECT_EQ(Method(u"FindAttachment", {Str(u"FOUR.BIN"), Ref(&found)}), S_OK);
  EXPECT_EQ(Value(found), "4");
  // Extracting another part leaves the current one current, also when it fails.
  EXPECT_EQ(Put(u"MessagePart", I4(1)), S_OK);
  const std::string four = (dir_.path() / "four").string();
  EXPECT_EQ(Run(u"ExtractFile", {Str(plat::ToUtf16(four).c_str()), I4(4)}), "0");
  EXPECT_EQ(Slurp(four), "0123");
  EXPECT_EQ(Show(u"MessagePart"), "1");
  EXPECT_NE(Run(u"ExtractFile", {Str(u"/nonexistent/folder/four"), I4(4)}), "0");
  EXPECT_EQ(Show(u"MessagePart"), "1");
  events.clear();
  EXPECT_EQ(Put(u"MessagePart", I4(5)), S_OK);
  EXPECT_EQ(Show(u"Attachment"), "\"word.txt\"");
  const std::string all = (dir_.path() / "all").string();
  std::filesystem::create_directory(all);
  VARIANT count{};
  EXPECT_EQ(Method(u"ExtractAllFiles", {Str(plat::ToUtf16(all).c_str()), Ref(&count)}), S_OK);
  EXPECT_EQ(Value(count), "2");
  EXPECT_EQ(Slurp(std::filesystem::path(all) / "word.txt"), "caf\xc3\xa9");

  // Out to a file and back in.
  const std::string saved = (dir_.path() / "saved.eml").string();
  EXPECT_EQ(Run(u"ExportMessage", {Str(plat::ToUtf16(saved).c_str())}), "0");
  EXPECT_EQ(Method(u"ClearMessage", {}), S_OK);
  EXPECT_EQ(Method(u"FindAttachment", {Str(u"four.bin"), Ref(&found)}), S_OK);
  EXPECT_EQ(TakeEvents(), "OnError 12285 \"The current message part does not contain a file attachment\"\n");
  EXPECT_EQ(Run(u"ImportMessage", {Str(plat::ToUtf16(saved).c_str())}), "0");
  EXPECT_EQ(Show(u"Subject"), "\"Hello\"");
  EXPECT_EQ(Method(u"FindAttachment", {Str(u"word.txt"), Ref(&found)}), S_OK);
  EXPECT_EQ(Value(found), "5");
  // A failed import keeps the message it had.
  EXPECT_NE(Run(u"ImportMessage", {Str(u"/nonexistent/file.eml")}), "0");
  EXPECT_EQ(Show(u"Subject"), "\"Hello\"");
  VariantClear(&found);
  VariantClear(&count);
}

}  // namespace
