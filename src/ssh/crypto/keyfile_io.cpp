// Reading helpers of the key-file readers.
#include "ssh/crypto/keyfile_io.h"

#include <cstring>

namespace sshkeyfile {

KeyFile::KeyFile(const char* filename) {
  if (!filename) return;
  file_ = std::fopen(filename, "rb");
  if (file_) std::setvbuf(file_, buffer_, _IOFBF, sizeof buffer_);
}

KeyFile::~KeyFile() {
  if (file_) std::fclose(file_);
  explicit_bzero(buffer_, sizeof buffer_);
}

SecretText::SecretText() { text_.reserve(kMaxLineLength + 1); }

SecretText::~SecretText() { explicit_bzero(text_.data(), text_.capacity()); }

SecretBytes::~SecretBytes() {
  if (bytes_.capacity()) explicit_bzero(bytes_.data(), bytes_.capacity());
}

bool ReadLine(FILE* file, std::string& line) {
  line.clear();
  for (;;) {
    int c = std::getc(file);
    if (c == EOF) return false;
    if (c == '\r' || c == '\n') break;
    if (line.size() == kMaxLineLength) return false;
    line.push_back(static_cast<char>(c));
  }
  int next = std::getc(file);
  if (next != '\r' && next != '\n' && next != EOF) std::ungetc(next, file);
  return true;
}

bool ParseHeader(const std::string& line, const char* name, std::string& value) {
  constexpr size_t kMaxName = 38;
  size_t colon = line.find(':');
  if (colon == std::string::npos || colon > kMaxName) return false;
  if (colon + 1 >= line.size() || line[colon + 1] != ' ') return false;
  if (name && line.compare(0, colon, name) != 0) return false;
  value.assign(line, colon + 2, std::string::npos);
  return true;
}

bool ReadHeader(FILE* file, const char* name, std::string& value) {
  SecretText line;
  return ReadLine(file, line.str()) && ParseHeader(line.str(), name, value);
}

int32_t ParseLineCount(const std::string& value) {
  // A leading sign and blanks are read as a C library number would; anything after the
  // digits ends the number.
  size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  int64_t n = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    n = n * 10 + (value[i] - '0');
    if (n > INT32_MAX) n = INT32_MAX;
  }
  return negative ? 0 : static_cast<int32_t>(n);
}

namespace {

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

bool DecodeBase64Line(const std::string& line, std::vector<uint8_t>& out) {
  if (line.size() % 4 != 0 || line.size() > 64) return false;
  for (size_t g = 0; g < line.size(); g += 4) {
    const char* c = line.data() + g;
    if (c[0] == '=' || c[1] == '=') return false;
    if (c[2] == '=' && c[3] != '=') return false;
    const int count = c[3] != '=' ? 3 : c[2] != '=' ? 2 : 1;
    uint32_t word = 0;
    for (int k = 0; k < 4; ++k) {
      int v = k <= count ? Base64Value(c[k]) : 0;
      if (v < 0) return false;
      word = (word << 6) | static_cast<uint32_t>(v);
    }
    for (int k = 0; k < count; ++k) out.push_back(static_cast<uint8_t>(word >> (16 - 8 * k)));
    explicit_bzero(&word, sizeof word);
  }
  return true;
}

bool ReadBase64Lines(FILE* file, int32_t count, SecretBytes& out) {
  if (count <= 0) return true;
  if (count > kMaxBlobLines) return false;
  out.vec().reserve(out.vec().size() + static_cast<size_t>(count) * 48);
  SecretText line;
  for (int32_t i = 0; i < count; ++i)
    if (!ReadLine(file, line.str()) || !DecodeBase64Line(line.str(), out.vec())) return false;
  return true;
}

bool ReadBlob(FILE* file, const char* name, SecretBytes& out) {
  std::string value;
  return ReadHeader(file, name, value) && ReadBase64Lines(file, ParseLineCount(value), out);
}

}  // namespace sshkeyfile
