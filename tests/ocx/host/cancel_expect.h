#pragma once
// What a host run shows when the host's own Cancel ended its blocking call: an end long
// before the 20 s time-out the calls are given, one OnCancel, one OnError 10004 and
// LastError 10004 read afterwards.
#include <gtest/gtest.h>

#include <chrono>

#include "host/host_process.h"

namespace testhost {

inline void ExpectEndedByCancel(const ProgramRun& run) {
  using namespace std::chrono_literals;
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_LT(run.took, 5s) << run.out;
  EXPECT_EQ(run.Lines("event OnCancel"), 1u) << run.out;
  EXPECT_EQ(run.Lines("event OnError: ErrorCode=10004, Description=\"The blocking operation has been canceled\""), 1u)
      << run.out;
  EXPECT_EQ(run.Lines("LastError = 10004"), 1u) << run.out;
}

}  // namespace testhost
