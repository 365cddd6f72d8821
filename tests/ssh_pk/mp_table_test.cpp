// Every arithmetic operation against a seeded table computed with Python integers.
#include <gtest/gtest.h>

#include <string>

#include "ssh/crypto/mpint.h"
#include "row_kernels.h"
#include "test_util.h"

using pktest::FromHex;
using pktest::Hex;
using pktest::Mp;

namespace {

struct Case {
  const char* op;
  const char* a;
  const char* b;
  const char* c;
  const char* expect;
};

const Case kCases[] = {
#include "mp_table.inc"
};

Mp RunCase(const Case& t) {
  Mp a = FromHex(t.a), b = FromHex(t.b), c = FromHex(t.c);
  std::string op = t.op;
  if (op == "modpow") return Mp(MpModPow(a.get(), b.get(), c.get()));
  if (op == "modmul") return Mp(MpModMul(a.get(), b.get(), c.get()));
  if (op == "mod") return Mp(MpMod(a.get(), c.get()));
  if (op == "mul") return Mp(MpMul(a.get(), b.get()));
  if (op == "muladd") return Mp(MpMulAdd(a.get(), b.get(), c.get()));
  if (op == "inverse") return Mp(MpModInverse(a.get(), c.get()));
  if (op == "shr") return Mp(MpShiftRightOne(a.get()));
  ADD_FAILURE() << "unknown op " << op;
  return nullptr;
}

// The exponentiations run on either row kernel; every other operation is the same code.
using MpTable = pktest::RowKernels;

TEST_P(MpTable, EveryOperationMatchesPythonIntegers) {
  int failures = 0;
  for (const Case& t : kCases) {
    Mp r = RunCase(t);
    std::string got = Hex(r.get());
    if (got != t.expect && failures++ < 10)
      ADD_FAILURE() << t.op << "(" << t.a << ", " << t.b << ", " << t.c << ") = " << got
                    << ", expected " << t.expect;
  }
  EXPECT_EQ(failures, 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, MpTable, ::testing::Values(true, false), pktest::RowKernelName);

TEST(MpTableLimbs, ResultLimbCounts) {
  // Trimmed results, except MpMod which keeps the modulus's limb count.
  for (const Case& t : kCases) {
    Mp r = RunCase(t);
    if (!r) continue;
    std::string op = t.op;
    Mp m = FromHex(t.c);
    if (op == "mod") {
      EXPECT_EQ(r.get()[0], m.get()[0]) << t.a;
    } else if (op == "muladd") {
      EXPECT_TRUE(r.get()[0] == 0 || r.get()[r.get()[0]] != 0) << t.a;
    } else if (op != "shr") {
      EXPECT_TRUE(r.get()[0] == 1 || r.get()[r.get()[0]] != 0) << op << " " << t.a;
    }
  }
}

}  // namespace
