#include <gtest/gtest.h>

#include <string>

#include "platform/base/last_error.h"
#include "platform/base/utf.h"

namespace {

TEST(Utf, RoundTripsEveryPlane) {
  const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // A é € 😀 z
  std::u16string wide = plat::ToUtf16(text);
  EXPECT_EQ(wide, u"A\u00E9\u20AC\U0001F600z");
  EXPECT_EQ(plat::ToUtf8(wide), text);
}

TEST(Utf, InvalidUtf8BecomesReplacementPerMaximalSubpart) {
  struct Case {
    const char* in;
    std::u16string out;
  } cases[] = {
      {"a\x80z", u"a\uFFFDz"},                // lone continuation byte
      {"\xC3", u"\uFFFD"},                    // truncated at the end
      {"\xE2\x82z", u"\uFFFDz"},              // truncated three-byte form: one replacement
      {"\xC0\xAF", u"\uFFFD\uFFFD"},          // overlong encoding
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xFF", u"\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(plat::ToUtf16(c.in), c.out) << c.in;
}

TEST(Utf, LoneSurrogatesBecomeReplacement) {
  EXPECT_EQ(plat::ToUtf8(u"a\xD800z"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(plat::ToUtf8(u"\xDC00"), "\xEF\xBF\xBD");
  EXPECT_EQ(plat::ToUtf8(std::u16string(1, u'\xD83D')), "\xEF\xBF\xBD");  // high surrogate at the end
}

TEST(Utf, BufferFormsCountTheTerminatorOnlyForMinusOne) {
  // -1: the terminator is converted and counted.
  EXPECT_EQ(plat::MultiByteToWideChar("h\xC3\xA9", -1, nullptr, 0), 3);
  char16_t wbuf[8] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(plat::MultiByteToWideChar("h\xC3\xA9", -1, wbuf, 8), 3);
  EXPECT_EQ(std::u16string(wbuf), u"h\u00E9");
  // An explicit length converts exactly that many bytes, without a terminator.
  char16_t wbuf2[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(plat::MultiByteToWideChar("abc", 2, wbuf2, 4), 2);
  EXPECT_EQ(wbuf2[2], u'x');

  EXPECT_EQ(plat::WideCharToMultiByte(u"\u20AC", -1, nullptr, 0), 4);
  char buf[4];
  EXPECT_EQ(plat::WideCharToMultiByte(u"\u20AC", -1, buf, 4), 4);
  EXPECT_STREQ(buf, "\xE2\x82\xAC");
}

TEST(Utf, BufferFormsReportErrors) {
  char16_t small[2];
  plat::SetLastError(0);
  EXPECT_EQ(plat::MultiByteToWideChar("abc", -1, small, 2), 0);
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(plat::MultiByteToWideChar("abc", 0, small, 2), 0);
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(plat::WideCharToMultiByte(nullptr, -1, nullptr, 0), 0);
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_INVALID_PARAMETER);
  // A surrogate pair does not fit in a one-unit buffer.
  EXPECT_EQ(plat::MultiByteToWideChar("\xF0\x9F\x98\x80", 4, small, 1), 0);
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_INSUFFICIENT_BUFFER);
}

}  // namespace
