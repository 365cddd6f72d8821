// Header values: dates, addresses, recipients, parameters, tables and content types.
#include <cstring>
#include <string>
#include <vector>

#include "mime_fixture.h"
#include "platform/registry/registry.h"

namespace {

using MimeValuesTest = MimeTest;

std::string Address(const char* text, const char* domain = nullptr) {
  char out[256];
  const int32_t n = MimeParseAddress(text, domain, out, sizeof out);
  return n < 0 ? "<fail>" : std::string(out, size_t(n));
}

TEST_F(MimeValuesTest, FormatDate) {
  char buffer[64];
  EXPECT_STREQ(MimeFormatDate(86400, 0, buffer, sizeof buffer), "Fri, 02 Jan 1970 00:00:00 +0000");
  EXPECT_STREQ(MimeFormatDate(86400, 18000, buffer, sizeof buffer), "Thu, 01 Jan 1970 19:00:00 -0500");
  EXPECT_STREQ(MimeFormatDate(86400, -19800, buffer, sizeof buffer), "Fri, 02 Jan 1970 05:30:00 +0530");
  EXPECT_EQ(MimeFormatDate(86400, 0, nullptr, 0), nullptr);
  setenv("TZ", "UTC", 1);
  EXPECT_NE(std::string(MimeFormatDate(0, -1, buffer, sizeof buffer)).find("+0000"), std::string::npos);
}

TEST_F(MimeValuesTest, ParseDate) {
  struct Case {
    const char* text;
    uint32_t time;
    int32_t zone;
  } good[] = {
      {"Tue, 08 Dec 2026 12:00:00 +0100", 1796727600, -3600},
      {"Tue, 08 Dec 2026 12:00:00 EST", 1796749200, 18000},
      {"08 Dec 26", 1796688000, 0},
      {"2, 3, 2026", 1770076800, 0},
      {"December 31 2026", 1798675200, 0},
      {"31 December 2026 1:05:09 PM GMT", 1798722309, 0},
      {"Thu, 1 Jan 1970 00:00:00 (GMT)", 0, 0},
      {"Mon, 2 Mar 2026 10:00:00 ACST", 1772411400, -34200},
  };
  for (const Case& c : good) {
    uint32_t t = 1;
    int32_t z = 1;
    ASSERT_EQ(MimeParseDate(c.text, 0, &t, &z), 1) << c.text;
    EXPECT_EQ(t, c.time) << c.text;
    EXPECT_EQ(z, c.zone) << c.text;
  }
  for (const char* bad : {"", "Mon, 01 Jan 1969 00:00:00 +0000", "Tue Dec 08 12:00:00 2026", "13 13 2026",
                          "Feb 30 2026 25:00:00", "nonsense"}) {
    EXPECT_EQ(MimeParseDate(bad, 0, nullptr, nullptr), 0) << bad;
    EXPECT_EQ(MimeGetLastError(), Err(12329));
  }
  setenv("TZ", "EST5EDT", 1);
  int32_t z = 0;
  ASSERT_EQ(MimeParseDate("Tue, 08 Dec 2026 12:00:00 +0100", 1, nullptr, &z), 1);
  EXPECT_EQ(z, 18000);
  ASSERT_EQ(MimeParseDate("Wed, 08 Jul 2026 12:00:00 +0100", 1, nullptr, &z), 1);
  EXPECT_EQ(z, 14400);
}

TEST_F(MimeValuesTest, ParseAddress) {
  EXPECT_EQ(Address("\"Doe, John\" <john@example.com>"), "john@example.com");
  EXPECT_EQ(Address("john@example.com (John Doe)"), "john@example.com");
  EXPECT_EQ(Address("  'jane@example.org'  "), "jane@example.org");
  EXPECT_EQ(Address("Jane <jane@example.org>"), "jane@example.org");
  EXPECT_EQ(Address("bob", "example.net"), "bob@example.net");
  EXPECT_EQ(Address("bob", " @example.net"), "bob@example.net");
  EXPECT_EQ(Address("[FAX: 555 1234]", "fax.example"), "FAX:5551234]@fax.example");
  EXPECT_EQ(Address("bob"), "<fail>");
  EXPECT_EQ(MimeGetLastError(), Err(10014));
  for (const char* bad : {"a@.example.com", "a@b@c", "", "   ", "\"john doe\"@x.org", "\"\"@x.org"}) EXPECT_EQ(Address(bad), "<fail>") << bad;
  EXPECT_EQ(Address("bob", "a@b"), "<fail>");
  char tiny[4];
  EXPECT_EQ(MimeParseAddress("longer@example.com", nullptr, tiny, sizeof tiny), -1);
  EXPECT_EQ(MimeParseAddress("a@b", nullptr, tiny, 0), -1);
  EXPECT_EQ(MimeGetLastError(), Err(10023));
}

TEST_F(MimeValuesTest, RecipientLists) {
  char buffer[64];
  uint32_t size = sizeof buffer;
  EXPECT_EQ(MimeGetRecipients(kInvalidLibHandle, "a@b, c@d; e@f", buffer, &size), 3);
  EXPECT_EQ(size, 13u);
  EXPECT_EQ(std::string(buffer, 13), std::string("a@b\0c@d\0e@f\0\0", 13));

  LibHandle h = MimeCreateMessage();
  MimeSetHeader(h, "To", "\"Smith, A\" <a@x.org>, b@x.org");
  MimeSetHeader(h, "Cc", "c@x.org");
  MimeSetHeader(h, "Bcc", "hidden@x.org");
  size = sizeof buffer;
  EXPECT_EQ(MimeGetRecipients(h, "not an address, d@x.org", buffer, &size), 4);
  char all[128];
  EXPECT_EQ(MimeGetAllRecipients(h, "d@x.org", all, sizeof all), 31);
  EXPECT_STREQ(all, "a@x.org,b@x.org,c@x.org,d@x.org");
  EXPECT_EQ(MimeGetAllRecipients(h, nullptr, nullptr, 0), 32);  // 25 bytes needed, rounded up
  EXPECT_EQ(MimeGetAllRecipients(h, nullptr, all, 10), -1);
  EXPECT_EQ(MimeGetLastError(), Err(10023));
  size = 10;
  EXPECT_EQ(MimeGetRecipients(h, nullptr, buffer, &size), -1);
  EXPECT_EQ(MimeGetLastError(), Err(10012));
  size = 0;
  EXPECT_EQ(MimeGetRecipients(h, nullptr, buffer, &size), -1);
  EXPECT_EQ(MimeGetLastError(), Err(10014));
  EXPECT_EQ(MimeGetRecipients(h, nullptr, nullptr, &size), 3);
  EXPECT_EQ(size, 25u);
}

TEST_F(MimeValuesTest, Parameters) {
  char buffer[64];
  const char* value = "multipart/mixed; boundary=\"----=_x; y\"; charset = utf-8 ;name=  \" spaced \" ";
  EXPECT_EQ(MimeGetParameter(value, "BOUNDARY", buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "----=_x; y");
  EXPECT_EQ(MimeGetParameter(value, "charset", buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "utf-8");
  EXPECT_EQ(MimeGetParameter(value, "name", buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "spaced");
  EXPECT_EQ(MimeGetParameter(value, "missing", buffer, sizeof buffer), 0);
  EXPECT_EQ(MimeGetParameter(value, "boundary", buffer, 8), 0);  // too long for the buffer
}

TEST_F(MimeValuesTest, ExtendedParametersAreDecodedToUtf8) {
  const struct {
    const char* value;
    const char* name;
    const char* result;  // null: absent
  } kCases[] = {
      {"attachment; filename*=utf-8''Gr%C3%BC%C3%9Fe%20aus%20K%C3%B6ln.pdf", "filename",
       "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln.pdf"},
      {"attachment; filename*=UTF-8'de'%E2%82%AC.txt", "FILENAME", "\xE2\x82\xAC.txt"},
      {"attachment; filename*=iso-8859-1''caf%E9.txt", "filename", "caf\xC3\xA9.txt"},
      {"attachment; filename=\"fallback.txt\"; filename*=utf-8''r%C3%A9el.txt", "filename", "r\xC3\xA9" "el.txt"},
      {"attachment; filename*0*=utf-8''a%C3%A9; filename*1=\"-plain-\"; filename*2*=%C3%A9b.txt", "filename",
       "a\xC3\xA9-plain-\xC3\xA9" "b.txt"},
      {"attachment; filename*1=second; filename*0=first-", "filename", "first-second"},  // any order
      {"attachment; filename*0=a; filename*2=c", "filename", "a"},                        // a gap ends them
      {"multipart/mixed; boundary*0=\"abc\"; boundary*1=\"def\"", "boundary", "abcdef"},
      {"attachment; filename*=x-unknown''%E9", "filename", "\xE9"},                     // bytes kept
      {"attachment; filename*=''100%25%zz", "filename", "100%%zz"},
      {"attachment; filenames*=utf-8''x", "filename", nullptr},
      {"attachment; filename*1=only-second", "filename", nullptr},
  };
  for (const auto& c : kCases) {
    char buffer[256] = "";
    EXPECT_EQ(MimeGetParameter(c.value, c.name, buffer, sizeof buffer), c.result ? 1 : 0) << c.value;
    if (c.result) {
      EXPECT_STREQ(buffer, c.result) << c.value;
    }
  }

  // An attachment named only in the extended form is found, named and extracted; a
  // boundary given that way delimits the parts.
  const std::string text =
      "Content-Type: multipart/mixed; boundary*=''b1\r\n\r\n--b1\r\nContent-Type: text/plain\r\n\r\nhi\r\n"
      "--b1\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment;\r\n filename*0*=utf-8''%C3%BCber%20;\r\n filename*1=lang.bin\r\n\r\n"
      "AAEC\r\n--b1--\r\n";
  LibHandle h = Parse(text);
  ASSERT_EQ(MimeGetPartCount(h), 3);
  EXPECT_EQ(MimeFindAttachment(h, "\xC3\xBC" "ber lang.bin"), 2);
  MimeSelectPart(h, 2);
  char name[260];
  ASSERT_EQ(MimeGetAttachmentName(h, name, sizeof name), 1);
  EXPECT_STREQ(name, "\xC3\xBC" "ber lang.bin");
  ASSERT_EQ(MimeExtractAllFiles(h, dir_.c_str()), 1);
  EXPECT_EQ(ReadFile(Path("\xC3\xBC" "ber lang.bin")), std::string("\0\1\2", 3));
  MimeDestroyMessage(h);
}

TEST_F(MimeValuesTest, Tables) {
  EXPECT_EQ(MimeCharsetId("Windows-1252"), 2u);
  EXPECT_STREQ(MimeCharsetName(2), "iso-8859-1");
  EXPECT_EQ(MimeCharsetId("koi8-r"), 0u);
  EXPECT_EQ(MimeMediaTypeId("Image/PNG"), 3u);
  EXPECT_EQ(MimeMediaTypeId("model/vrml"), 0u);
  EXPECT_EQ(MimeEncodingId("Quoted-Printable"), 4u);
  EXPECT_STREQ(MimeEncodingName(6), "x-uuencode");
  EXPECT_EQ(MimeHeaderName("content-md5"), 13u);
  EXPECT_EQ(MimeInDroppedList("x-spam"), 1);
  EXPECT_EQ(MimeInOrderList("thread-index"), 1);
  char boundary[64];
  ASSERT_NE(MimeMakeBoundary(kInvalidLibHandle, boundary), nullptr);
  EXPECT_EQ(std::string(boundary).rfind("----=_CV9530_0000_", 0), 0u);
  EXPECT_EQ(std::strlen(boundary), 35u);
  char other[64];
  MimeMakeBoundary(kInvalidLibHandle, other);
  EXPECT_STRNE(boundary, other);
}

TEST_F(MimeValuesTest, FileContentTypes) {
  setenv("CV_REGISTRY_ROOT", Path("registry").c_str(), 1);
  char type[1024];
  EXPECT_EQ(MimeGetFileContentType(kInvalidLibHandle, "C:\\docs\\REPORT.PDF", type), 1u);
  EXPECT_STREQ(type, "application/pdf");
  EXPECT_EQ(MimeGetFileContentType(kInvalidLibHandle, "clip.mpg", type), 2u);
  EXPECT_STREQ(type, "audio/mpeg");
  EXPECT_EQ(MimeGetFileContentType(kInvalidLibHandle, "world.wrl", type), 0u);
  EXPECT_STREQ(type, "model/vrml");
  WriteFile(Path("oneline"), "just text");
  WriteFile(Path("twolines"), "just\ntext");
  EXPECT_EQ(MimeGetFileContentType(kInvalidLibHandle, Path("oneline").c_str(), type), 6u);
  EXPECT_STREQ(type, "text/plain");
  EXPECT_EQ(MimeGetFileContentType(kInvalidLibHandle, Path("twolines").c_str(), type), 6u);
  EXPECT_STREQ(type, "text/plain");
  WriteFile(Path("binary"), std::string("bytes\0\1\2", 8));
  EXPECT_EQ(MimeGetFileContentType(kInvalidLibHandle, Path("binary").c_str(), type), 1u);
  EXPECT_STREQ(type, "application/octet-stream");
  EXPECT_EQ(MimeGetFileContentType(kInvalidLibHandle, nullptr, type), 0u);
  // A registered type wins over the table.
  ASSERT_EQ(plat::RegSetString(plat::HKEY_CURRENT_USER, "Software\\Classes\\.pdf", "Content Type", "image/x-pdf"), 0u);
  EXPECT_EQ(MimeGetFileContentType(kInvalidLibHandle, "a.pdf", type), 3u);
  EXPECT_STREQ(type, "image/x-pdf");
}

}  // namespace
