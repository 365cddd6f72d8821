// File helpers of attachment handling: sniffing, sizes, temporary files, line reading, and
// the file forms of the codecs (uuencode, base64, quoted-printable), which stream through
// small buffers.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "mime/mime_file_io.h"
#include "mime/mime_internal.h"

namespace cvmime {

bool WriteAll(int fd, std::string_view data) noexcept {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(size_t(n));
  }
  return true;
}

ssize_t ReadFull(int fd, void* buffer, size_t size) noexcept {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, static_cast<char*>(buffer) + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += size_t(n);
  }
  return ssize_t(got);
}

namespace {

constexpr size_t kUuLineBytes = 45;
constexpr size_t kBlock = 4096;

char UuChar(uint32_t v) noexcept { return v == 0 ? '`' : char(v + 32); }

void UuLine(std::string& out, const uint8_t* data, size_t n) {
  out.push_back(UuChar(n & 63));
  for (size_t i = 0; i < n; i += 3) {
    const uint32_t v = uint32_t(data[i]) << 16 | uint32_t(i + 1 < n ? data[i + 1] : 0) << 8 |
                       uint32_t(i + 2 < n ? data[i + 2] : 0);
    out.push_back(UuChar(v >> 18 & 63));
    out.push_back(UuChar(v >> 12 & 63));
    out.push_back(UuChar(v >> 6 & 63));
    out.push_back(UuChar(v & 63));
  }
  out.append("\r\n");
}

// Decodes one data line; false when it ends the data (its length character stands for 0).
bool UuDecodeLine(std::string_view line, std::string& out) {
  const size_t n = size_t((line[0] - 32) & 63);
  if (n == 0) return false;
  size_t produced = 0;
  // Only the characters on the line are read: a short line gives what it holds.
  for (size_t i = 1; i < line.size() && produced < n; i += 4) {
    uint32_t v[4] = {0, 0, 0, 0};
    for (size_t k = 0; k < 4; ++k) v[k] = i + k < line.size() ? uint32_t((line[i + k] - 32) & 63) : 0;
    const uint8_t bytes[3] = {uint8_t(v[0] << 2 | v[1] >> 4), uint8_t(v[1] << 4 | v[2] >> 2), uint8_t(v[2] << 6 | v[3])};
    for (size_t k = 0; k < 3 && produced < n; ++k, ++produced) out.push_back(char(bytes[k]));
  }
  return true;
}

}  // namespace

std::string Uuencode(std::string_view data, std::string_view name) {
  std::string out = "begin 644 " + std::string(BaseName(name)) + "\r\n";
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  for (size_t at = 0; at < data.size(); at += kUuLineBytes)
    UuLine(out, bytes + at, std::min(kUuLineBytes, data.size() - at));
  out.append("`\r\nend\r\n");
  return out;
}

void UuDecoder::Line(std::string_view line) {
  switch (state) {
    case State::Searching:
      if (line.substr(0, 6) == "begin ") {
        size_t i = 6;
        while (i < line.size() && IsWhite(line[i])) ++i;
        while (i < line.size() && line[i] >= '0' && line[i] <= '7') ++i;
        while (i < line.size() && IsWhite(line[i])) ++i;
        beginName.assign(line.substr(i));
        state = State::Data;
      }
      break;
    case State::Data:
      if (line.empty()) break;
      if (!UuDecodeLine(line, pending)) state = State::AwaitEnd;
      break;
    case State::AwaitEnd:
      state = line == "end" ? State::Done : State::Failed;
      break;
    default:
      break;
  }
}

}  // namespace cvmime

using namespace cvmime;

namespace {

// Printable ASCII and the layout characters of plain text: TAB, LF, FF and CR.
bool IsTextByte(uint8_t c) noexcept { return (c >= 32 && c <= 126) || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

}  // namespace

int32_t MimeIsBinaryFile(const char* path) {
  if (!path) return 0;
  UniqueFd fd = OpenRead(path);
  if (!fd) return 0;
  uint8_t buffer[kBlock];
  const ssize_t n = ReadFull(fd.get(), buffer, sizeof buffer);
  for (ssize_t i = 0; i < n; ++i)
    if (!IsTextByte(buffer[i])) return 1;
  return 0;
}

Status cvmime::FileSize(const char* path, uint32_t* size) {
  if (!size) return Status(cvErrorInvalidParameter);
  if (!path || !*path) return Status(cvErrorInvalidFileName);
  struct stat st;
  if (::stat(path, &st) != 0) return Status(cvErrorFileNotFound);
  *size = st.st_size > 0xFFFFFFFFLL ? 0xFFFFFFFFu : uint32_t(st.st_size);
  return Status();
}

int32_t MimeGetFileSize(const char* path, uint32_t* size) { return Library().Finish(FileSize(path, size), 1, 0); }

int32_t MimeMakeTempFile(char* output) {
  if (!output) return 0;
  std::error_code ec;
  std::string dir = std::filesystem::temp_directory_path(ec).string();
  if (ec || dir.empty()) dir = ".";
  std::string pattern = dir + "/msgXXXXXX";
  if (pattern.size() >= 260) return 0;
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) return 0;
  ::close(fd);
  CopyOut(pattern, output, 260);
  return 1;
}

char* MimeReadFileLine(int fd, char* buffer, uint32_t* offset) {
  if (fd < 0 || !buffer || !offset) return nullptr;
  ssize_t n;
  do {
    n = ::pread(fd, buffer, 1023, off_t(*offset));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return nullptr;
  buffer[n] = '\0';
  for (ssize_t i = 0; i < n; ++i) {
    if (buffer[i] == '\r' || buffer[i] == '\n') {
      const bool pair = buffer[i] == '\r' && i + 1 < n && buffer[i + 1] == '\n';
      buffer[i] = '\0';
      *offset += uint32_t(i + (pair ? 2 : 1));
      return buffer;
    }
  }
  *offset += uint32_t(std::strlen(buffer) + 1);
  return buffer;
}

int32_t MimeUuencodeFile(const char* input, const char* output) {
  if (!input || !output) return 0;
  UniqueFd in = OpenRead(input);
  if (!in) return 0;
  UniqueFd out = CreateWrite(output);
  if (!out) return 0;
  std::string pending = "begin 644 " + std::string(BaseName(input)) + "\r\n";
  uint8_t block[kUuLineBytes * 22];
  for (;;) {
    const ssize_t n = ReadFull(in.get(), block, sizeof block);
    if (n < 0) return 0;
    for (ssize_t at = 0; at < n; at += ssize_t(kUuLineBytes))
      UuLine(pending, block + at, std::min<size_t>(kUuLineBytes, size_t(n - at)));
    if (pending.size() >= 944) {
      if (!WriteAll(out.get(), pending)) return 0;
      pending.clear();
    }
    if (size_t(n) < sizeof block) break;
  }
  pending.append("`\r\nend\r\n");
  return WriteAll(out.get(), pending) ? 1 : 0;
}

int32_t MimeUudecodeFile(const char* input, const char* output) {
  if (!input) return 0;
  UniqueFd in = OpenRead(input);
  if (!in) return 0;
  UuDecoder decoder;
  UniqueFd out;
  char line[1024];
  uint32_t offset = 0;
  while (MimeReadFileLine(in.get(), line, &offset)) {
    decoder.Line(line);
    if (decoder.state == UuDecoder::State::Data && !out) {
      // A name from the "begin" line names a file in the current directory, nothing else.
      std::string target = output && *output ? std::string(output) : std::string(BaseName(decoder.beginName));
      if (target.empty() || target == "." || target == "..") return 0;
      out = CreateWrite(target.c_str());
      if (!out) return 0;
    }
    if (decoder.pending.size() >= 1008) {
      if (!WriteAll(out.get(), decoder.pending)) return 0;
      decoder.pending.clear();
    }
    if (decoder.state == UuDecoder::State::Done || decoder.state == UuDecoder::State::Failed) break;
  }
  if (out && !WriteAll(out.get(), decoder.pending)) return 0;
  return decoder.state == UuDecoder::State::Done ? 1 : 0;
}

int32_t MimeBase64EncodeFile(const char* input, const char* output) {
  if (!input || !output) return 0;
  UniqueFd in = OpenRead(input);
  if (!in) return 0;
  UniqueFd out = CreateWrite(output);
  if (!out) return 0;
  MimeBase64State state{};
  uint8_t block[3 * 1024];
  char encoded[sizeof block * 2];
  for (;;) {
    const ssize_t n = ReadFull(in.get(), block, sizeof block);
    if (n <= 0) break;
    const int32_t e = MimeBase64Encode(&state, block, int32_t(n), encoded, int32_t(sizeof encoded));
    if (e < 0 || !WriteAll(out.get(), {encoded, size_t(e)})) return 0;
    if (size_t(n) < sizeof block) break;
  }
  const int32_t e = MimeBase64Finish(&state, encoded, int32_t(sizeof encoded));
  return e >= 0 && WriteAll(out.get(), {encoded, size_t(e)}) ? 1 : 0;
}

namespace {

// Streams a file through a chunk decoder (its state kept between blocks) into another file;
// a block that cannot be decoded fails the whole (what was written stays).
template <typename State, typename Decode>
int32_t DecodeFile(const char* input, const char* output, Decode decode) {
  if (!input || !output) return 0;
  UniqueFd in = OpenRead(input);
  if (!in) return 0;
  UniqueFd out = CreateWrite(output);
  if (!out) return 0;
  State state{};
  char block[512];
  char decoded[512];
  for (;;) {
    const ssize_t n = ReadFull(in.get(), block, sizeof block);
    if (n <= 0) break;
    const int32_t d = decode(&state, block, int32_t(n), decoded, int32_t(sizeof decoded));
    if (d < 0 || !WriteAll(out.get(), {decoded, size_t(d)})) return 0;
  }
  return 1;
}

}  // namespace

int32_t MimeBase64DecodeFile(const char* input, const char* output) {
  return DecodeFile<MimeBase64DecodeState>(input, output, MimeBase64Decode);
}

int32_t MimeQpDecodeFile(const char* input, const char* output) {
  return DecodeFile<MimeQpDecodeState>(input, output, MimeQpDecode);
}

void* MemSessionRealloc(LibHandle handle, void* block, size_t size) {
  plat::HeapHandle heap = MemSessionHeap(handle);
  if (!heap) return nullptr;
  if (size == 0) {
    if (block) plat::HeapFree(heap, block);
    return nullptr;
  }
  void* bigger = plat::HeapAlloc(heap, size);
  if (!bigger) return nullptr;
  if (block) {
    const size_t old = plat::HeapSize(heap, block);
    if (old != SIZE_MAX) std::memcpy(bigger, block, std::min(old, size));
    plat::HeapFree(heap, block);
  }
  return bigger;
}
