#pragma once
// Reads one FTP reply a byte at a time: the three-digit code and its separator, then the
// text, with the continuation prefixes of a multi-line reply removed, CR dropped and runs
// of white space collapsed to one blank. Alongside, the lines are kept as received (CR
// and NUL dropped) for the parsers that need names unaltered. The reader keeps its state
// between calls, so a reply interrupted by a time-out can be finished later.
#include <cstddef>
#include <cstdint>

inline constexpr size_t kFtpReplyTextSize = 8192;       // 8,191 characters and the terminator
inline constexpr uint32_t kFtpReplyByteLimit = 1u << 20;  // beyond this a reply is endless

class FtpReplyReader {
 public:
  enum class Status { More, Done, BadCode, TooLong };

  // Begins a new reply; text and raw are kFtpReplyTextSize buffers that receive it.
  void Start(char* text, char* raw) noexcept;
  Status Feed(char c) noexcept;
  // Terminates the text (trailing white space stripped) and the raw copy.
  void Finish() noexcept;

  bool HasCode() const noexcept { return codeDigits_ == 3; }
  uint32_t code() const noexcept { return code_; }
  uint32_t rawLength() const noexcept { return rawLength_; }

 private:
  void FeedText(char c) noexcept;
  void Store(char c) noexcept;
  void StoreSpace() noexcept;

  char* text_ = nullptr;
  char* raw_ = nullptr;
  uint32_t textLength_ = 0;
  uint32_t rawLength_ = 0;
  uint32_t total_ = 0;
  uint32_t code_ = 0;
  uint32_t codeDigits_ = 0;
  bool separatorSeen_ = false;
  bool multiline_ = false;
  bool lastLine_ = false;
  bool lineStart_ = false;
  bool lastSpace_ = true;
  bool done_ = false;
  char prefix_[3] = {};
  uint32_t prefixLength_ = 0;
};
