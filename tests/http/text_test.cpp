// Escaping, Base64, dates, media types and line-end conversion.
#include <cstring>
#include <string>

#include "http_fixture.h"

namespace httptest {
namespace {

std::string Encode(uint32_t mode, const std::string& in, int32_t size = 256) {
  std::string out(size_t(size) + 1, '\0');
  const int32_t n = HttpEncodeText(mode, in.data(), int32_t(in.size()), out.data(), size);
  return n < 0 ? "<fail>" : out.substr(0, size_t(n));
}

TEST(HttpText, EncodeModes) {
  struct Case {
    uint32_t mode;
    const char* in;
    const char* out;
  } cases[] = {
      {2, "a b&c", "a%20b%26c"}, {4, "a b", "a b"},         {3, "x-y.z", "x%2dy%2ez"}, {2, "%41", "%41"},
      {3, "%41", "%41"},         {4, "%41", "%41"},         {1, "abc", "YWJj"},        {1, "ab", "YWI="},
      {2, "a/b=c", "a/b%3dc"},   {3, "a=b&c", "a=b&c"},     {2, "50%", "50%25"},       {2, "a+b", "a%2bb"},
      {5, "a b\r\n", "a b\r\n"}, {2, "\xc3\xa9", "%c3%a9"}, {2, "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Encode(c.mode, c.in), c.out) << c.mode << " " << c.in;
}

TEST(HttpText, EncodeBoundsNeverOverrun) {
  // The size check of the input, modes out of range, and outputs too small for escapes
  // or Base64 all fail without writing past the output.
  char out[8];
  std::memset(out, 'Z', sizeof out);
  EXPECT_EQ(HttpEncodeText(0, "abc", 3, out, 8), -1);
  EXPECT_EQ(HttpEncodeText(6, "abc", 3, out, 8), -1);
  EXPECT_EQ(HttpEncodeText(2, "abcdef", 6, out, 8), -1);  // below length + length/2 + 1
  EXPECT_EQ(HttpEncodeText(2, "    ", 4, out, 7), -1);     // escapes need more room
  EXPECT_EQ(HttpGetLastError() & 0xFFFF, 10023u);
  EXPECT_EQ(HttpEncodeText(1, "abcd", 4, out, 8), -1);     // Base64 of 4 bytes needs 9
  EXPECT_EQ(out[7], 'Z');
  EXPECT_EQ(HttpEncodeText(2, "abc", -1, out, 8), -1);
  EXPECT_EQ(HttpEncodeText(2, nullptr, 1, out, 8), -1);
}

TEST(HttpText, NeedsEncoding) {
  EXPECT_EQ(HttpUrlNeedsEncoding("a+b%20c", 0xFFFFFFFF), 0);
  EXPECT_EQ(HttpUrlNeedsEncoding("a b", 0xFFFFFFFF), 1);
  EXPECT_EQ(HttpUrlNeedsEncoding("abc%", 0xFFFFFFFF), 1);
  EXPECT_EQ(HttpUrlNeedsEncoding("%4", 0xFFFFFFFF), 1);
  EXPECT_EQ(HttpUrlNeedsEncoding("/a/b?c", 0xFFFFFFFF), 1);
  EXPECT_EQ(HttpUrlNeedsEncoding("a b", 1), 0);  // only the first character looked at
  EXPECT_EQ(HttpUrlNeedsEncoding(nullptr, 0xFFFFFFFF), 0);
}

TEST(HttpText, ParseDates) {
  setenv("TZ", "UTC", 1);
  struct Case {
    const char* text;
    uint32_t seconds;
    int32_t zone;
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777u, 0},
      {"Sunday, 06-Nov-94 08:49:37 GMT", 784111777u, 0},
      {"Sun, 06 Nov 1994 08:49:37 +0100", 784108177u, -3600},
      {"Sun, 06 Nov 1994 08:49:37 -0500", 784129777u, 18000},
      {"1994-11-06 08:49:37", 784111777u, 0},
      {"31 Feb 2001 00:00:00 GMT", 983577600u, 0},  // rolls into 3 March
      {"Nov 6 1994 8:49:37 pm", 784111777u + 12 * 3600, 0},
      {"Nov 6 1994 12:00:00 am", 784080000u, 0},
      {"Tue, 19 Jan 2038 03:14:08 GMT", 2147483648u, 0},
      {"Sun, 07 Feb 2106 06:28:15 GMT", 4294967295u, 0},  // the last second the result holds
  };
  for (const Case& c : cases) {
    uint32_t seconds = 1;
    int32_t zone = 1;
    EXPECT_EQ(HttpParseDate(c.text, 0, &seconds, &zone), 1) << c.text;
    EXPECT_EQ(seconds, c.seconds) << c.text;
    EXPECT_EQ(zone, c.zone) << c.text;
  }
  for (const char* bad : {"", "Sun Nov  6 08:49:37 1994", "06 Nov 08:49:37", "Nov 1994 25:00:00", "garbage",
                          "Sun, 07 Feb 2106 06:28:16 GMT", "01 Jan 2107 00:00:00 GMT", "31 Dec 3000 23:59:59 GMT",
                          "Thu, 01 Jan 1970 00:30:00 +0100"}) {
    uint32_t seconds = 1;
    EXPECT_EQ(HttpParseDate(bad, 0, &seconds, nullptr), 0) << bad;
    EXPECT_EQ(HttpGetLastError() & 0xFFFF, 12329u) << bad;
    EXPECT_EQ(seconds, 0u);
  }
}

TEST(HttpText, LocalZoneAndSystemTime) {
  setenv("TZ", "EST5EDT", 1);
  uint32_t seconds = 0;
  int32_t zone = 0;
  ASSERT_EQ(HttpParseDate("Sun, 06 Nov 1994 08:49:37 GMT", 1, &seconds, &zone), 1);
  EXPECT_EQ(seconds, 784111777u);  // not changed by the local flag
  EXPECT_EQ(zone, 18000);
  ASSERT_EQ(HttpParseDate("Mon, 04 Jul 1994 08:49:37 GMT", 1, &seconds, &zone), 1);
  EXPECT_EQ(zone, 14400);  // daylight saving time
  setenv("TZ", "UTC", 1);
  SYSTEMTIME st{};
  HttpDateToSystemTime(784111777u, &st);
  EXPECT_EQ(st.wYear, 1994);
  EXPECT_EQ(st.wMonth, 11);
  EXPECT_EQ(st.wDay, 6);
  EXPECT_EQ(st.wDayOfWeek, 0);
  EXPECT_EQ(st.wHour, 8);
  EXPECT_EQ(st.wMinute, 49);
  EXPECT_EQ(st.wSecond, 37);
}

TEST(HttpText, ContentTypes) {
  char type[128];
  struct Case {
    const char* name;
    const char* type;
    int32_t cls;
  } cases[] = {
      {"C:\\web\\file.HTM", "text/html", 2},
      {"/srv/archive.tar.gz", "application/x-gzip", 1},
      {"README", "application/octet-stream", 1},
      {"name.", "application/octet-stream", 1},
      {"a.mp3", "audio/mpeg3", 3},
      {"x.eml", "message/rfc822", 5},
      {"movie.avi", "video/x-msvideo", 7},
      {"d:x.gif", "image/gif", 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HttpGetContentType(c.name, type), c.cls) << c.name;
    EXPECT_STREQ(type, c.type) << c.name;
  }
  EXPECT_EQ(HttpGetContentType("", type), 0);
  EXPECT_EQ(HttpGetContentType("x.txt", nullptr), 0);
  EXPECT_EQ(HttpContentTypeClass("  Text/Plain; charset=utf-8"), 2);
  EXPECT_EQ(HttpContentTypeClass("multipart/form-data"), 6);
  EXPECT_EQ(HttpContentTypeClass("font/woff"), 0);
  EXPECT_EQ(HttpContentTypeClass(""), 0);
}

class HttpLineEnds : public Http {};

TEST_F(HttpLineEnds, InsertsCrOnlyBeforeBareLineFeeds) {
  const LibHandle h = HttpAllocSession();
  ASSERT_NE(h, kInvalidLibHandle);
  char* out = nullptr;
  uint32_t length = 0, last = 0;
  const char first[] = "a\nb\r\nc\r";
  EXPECT_EQ(HttpConvertLineEnds(h, first, 7, &out, &length, &last), 1);
  EXPECT_EQ(std::string(out, length), "a\r\nb\r\nc\r");
  EXPECT_EQ(HttpConvertLineEnds(h, "\nd", 2, &out, &length, &last), 0);  // CR ended the last block
  EXPECT_EQ(std::string(out, length), "\nd");
  EXPECT_EQ(HttpConvertLineEnds(h, "xyz", 3, &out, &length, nullptr), 0);
  EXPECT_EQ(HttpConvertLineEnds(h, nullptr, 3, &out, &length, nullptr), -1);
  EXPECT_EQ(Error(), 10014u);
  // A block of line feeds only doubles.
  const std::string feeds(20000, '\n');
  EXPECT_EQ(HttpConvertLineEnds(h, feeds.data(), uint32_t(feeds.size()), &out, &length, nullptr), 20000);
  EXPECT_EQ(length, 40000u);
  HttpFreeSession(h);
}

TEST_F(HttpLineEnds, UserAgentAndAddresses) {
  const std::string agent = HttpGetUserAgent();
  EXPECT_EQ(agent.rfind("Mozilla/5.0 (", 0), 0u);
  EXPECT_NE(agent.find(") Chrome/63.0.3239.84 Safari/537.36 Corvanetics/9.5"), std::string::npos);
  SockAddress a{};
  a.family = 2;
  a.address[0] = 127;
  a.address[3] = 1;
  char text[64];
  EXPECT_EQ(SockFormatAddress(&a, text), 1);
  EXPECT_STREQ(text, "127.0.0.1");
  a = SockAddress{};
  a.family = 23;
  a.address[15] = 1;
  EXPECT_EQ(SockFormatAddress(&a, text), 1);
  EXPECT_STREQ(text, "::1");
  EXPECT_EQ(SockFormatAddress(nullptr, text), 0);
}

}  // namespace
}  // namespace httptest
