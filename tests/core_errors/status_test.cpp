#include "core/errors/status.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

using cvcore::FirstFailure;
using cvcore::Result;
using cvcore::Status;

TEST(Status, SuccessCarriesNoCodeAndABareNumberItsFullCode) {
  EXPECT_TRUE(Status().ok());
  EXPECT_EQ(Status().error(), 0u);
  EXPECT_TRUE(Status(0).ok());
  EXPECT_FALSE(Status(cvErrorOutOfMemory).ok());
  EXPECT_EQ(Status(cvErrorOutOfMemory).error(), uint32_t(cvErrorOutOfMemory));
  EXPECT_EQ(Status(cvErrorOutOfMemory & 0xFFFFu).error(), uint32_t(cvErrorOutOfMemory));
  // A code is never taken for success by accident.
  static_assert(!std::is_convertible_v<uint32_t, Status>);
  static_assert(!std::is_convertible_v<Status, bool>);
}

TEST(Status, FirstFailureKeepsTheEarlierError) {
  const Status ok;
  const Status first(cvErrorSecurityContext);
  const Status later(cvErrorConnectionClosed);
  struct Case {
    Status a, b;
    uint32_t kept;
  } const cases[] = {
      {ok, ok, 0},
      {ok, later, later.error()},
      {first, ok, first.error()},
      {first, later, first.error()},
  };
  for (const Case& c : cases) EXPECT_EQ(FirstFailure(c.a, c.b).error(), c.kept);
}

TEST(Result, HoldsTheValueOrTheFailure) {
  const Result<int> made(7);
  EXPECT_TRUE(made.ok());
  EXPECT_EQ(made.value(), 7);
  EXPECT_EQ(made.error(), 0u);

  const Result<int> failed{Status(cvErrorInvalidTask)};
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), uint32_t(cvErrorInvalidTask));
  EXPECT_EQ(failed.status().error(), uint32_t(cvErrorInvalidTask));
  EXPECT_EQ(failed.value(), 0);
}

}  // namespace
