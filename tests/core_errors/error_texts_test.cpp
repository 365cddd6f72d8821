#include "core/errors/error_texts.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/errors/error_codes.h"

namespace {

TEST(ErrorTexts, KnownCodesGiveTheirTexts) {
  struct Case {
    uint32_t code;
    const char* text;
  } const cases[] = {
      {0x8004274C, "The specified operation has timed out"},
      {0x80042711, "Handle not owned by the current thread"},
      {0x80042746, "Network connection aborted by remote host"},
      {0x80042710, "No error"},
      {0x80042736, "Invalid handle passed to function"},
      {0x80043072, "The asynchronous task has finished"},
      {cvErrorStorageallocation, "File exceeded storage allocation on server"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const char* text = cvcore::ErrorTextFor(c.code);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, c.text);
  }
}

TEST(ErrorTexts, BareNumberFindsTheSameTextAsTheFullCode) {
  EXPECT_STREQ(cvcore::ErrorTextFor(10038), cvcore::ErrorTextFor(0x80042736));
  EXPECT_STREQ(cvcore::ErrorTextFor(12402), cvcore::ErrorTextFor(cvErrorTaskFinished));
}

TEST(ErrorTexts, CodesOutsideTheTableHaveNoText) {
  for (uint32_t code : {0u, 12403u, 0x80043073u, 9999u, 10025u, 10100u, 0xFFFFu, 0x80070005u,
                        0x00042736u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(cvcore::ErrorTextFor(code), nullptr);
  }
}

TEST(ErrorTexts, EveryPublishedCodeHasOneWellFormedText) {
  std::set<uint32_t> tableCodes;
  for (const cvcore::ErrorText& e : cvcore::ErrorTextTable()) {
    EXPECT_TRUE(tableCodes.insert(e.code).second) << "duplicate code " << std::hex << e.code;
  }
  EXPECT_EQ(tableCodes.size(), std::size(cvcore::kAllErrorCodes) + 1);  // plus "No error"

  std::set<uint32_t> published;
  for (uint32_t code : cvcore::kAllErrorCodes) {
    SCOPED_TRACE(code);
    EXPECT_TRUE(published.insert(code).second) << "constant published twice";
    EXPECT_EQ(code & 0xFFFF0000u, kCvErrorBase);
    const char* text = cvcore::ErrorTextFor(code);
    ASSERT_NE(text, nullptr);
    const std::string s(text);
    ASSERT_FALSE(s.empty());
    EXPECT_LT(s.size(), 128u);
    EXPECT_NE(s.back(), '.');
    EXPECT_EQ(s.find_first_of("\r\n"), std::string::npos);
    EXPECT_NE(s.back(), ' ');
  }
}

TEST(ErrorCodes, ConstantsHoldTheFullCode) {
  EXPECT_EQ(cvErrorNotHandleOwner, 0x80042711u);
  EXPECT_EQ(cvErrorInvalidHandle, 0x80042736u);
  EXPECT_EQ(cvErrorInvalidHostName, 0x80042AF9u);
  EXPECT_EQ(cvErrorTaskFinished, 0x80043072u);
  EXPECT_EQ(std::size(cvcore::kAllErrorCodes), 259u);
  EXPECT_EQ(cvcore::ErrorNumber(cvErrorInvalidHandle), 10038u);
  EXPECT_EQ(cvcore::FullErrorCode(10038), cvErrorInvalidHandle);
  EXPECT_EQ(cvcore::FullErrorCode(cvErrorInvalidHandle), cvErrorInvalidHandle);
  EXPECT_EQ(cvcore::FullErrorCode(0), 0u);
}

}  // namespace
