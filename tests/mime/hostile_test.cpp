// Hostile and malformed input: every case ends cleanly and within bounds.
#include <string>

#include "mime_fixture.h"

namespace {

using MimeHostileTest = MimeTest;

TEST_F(MimeHostileTest, UnboundedNestingStopsAtTheDeepestLevel) {
  std::string text = "Content-Type: multipart/mixed; boundary=b0\n\n";
  for (int i = 1; i < 200; ++i)
    text += "--b" + std::to_string(i - 1) + "\nContent-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n";
  text += "--b199\n\nleaf\n";
  LibHandle h = Parse(text);
  EXPECT_LE(MimeGetPartCount(h), 1024);
  // The message still exports and parses back.
  const std::string out = Export(h, 3);
  ASSERT_NE(out, "<export failed>");
  LibHandle back = Parse(out);
  EXPECT_EQ(MimeGetPartCount(back), MimeGetPartCount(h));
}

TEST_F(MimeHostileTest, TooManyPartsFailCleanly) {
  std::string text = "Content-Type: multipart/mixed; boundary=x\n\n";
  for (int i = 0; i < 1100; ++i) text += "--x\n\np\n";
  LibHandle h = MimeCreateMessage();
  MimeResetMessage(h);
  EXPECT_EQ(MimeParseMessage(h, text.data(), int32_t(text.size())), 0);
  EXPECT_EQ(MimeGetLastError(), Err(12282));
  EXPECT_EQ(MimeGetPartCount(h), 1024);
}

TEST_F(MimeHostileTest, MissingOrBrokenBoundaries) {
  // A nested part never closed: the outer delimiter still ends it.
  LibHandle h = Parse(
      "Content-Type: multipart/mixed; boundary=out\n\n--out\n"
      "Content-Type: multipart/alternative; boundary=in\n\n--in\n\ninner\n"
      "--out\nContent-Type: text/plain; name=\"a.txt\"\n\nattached\n--out--\n");
  ASSERT_EQ(MimeGetPartCount(h), 4);
  EXPECT_EQ(Body(h, 3), "attached\r\n");
  // A multipart without a boundary parameter, and an empty one, keep all text as a body.
  LibHandle none = Parse("Content-Type: multipart/mixed\n\n--\n--x\nbody\n");
  EXPECT_EQ(MimeGetPartCount(none), 1);
  LibHandle empty = Parse("Content-Type: multipart/mixed; boundary=\"\"\n\n--\nbody\n");
  EXPECT_EQ(MimeGetPartCount(empty), 1);
  EXPECT_EQ(Body(empty, 0), "--\r\nbody\r\n");
}

TEST_F(MimeHostileTest, HugeHeaderLinesAreCutHugeBodyLinesKeepEveryByte) {
  const std::string huge(200000, 'h');
  LibHandle h = Parse("Subject: " + huge + "\n\n" + huge + "\nafter\n");
  EXPECT_EQ(MimeGetPartHeader(h, 0, "Subject", nullptr, 0), 65535 - 9);
  EXPECT_EQ(Body(h, 0), huge + "\r\nafter\r\n");
  MimeDestroyMessage(h);
}

TEST_F(MimeHostileTest, BadEncodedBodiesAreKeptAsText) {
  LibHandle h = Parse(
      "Content-Type: text/plain\nContent-Transfer-Encoding: base64\n\n"
      "aGV!sbG8=\n"
      "aGVsbG8=\n");
  EXPECT_EQ(Body(h, 0), "aGV!sbG8=\r\nhello");
  LibHandle q = Parse(
      "Content-Type: text/plain\nContent-Transfer-Encoding: quoted-printable\n\n"
      "bad =G1 escape\n"
      "soft=\n"
      "=\n"
      "end=\n");
  EXPECT_EQ(Body(q, 0), "bad =G1 escape\r\nsoftend");
}

TEST_F(MimeHostileTest, MalformedHeaderLines) {
  LibHandle h = Parse(
      "Subject: ok\n"
      ": no name\n"
      "Bad\x01Name: x\n"
      "=?utf-8?Q?X-Evil=0D=0ABcc:_a@b?=: v\n"
      "From: a@b\n\nbody\n");
  EXPECT_EQ(Header(h, 0, "Subject"), "ok");
  EXPECT_EQ(Header(h, 0, "From"), "a@b");
  EXPECT_EQ(Body(h, 0), "body\r\n");
  // A part whose text starts without a header block keeps its text.
  LibHandle p = Parse("Content-Type: multipart/mixed; boundary=x\n\n--x\nHello there\nmore\n--x--\n");
  ASSERT_EQ(MimeGetPartCount(p), 2);
  EXPECT_EQ(Body(p, 1), "Hello there\r\nmore\r\n");
  // Text that is no message at all is a body.
  LibHandle plain = Parse("just some words\n");
  EXPECT_EQ(Body(plain, 0), "just some words\r\n");
}

TEST_F(MimeHostileTest, EncodedWordsCannotInjectHeaderLines) {
  LibHandle h = Parse("Subject: =?utf-8?Q?hi=0D=0ABcc:_victim@x.org?=\n\nb\n");
  const std::string subject = Header(h, 0, "Subject");
  EXPECT_EQ(subject.find('\r'), std::string::npos);
  EXPECT_EQ(subject.find('\n'), std::string::npos);
  char all[512];
  ASSERT_GT(MimeGetAllHeaders(h, all, sizeof all), 0);
  EXPECT_EQ(std::string(all).find("\nBcc"), std::string::npos);
  // Setting a decoded value with line breaks never splits the header either.
  LibHandle c = MimeCreateMessage();
  MimeSetHeader(c, "Subject", "a\r\nBcc: victim@x.org");
  EXPECT_EQ(Export(c).find("\r\nBcc:"), std::string::npos);
}

}  // namespace
