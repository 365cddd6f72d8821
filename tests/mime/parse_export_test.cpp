// Parsing raw messages and writing them out again: structure, headers, bodies, delimiters,
// header order and folding, export targets, import from files and the clipboard.
#include <algorithm>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mime_fixture.h"
#include "platform/clipboard/clipboard.h"

namespace {

using MimeParseTest = MimeTest;

// A corpus message: mixed with a nested alternative, an attachment, encoded words in
// several charsets, folded headers, an 8-bit body and a uuencoded body.
const std::string kMixed =
    "From alice@example.org Mon Dec  7 10:00:00 2026\n"
    "Received: from a by b; Mon, 7 Dec 2026 10:00:00 +0000\n"
    "Received: from c by d; Mon, 7 Dec 2026 09:59:00 +0000\n"
    "Received: from e\n"
    "\tby f; Mon, 7 Dec 2026 09:58:00 +0000\n"
    "Return-Path: <alice@example.org>\n"
    "From: =?iso-8859-1?Q?Andr=E9?= <andre@example.org>\n"
    "To: Bob <bob@example.org>,\n"
    " Carol <carol@example.org>\n"
    "Bcc: secret@example.org\n"
    "Subject: =?utf-8?B?w6lsw6h2ZQ==?= and =?koi8-r?Q?=F0=D2=C9?=\n"
    "X-Custom: kept\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\n"
    "\n"
    "This is the preamble.\n"
    "--outer\n"
    "Content-Type: multipart/alternative; boundary=\"inner\"\n"
    "\n"
    "--inner\n"
    "Content-Type: text/plain; charset=iso-8859-1\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "Caf=E9 au lait =\n"
    "for two.\n"
    "\n"
    "--inner\n"
    "Content-Type: text/html; charset=utf-8\n"
    "Content-Transfer-Encoding: 8bit\n"
    "\n"
    "<p>Caf\xC3\xA9</p>\n"
    "--inner--\n"
    "--outer\n"
    "Content-Type: application/octet-stream; name=\"data.bin\"\n"
    "Content-Transfer-Encoding: base64\n"
    "Content-Disposition: attachment; filename=\"data.bin\"\n"
    "\n"
    "AAECAwT/\n"
    "\n"
    "--outer\n"
    "Content-Type: text/plain\n"
    "X-Attachments: notes.txt\n"
    "Content-Transfer-Encoding: 7bit\n"
    "\n"
    "begin 644 notes.txt\n"
    "%:&5L;&\\`\n"
    "`\n"
    "end\n"
    "--outer--\n";

TEST_F(MimeParseTest, MixedWithNestedAlternativeAttachmentAndUuencodedBody) {
  LibHandle h = Parse(kMixed);
  ASSERT_EQ(MimeGetPartCount(h), 6);
  EXPECT_EQ(Body(h, 0), "This is the preamble.\r\n");
  EXPECT_EQ(Header(h, 0, "From"), "Andr\xC3\xA9 <andre@example.org>");  // words reach the host as UTF-8
  EXPECT_EQ(Header(h, 0, "To"), "Bob <bob@example.org>, Carol <carol@example.org>");
  EXPECT_EQ(Header(h, 0, "Subject"), "\xC3\xA9l\xC3\xA8ve and \xD0\x9F\xD1\x80\xD0\xB8");
  EXPECT_EQ(Header(h, 2, "Content-Type"), "text/plain; charset=iso-8859-1");
  EXPECT_EQ(Body(h, 2), "Caf\xE9 au lait for two.\r\n");  // decoded as stored, blank line before the delimiter dropped
  EXPECT_EQ(Body(h, 3), "<p>Caf\xC3\xA9</p>\r\n");
  EXPECT_EQ(Body(h, 4), "AAECAwT/\r\n");  // attachments stay encoded
  MimeSelectPart(h, 4);
  char name[260];
  ASSERT_EQ(MimeGetAttachmentName(h, name, sizeof name), 1);
  EXPECT_STREQ(name, "data.bin");
  EXPECT_EQ(MimeGetPartEncoding(h, 4), uint32_t(kMimeEncodingBase64));
  MimeSelectPart(h, 5);
  ASSERT_EQ(MimeGetAttachmentName(h, name, sizeof name), 1);
  EXPECT_STREQ(name, "notes.txt");
  EXPECT_EQ(MimeGetPartEncoding(h, 5), uint32_t(kMimeEncodingUuencode));
  EXPECT_EQ(MimeFindAttachment(h, "  NOTES.TXT"), 5);
  EXPECT_EQ(MimeFindAttachment(h, "none"), -1);
  EXPECT_EQ(MimeGetLastError(), Err(12285));

  ASSERT_EQ(MimeExtractAllFiles(h, dir_.c_str()), 2);
  EXPECT_EQ(ReadFile(Path("data.bin")), std::string("\x00\x01\x02\x03\x04\xFF", 6));
  EXPECT_EQ(ReadFile(Path("notes.txt")), "hello");
}

TEST_F(MimeParseTest, ReceivedHeadersRepeatOtherNamesReplace) {
  LibHandle h = Parse(kMixed + "");
  char name[128], value[1024];
  int received = 0;
  std::string third;
  MimeSelectPart(h, 0);
  for (int32_t r = MimeGetFirstHeader(h, name, value); r; r = MimeGetNextHeader(h, name, value)) {
    if (std::string(name) == "Received" && ++received == 3) third = value;
  }
  EXPECT_EQ(received, 3);
  EXPECT_EQ(third, "from e by f; Mon, 7 Dec 2026 09:58:00 +0000");
  LibHandle twice = Parse("Subject: one\nSubject: two\n\nbody\n");
  EXPECT_EQ(Header(twice, 0, "Subject"), "two");
  MimeSelectPart(twice, 0);
  int subjects = 0;
  for (int32_t r = MimeGetFirstHeader(twice, name, value); r; r = MimeGetNextHeader(twice, name, value))
    subjects += std::string(name) == "Subject";
  EXPECT_EQ(subjects, 1);
}

TEST_F(MimeParseTest, RepeatedHeadersKeepEveryInstanceInOrder) {
  const std::string text =
      "To: a@x.org\nCc: c1@x.org\nDKIM-Signature: v=1; d=x.org;\n b=first\nTo: b@x.org\nCc: c2@x.org\n"
      "DKIM-Signature: v=1; d=y.org;\n\tb=second\nARC-Seal: i=1\nARC-Seal: i=2\nResent-To: r1@x.org\n"
      "Resent-To: r2@x.org\nComments: one\nKeywords: k1\nComments: two\nKeywords: k2\nCc: c3@x.org\n"
      "Subject: first\nSubject: second\nX-Seen: 1\nX-Seen: 2\n\nbody\n";
  LibHandle h = Parse(text);
  std::vector<std::pair<std::string, std::string>> headers;
  char name[128], value[1024];
  MimeSelectPart(h, 0);
  for (int32_t r = MimeGetFirstHeader(h, name, value); r; r = MimeGetNextHeader(h, name, value))
    headers.emplace_back(name, value);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"To", "a@x.org"},           {"Cc", "c1@x.org"},           {"DKIM-Signature", "v=1; d=x.org; b=first"},
      {"To", "b@x.org"},           {"Cc", "c2@x.org"},           {"DKIM-Signature", "v=1; d=y.org; b=second"},
      {"ARC-Seal", "i=1"},         {"ARC-Seal", "i=2"},          {"Resent-To", "r1@x.org"},
      {"Resent-To", "r2@x.org"},   {"Comments", "one"},          {"Keywords", "k1"},
      {"Comments", "two"},         {"Keywords", "k2"},           {"Cc", "c3@x.org"},
      {"Subject", "second"},       {"X-Seen", "1"},              {"X-Seen", "2"},
  };
  EXPECT_EQ(headers, expected);
  char recipients[512];
  uint32_t size = sizeof recipients;
  EXPECT_EQ(MimeGetRecipients(h, nullptr, recipients, &size), 5);

  // Export writes every instance; the text parses back to the same headers.
  for (uint32_t options : {0u, 1u, 2u, 3u}) {
    const std::string out = Export(h, options);
    size_t dkim = 0;
    for (size_t at = 0; (at = out.find("DKIM-Signature:", at)) != std::string::npos; ++at) ++dkim;
    EXPECT_EQ(dkim, 2u) << options;
    LibHandle back = Parse(out);
    size = sizeof recipients;
    EXPECT_EQ(MimeGetRecipients(back, nullptr, recipients, &size), 5) << options;
    // The order list may move names forward; instances of one name keep their order.
    if (options & 2) EXPECT_EQ(Export(back, 3), Export(h, 3)) << options;
    else EXPECT_EQ(Export(back, 1), Export(h, 1)) << options;
    MimeDestroyMessage(back);
  }
  MimeDestroyMessage(h);
}

TEST_F(MimeParseTest, WhatParsesExportsAndParsesBackTheSame) {
  const struct {
    const char* what;
    std::string text;
    int32_t parts;
  } kCases[] = {
      {"no header block, header-like body", "\r\nSubject: not a header\r\n\r\nbody\r\n", 1},
      {"no header block, blank first body line", "\n\nsecond line\n", 1},
      {"multipart without a boundary", "Content-Type: multipart/mixed\n\n--x\nbody\n", 1},
      {"multipart whose boundary never comes", "Content-Type: multipart/mixed; boundary=b\n\ntext\n", 1},
      {"two nested multiparts side by side",
       "Content-Type: multipart/mixed; boundary=o\n\n--o\nContent-Type: multipart/alternative; boundary=i1\n\n"
       "--i1\n\none\n--i1\n\ntwo\n--i1--\n--o\nContent-Type: multipart/related; boundary=i2\n\n--i2\n\nthree\n"
       "--i2--\n--o\n\nfour\n--o--\n",
       7},
      {"last part nested, outer close missing",
       "Content-Type: multipart/mixed; boundary=o\n\n--o\nContent-Type: multipart/alternative; boundary=i\n\n"
       "--i\n\none\n--i--\n",
       3},
  };
  for (const auto& c : kCases) {
    LibHandle h = Parse(c.text);
    EXPECT_EQ(MimeGetPartCount(h), c.parts) << c.what;
    const std::string once = Export(h, 3);
    ASSERT_NE(once, "<export failed>") << c.what << ": " << MimeGetLastError();
    LibHandle back = Parse(once);
    ASSERT_EQ(MimeGetPartCount(back), c.parts) << c.what;
    for (int32_t i = 0; i < c.parts; ++i) {
      EXPECT_EQ(Body(back, i), Body(h, i)) << c.what << " part " << i;
      EXPECT_EQ(Header(back, i, "Content-Type"), Header(h, i, "Content-Type")) << c.what << " part " << i;
    }
    EXPECT_EQ(Export(back, 3), once) << c.what;
    MimeDestroyMessage(back);
    MimeDestroyMessage(h);
  }
  // An empty first line is an empty header block: the body keeps every line.
  LibHandle h = Parse("\r\nSubject: not a header\r\n\r\nbody\r\n");
  EXPECT_EQ(Header(h, 0, "Subject"), "");
  EXPECT_EQ(Body(h, 0), "Subject: not a header\r\n\r\nbody\r\n");
  MimeDestroyMessage(h);
}

TEST_F(MimeParseTest, ChunkedParsingEqualsWholeParsing) {
  LibHandle whole = Parse(kMixed);
  const std::string reference = Export(whole, 3);
  for (size_t step : {1u, 2u, 7u, 64u}) {
    LibHandle h = MimeCreateMessage();
    MimeResetMessage(h);
    for (size_t at = 0; at < kMixed.size(); at += step) {
      const std::string chunk = kMixed.substr(at, step);
      ASSERT_EQ(MimeParseMessage(h, chunk.data(), int32_t(chunk.size())), 1);
    }
    EXPECT_EQ(Export(h, 3), reference) << "chunks of " << step;
    MimeDestroyMessage(h);
  }
}

// Bodies of several megabytes outgrow the C library's heap into mapped pages and keep
// growing there; whatever the size of the pieces they arrive in, every byte stays, bare
// line feeds included, and the message exports as it came.
TEST_F(MimeParseTest, LargeBodiesKeepEveryByteInPiecesOfAnySize) {
  std::string text = "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n";
  std::vector<std::string> bodies;
  uint32_t seed = 7;
  for (const size_t size : {size_t(3) << 20, size_t(5) << 20, size_t(1500000)}) {
    std::string body;
    while (body.size() < size) {
      seed = seed * 1103515245u + 12345u;
      body.append(40 + seed % 60, char('a' + seed % 26));
      body += (seed & 0x100) ? "\n" : "\r\n";
    }
    text += "--b\r\nContent-Type: application/octet-stream\r\n\r\n" + body + "\r\n";
    std::string stored;  // as kept: every line feed after a CR
    for (const char c : body) {
      if (c == '\n' && stored.back() != '\r') stored += '\r';
      stored += c;
    }
    bodies.push_back(stored);
  }
  text += "--b--\r\n";
  LibHandle whole = Parse(text);
  const std::string reference = Export(whole, 3);
  MimeDestroyMessage(whole);
  for (const size_t step : {size_t(8192), size_t(4093), text.size()}) {
    LibHandle h = MimeCreateMessage();
    MimeResetMessage(h);
    for (size_t at = 0; at < text.size(); at += step)
      ASSERT_EQ(MimeParseMessage(h, text.data() + at, int32_t(std::min(step, text.size() - at))), 1);
    ASSERT_EQ(MimeGetPartCount(h), 4);
    for (int32_t part = 1; part <= 3; ++part) EXPECT_TRUE(Body(h, part) == bodies[size_t(part - 1)]) << part;
    EXPECT_TRUE(Export(h, 3) == reference) << "pieces of " << step;
    MimeDestroyMessage(h);
  }
}

TEST_F(MimeParseTest, LeadingJunkFoldsAndDelimiterVariants) {
  LibHandle h = Parse(
      "  \t Subject: folded\n  twice\nContent-Type: multipart/mixed; boundary=b\n\n"
      "--b   \nX: 1\n\none\n--b trailing text\n--b\n\ntwo\n--b--\nepilogue\n");
  EXPECT_EQ(Header(h, 0, "Subject"), "folded twice");
  ASSERT_EQ(MimeGetPartCount(h), 3);
  EXPECT_EQ(Body(h, 1), "one\r\n--b trailing text\r\n");
  EXPECT_EQ(Body(h, 2), "two\r\n");
  EXPECT_EQ(Body(h, 0), "epilogue\r\n");
  // A fold split between two chunks is joined by the header line parser.
  LibHandle c = MimeCreateMessage();
  MimeResetMessage(c);
  ASSERT_EQ(MimeParseMessage(c, "Subject: split\n", 15), 1);
  ASSERT_EQ(MimeParseMessage(c, "   fold\n\n", 9), 1);
  EXPECT_EQ(Header(c, 0, "Subject"), "split fold");
  EXPECT_EQ(MimeParseHeaderLine(c, " more\n"), 1);
  EXPECT_EQ(Header(c, 0, "Subject"), "split fold more");
  LibHandle none = MimeCreateMessage();
  MimeResetMessage(none);
  EXPECT_EQ(MimeParseHeaderLine(none, " orphan\n"), 0);
  EXPECT_EQ(MimeGetLastError(), Err(12283));
  EXPECT_EQ(MimeParseMessage(none, nullptr, 0), 0);
  EXPECT_EQ(MimeGetLastError(), Err(10014));
}

// A text with no header block: a line that starts with a TAB is no fold of the one before.
TEST_F(MimeParseTest, TextWithoutHeadersKeepsItsLineBreaks) {
  LibHandle h = Parse("Hello world\n\tindented\nlast\n");
  EXPECT_EQ(Body(h, 0), "Hello world\r\n\tindented\r\nlast\r\n");
  EXPECT_NE(Export(h, 3).find("Hello world\r\n\tindented\r\nlast\r\n"), std::string::npos) << Export(h, 3);
  LibHandle folded = Parse("Subject: one\n\ttwo\n\nbody\n");
  EXPECT_EQ(Header(folded, 0, "Subject"), "one two");
  EXPECT_EQ(Body(folded, 0), "body\r\n");
}

// A message of more parts than a message holds keeps all of its text: the parts up to the
// limit, the rest as it is in the last part. Every parse call past the limit says so, in
// one piece or many, and an import loads it whole.
TEST_F(MimeParseTest, MorePartsThanTheLimitKeepTheRestInTheLastPart) {
  std::string text = "Subject: many\nContent-Type: multipart/mixed; boundary=b\n\n";
  for (int i = 1; i <= 1030; ++i) text += "--b\nX-N: " + std::to_string(i) + "\n\npart " + std::to_string(i) + "\n";
  text += "--b--\n";
  LibHandle whole = MimeCreateMessage();
  ASSERT_EQ(MimeResetMessage(whole), 1);
  EXPECT_EQ(MimeParseMessage(whole, text.data(), int32_t(text.size())), 0);
  EXPECT_EQ(MimeGetLastError(), Err(12282));
  ASSERT_EQ(MimeGetPartCount(whole), 1024);
  EXPECT_EQ(Header(whole, 1023, "X-N"), "1023");
  const std::string last = Body(whole, 1023);
  EXPECT_EQ(last.rfind("part 1023\r\n--b\r\nX-N: 1024\r\n\r\npart 1024\r\n", 0), 0u) << last.substr(0, 80);
  EXPECT_EQ(last.substr(last.size() - 18), "part 1030\r\n--b--\r\n");
  const std::string exported = Export(whole, 3);

  LibHandle pieces = MimeCreateMessage();
  ASSERT_EQ(MimeResetMessage(pieces), 1);
  for (size_t at = 0; at < text.size(); at += 4000) {
    const int32_t n = int32_t(std::min<size_t>(4000, text.size() - at));
    if (MimeParseMessage(pieces, text.data() + at, n) == 0) {
      ASSERT_EQ(MimeGetLastError(), Err(12282)) << at;
    }
  }
  EXPECT_EQ(MimeGetLastError(), Err(12282));
  EXPECT_TRUE(Export(pieces, 3) == exported);

  WriteFile(Path("many.eml"), text);
  LibHandle imported = MimeCreateMessage();
  EXPECT_EQ(MimeImportMessage(imported, Path("many.eml").c_str()), 0);
  EXPECT_EQ(MimeGetLastError(), Err(12282));
  EXPECT_EQ(MimeGetPartCount(imported), 1024);
  EXPECT_TRUE(Export(imported, 3) == exported);
  for (LibHandle h : {whole, pieces, imported}) MimeDestroyMessage(h);
}

TEST_F(MimeParseTest, ExportHeaderOrderAndDroppedHeaders) {
  LibHandle h = Parse(kMixed);
  const std::string plain = Export(h, 0);
  EXPECT_EQ(plain.find("Received:"), std::string::npos);
  EXPECT_EQ(plain.find("Bcc:"), std::string::npos);
  EXPECT_EQ(plain.find("Return-Path:"), std::string::npos);
  EXPECT_EQ(plain.rfind("From: =?iso-8859-1?Q?Andr=E9?= <andre@example.org>\r\nTo: ", 0), 0u);
  EXPECT_LT(plain.find("Content-Type: multipart"), plain.find("X-Custom: kept"));
  // Every instance of a repeated header travels.
  const std::string all = Export(h, kMimeExportAllHeaders);
  EXPECT_EQ(all.rfind("Received: from a by b", 0), 0u);
  EXPECT_LT(all.find("Received: from c"), all.find("Received: from e"));
  const std::string stored = Export(h, 3);
  EXPECT_EQ(stored.rfind("Received: from a", 0), 0u);
  EXPECT_NE(stored.find("Received: from c"), std::string::npos);
  const std::string none = Export(h, 4);
  EXPECT_EQ(none.rfind("\r\nThis is the preamble.", 0), 0u);
}

TEST_F(MimeParseTest, ExportedMessagesParseBackToTheSameMessage) {
  LibHandle h = Parse(kMixed);
  const std::string once = Export(h, 3);
  LibHandle again = Parse(once);
  EXPECT_EQ(Export(again, 3), once);
  ASSERT_EQ(MimeGetPartCount(again), 6);
  EXPECT_EQ(Body(again, 2), "Caf\xE9 au lait for two.\r\n");
  EXPECT_EQ(Body(again, 4), "AAECAwT/\r\n");
  // The nested alternative is closed before the outer delimiter, and every level at the end.
  const size_t innerClose = once.find("--inner--");
  ASSERT_NE(innerClose, std::string::npos);
  EXPECT_LT(innerClose, once.find("--outer", once.find("--inner")));
  EXPECT_EQ(once.substr(once.size() - 11), "--outer--\r\n");
}

TEST_F(MimeParseTest, EightBitBoundaryKeepsItsBytesOnExport) {
  // A new message encodes 8-bit header text when it stores it; a boundary written as an
  // encoded word would no longer match the delimiter lines, which keep the raw bytes.
  for (const std::string& text :
       {std::string("Content-Type: multipart/mixed; boundary=\"b\xe9\"\r\n\r\n--b\xe9\r\n\r\ntext\r\n--b\xe9--\r\n"),
        std::string(
            "Content-Type: multipart/mixed; boundary=\"b\xff\x03y\"\n\n--b\xff\x03y\n\ntext\n--b\xff\x03y--\n")}) {
    LibHandle h = MimeCreateMessage();
    ASSERT_EQ(MimeParseMessage(h, text.data(), int32_t(text.size())), 1);
    ASSERT_EQ(MimeGetPartCount(h), 2);
    const std::string once = Export(h, kMimeExportAllHeaders);
    LibHandle back = MimeCreateMessage();
    ASSERT_EQ(MimeParseMessage(back, once.data(), int32_t(once.size())), 1);
    EXPECT_EQ(MimeGetPartCount(back), 2) << once;
    EXPECT_EQ(Body(back, 1), Body(h, 1));
    EXPECT_EQ(Export(back, kMimeExportAllHeaders), once);
    MimeDestroyMessage(back);
    MimeDestroyMessage(h);
  }
}

TEST_F(MimeParseTest, HeaderFolding) {
  LibHandle h = MimeCreateMessage();
  const std::string exact71(71, 'x');
  MimeSetHeader(h, "X-A", exact71.c_str());
  std::string words;
  for (int i = 0; i < 40; ++i) words += "word" + std::to_string(i) + " ";
  MimeSetHeader(h, "X-B", words.c_str());
  const std::string longNoBlank(200, 'y');
  MimeSetHeader(h, "X-C", longNoBlank.c_str());
  const std::string text = Export(h);
  EXPECT_NE(text.find("X-A: " + exact71 + "\r\n"), std::string::npos);
  EXPECT_NE(text.find("X-C: " + longNoBlank + "\r\n"), std::string::npos);
  const size_t b = text.find("X-B: ");
  const size_t firstBreak = text.find("\r\n", b);
  EXPECT_GT(firstBreak - b - 5, 72u);
  EXPECT_LT(firstBreak - b - 5, 80u);
  EXPECT_EQ(text.substr(firstBreak, 3), "\r\n ");
  LibHandle back = Parse(text);
  EXPECT_EQ(Header(back, 0, "X-B"), words.substr(0, words.size() - 1));
}

TEST_F(MimeParseTest, ExportTargets) {
  LibHandle h = Parse("Subject: s\n\nbody\n");
  uint32_t size = 0;
  ASSERT_EQ(MimeExportMessage(h, kMimeExportGlobal, 0, nullptr, nullptr, &size), 0);
  EXPECT_EQ(MimeGetLastError(), Err(10014));
  const std::string text = Export(h);
  EXPECT_EQ(text, "Subject: s\r\n\r\nbody\r\n");
  std::string buffer(text.size(), '#');
  size = uint32_t(buffer.size());
  ASSERT_EQ(MimeExportMessage(h, kMimeExportBuffer, 0, nullptr, buffer.data(), &size), 1);
  EXPECT_EQ(buffer, text);
  EXPECT_EQ(size, text.size());
  size = uint32_t(buffer.size() - 1);
  EXPECT_EQ(MimeExportMessage(h, kMimeExportBuffer, 0, nullptr, buffer.data(), &size), 0);
  EXPECT_EQ(MimeGetLastError(), Err(10023));
  EXPECT_EQ(size, 0u);
  size = 0;
  EXPECT_EQ(MimeExportMessage(h, kMimeExportBuffer, 0, nullptr, buffer.data(), &size), 0);
  EXPECT_EQ(MimeGetLastError(), Err(10023));
  EXPECT_EQ(MimeExportMessage(h, 9, 0, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(MimeExportMessage(h, kMimeExportFile, 0, "", nullptr, nullptr), 0);
  ASSERT_EQ(MimeExportMessage(h, kMimeExportDefault, 0, Path("out.eml").c_str(), nullptr, nullptr), 1);
  EXPECT_EQ(ReadFile(Path("out.eml")), text);
  EXPECT_EQ(MimeExportMessage(h, kMimeExportFile, 0, Path("no/such/dir.eml").c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(MimeGetLastError(), Err(10003));
}

TEST_F(MimeParseTest, ClipboardExportAndImport) {
  LibHandle h = Parse("Subject: via clipboard\n\nbody\n");
  ASSERT_EQ(MimeExportMessage(h, kMimeExportDefault, 0, nullptr, nullptr, nullptr), 1);
  LibHandle back = MimeCreateMessage();
  ASSERT_EQ(MimeLoadMessage(back, ""), 1);
  EXPECT_EQ(Header(back, 0, "Subject"), "via clipboard");
  EXPECT_EQ(Body(back, 0), "body\r\n");
  // While another thread holds the clipboard it is unavailable; empty, it has no text.
  ASSERT_TRUE(plat::OpenClipboard(nullptr));
  plat::EmptyClipboard();
  std::thread([&] {
    EXPECT_EQ(MimeExportMessage(h, kMimeExportClipboard, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(MimeGetLastError(), Err(10015));
  }).join();
  plat::CloseClipboard();
  EXPECT_EQ(MimeImportMessage(back, nullptr), 0);
  EXPECT_EQ(MimeGetLastError(), Err(10016));
}

TEST_F(MimeParseTest, ImportFromFiles) {
  LibHandle h = MimeCreateMessage();
  WriteFile(Path("m.eml"), "Subject: file\n\nno final line break");
  ASSERT_EQ(MimeImportMessage(h, Path("m.eml").c_str()), 1);
  EXPECT_EQ(Body(h, 0), "no final line break\r\n");
  EXPECT_EQ(Header(h, 0, "Content-Type"), "");  // a reset message gets only the parsed headers
  EXPECT_EQ(MimeImportMessage(h, Path("missing.eml").c_str()), 0);
  EXPECT_EQ(MimeGetLastError(), Err(10002));
  EXPECT_EQ(MimeImportMessage(h, dir_.c_str()), 0);
  EXPECT_EQ(MimeGetLastError(), Err(10005));
  // A big message crosses many 4,096-byte blocks.
  std::string big = "Subject: big\nContent-Type: multipart/mixed; boundary=q\n\n";
  for (int i = 0; i < 200; ++i) big += "--q\nContent-Type: text/plain\n\n" + std::string(1000, char('a' + i % 26)) + "\n";
  big += "--q--\n";
  WriteFile(Path("big.eml"), big);
  ASSERT_EQ(MimeImportMessage(h, Path("big.eml").c_str()), 1);
  EXPECT_EQ(MimeGetPartCount(h), 201);
  EXPECT_EQ(Body(h, 200), std::string(1000, char('a' + 199 % 26)) + "\r\n");
}

TEST_F(MimeParseTest, AllHeadersListing) {
  LibHandle h = Parse("Subject: =?utf-8?Q?caf=C3=A9?=\nBcc: b@x\n\nbody\n");
  const std::string expected = "Subject: caf\xC3\xA9\r\nBcc: b@x\r\n";
  EXPECT_EQ(MimeGetAllHeaders(h, nullptr, 0), int32_t(expected.size() + 1));
  char buffer[128];
  EXPECT_EQ(MimeGetAllHeaders(h, buffer, sizeof buffer), int32_t(expected.size()));
  EXPECT_EQ(buffer, expected);
  EXPECT_EQ(MimeGetLastError(), 0u);
  EXPECT_EQ(MimeGetAllHeaders(h, buffer, 20), 16);  // only the first line fits
  EXPECT_EQ(MimeGetLastError(), Err(10023));
}

}  // namespace
