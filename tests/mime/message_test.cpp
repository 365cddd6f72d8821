// The message model: library attach, messages, parts, headers and body text.
#include <cstring>
#include <string>
#include <thread>

#include "mime_fixture.h"

namespace {

using MimeMessageTest = MimeTest;

std::string HeaderList(LibHandle h) {
  char name[128], value[1024];
  std::string out;
  for (int32_t r = MimeGetFirstHeader(h, name, value); r == 1; r = MimeGetNextHeader(h, name, value))
    out += std::string(name) + "=" + value + "|";
  return out;
}

TEST_F(MimeMessageTest, AttachFillsTheVersionRecord) {
  LibVersionInfo info{};
  info.size = sizeof info;
  EXPECT_EQ(MimeAttach(&info), 1);
  EXPECT_EQ(info.majorVersion, 9u);
  EXPECT_EQ(info.minorVersion, 5u);
  EXPECT_EQ(info.build, 9530u);
  EXPECT_STREQ(info.banner, "Corvanetics Mail Message Library");
  MimeDetach();
  info.size = 100;
  EXPECT_EQ(MimeAttach(&info), 0);
  EXPECT_EQ(MimeGetLastError(), Err(10014));
}

TEST_F(MimeMessageTest, NewMessageHasThreeHeadersAndResetLeavesNone) {
  LibHandle h = MimeCreateMessage();
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(MimeGetPartCount(h), 1);
  EXPECT_EQ(HeaderList(h), "MIME-Version=1.0|Content-Type=text/plain; charset=utf-8|Content-Transfer-Encoding=8bit|");
  ASSERT_EQ(MimeResetMessage(h), 1);
  EXPECT_EQ(MimeGetPartCount(h), 1);
  EXPECT_EQ(HeaderList(h), "");
  EXPECT_EQ(MimeCreatePart(h, 0, 0, "x"), -1);
  EXPECT_EQ(MimeGetLastError(), Err(12292));
  EXPECT_EQ(MimeDestroyMessage(h), 1);
  EXPECT_EQ(MimeGetPartCount(h), -1);
  EXPECT_EQ(MimeGetLastError(), Err(10038));
}

TEST_F(MimeMessageTest, HandlesWorkFromAnyThread) {
  LibHandle h = MimeCreateMessage();
  int32_t count = 0;
  std::thread([&] { count = MimeSetHeader(h, "Subject", "from another thread"); }).join();
  EXPECT_EQ(count, 1);
  EXPECT_STREQ(MimeGetHeader(h, "subject"), "from another thread");
}

TEST_F(MimeMessageTest, DetachDestroysEveryMessage) {
  LibHandle h = MimeCreateMessage();
  MimeDetach();
  ASSERT_EQ(MimeAttach(nullptr), 1);
  EXPECT_EQ(MimeGetPartCount(h), -1);
}

TEST_F(MimeMessageTest, HeaderNamesAreNormalisedAndValidated) {
  LibHandle h = MimeCreateMessage();
  ASSERT_EQ(MimeSetHeader(h, "content-type:  ", "text/html;   charset=iso-8859-1"), 1);
  EXPECT_STREQ(MimeGetHeader(h, "Content-Type"), "text/html; charset=iso-8859-1");
  char sub[128];
  EXPECT_EQ(MimeGetMediaSubtype(h, sub), int32_t(kMimeMediaText));
  EXPECT_STREQ(sub, "html");
  ASSERT_EQ(MimeSetHeader(h, "x-my-header", "a"), 1);
  EXPECT_NE(HeaderList(h).find("X-My-Header=a"), std::string::npos);
  for (const char* bad : {"two words", "co:lon", "caf\xE9", "ctl\x01", "", ":"}) {
    EXPECT_EQ(MimeSetHeader(h, bad, "v"), 0) << bad;
    EXPECT_EQ(MimeGetLastError(), Err(12283));
  }
  EXPECT_EQ(MimeGetHeader(h, "Missing"), nullptr);
  EXPECT_EQ(MimeGetLastError(), Err(12283));
}

TEST_F(MimeMessageTest, SettingReplacesInPlaceAndDeletedNodesAreReused) {
  LibHandle h = MimeCreateMessage();
  ASSERT_EQ(MimeResetMessage(h), 1);
  MimeSetHeader(h, "A", "1");
  MimeSetHeader(h, "B", "2");
  MimeSetHeader(h, "C", "3");
  MimeSetHeader(h, "a", "one");
  EXPECT_EQ(HeaderList(h), "A=one|B=2|C=3|");
  EXPECT_EQ(MimeSetHeader(h, "B", ""), 1);
  EXPECT_EQ(HeaderList(h), "A=one|C=3|");
  EXPECT_EQ(MimeDeleteHeader(h, "B"), 0);
  EXPECT_EQ(MimeGetLastError(), Err(12283));
  MimeSetHeader(h, "D", "4");
  EXPECT_EQ(HeaderList(h), "A=one|D=4|C=3|");
  char buffer[3];
  EXPECT_EQ(MimeGetPartHeader(h, 0, "A", buffer, sizeof buffer), 2);
  EXPECT_STREQ(buffer, "on");
  EXPECT_EQ(MimeGetPartHeader(h, 0, "A", nullptr, 0), 3);
  EXPECT_EQ(MimeGetPartHeader(h, 0, nullptr, buffer, 3), -1);
}

// Headers are found by name through an index: repeated names, deletions and reused nodes
// answer as the list walked in order would, for any number of names.
TEST_F(MimeMessageTest, HeaderLookupFollowsTheListThroughDeletionsAndReuse) {
  LibHandle h = MimeCreateMessage();
  ASSERT_EQ(MimeResetMessage(h), 1);
  const std::string text = "Received: one\nX-A: a\nReceived: two\nX-B: b\nreceived: three\n\n";
  ASSERT_EQ(MimeParseMessage(h, text.data(), int32_t(text.size())), 1);
  EXPECT_EQ(HeaderList(h), "Received=one|X-A=a|Received=two|X-B=b|Received=three|");
  EXPECT_STREQ(MimeGetHeader(h, "RECEIVED"), "one");
  EXPECT_EQ(MimeDeleteHeader(h, "Received"), 1);
  EXPECT_STREQ(MimeGetHeader(h, "received"), "two");
  EXPECT_EQ(MimeDeleteHeader(h, "X-B"), 1);
  EXPECT_EQ(MimeDeleteHeader(h, "Received"), 1);
  EXPECT_STREQ(MimeGetHeader(h, "Received"), "three");
  // New names take the emptied nodes in list order, the earliest first, then go at the end.
  for (const char* name : {"Y", "Z", "W", "V"}) ASSERT_EQ(MimeSetHeader(h, name, name), 1);
  EXPECT_EQ(HeaderList(h), "Y=Y|X-A=a|Z=Z|W=W|Received=three|V=V|");
  ASSERT_EQ(MimeSetHeader(h, "received", "3"), 1);
  EXPECT_EQ(HeaderList(h), "Y=Y|X-A=a|Z=Z|W=W|Received=3|V=V|");
  constexpr int kNames = 20000;
  for (int i = 0; i < kNames; ++i) {
    const std::string name = "X-Name-" + std::to_string(i);
    ASSERT_EQ(MimeSetHeader(h, name.c_str(), std::to_string(i).c_str()), 1);
  }
  for (int i = 0; i < kNames; i += 997) {
    const std::string name = "x-name-" + std::to_string(i);
    ASSERT_STREQ(MimeGetHeader(h, name.c_str()), std::to_string(i).c_str());
  }
  EXPECT_EQ(MimeGetHeader(h, "X-Name-20000"), nullptr);
}

TEST_F(MimeMessageTest, NonAsciiValuesAreStoredAsEncodedWords) {
  LibHandle h = MimeCreateMessage();
  ASSERT_EQ(MimeSetHeader(h, "Subject", "Gr\xC3\xBC\xC3\x9F" "e"), 1);
  EXPECT_STREQ(MimeGetHeader(h, "Subject"), "Gr\xC3\xBC\xC3\x9F" "e");
  EXPECT_NE(Export(h).find("Subject: =?utf-8?B?R3LDvMOfZQ==?=\r\n"), std::string::npos);
  // Without defaults (a reset message) the bytes are kept as they are.
  ASSERT_EQ(MimeResetMessage(h), 1);
  ASSERT_EQ(MimeSetHeader(h, "Subject", "caf\xE9"), 1);
  EXPECT_STREQ(MimeGetHeader(h, "Subject"), "caf\xE9");
}

TEST_F(MimeMessageTest, SecondPartMakesPartZeroMultipartWithItsBodyAsPreamble) {
  LibHandle h = MimeCreateMessage();
  ASSERT_EQ(MimeSetText(h, 0, "preamble"), 8);
  ASSERT_EQ(MimeAddPart(h), 1);
  EXPECT_EQ(MimeGetCurrentPart(h), 1);
  const std::string type = Header(h, 0, "Content-Type");
  EXPECT_EQ(type.rfind("multipart/mixed; boundary=\"----=_CV9530_0001_", 0), 0u) << type;
  EXPECT_EQ(Body(h, 0), "preamble");
  EXPECT_EQ(MimeSelectPart(h, 5), -1);
  EXPECT_EQ(MimeGetLastError(), Err(12282));
}

TEST_F(MimeMessageTest, PartLimitAndDeletingParts) {
  LibHandle h = MimeCreateMessage();
  for (int i = 1; i < 1024; ++i) ASSERT_EQ(MimeAddPart(h), i);
  EXPECT_EQ(MimeAddPart(h), -1);
  EXPECT_EQ(MimeGetLastError(), Err(12282));
  EXPECT_EQ(MimeDeletePart(h, 1023), 1);
  EXPECT_EQ(MimeGetCurrentPart(h), 1022);
  LibHandle small = MimeCreateMessage();
  EXPECT_EQ(MimeDeletePart(small, -1), 1);
  EXPECT_EQ(MimeGetPartCount(small), 0);
  EXPECT_EQ(MimeSetHeader(small, "A", "b"), 0);
  EXPECT_EQ(MimeGetLastError(), Err(12282));
  EXPECT_EQ(MimeDeletePart(small, 0), 0);
}

TEST_F(MimeMessageTest, CreatePartChecksCharsetAndEncoding) {
  LibHandle h = MimeCreateMessage();
  EXPECT_EQ(MimeCreatePart(h, 99, 0, "x"), -1);
  EXPECT_EQ(MimeGetLastError(), Err(12292));
  EXPECT_EQ(MimeCreatePart(h, 0, kMimeEncodingBase64, "x"), -1);
  EXPECT_EQ(MimeGetLastError(), Err(12293));
  const int32_t index = MimeCreatePart(h, kMimeCharsetIso8859_1, kMimeEncodingQuoted, "caf=E9 =3D");
  ASSERT_EQ(index, 1);
  EXPECT_EQ(Header(h, 1, "Content-Type"), "text/plain; charset=iso-8859-1");
  EXPECT_EQ(Header(h, 1, "Content-Transfer-Encoding"), "quoted-printable");
  EXPECT_EQ(Body(h, 1), "caf\xE9 =");  // stored decoded
  MimeSelectPart(h, 1);
  EXPECT_EQ(MimeSetText(h, 0, "a=zz"), 4);  // not quoted-printable: stored as given
  EXPECT_EQ(Body(h, 1), "a=zz");
}

TEST_F(MimeMessageTest, TextLineEndsOffsetsAndReading) {
  LibHandle h = MimeCreateMessage();
  EXPECT_EQ(MimeSetText(h, 0, "\na\nb\r\nc"), 7);  // inserted CRs are not counted
  EXPECT_EQ(Body(h, 0), "\r\na\r\nb\r\nc");
  EXPECT_EQ(MimeAppendText(h, "\nd"), 2);
  EXPECT_EQ(Body(h, 0), "\r\na\r\nb\r\nc\r\nd");
  EXPECT_EQ(MimeSetText(h, 3, "XY"), 2);
  EXPECT_EQ(Body(h, 0), "\r\naXY");
  EXPECT_EQ(MimeSetText(h, 0, ""), 0);
  EXPECT_EQ(Body(h, 0), "\r\naXY");
  char buffer[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(MimeGetText(h, buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 4), std::string("\r\na\0", 4));
  EXPECT_EQ(MimeGetText(h, nullptr, 3), 0);
  EXPECT_EQ(MimeClearText(h), 1);
  EXPECT_EQ(MimeGetContentLength(h), 0);
  // Large appends keep their bytes.
  const std::string chunk(10000, 'q');
  for (int i = 0; i < 50; ++i) MimeAppendText(h, chunk.c_str());
  EXPECT_EQ(MimeGetContentLength(h), 500000);
}

TEST_F(MimeMessageTest, SetDateNormalisesParsedDatesAndKeepsOthers) {
  LibHandle h = MimeCreateMessage();
  MimeAddPart(h);
  ASSERT_EQ(MimeSetDate(h, "8 Dec 2026 12:00:00 EST", 0), 1);
  EXPECT_EQ(MimeGetCurrentPart(h), 1);
  EXPECT_EQ(Header(h, 0, "Date"), "Tue, 08 Dec 2026 12:00:00 -0500");
  ASSERT_EQ(MimeSetDate(h, "whenever", 0), 1);
  EXPECT_EQ(Header(h, 0, "Date"), "whenever");
  ASSERT_EQ(MimeSetDate(h, nullptr, 0), 1);
  uint32_t t = 0;
  EXPECT_EQ(MimeParseDate(Header(h, 0, "Date").c_str(), 0, &t, nullptr), 1);
}

// Text that is no date is stored as it is: the call succeeds and leaves no error behind.
TEST_F(MimeMessageTest, SetDateOfTextThatIsNoDateLeavesNoError) {
  LibHandle h = MimeCreateMessage();
  MimeSetLastError(0);
  ASSERT_EQ(MimeSetDate(h, "whenever", 0), 1);
  EXPECT_EQ(MimeGetLastError(), 0u);
}

}  // namespace
