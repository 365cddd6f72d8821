#pragma once
// Reads one numbered reply of a line protocol (FTP, SMTP) a byte at a time: the three-digit
// code and its separator, then the text, with the continuation prefixes of a multi-line
// reply ("250-" and the like) removed, CR and NUL dropped and runs of white space collapsed
// to one blank. A continuation line that starts with another code, or with no code at all,
// is text; the reply ends with the line that repeats its code followed by a blank.
//
// The reader only takes bytes: waiting and receiving are its caller's. It keeps its state
// between calls, so a reply interrupted by a time-out can be finished later, and it holds
// the reply's deadline for the caller's waits.
#include <cstddef>
#include <cstdint>

namespace cvcore {

struct ReplyLimits {
  uint32_t textSize;   // the text buffer (and the raw copy's), terminator included
  uint32_t byteLimit;  // a reply longer than this has no end: it is refused
  // How the lines of a multi-line reply are joined in the text: a line feed and a blank
  // (FTP keeps the lines apart), or one blank (SMTP).
  bool keepLineFeeds;
};

class ReplyReader {
 public:
  enum class Status { More, Done, BadCode, TooLong };

  // Begins a new reply into text (and, when raw is not null, the lines as received with CR
  // and NUL dropped, for parsers that need names unaltered); both hold limits.textSize.
  void Start(const ReplyLimits& limits, char* text, char* raw = nullptr) noexcept;
  Status Feed(char c) noexcept;
  // Terminates the text (trailing white space stripped) and the raw copy.
  void Finish() noexcept;

  bool HasCode() const noexcept { return codeDigits_ == 3; }
  uint32_t code() const noexcept { return code_; }
  uint32_t rawLength() const noexcept { return rawLength_; }

  // The reply must be complete by now + ms (tick counts); waits take TimeLeft.
  void Arm(uint32_t now, uint32_t ms) noexcept;
  void Disarm() noexcept { armed_ = false; }
  // Milliseconds left of the deadline (0 when it passed); wait unbounded by it when unarmed.
  uint32_t TimeLeft(uint32_t now, uint32_t wait) const noexcept;

 private:
  void FeedText(char c) noexcept;
  void Store(char c) noexcept;
  void StoreSpace() noexcept;

  ReplyLimits limits_{};
  char* text_ = nullptr;
  char* raw_ = nullptr;
  uint32_t textLength_ = 0;
  uint32_t rawLength_ = 0;
  uint32_t total_ = 0;
  uint32_t code_ = 0;
  uint32_t codeDigits_ = 0;
  uint32_t deadline_ = 0;
  bool armed_ = false;
  bool separatorSeen_ = false;
  bool multiline_ = false;
  bool lastLine_ = false;
  bool lineStart_ = false;
  bool lastSpace_ = true;
  bool done_ = false;
  char prefix_[3] = {};
  uint32_t prefixLength_ = 0;
};

}  // namespace cvcore
