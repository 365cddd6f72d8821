// Runs a test once on the portable Montgomery rows and once on the MULX/ADX rows; the
// second is skipped on CPUs without those instructions.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ssh/crypto/cpu_features.h"
#include "ssh/crypto/mp_internal.h"

namespace pktest {

class RowKernels : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!GetParam() && !sshmp::CpuHasMulxAdx()) GTEST_SKIP() << "CPU without MULX/ADX";
    cvssh::crypto::ForcePortableCrypto(GetParam());
  }
  void TearDown() override { cvssh::crypto::ForcePortableCrypto(false); }
};

inline std::string RowKernelName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "Portable" : "MulxAdx";
}

}  // namespace pktest
