// The transfer encodings and RFC 2047 words.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "mime_fixture.h"

namespace {

std::string EncodeText(uint32_t encoding, const std::string& data) {
  std::string out(data.size() * 3 + 64, '\0');
  const int32_t n = MimeEncodeText(encoding, data.data(), int32_t(data.size()), out.data(), int32_t(out.size()));
  if (n < 0) return "<fail>";
  EXPECT_EQ(out[size_t(n)], '\0');
  out.resize(size_t(n));
  return out;
}

std::string DecodeText(uint32_t encoding, const std::string& text, int32_t* result = nullptr) {
  std::string out(text.size() + 16, '\0');
  const int32_t n = MimeDecodeText(encoding, text.data(), int32_t(text.size()), out.data(), int32_t(out.size()));
  if (result) *result = n;
  if (n < 0) return "<fail>";
  out.resize(size_t(n));
  return out;
}

std::string EncodeHeader(const std::string& text, uint32_t charset, uint32_t encoding) {
  char out[8192];
  if (!MimeEncodeHeaderValue(text.c_str(), out, sizeof out, charset, encoding)) return "<fail>";
  return out;
}

std::string DecodeHeader(const std::string& text, int32_t unstructured = 1) {
  char out[8192];
  EXPECT_EQ(MimeDecodeHeaderValue(text.c_str(), out, sizeof out, unstructured), 1);
  return out;
}

using MimeCodecTest = MimeTest;

TEST_F(MimeCodecTest, Base64LinesOf72AlwaysEndWithLineBreak) {
  EXPECT_EQ(EncodeText(kMimeEncodingBase64, "Man"), "TWFu\r\n");
  EXPECT_EQ(EncodeText(kMimeEncodingBase64, "Ma"), "TWE=\r\n");
  EXPECT_EQ(EncodeText(kMimeEncodingBase64, "M"), "TQ==\r\n");
  const std::string line54 = EncodeText(kMimeEncodingBase64, std::string(54, 'x'));
  EXPECT_EQ(line54.size(), 74u);
  EXPECT_EQ(line54.substr(72), "\r\n");
  const std::string line55 = EncodeText(kMimeEncodingBase64, std::string(55, 'x'));
  EXPECT_EQ(line55.substr(72), "\r\neA==\r\n");
  // Too little room fails instead of writing past it.
  char small[8];
  EXPECT_EQ(MimeEncodeText(kMimeEncodingBase64, "abcdefgh", 8, small, sizeof small), -1);
}

TEST_F(MimeCodecTest, Base64DecodeSkipsLineBreaksStopsAtPaddingAndRejectsJunkInsideGroups) {
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[size_t(i)] = char(i);
  EXPECT_EQ(DecodeText(kMimeEncodingBase64, EncodeText(kMimeEncodingBase64, all)), all);
  EXPECT_EQ(DecodeText(kMimeEncodingBase64, "TW\r\nFu"), "Man");
  EXPECT_EQ(DecodeText(kMimeEncodingBase64, "TWE=garbage"), "Ma");
  EXPECT_EQ(DecodeText(kMimeEncodingBase64, "TWFu !TWFu"), "ManMan");  // junk between groups
  int32_t r = 0;
  DecodeText(kMimeEncodingBase64, "TW!Fu", &r);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(MimeDecodeText(kMimeEncoding7bit, "abc", 3, all.data(), 10), -1);
  EXPECT_EQ(MimeDecodeText(kMimeEncodingBase64, nullptr, 3, all.data(), 10), -1);
  EXPECT_EQ(MimeGetLastError(), Err(10014));
}

TEST_F(MimeCodecTest, QuotedPrintableBodyIsOneLogicalLine) {
  EXPECT_EQ(EncodeText(kMimeEncodingQuoted, "a=b\r\nc"), "a=3Db=0D=0Ac");
  EXPECT_EQ(EncodeText(kMimeEncodingQuoted, "end \r\n"), "end=20=0D=0A");
  EXPECT_EQ(EncodeText(kMimeEncodingQuoted, "x@y!"), "x=40y=21");
  EXPECT_EQ(EncodeText(kMimeEncodingQuoted, "caf\xC3\xA9"), "caf=C3=A9");
  const std::string long80 = EncodeText(kMimeEncodingQuoted, std::string(80, 'a'));
  EXPECT_EQ(long80, std::string(73, 'a') + "=\r\n" + std::string(7, 'a'));
  const std::string data = "line one\r\nline = two\t\r\n\x01\xFF" + std::string(300, 'z');
  EXPECT_EQ(DecodeText(kMimeEncodingQuoted, EncodeText(kMimeEncodingQuoted, data)), data);
}

TEST_F(MimeCodecTest, QuotedPrintableDecodeSoftBreaksAndBadEscapes) {
  // Soft line breaks end in CR LF, a bare LF or a bare CR, after optional blanks; no data
  // byte around them is lost, whatever the chunk boundaries.
  const struct {
    const char* in;
    const char* out;  // null: the input is refused
  } kCases[] = {
      {"ab=\r\ncd=3d", "abcd="},
      {"ab=\ncd", "abcd"},
      {"ab=\rcd", "abcd"},
      {"ab= \r\ncd", "abcd"},
      {"ab=\t \ncd", "abcd"},
      {"ab=  \rcd", "abcd"},
      {"line one=\nstill one\nline two\n", "line onestill one\nline two\n"},
      {"a=3D=\n=41", "a=A"},
      {"end=\n", "end"},
      {"a=ZZ", nullptr},
      {"a= x", nullptr},
      {"a= =41", nullptr},
  };
  for (const auto& c : kCases) {
    const std::string in = c.in;
    int32_t r = 0;
    const std::string whole = DecodeText(kMimeEncodingQuoted, in, &r);
    if (!c.out) {
      EXPECT_EQ(r, -1) << c.in;
      continue;
    }
    EXPECT_EQ(whole, c.out) << c.in;
    for (size_t cut = 1; cut < in.size(); ++cut) {
      MimeQpDecodeState s{};
      char out[64];
      const int32_t a = MimeQpDecode(&s, in.data(), int32_t(cut), out, sizeof out);
      ASSERT_GE(a, 0) << c.in << " cut at " << cut;
      const int32_t b = MimeQpDecode(&s, in.data() + cut, int32_t(in.size() - cut), out + a, int32_t(sizeof out) - a);
      ASSERT_GE(b, 0) << c.in << " cut at " << cut;
      EXPECT_EQ(std::string(out, size_t(a + b)), c.out) << c.in << " cut at " << cut;
    }
  }

  // LF-only text handed to a quoted-printable text part, and a LF-only message parsed.
  LibHandle h = MimeCreateMessage();
  ASSERT_EQ(MimeSetPartCharset(h, kMimeCharsetUtf8, kMimeEncodingQuoted), 1);
  EXPECT_GT(MimeSetText(h, 0, "first=\nline \nsecond= \nline=3D\n"), 0);
  EXPECT_EQ(Body(h, 0), "firstline \r\nsecondline=\r\n");
  MimeDestroyMessage(h);
  h = Parse("Content-Type: text/plain\nContent-Transfer-Encoding: quoted-printable\n\n"
            "first=\nline\nsecond=  \nline\n");
  EXPECT_EQ(Body(h, 0), "firstline\r\nsecondline\r\n");
  MimeDestroyMessage(h);
}

TEST_F(MimeCodecTest, EncodeDataForAttachmentsAndHeaderWords) {
  char out[256];
  EXPECT_GT(MimeEncodeData(kMimeEncodingQuoted, 2, "a b\x7F?", 5, out, sizeof out), 0);
  EXPECT_STREQ(out, "a_b=7F=3F");
  EXPECT_GT(MimeEncodeData(kMimeEncodingBase64, 0, std::string(60, 'x').data(), 60, out, sizeof out), 0);
  EXPECT_EQ(std::strchr(out, '\r'), nullptr);
  EXPECT_GT(MimeEncodeData(kMimeEncodingBase64, 1, std::string(60, 'x').data(), 60, out, sizeof out), 0);
  EXPECT_EQ(std::string(out).find("\r\n"), 72u);
  EXPECT_EQ(MimeEncodeData(kMimeEncodingUuencode, 0, "x", 1, out, sizeof out), -1);
  EXPECT_EQ(MimeEncodeData(kMimeEncodingBase64, 0, std::string(60, 'x').data(), 60, out, 10), -1);
}

TEST_F(MimeCodecTest, HeaderEncodingChoosesBOrQByCharsetAndEncoding) {
  const std::string value = "Gr\xC3\xBC\xC3\x9F" "e an alle";
  EXPECT_EQ(EncodeHeader(value, kMimeCharsetUtf8, kMimeEncoding8bit), "=?utf-8?B?R3LDvMOfZQ==?= an alle");
  EXPECT_EQ(EncodeHeader("caf\xE9 ok", kMimeCharsetIso8859_1, kMimeEncoding8bit), "=?iso-8859-1?Q?caf=E9?= ok");
  EXPECT_EQ(EncodeHeader("caf\xE9", kMimeCharsetIso8859_1, kMimeEncodingBase64), "=?iso-8859-1?B?Y2Fm6Q==?=");
  EXPECT_EQ(EncodeHeader("x", kMimeCharsetUtf8, kMimeEncoding7bit), "<fail>");
  EXPECT_EQ(EncodeHeader("x", 0, kMimeEncoding8bit), "<fail>");
  // Adjacent encoded tokens carry the blank between them inside the second word.
  const std::string two = EncodeHeader("\xC3\xA9t\xC3\xA9 \xC3\xA0", kMimeCharsetUtf8, kMimeEncodingQuoted);
  EXPECT_EQ(two, "=?utf-8?Q?=C3=A9t=C3=A9?= =?utf-8?Q?_=C3=A0?=");
  EXPECT_EQ(DecodeHeader(two), "\xC3\xA9t\xC3\xA9 \xC3\xA0");
  // So does a longer run of blanks and tabs, which decoding would otherwise drop.
  for (const std::string white : {"  ", " \t", "\t\t\t"}) {
    const std::string text = "\xC3\xA9" + white + "\xC3\xA0";
    EXPECT_EQ(DecodeHeader(EncodeHeader(text, kMimeCharsetUtf8, kMimeEncodingBase64)), text);
    EXPECT_EQ(DecodeHeader(EncodeHeader(text, kMimeCharsetUtf8, kMimeEncodingQuoted)), text);
  }
  // A token cut into words whose last word holds a single character keeps it.
  for (size_t length = 55; length < 62; ++length) {
    const std::string text = "\xC3\xA9" + std::string(length, 'x');
    EXPECT_EQ(DecodeHeader(EncodeHeader(text, kMimeCharsetUtf8, kMimeEncodingQuoted)), text) << length;
  }
}

TEST_F(MimeCodecTest, EncodedWordsStayShortCutBetweenCharactersAndEscapeQuestionMarks) {
  std::string utf8Text;  // two- and three-byte characters mixed with text and blanks
  for (int i = 0; i < 60; ++i) utf8Text += i % 3 ? "\xC3\xA9t\xE2\x82\xAC" : "a? ?=b_ ";
  const struct {
    std::string text;
    uint32_t charset, encoding;
    std::string decoded;  // as the host reads it back
  } kCases[] = {
      {utf8Text, kMimeCharsetUtf8, kMimeEncodingBase64, utf8Text},
      {utf8Text, kMimeCharsetUtf8, kMimeEncodingQuoted, utf8Text},
      {std::string(600, '\xE9'), kMimeCharsetIso8859_1, kMimeEncodingBase64, [] {
         std::string e;
         for (int i = 0; i < 600; ++i) e += "\xC3\xA9";
         return e;
       }()},
      {"a?=b \xE9?x=?", kMimeCharsetIso8859_1, kMimeEncodingQuoted, "a?=b \xC3\xA9?x=?"},
  };
  for (const auto& c : kCases) {
    const std::string encoded = EncodeHeader(c.text, c.charset, c.encoding);
    EXPECT_EQ(DecodeHeader(encoded), c.decoded) << encoded;
    // Every word is at most 75 characters and decodes on its own to whole characters.
    for (size_t at = 0; (at = encoded.find("=?", at)) != std::string::npos;) {
      const size_t kind = encoded.find('?', at + 2) + 1;  // "=?charset?K?payload?="
      const size_t close = encoded.find("?=", kind + 2);
      ASSERT_NE(close, std::string::npos) << encoded;
      const std::string word = encoded.substr(at, close + 2 - at);
      EXPECT_LE(word.size(), 75u) << word;
      const std::string alone = DecodeHeader(word);
      EXPECT_NE(alone, word) << "not decodable alone: " << word;
      // A UTF-8 word ends with a whole character: its last byte is ASCII or ends a sequence.
      const auto last = static_cast<unsigned char>(alone.back());
      if (c.charset == kMimeCharsetUtf8) {
        size_t lead = alone.size() - 1;
        while (lead > 0 && (static_cast<unsigned char>(alone[lead]) & 0xC0) == 0x80) --lead;
        const auto first = static_cast<unsigned char>(alone[lead]);
        const size_t length = first < 0x80 ? 1 : first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : 2;
        EXPECT_EQ(alone.size() - lead, length) << word << " ends with " << int(last);
      }
      at = close + 2;
    }
  }
}

TEST_F(MimeCodecTest, HeaderDecodingOfWords) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"=?iso-8859-1?Q?caf=E9?=", "caf\xC3\xA9"},                      // converted to UTF-8
      {"=?ISO-8859-2?Q?=B1?=", "\xC4\x85"},
      {"=?windows-1252?Q?=80_5?=", "\xE2\x82\xAC 5"},
      {"=?iso-8859-15?B?pA==?=", "\xE2\x82\xAC"},
      {"=?utf-8*en?Q?=C3=A9?=", "\xC3\xA9"},                             // language suffix
      {"=?x-unknown?Q?=E9?=", "\xE9"},                                  // unknown: bytes kept
      {"=?utf-8?Q?=C3?= =?utf-8?Q?=A9?=", "\xC3\xA9"},                   // a character cut between words
      {"=?iso-8859-1?Q?a?= =?utf-8?Q?=C3=A9?=", "a\xC3\xA9"},
      {"=?utf-8?B?w6k=?= =?utf-8?B?w6k=?=", "\xC3\xA9\xC3\xA9"},        // joined without the blank
      {"a =?utf-8?q?b_c?= d", "a b c d"},
      {"=?utf-8?X?abc?= stays", "=?utf-8?X?abc?= stays"},               // malformed stays
      {"=?utf-8?Q?a=ZZ?=", "=?utf-8?Q?a=ZZ?="},                          // bad escape stays
      {"\"=?utf-8?Q?J=C3=B6rg?=\" <j@x.org>", "\"J\xC3\xB6rg\" <j@x.org>"},
      {"x=?utf-8?Q?y?=z", "xyz"},
      {"=?utf-8?Q?a=0D=0ABcc:_evil@x?=", "a  Bcc: evil@x"},              // no line break injected
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeHeader(c.in), c.out) << c.in;
  char word[1024];
  EXPECT_EQ(MimeDecodeWord(kMimeEncodingQuoted, "a_b=41", word), 4);
  EXPECT_STREQ(word, "a bA");
  EXPECT_EQ(MimeIsTextHeader("subject"), 1);
  EXPECT_EQ(MimeIsTextHeader("message-id"), 0);
}

TEST_F(MimeCodecTest, UuencodedFilesRoundTripAndNeedTheEndLine) {
  std::string data;
  for (int i = 0; i < 1000; ++i) data.push_back(char(i * 7));
  WriteFile(Path("in.bin"), data);
  ASSERT_EQ(MimeUuencodeFile(Path("in.bin").c_str(), Path("enc.uu").c_str()), 1);
  const std::string encoded = ReadFile(Path("enc.uu"));
  EXPECT_EQ(encoded.substr(0, 18), "begin 644 in.bin\r\n");
  EXPECT_EQ(encoded.substr(encoded.size() - 8), "`\r\nend\r\n");
  EXPECT_EQ(encoded[18], 'M');  // 45 bytes a line
  ASSERT_EQ(MimeUudecodeFile(Path("enc.uu").c_str(), Path("out.bin").c_str()), 1);
  EXPECT_EQ(ReadFile(Path("out.bin")), data);

  WriteFile(Path("noend.uu"), encoded.substr(0, encoded.size() - 5));
  EXPECT_EQ(MimeUudecodeFile(Path("noend.uu").c_str(), Path("out2.bin").c_str()), 0);
  WriteFile(Path("nobegin.uu"), "hello\r\n");
  EXPECT_EQ(MimeUudecodeFile(Path("nobegin.uu").c_str(), Path("out3.bin").c_str()), 0);
  // A short data line yields only what it holds.
  WriteFile(Path("short.uu"), "begin 644 s\nM86)C\n`\nend\n");
  EXPECT_EQ(MimeUudecodeFile(Path("short.uu").c_str(), Path("s.bin").c_str()), 1);
  EXPECT_EQ(ReadFile(Path("s.bin")).substr(0, 3), "abc");
}

TEST_F(MimeCodecTest, UudecodeNameFromBeginLineStaysInCurrentDirectory) {
  WriteFile(Path("evil.uu"), "begin 644 ../../escape.txt\n#86)C\n`\nend\n");
  const auto cwd = std::filesystem::current_path();
  std::filesystem::create_directories(dir_ / "a" / "b");
  std::filesystem::current_path(dir_ / "a" / "b");
  const int32_t r = MimeUudecodeFile(Path("evil.uu").c_str(), nullptr);
  std::filesystem::current_path(cwd);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(ReadFile(Path("a/b/escape.txt")), "abc");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "escape.txt"));
}

TEST_F(MimeCodecTest, Base64AndQuotedPrintableFiles) {
  std::string data;
  for (int i = 0; i < 5000; ++i) data.push_back(char(i * 13 + 1));
  WriteFile(Path("in.bin"), data);
  ASSERT_EQ(MimeBase64EncodeFile(Path("in.bin").c_str(), Path("b64").c_str()), 1);
  const std::string b64 = ReadFile(Path("b64"));
  EXPECT_EQ(b64.find("\r\n"), 72u);
  EXPECT_EQ(b64.substr(b64.size() - 2), "\r\n");
  ASSERT_EQ(MimeBase64DecodeFile(Path("b64").c_str(), Path("out.bin").c_str()), 1);
  EXPECT_EQ(ReadFile(Path("out.bin")), data);

  WriteFile(Path("bad.b64"), "TW!Fu");
  EXPECT_EQ(MimeBase64DecodeFile(Path("bad.b64").c_str(), Path("bad.out").c_str()), 0);
  WriteFile(Path("qp"), "caf=C3=A9 =\r\nsuite");
  ASSERT_EQ(MimeQpDecodeFile(Path("qp").c_str(), Path("qp.out").c_str()), 1);
  EXPECT_EQ(ReadFile(Path("qp.out")), "caf\xC3\xA9 suite");
  WriteFile(Path("badqp"), "a=Q1");
  EXPECT_EQ(MimeQpDecodeFile(Path("badqp").c_str(), Path("badqp.out").c_str()), 0);
  EXPECT_EQ(MimeBase64EncodeFile(Path("missing").c_str(), Path("x").c_str()), 0);
}

TEST_F(MimeCodecTest, FileHelpers) {
  // Plain text keeps its layout characters (TAB, LF, FF, CR) and stays text.
  const struct {
    const char* content;
    size_t length;
    int32_t binary;
  } kFiles[] = {
      {"only printable text", 19, 0}, {"two\nlines", 9, 0},       {"dos\r\nlines\r\n", 12, 0},
      {"col\tumns\fpage", 13, 0},    {"", 0, 0},                 {"nul\0byte", 8, 1},
      {"bell\a", 5, 1},               {"esc\x1B[0m", 8, 1},      {"del\x7F", 4, 1},
      {"utf-8 \xC3\xA9", 8, 1},
  };
  for (const auto& f : kFiles) {
    WriteFile(Path("sniff"), std::string(f.content, f.length));
    EXPECT_EQ(MimeIsBinaryFile(Path("sniff").c_str()), f.binary) << f.content;
  }
  EXPECT_EQ(MimeIsBinaryFile(Path("missing").c_str()), 0);
  WriteFile(Path("text"), "only printable text");

  uint32_t size = 0;
  EXPECT_EQ(MimeGetFileSize(Path("text").c_str(), &size), 1);
  EXPECT_EQ(size, 19u);
  EXPECT_EQ(MimeGetFileSize(Path("missing").c_str(), &size), 0);
  EXPECT_EQ(MimeGetLastError(), Err(10002));
  EXPECT_EQ(MimeGetFileSize("", &size), 0);
  EXPECT_EQ(MimeGetLastError(), Err(10008));
  EXPECT_EQ(MimeGetFileSize(Path("text").c_str(), nullptr), 0);
  EXPECT_EQ(MimeGetLastError(), Err(10014));

  char temp[260];
  ASSERT_EQ(MimeMakeTempFile(temp), 1);
  EXPECT_TRUE(std::filesystem::exists(temp));
  EXPECT_NE(std::string(temp).find("/msg"), std::string::npos);
  std::filesystem::remove(temp);

  WriteFile(Path("lf"), "one\r\ntwo\nthree");
  const int fd = ::open(Path("lf").c_str(), O_RDONLY);
  char line[1024];
  uint32_t offset = 0;
  std::string lines;
  while (MimeReadFileLine(fd, line, &offset)) lines += std::string(line) + "|";
  ::close(fd);
  EXPECT_EQ(lines, "one|two|three|");
}

}  // namespace
