// Attachments, extraction and composition.
#include <string>

#include "mime_fixture.h"

namespace {

using MimeAttachTest = MimeTest;

std::string Binary(size_t n) {
  std::string data;
  for (size_t i = 0; i < n; ++i) data.push_back(char(i * 31 + 7));
  return data;
}

TEST_F(MimeAttachTest, AttachingToPlainTextMakesMixedWithTheOldBodyFirst) {
  LibHandle h = MimeCreateMessage();
  MimeSetText(h, 0, "Hello\n");
  const std::string data = Binary(3000);
  WriteFile(Path("photo.png"), data);
  ASSERT_EQ(MimeAttachFile(h, Path("photo.png").c_str(), mailAttachDefault), 1) << MimeGetLastError();
  ASSERT_EQ(MimeGetPartCount(h), 3);
  EXPECT_EQ(Header(h, 0, "Content-Type").rfind("multipart/mixed; boundary=\"----=_CV9530_", 0), 0u);
  EXPECT_EQ(Header(h, 0, "Content-Transfer-Encoding"), "7bit");
  EXPECT_EQ(Body(h, 0), "This is a multipart message in MIME format.\r\n");
  EXPECT_EQ(Header(h, 1, "Content-Type"), "text/plain; charset=utf-8");
  EXPECT_EQ(Header(h, 1, "Content-Transfer-Encoding"), "8bit");
  EXPECT_EQ(Body(h, 1), "Hello\r\n");
  EXPECT_EQ(Header(h, 2, "Content-Type"), "image/png; name=\"photo.png\"");
  EXPECT_EQ(Header(h, 2, "Content-Transfer-Encoding"), "base64");
  EXPECT_EQ(Header(h, 2, "Content-Disposition"), "attachment; filename=\"photo.png\"");

  // Exported and parsed again, the attachment extracts to the same bytes.
  LibHandle back = Parse(Export(h));
  ASSERT_EQ(MimeGetPartCount(back), 3);
  const int32_t index = MimeFindAttachment(back, "PHOTO.PNG");
  ASSERT_EQ(index, 2);
  MimeSelectPart(back, index);
  ASSERT_EQ(MimeExtractFile(back, Path("copy.png").c_str()), 1);
  EXPECT_EQ(ReadFile(Path("copy.png")), data);
}

TEST_F(MimeAttachTest, AttachingToAlternativeNestsItUnderMixed) {
  LibHandle h = MimeComposeMessage("a@x.org", "b@x.org", nullptr, "s", "plain", "<b>html</b>", 0, 0);
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(MimeAttachData(h, "report", 6, "r.txt", "text/plain", mailAttachQuoted), 1);
  ASSERT_EQ(MimeGetPartCount(h), 5);
  EXPECT_EQ(Header(h, 0, "Content-Type").rfind("multipart/mixed;", 0), 0u);
  EXPECT_EQ(Header(h, 1, "Content-Type").rfind("multipart/alternative;", 0), 0u);
  EXPECT_EQ(Header(h, 2, "Content-Type"), "text/plain; charset=utf-8");
  EXPECT_EQ(Header(h, 3, "Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(Header(h, 4, "Content-Transfer-Encoding"), "quoted-printable");
  LibHandle back = Parse(Export(h));
  ASSERT_EQ(MimeGetPartCount(back), 5);
  EXPECT_EQ(Body(back, 2), "plain\r\n");
  EXPECT_EQ(Body(back, 3), "<b>html</b>\r\n");
  MimeSelectPart(back, 4);
  ASSERT_EQ(MimeExtractAllFiles(back, dir_.c_str()), 1);
  EXPECT_EQ(ReadFile(Path("r.txt")), "report");
}

TEST_F(MimeAttachTest, DataAttachmentsChooseTypesAndEncodings) {
  LibHandle h = MimeCreateMessage();
  const std::string binary = Binary(100);
  ASSERT_EQ(MimeAttachData(h, binary.data(), 100, nullptr, nullptr, 0), 1);
  EXPECT_EQ(Header(h, 2, "Content-Type"), "application/octet-stream");
  EXPECT_EQ(Header(h, 2, "Content-Disposition"), "inline");
  EXPECT_EQ(Header(h, 2, "Content-Transfer-Encoding"), "base64");
  ASSERT_EQ(MimeAttachData(h, "text data\r\n", 11, "C:\\dir\\notes.txt", nullptr, 0), 1);
  EXPECT_EQ(Header(h, 3, "Content-Type"), "text/plain; name=\"notes.txt\"");
  EXPECT_EQ(Header(h, 3, "Content-Transfer-Encoding"), "7bit");
  ASSERT_EQ(MimeAttachData(h, binary.data(), 100, "old.bin", "Application/X-Test", mailAttachUucode), 1);
  EXPECT_EQ(Header(h, 4, "Content-Transfer-Encoding"), "x-uuencode");
  EXPECT_EQ(Body(h, 4).rfind("begin 644 old.bin\r\n", 0), 0u);
  ASSERT_EQ(MimeAttachData(h, "x", 1, "in.txt", "text/plain", mailAttachInline | mailAttachBase64), 1);
  EXPECT_EQ(Header(h, 5, "Content-Type"), "text/plain");
  EXPECT_EQ(Header(h, 5, "Content-Disposition"), "inline");
  EXPECT_EQ(Body(h, 5), "eA==\r\n");

  for (const char* bad : {"multipart/mixed", "widetext/plain", "nosuchtype/x"}) {
    EXPECT_EQ(MimeAttachData(h, "x", 1, nullptr, bad, 0), 0) << bad;
    EXPECT_EQ(MimeGetLastError(), Err(10014));
  }
  EXPECT_EQ(MimeAttachData(h, binary.data(), 100, nullptr, nullptr, mailAttachAlternative), 0);
  EXPECT_EQ(MimeAttachData(h, nullptr, 5, nullptr, nullptr, 0), 0);
  EXPECT_EQ(MimeAttachData(h, "x", -1, nullptr, nullptr, 0), 0);

  // Every encoding extracts back to the original bytes after a round trip.
  LibHandle back = Parse(Export(h));
  MimeSelectPart(back, 4);
  ASSERT_EQ(MimeExtractFile(back, Path("old.bin").c_str()), 1);
  EXPECT_EQ(ReadFile(Path("old.bin")), binary);
  MimeSelectPart(back, 2);
  ASSERT_EQ(MimeExtractFile(back, Path("inline.bin").c_str()), 1);
  EXPECT_EQ(ReadFile(Path("inline.bin")), binary);
}

// A text attachment saved back to disk is the file that was attached, byte for byte: LF-only
// and CR-only line ends, a missing final line end, and bytes 7bit cannot carry all survive
// composing, export, parsing and extraction.
TEST_F(MimeAttachTest, TextAttachmentsExtractByteIdentical) {
  const std::string longLine = std::string(1200, 'x') + "\r\n";
  const struct {
    const char* name;
    std::string data;
    const char* encoding;  // as attached
  } cases[] = {
      {"crlf.txt", "one\r\ntwo\r\n", "7bit"},
      {"crlf-open.txt", "one\r\ntwo", "base64"},
      {"lf.txt", "one\ntwo\n\nthree\n", "base64"},
      {"lf-open.txt", "one\ntwo", "base64"},
      {"mixed.txt", "one\r\ntwo\nthree\r\n", "base64"},
      {"cr.txt", "one\rtwo\r", "base64"},
      {"late8bit.txt", std::string(5000, 'a') + "\r\n\xc3\xa9\r\n", "base64"},
      {"long.txt", longLine, "base64"},
  };
  LibHandle h = MimeComposeMessage("a@x.org", "b@x.org", nullptr, "files", "see attached\n", nullptr, 0, 0);
  ASSERT_NE(h, kInvalidLibHandle);
  std::filesystem::create_directories(dir_ / "in");
  for (const auto& c : cases) {
    WriteFile(Path(std::string("in/") + c.name), c.data);
    ASSERT_EQ(MimeAttachFile(h, Path(std::string("in/") + c.name).c_str(), mailAttachDefault), 1) << c.name;
    EXPECT_EQ(Header(h, MimeGetPartCount(h) - 1, "Content-Transfer-Encoding"), c.encoding) << c.name;
  }
  // The same bytes handed over as data with a name.
  ASSERT_EQ(MimeAttachData(h, "data\nlines\n", 11, "data.txt", "text/plain", 0), 1);
  EXPECT_EQ(Header(h, MimeGetPartCount(h) - 1, "Content-Transfer-Encoding"), "base64");

  LibHandle back = Parse(Export(h));
  std::filesystem::create_directories(dir_ / "out");
  ASSERT_EQ(MimeExtractAllFiles(back, (dir_ / "out").c_str()), int32_t(std::size(cases)) + 1);
  for (const auto& c : cases) EXPECT_EQ(ReadFile(Path(std::string("out/") + c.name)), c.data) << c.name;
  EXPECT_EQ(ReadFile(Path("out/data.txt")), "data\nlines\n");
}

TEST_F(MimeAttachTest, FileAttachmentErrors) {
  LibHandle h = MimeCreateMessage();
  EXPECT_EQ(MimeAttachFile(h, Path("missing.txt").c_str(), 0), 0);
  EXPECT_EQ(MimeGetLastError(), Err(10002));
  WriteFile(Path("scene.wrl"), "#VRML");
  EXPECT_EQ(MimeAttachFile(h, Path("scene.wrl").c_str(), 0), 0);
  EXPECT_EQ(MimeGetLastError(), Err(12286));
  WriteFile(Path("pic.gif"), "GIF89a");
  EXPECT_EQ(MimeAttachFile(h, Path("pic.gif").c_str(), mailAttachAlternative), 0);
  EXPECT_EQ(MimeGetLastError(), Err(10005));
  // A text file with CR LF line breaks is text and goes as it is; control bytes make it base64.
  WriteFile(Path("lines.txt"), "a\r\nb\r\n");
  ASSERT_EQ(MimeAttachFile(h, Path("lines.txt").c_str(), 0), 1);
  EXPECT_EQ(Header(h, 2, "Content-Transfer-Encoding"), "7bit");
  WriteFile(Path("bell.txt"), "a\ab\n");
  ASSERT_EQ(MimeAttachFile(h, Path("bell.txt").c_str(), 0), 1);
  EXPECT_EQ(Header(h, 3, "Content-Transfer-Encoding"), "base64");
}

TEST_F(MimeAttachTest, InlineImagesGetContentIds) {
  LibHandle h = MimeCreateMessage();
  WriteFile(Path("logo.gif"), "GIF89a");
  ASSERT_EQ(MimeAttachImage(h, Path("logo.gif").c_str(), nullptr), 1);
  const std::string id = Header(h, 2, "Content-ID");
  ASSERT_EQ(id.size(), 15u) << id;
  EXPECT_EQ(id.substr(0, 6), "<img01");
  EXPECT_EQ(id.back(), '>');
  EXPECT_EQ(Header(h, 2, "Content-Disposition"), "inline");
  ASSERT_EQ(MimeAttachImage(h, Path("logo.gif").c_str(), "part1@x"), 1);
  EXPECT_EQ(Header(h, 3, "Content-ID"), "<part1@x>");
  ASSERT_EQ(MimeAttachImage(h, Path("logo.gif").c_str(), "<kept>"), 1);
  EXPECT_EQ(Header(h, 4, "Content-ID"), "<kept>");
  EXPECT_EQ(MimeAttachImage(h, Path("logo.gif").c_str(), std::string(125, 'i').c_str()), 0);
  EXPECT_EQ(MimeGetLastError(), Err(10014));
}

TEST_F(MimeAttachTest, ExtractionNeverLeavesTheTargetDirectory) {
  const std::string message =
      "Content-Type: multipart/mixed; boundary=z\n\n"
      "--z\nContent-Type: application/octet-stream; name=\"../../escape.bin\"\n"
      "Content-Transfer-Encoding: base64\n\naGk=\n"
      "--z\nContent-Type: application/octet-stream\n"
      "Content-Disposition: attachment; filename=\"/etc/abs.bin\"\nContent-Transfer-Encoding: base64\n\naGk=\n"
      "--z\nContent-Type: application/octet-stream; name=\"..\"\n\nx\n"
      "--z\nContent-Type: application/octet-stream; name=\"C:\\\\win\\\\dos.bin\"\n\nx\n"
      "--z--\n";
  LibHandle h = Parse(message);
  std::filesystem::create_directories(dir_ / "out");
  EXPECT_EQ(MimeExtractAllFiles(h, (dir_ / "out").c_str()), 3);
  EXPECT_EQ(ReadFile(Path("out/escape.bin")), "hi");
  EXPECT_EQ(ReadFile(Path("out/abs.bin")), "hi");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "out" / "dos.bin"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "escape.bin"));
  EXPECT_EQ(MimeExtractAllFiles(h, Path("nodir").c_str()), -1);
  EXPECT_EQ(MimeGetLastError(), Err(10021));
  MimeSelectPart(h, 0);
  EXPECT_EQ(MimeExtractFile(h, Path("x").c_str()), 0);
  EXPECT_EQ(MimeGetLastError(), Err(12285));
}

TEST_F(MimeAttachTest, ComposeOrdersHeadersAndChecksEncodings) {
  LibHandle h = MimeComposeMessage("Ann <ann@x.org>", "bob@x.org", "cat@x.org", "Hi", "Body=3D text\n", nullptr, 0, 0);
  ASSERT_NE(h, kInvalidLibHandle);
  const std::string text = Export(h, kMimeExportStoredOrder);  // ignored for composed messages
  const char* order[] = {"From:", "To:", "Date:", "Subject:", "Cc:", "MIME-Version:", "Content-Type:",
                         "Content-Transfer-Encoding:"};
  size_t at = 0;
  for (const char* name : order) {
    const size_t next = text.find(std::string("\r\n") + name, at == 0 ? 0 : at);
    ASSERT_TRUE(text.rfind(name, 0) == 0 || next != std::string::npos) << name;
    at = text.rfind(name, 0) == 0 ? 1 : next + 1;
  }
  EXPECT_EQ(Body(h, 0), "Body=3D text\r\n");  // the composer's text is plain text

  LibHandle qp = MimeComposeMessage("a@x", "b@x", nullptr, "q", "caf\xC3\xA9 = ok\n", nullptr, 0,
                                    kMimeEncodingQuoted);
  const std::string qpText = Export(qp);
  EXPECT_NE(qpText.find("\r\n\r\ncaf=C3=A9 =3D ok=0D=0A=\r\n"), std::string::npos) << qpText;
  EXPECT_EQ(Body(Parse(qpText), 0), "caf\xC3\xA9 = ok\r\n");

  // HTML comes from the host as UTF-8 like the text: it is labelled with the chosen charset.
  LibHandle htmlOnly = MimeComposeMessage("a@x", "b@x", nullptr, "h", nullptr, "<p>Gr\xC3\xBC\xC3\x9F" "e</p>", 0, 0);
  EXPECT_EQ(Header(htmlOnly, 0, "Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(Header(htmlOnly, 0, "Content-Transfer-Encoding"), "quoted-printable");
  EXPECT_EQ(Body(Parse(Export(htmlOnly)), 0), "<p>Gr\xC3\xBC\xC3\x9F" "e</p>");
  LibHandle latin = MimeComposeMessage("a@x", "b@x", nullptr, "h", "t", "<p>x</p>", kMimeCharsetIso8859_1, 0);
  EXPECT_EQ(Header(latin, 2, "Content-Type"), "text/html; charset=iso-8859-1");

  EXPECT_EQ(MimeComposeMessage("a@x", "b@x", nullptr, "s", "t", "<p/>", 0, kMimeEncodingBase64), kInvalidLibHandle);
  EXPECT_EQ(MimeGetLastError(), Err(12293));
  EXPECT_EQ(MimeComposeMessage("a@x", "b@x", nullptr, "s", "t", nullptr, kMimeCharsetUtf8, kMimeEncoding7bit),
            kInvalidLibHandle);
  EXPECT_EQ(MimeGetLastError(), Err(12293));
  EXPECT_EQ(MimeComposeMessage("a@x", "b@x", nullptr, "s", "t", nullptr, 77, 0), kInvalidLibHandle);
  EXPECT_EQ(MimeGetLastError(), Err(12292));
  LibHandle ascii = MimeComposeMessage("a@x", "b@x", nullptr, "s", "t", nullptr, kMimeCharsetUsAscii, kMimeEncoding7bit);
  EXPECT_NE(ascii, kInvalidLibHandle);
}

TEST_F(MimeAttachTest, ExportNeedsTheBoundary) {
  LibHandle h = MimeCreateMessage();
  MimeSetHeader(h, "Content-Type", "multipart/mixed");
  uint32_t size = 0;
  plat::HGLOBAL block = nullptr;
  // A multipart declaration without a boundary exports (as parsed messages of that kind
  // must) while nothing needs delimiting; a part added to it cannot be delimited.
  MimeSetText(h, 0, "all text\r\n");
  EXPECT_EQ(MimeExportMessage(h, kMimeExportGlobal, 0, nullptr, &block, &size), 1);
  plat::GlobalFree(block);
  LibHandle back = Parse(Export(h));
  EXPECT_EQ(MimeGetPartCount(back), 1);
  EXPECT_EQ(Body(back, 0), "all text\r\n");
  EXPECT_EQ(MimeAddPart(h), 1);
  EXPECT_EQ(MimeExportMessage(h, kMimeExportGlobal, 0, nullptr, &block, &size), 0);
  EXPECT_EQ(MimeGetLastError(), Err(12284));
  MimeDeletePart(h, 1);
  EXPECT_EQ(MimeAttachData(h, "x", 1, nullptr, nullptr, 0), 0);
  EXPECT_EQ(MimeGetLastError(), Err(12284));
}

}  // namespace
