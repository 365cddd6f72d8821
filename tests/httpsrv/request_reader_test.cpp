// The request head's judge: each line's verdict at and past every limit, and what reaches
// the header table.
#include <gtest/gtest.h>

#include <string>

#include "httpsrv/httpsrv_internal.h"
#include "httpsrv/request_reader.h"

using cvhttpsrv::kRequestLimits;
using cvhttpsrv::RequestHeadReader;
using Verdict = RequestHeadReader::Verdict;

namespace {

TEST(RequestHeadReader, LimitsAndForms) {
  const std::string name(kRequestLimits.headerName, 'N'), value(kRequestLimits.headerValue, 'v');
  struct Case {
    const char* what;
    std::string line;
    Verdict verdict;
  } cases[] = {
      {"plain", "Accept: */*", Verdict::More},
      {"longest name", name + ": x", Verdict::More},
      {"name one too long", name + "N: x", Verdict::HeadTooLarge},
      {"longest value", "X: " + value, Verdict::More},
      {"value one too long, never cut", "X: " + value + "v", Verdict::HeadTooLarge},
      {"line too long", "X: " + std::string(kRequestLimits.headerLine, 'v'), Verdict::HeadTooLarge},
      {"end of head", "", Verdict::Done},
      {"folded", " continued", Verdict::Bad},
      {"blank before colon", "Host : a", Verdict::Bad},
      {"bad length", "Content-Length: -5", Verdict::Bad},
      {"no colon", "no colon here", Verdict::Bad},
  };
  for (const Case& c : cases) {
    HttpHeaderTable table{};
    RequestHeadReader reader(table);
    EXPECT_EQ(reader.HeaderLine(c.line), c.verdict) << c.what;
  }
  EXPECT_EQ(RequestHeadReader::Status(Verdict::Bad), 400u);
  EXPECT_EQ(RequestHeadReader::Status(Verdict::UriTooLong), 414u);
  EXPECT_EQ(RequestHeadReader::Status(Verdict::HeadTooLarge), 431u);
}

TEST(RequestHeadReader, HeaderCountAndRepeats) {
  HttpHeaderTable table{};
  RequestHeadReader reader(table);
  for (uint32_t i = 0; i < kRequestLimits.headerCount; ++i)
    ASSERT_EQ(reader.HeaderLine("X-" + std::to_string(i) + ": v"), Verdict::More) << i;
  EXPECT_EQ(reader.HeaderLine("X-last: v"), Verdict::HeadTooLarge);  // not reported as out of memory
  EXPECT_STREQ(cvhttpsrv::HeaderFind(table, "X-63"), "v");

  HttpHeaderTable other{};
  RequestHeadReader second(other);
  EXPECT_EQ(second.HeaderLine("Content-Length: 5"), Verdict::More);
  EXPECT_EQ(second.HeaderLine("Content-Length: 5"), Verdict::More);  // the same length again
  EXPECT_EQ(second.HeaderLine("Content-Length: 6"), Verdict::Bad);
  EXPECT_EQ(second.HeaderLine("Host: a"), Verdict::More);
  EXPECT_EQ(second.HeaderLine("host: b"), Verdict::Bad);
}

TEST(RequestHeadReader, RequestLineLength) {
  HttpHeaderTable table{};
  const RequestHeadReader reader(table);
  EXPECT_EQ(reader.RequestLine(kRequestLimits.requestLine), Verdict::More);
  EXPECT_EQ(reader.RequestLine(kRequestLimits.requestLine + 1), Verdict::UriTooLong);
  EXPECT_EQ(reader.RequestLineRoom(), kRequestLimits.requestLine + 2);
}

}  // namespace
