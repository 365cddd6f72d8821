// The CRC-compensation attack detector: repeated blocks that cancel out in the CRC are
// found by the pairwise search and by the hash table, and nothing else is.
#include <gtest/gtest.h>

#include "ssh/proto/ssh1.h"
#include "ssh1_fake_server.h"

namespace {

using ssh1test::AttackBuffer;
using ssh1test::CancellingBlocks;
using ssh1test::RandomBytes;

struct DetectorFree {
  void operator()(CrcAttackDetector* d) const { CrcAttackDetectorFree(d); }
};
using Detector = std::unique_ptr<CrcAttackDetector, DetectorFree>;

int32_t Detect(CrcAttackDetector* d, const std::string& bytes) {
  return CrcAttackDetect(d, reinterpret_cast<const uint8_t*>(bytes.data()), uint32_t(bytes.size()));
}

TEST(CrcAttackDetector, FindsCancellingRepeatsAtEverySize) {
  Detector d(CrcAttackDetectorNew());
  // 40 blocks fit the first table; 2,000 blocks make it grow; a smaller buffer after that
  // still works with the grown table.
  for (size_t n : {320u, 16000u, 512u}) {
    SCOPED_TRACE(n);
    ASSERT_GE(CancellingBlocks(n).size(), 2u);
    EXPECT_EQ(Detect(d.get(), AttackBuffer(n)), 1);
    EXPECT_EQ(Detect(d.get(), RandomBytes(n)), 0);
  }
}

TEST(CrcAttackDetector, RepeatsThatDoNotCancelPass) {
  Detector d(CrcAttackDetectorNew());
  // 7 blocks take the pairwise search, 8 and more the table.
  for (size_t blocks : {2u, 7u, 8u, 64u}) {
    SCOPED_TRACE(blocks);
    std::string buffer = RandomBytes(8 * blocks);
    buffer.replace(8 * (blocks - 1), 8, buffer.substr(0, 8));
    EXPECT_EQ(Detect(d.get(), buffer), 0);
    EXPECT_EQ(Detect(d.get(), std::string(8 * blocks, '\0')), 0) << "all blocks equal";
  }
  EXPECT_EQ(Detect(d.get(), ""), 0);
}

TEST(CrcAttackDetector, MoreBlocksThanTheTableCanIndexAreRefused) {
  Detector d(CrcAttackDetectorNew());
  EXPECT_EQ(Detect(d.get(), RandomBytes(8 * 65534)), 0);
  EXPECT_EQ(Detect(d.get(), RandomBytes(8 * 65535)), 1);
}

}  // namespace
