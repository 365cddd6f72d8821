// Line ends of text transfers: CR LF collapsed to LF on the way in, wherever the blocks of
// the data connection happen to split a pair, and LF expanded to CR LF on the way out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ftp/ftp_line_ends.h"

namespace {

// The text as the download writes it, the wire bytes arriving in blocks cut at cuts.
std::string Received(const std::string& wire, const std::vector<size_t>& cuts, uint64_t* removed = nullptr) {
  cvftp::ReceivedText text;
  std::string out;
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(wire.size());
  for (size_t i = 0; i <= ends.size(); ++i) {
    const bool last = i == ends.size();
    const size_t to = last ? from : ends[i];
    std::string block(1 + to - from, '?');  // one spare byte in front, as the transfer reads
    block.replace(1, to - from, wire, from, to - from);
    const char* data = nullptr;
    const size_t n = text.Take(block.data(), to - from, last, &data);
    out.append(data, n);
    from = to;
  }
  if (removed) *removed = text.removed();
  return out;
}

TEST(LineEnds, PairsCollapseAcrossEveryBlockBoundary) {
  const std::string wire = "a\r\nb\r\r\n\r\n\rc\n\r";
  const std::string local = "a\nb\r\n\n\rc\n\r";
  for (size_t cut = 0; cut <= wire.size(); ++cut)
    for (size_t second = cut; second <= wire.size(); ++second) {
      uint64_t removed = 0;
      EXPECT_EQ(Received(wire, {cut, second}, &removed), local) << cut << " " << second;
      EXPECT_EQ(removed, wire.size() - local.size());
    }
  EXPECT_EQ(Received("", {}), "");
  EXPECT_EQ(Received("\r", {}), "\r") << "a CR at the very end is text";
}

TEST(LineEnds, EveryLineFeedGoesOutWithACarriageReturn) {
  struct {
    std::string local, wire;
  } cases[] = {{"", ""}, {"\n", "\r\n"}, {"x", "x"}, {"a\nb\n", "a\r\nb\r\n"}, {"\r\n", "\r\r\n"}, {"\n\n", "\r\n\r\n"}};
  for (const auto& c : cases) {
    std::string buffer = c.local + std::string(c.local.size(), '#');
    buffer.resize(cvftp::ExpandLineEnds(buffer.data(), c.local.size()));
    EXPECT_EQ(buffer, c.wire);
    // The way back gives the original, whatever it held.
    EXPECT_EQ(Received(c.wire, {}), c.local);
  }
}

}  // namespace
