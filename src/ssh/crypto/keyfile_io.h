// Reading helpers shared by the key-file readers: a file whose stdio buffer is wiped on
// close, the line and header-line reader of the SSH-2 format and its Base64 lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sshkeyfile {

inline constexpr const char* kCantOpen = "can't open file";
inline constexpr const char* kNotSsh1 = "not an SSH-1 RSA file";
inline constexpr const char* kReadError = "error reading file";
inline constexpr const char* kFormatError = "file format error";
inline constexpr const char* kWrongPassphrase = "wrong passphrase";
inline constexpr const char* kVerifyFailed = "sftp_rsa_verify failed";
inline constexpr const char* kMacFailed = "MAC failed";
inline constexpr const char* kCreateKeyFailed = "createkey failed";

// A file opened for binary reading. Key material passes through the stdio buffer, so the
// buffer is ours and is wiped when the file closes.
class KeyFile {
 public:
  explicit KeyFile(const char* filename);
  ~KeyFile();
  KeyFile(const KeyFile&) = delete;
  KeyFile& operator=(const KeyFile&) = delete;
  FILE* get() const { return file_; }
  explicit operator bool() const { return file_ != nullptr; }

 private:
  FILE* file_ = nullptr;
  char buffer_[4096];
};

// A string that wipes its bytes when it is replaced or destroyed.
class SecretText {
 public:
  SecretText();  // reserves the longest line, so growing never leaves a copy behind
  ~SecretText();
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  std::string& str() { return text_; }
  const std::string& str() const { return text_; }

 private:
  std::string text_;
};

// Bytes that are wiped on destruction; space is reserved once so no copy is left behind.
class SecretBytes {
 public:
  SecretBytes() = default;
  ~SecretBytes();
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  std::vector<uint8_t>& vec() { return bytes_; }
  const uint8_t* data() const { return bytes_.data(); }
  int32_t size() const { return static_cast<int32_t>(bytes_.size()); }

 private:
  std::vector<uint8_t> bytes_;
};

// The longest line kept; a Base64 line has at most 64 characters, a comment is text.
inline constexpr size_t kMaxLineLength = 8192;
// Most Base64 lines of one blob: far more than the largest key needs.
inline constexpr int32_t kMaxBlobLines = 1024;

// One line without its line end: CR or LF, and one more CR or LF right after it. A line
// that runs into the end of the file, or longer than the reader keeps, is not read.
bool ReadLine(FILE* file, std::string& line);

// A header line: a name of at most 38 characters, a colon, one space, then the value.
// With `name` given, the header's name must equal it.
bool ParseHeader(const std::string& line, const char* name, std::string& value);
bool ReadHeader(FILE* file, const char* name, std::string& value);

// The count of a "...-Lines" header: 0 for anything not a positive decimal number.
int32_t ParseLineCount(const std::string& value);

// Reads `count` Base64 lines and appends their bytes.
bool ReadBase64Lines(FILE* file, int32_t count, SecretBytes& out);
// Decodes one Base64 line (a multiple of 4 characters, at most 64) onto out.
bool DecodeBase64Line(const std::string& line, std::vector<uint8_t>& out);

// Reads a "...-Lines" header named `name` and its Base64 lines.
bool ReadBlob(FILE* file, const char* name, SecretBytes& out);

}  // namespace sshkeyfile
