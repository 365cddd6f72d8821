// The SSH zlib compression against zlib itself in both directions, on the stream form SSH
// uses (one stream per direction, a flush per packet), and malformed streams.
#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ssh/compress/zlib.h"
#include "ssh/util/alloc.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct CompressorFree {
  void operator()(ZlibCompressor* c) const { ZlibCompressFree(c); }
};
struct DecompressorFree {
  void operator()(ZlibDecompressor* d) const { ZlibDecompressFree(d); }
};
using Compressor = std::unique_ptr<ZlibCompressor, CompressorFree>;
using Decompressor = std::unique_ptr<ZlibDecompressor, DecompressorFree>;

Bytes Compress(ZlibCompressor* c, const Bytes& in) {
  uint8_t* out = nullptr;
  int32_t n = -1;
  EXPECT_EQ(ZlibCompress(c, in.data(), static_cast<int32_t>(in.size()), &out, &n), 1);
  Bytes b(out, out + n);
  CheckedFree(out);
  return b;
}

// The decoded bytes, or nullopt-like failure flag.
bool Decompress(ZlibDecompressor* d, const Bytes& in, Bytes* result) {
  uint8_t* out = nullptr;
  int32_t n = -1;
  int32_t r = ZlibDecompress(d, in.data(), static_cast<int32_t>(in.size()), &out, &n);
  if (r == 0) {
    EXPECT_EQ(out, nullptr);
    return false;
  }
  result->assign(out, out + n);
  CheckedFree(out);
  return true;
}

// zlib as the peer: one stream per direction.
class ZInflate {
 public:
  ZInflate() { inflateInit(&z_); }
  ~ZInflate() { inflateEnd(&z_); }
  // Everything the bytes complete; false on a stream error.
  bool Feed(const Bytes& in, Bytes* result) {
    result->clear();
    z_.next_in = const_cast<uint8_t*>(in.data());
    z_.avail_in = static_cast<uInt>(in.size());
    uint8_t buf[4096];
    do {
      z_.next_out = buf;
      z_.avail_out = sizeof buf;
      int r = inflate(&z_, Z_SYNC_FLUSH);
      if (r != Z_OK && r != Z_BUF_ERROR) return false;
      result->insert(result->end(), buf, buf + (sizeof buf - z_.avail_out));
    } while (z_.avail_out == 0 || z_.avail_in > 0);
    return true;
  }

 private:
  z_stream z_{};
};

class ZDeflate {
 public:
  ZDeflate(int level, int strategy) { deflateInit2(&z_, level, Z_DEFLATED, 15, 8, strategy); }
  ~ZDeflate() { deflateEnd(&z_); }
  Bytes Packet(const Bytes& in, int flush) {
    Bytes result;
    z_.next_in = const_cast<uint8_t*>(in.data());
    z_.avail_in = static_cast<uInt>(in.size());
    uint8_t buf[4096];
    do {
      z_.next_out = buf;
      z_.avail_out = sizeof buf;
      deflate(&z_, flush);
      result.insert(result.end(), buf, buf + (sizeof buf - z_.avail_out));
    } while (z_.avail_out == 0);
    return result;
  }

 private:
  z_stream z_{};
};

// Packets of several kinds: text, random bytes, long runs (matches split above 258),
// repeats of earlier packets, and the empty packet.
std::vector<Bytes> SamplePackets() {
  std::mt19937 rng(12345);
  std::vector<Bytes> packets;
  const std::string text =
      "drwxr-xr-x  2 user group 4096 Jan  1 12:00 directory\n-rw-r--r--  1 user group  123 Feb  2 13:00 file.txt\n";
  Bytes t;
  for (int i = 0; i < 40; ++i) t.insert(t.end(), text.begin(), text.end());
  packets.push_back(t);
  Bytes random(3000);
  for (auto& b : random) b = static_cast<uint8_t>(rng());
  packets.push_back(random);
  for (int run : {258, 259, 260, 261, 262, 263, 520, 5000}) packets.push_back(Bytes(static_cast<size_t>(run) + 1, 'a'));
  packets.push_back({});
  packets.push_back({'x'});
  packets.push_back({'x', 'y'});
  packets.push_back({'x', 'y', 'z'});
  packets.push_back(t);
  packets.push_back(random);
  Bytes big(40000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i % 7 == 0 ? rng() : 'a' + i % 13);
  packets.push_back(big);
  return packets;
}

TEST(ZlibCompress, StreamDecodesWithZlibAndOurInflatePacketByPacket) {
  Compressor c(ZlibCompressNew());
  Decompressor d(ZlibDecompressNew());
  ZInflate z;
  bool first = true;
  int i = 0;
  for (const Bytes& packet : SamplePackets()) {
    Bytes out = Compress(c.get(), packet);
    if (first) {
      ASSERT_GE(out.size(), 2u);
      EXPECT_EQ(out[0], 0x78);
      EXPECT_EQ(out[1], 0x9C);
      first = false;
    }
    Bytes theirs, ours;
    ASSERT_TRUE(z.Feed(out, &theirs)) << "packet " << i;
    EXPECT_EQ(theirs, packet) << "packet " << i;
    ASSERT_TRUE(Decompress(d.get(), out, &ours)) << "packet " << i;
    EXPECT_EQ(ours, packet) << "packet " << i;
    ++i;
  }
}

TEST(ZlibCompress, DisabledPacketGoesVerbatimInStoredBlocks) {
  const Bytes text(SamplePackets()[0]);
  Bytes big(70000);  // more than one stored block
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  const Bytes& stored_big = big;
  for (bool disable_first : {true, false}) {
    Compressor c(ZlibCompressNew());
    ZInflate z;
    Bytes got;
    if (!disable_first) {
      ASSERT_TRUE(z.Feed(Compress(c.get(), text), &got));
    }
    const int32_t overhead = ZlibDisableCompression(c.get());
    if (disable_first) {
      EXPECT_EQ(overhead, 7);
    }
    for (const Bytes* packet : {&text, &stored_big}) {
      if (packet == &stored_big) ZlibDisableCompression(c.get());
      Bytes out = Compress(c.get(), *packet);
      if (disable_first && packet == &text) {
        EXPECT_EQ(out.size(), text.size() + 7);
      }
      EXPECT_NE(std::search(out.begin(), out.end(), packet->begin(), packet->begin() + 1000), out.end());
      EXPECT_GE(out.size(), packet->size());
      ASSERT_TRUE(z.Feed(out, &got));
      EXPECT_EQ(got, *packet);
    }
    // Compressed again, and the stored bytes are in the window.
    Bytes out = Compress(c.get(), text);
    EXPECT_LT(out.size(), text.size() / 10);
    ASSERT_TRUE(z.Feed(out, &got));
    EXPECT_EQ(got, text);
  }
}

TEST(ZlibCompress, WindowCarriesOverBetweenPackets) {
  std::mt19937 rng(7);
  Bytes packet(1500);
  for (auto& b : packet) b = static_cast<uint8_t>('a' + rng() % 26);
  Compressor c(ZlibCompressNew());
  const size_t first = Compress(c.get(), packet).size();
  const size_t second = Compress(c.get(), packet).size();
  EXPECT_GT(first, packet.size() / 2);
  EXPECT_LT(second, first / 10);
}

TEST(ZlibDecompress, ZlibStreamsOfEveryBlockKindAndFlush) {
  struct Setting {
    int level, strategy, flush;
  } settings[] = {
      {6, Z_DEFAULT_STRATEGY, Z_PARTIAL_FLUSH}, {6, Z_DEFAULT_STRATEGY, Z_SYNC_FLUSH}, {9, Z_FILTERED, Z_SYNC_FLUSH},
      {1, Z_FIXED, Z_PARTIAL_FLUSH},           {6, Z_HUFFMAN_ONLY, Z_SYNC_FLUSH},     {6, Z_RLE, Z_PARTIAL_FLUSH},
      {0, Z_DEFAULT_STRATEGY, Z_SYNC_FLUSH},
  };
  for (const Setting& s : settings) {
    ZDeflate z(s.level, s.strategy);
    Decompressor d(ZlibDecompressNew());
    Decompressor bytewise(ZlibDecompressNew());
    int i = 0;
    for (const Bytes& packet : SamplePackets()) {
      Bytes in = z.Packet(packet, s.flush), ours;
      ASSERT_TRUE(Decompress(d.get(), in, &ours)) << s.level << "/" << s.strategy << " packet " << i;
      EXPECT_EQ(ours, packet) << s.level << "/" << s.strategy << " packet " << i;
      // The same stream a byte at a time: symbols cut off resume in the next call.
      Bytes joined;
      for (uint8_t byte : in) {
        ASSERT_TRUE(Decompress(bytewise.get(), Bytes{byte}, &ours));
        joined.insert(joined.end(), ours.begin(), ours.end());
      }
      EXPECT_EQ(joined, packet) << s.level << "/" << s.strategy << " packet " << i;
      ++i;
    }
  }
}

// Writes deflate bits least significant first; Huffman codes most significant first.
struct BitWriter {
  Bytes out{0x78, 0x9C};
  uint32_t acc = 0;
  int n = 0;
  void Put(uint32_t v, int count) {
    acc |= v << n;
    n += count;
    while (n >= 8) {
      out.push_back(static_cast<uint8_t>(acc));
      acc >>= 8;
      n -= 8;
    }
  }
  void Code(uint32_t code, int len) {
    for (int i = len - 1; i >= 0; --i) Put((code >> i) & 1, 1);
  }
  void Literal(uint8_t c) { c < 144 ? Code(0x30u + c, 8) : Code(0x190u + c - 144u, 9); }
  Bytes Flush() {
    if (n) Put(0, 8 - n);
    return out;
  }
};

TEST(ZlibDecompress, HandBuiltBlocks) {
  // A reserved block type is skipped; a match reaching before the stream start reads zeros.
  BitWriter w;
  w.Put(6, 3);  // BFINAL 0, BTYPE 3
  w.Put(2, 3);  // static block
  w.Literal('A');
  w.Code(258 - 256, 7);  // length 4
  w.Code(4, 5);          // distance 5-6
  w.Put(1, 1);           // 6
  w.Literal(200);
  w.Code(0, 7);  // end of block
  Decompressor d(ZlibDecompressNew());
  Bytes out;
  ASSERT_TRUE(Decompress(d.get(), w.Flush(), &out));
  EXPECT_EQ(out, (Bytes{'A', 0, 0, 0, 0, 200}));

  // Dynamic blocks whose code-length code is broken.
  auto dynamic = [](const std::vector<int>& code_length_lengths, const std::vector<int>& symbol_bits) {
    BitWriter b;
    b.Put(4, 3);  // dynamic
    b.Put(0, 5);  // 257 literal/length codes
    b.Put(0, 5);  // 1 distance code
    b.Put(static_cast<uint32_t>(code_length_lengths.size() - 4), 4);
    for (int l : code_length_lengths) b.Put(static_cast<uint32_t>(l), 3);
    for (int bit : symbol_bits) b.Put(static_cast<uint32_t>(bit), 1);
    return b.Flush();
  };
  // Order 16, 17, 18, 0: only length 0 has a code ("0"), and the stream sends "1".
  Decompressor d2(ZlibDecompressNew());
  EXPECT_FALSE(Decompress(d2.get(), dynamic({0, 0, 0, 1}, {1, 1, 1, 1, 1, 1, 1, 1}), &out));
  // Three codes of length 1 over-subscribe the code space.
  Decompressor d3(ZlibDecompressNew());
  EXPECT_FALSE(Decompress(d3.get(), dynamic({0, 1, 1, 1}, {0, 0, 0, 0}), &out));
}

TEST(ZlibDecompress, BadHeadersFail) {
  for (Bytes header : {Bytes{0x77, 0x9C}, Bytes{0x88, 0x98}, Bytes{0x78, 0xBB}, Bytes{0x78, 0x9D}}) {
    Decompressor d(ZlibDecompressNew());
    Bytes out;
    EXPECT_FALSE(Decompress(d.get(), header, &out)) << int(header[0]) << " " << int(header[1]);
  }
}

TEST(ZlibDecompress, BombsAreBoundedAndGarbageNeverCrashes) {
  // 2 MB of zeros in one packet: far beyond any SSH packet, refused.
  ZDeflate z(9, Z_DEFAULT_STRATEGY);
  Bytes bomb = z.Packet(Bytes(2 << 20, 0), Z_SYNC_FLUSH);
  Decompressor d(ZlibDecompressNew());
  Bytes out;
  EXPECT_FALSE(Decompress(d.get(), bomb, &out));

  // Random damage to a valid stream, and random bytes after a valid header.
  std::mt19937 rng(99);
  ZDeflate good(6, Z_DEFAULT_STRATEGY);
  const Bytes valid = good.Packet(SamplePackets()[0], Z_SYNC_FLUSH);
  for (int i = 0; i < 2000; ++i) {
    Bytes in = valid;
    if (i % 2) {
      for (int k = 0; k < 1 + i % 5; ++k) in[2 + rng() % (in.size() - 2)] ^= static_cast<uint8_t>(1u << (rng() % 8));
    } else {
      in.resize(2 + rng() % 400);
      for (size_t k = 2; k < in.size(); ++k) in[k] = static_cast<uint8_t>(rng());
    }
    Decompressor fresh(ZlibDecompressNew());
    Decompress(fresh.get(), in, &out);  // success or failure, never a crash
    EXPECT_LE(out.size(), static_cast<size_t>(kZlibMaxOutput));
  }
}

TEST(ZlibDescriptors, ZlibAndNone) {
  EXPECT_STREQ(SshZlibCompress.name, "zlib");
  EXPECT_STREQ(SshZlibCompress.text_name, "zlib (RFC1950)");
  void* c = SshZlibCompress.compress_init();
  void* d = SshZlibCompress.decompress_init();
  uint8_t* out = nullptr;
  int32_t n = 0;
  const uint8_t data[] = "hello hello hello";
  ASSERT_EQ(SshZlibCompress.compress(c, data, sizeof data, &out, &n), 1);
  uint8_t* plain = nullptr;
  int32_t m = 0;
  ASSERT_EQ(SshZlibCompress.decompress(d, out, n, &plain, &m), 1);
  EXPECT_EQ(Bytes(plain, plain + m), Bytes(data, data + sizeof data));
  CheckedFree(out);
  CheckedFree(plain);
  SshZlibCompress.compress_cleanup(c);
  SshZlibCompress.decompress_cleanup(d);

  EXPECT_STREQ(SshNoneCompress.name, "none");
  EXPECT_EQ(SshNoneCompress.text_name, nullptr);
  EXPECT_EQ(SshNoneCompress.compress_init(), nullptr);
  EXPECT_EQ(SshNoneCompress.compress(nullptr, data, sizeof data, &out, &n), 0);
  EXPECT_EQ(SshNoneCompress.decompress(nullptr, data, sizeof data, &out, &n), 0);
  EXPECT_EQ(SshNoneCompress.disable_compression(nullptr), 0);
  SshNoneCompress.compress_cleanup(nullptr);
}

}  // namespace
