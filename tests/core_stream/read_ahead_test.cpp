// The buffered reader over an in-memory stream: lines longer than its buffer, streams cut
// at every byte or blocking at every other step, and what a fill may and may not do.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/stream/read_ahead.h"
#include "memory_peer.h"

using streamtest::MemoryStream;

namespace {

struct Cut {
  uint32_t piece;
  bool blockEveryOther;
};

class ReadAheadLines : public ::testing::TestWithParam<Cut> {};

TEST_P(ReadAheadLines, LinesOfAnyLengthComeWhole) {
  MemoryStream stream;
  stream.piece = GetParam().piece;
  stream.blockEveryOther = GetParam().blockEveryOther;
  std::vector<std::string> lines;
  for (size_t length : {0, 1, 6, 7, 8, 9, 15, 16, 17, 40}) lines.push_back(std::string(length, 'x') + "\r\n");
  lines.push_back("\n");
  for (const std::string& l : lines) stream.inbound += l;
  stream.peerEnded = true;

  cvcore::ReadAhead<8> reader;
  std::string line;
  std::vector<size_t> pieces;
  for (const std::string& expected : lines) {
    ASSERT_TRUE(streamtest::ReadLine(reader, stream, line, pieces));
    EXPECT_EQ(line, expected);
    for (size_t p : pieces) EXPECT_LE(p, 8u);  // a long line comes in pieces, none lost
  }
  EXPECT_EQ(reader.FillWaiting(stream, cvcore::StreamOrder::TryFirst), 0);  // the end, after the last line
  EXPECT_EQ(stream.error, 0u);
}

INSTANTIATE_TEST_SUITE_P(Streams, ReadAheadLines,
                         ::testing::Values(Cut{0xFFFFFFFF, false}, Cut{1, false}, Cut{1, true}, Cut{3, true},
                                           Cut{8, true}));

TEST(ReadAhead, FillTakesOnlyWhenEmpty) {
  MemoryStream stream;
  stream.inbound = "abcdefghij";
  cvcore::ReadAhead<4> reader;
  EXPECT_EQ(reader.Fill(stream), 4);
  EXPECT_EQ(reader.Fill(stream), 4);  // bytes wait: nothing more is received
  EXPECT_EQ(stream.taken, 4u);
  char out[8];
  EXPECT_EQ(reader.Take(out, 3), 3u);
  EXPECT_EQ(std::string(out, 3), "abc");
  EXPECT_EQ(reader.Fill(stream), 1);
  char c;
  EXPECT_TRUE(reader.TakeByte(c));
  EXPECT_EQ(c, 'd');
  EXPECT_FALSE(reader.TakeByte(c));
  EXPECT_EQ(reader.Fill(stream), 4);
  EXPECT_EQ(std::string(reader.data(), reader.size()), "efgh");
  reader.Consume(100);  // never past what waits
  EXPECT_TRUE(reader.empty());
  EXPECT_EQ(reader.Fill(stream), 2);
  reader.Clear();
  EXPECT_EQ(reader.Fill(stream), cvcore::kStreamWouldBlock);
  stream.peerEnded = true;
  EXPECT_EQ(reader.Fill(stream), 0);
  EXPECT_TRUE(reader.empty());
}

TEST(ReadAhead, PutReplacesAndKeepsWhatFits) {
  cvcore::ReadAhead<4> reader;
  EXPECT_EQ(reader.Put("xy", 2), 2u);
  EXPECT_EQ(reader.PeekLine(), "xy");
  EXPECT_EQ(reader.Put("a\nbcdef", 7), 4u);
  EXPECT_EQ(reader.PeekLine(), "a\n");
  reader.Consume(2);
  EXPECT_EQ(reader.PeekLine(), "bc");
}

TEST(ReadAhead, ErrorsOfTheStreamPassThrough) {
  struct Failing final : cvcore::ByteStream {
    int32_t Receive(void*, uint32_t) noexcept override { return Fail(cvErrorConnectionClosed), -1; }
    int32_t Send(const void*, uint32_t) noexcept override { return -1; }
    bool Wait(short) noexcept override { return true; }
    void Fail(uint32_t e) noexcept override { error = e; }
    uint32_t error = 0;
  } failing;
  cvcore::ReadAhead<16> reader;
  EXPECT_EQ(reader.FillWaiting(failing, cvcore::StreamOrder::WaitFirst), -1);
  EXPECT_EQ(failing.error, uint32_t(cvErrorConnectionClosed));
  EXPECT_TRUE(reader.empty());
}

}  // namespace
