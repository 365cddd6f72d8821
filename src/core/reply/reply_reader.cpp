#include "core/reply/reply_reader.h"

namespace cvcore {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

}  // namespace

void ReplyReader::Start(const ReplyLimits& limits, char* text, char* raw) noexcept {
  *this = ReplyReader{};
  limits_ = limits;
  text_ = text;
  raw_ = raw;
  text_[0] = '\0';
  if (raw_) raw_[0] = '\0';
}

void ReplyReader::Arm(uint32_t now, uint32_t ms) noexcept {
  deadline_ = now + ms;
  armed_ = true;
}

uint32_t ReplyReader::TimeLeft(uint32_t now, uint32_t wait) const noexcept {
  if (!armed_) return wait;
  // A signed difference: the tick count wraps.
  const int32_t left = int32_t(deadline_ - now);
  if (left <= 0) return 0;
  return uint32_t(left) < wait ? uint32_t(left) : wait;
}

ReplyReader::Status ReplyReader::Feed(char c) noexcept {
  if (++total_ > limits_.byteLimit) return Status::TooLong;
  if (raw_ && c != '\r' && c != '\0' && rawLength_ + 1 < limits_.textSize) raw_[rawLength_++] = c;
  if (codeDigits_ < 3) {
    if (!IsDigit(c)) return Status::BadCode;
    code_ = code_ * 10 + uint32_t(c - '0');
    ++codeDigits_;
    return Status::More;
  }
  if (!separatorSeen_) {
    separatorSeen_ = true;
    if (c == '-') {
      multiline_ = true;
      return Status::More;
    }
    // A bare code ("220" CR LF) has its line end where the separator would be.
    if (c != '\r' && c != '\n') return Status::More;
  }
  FeedText(c);
  return done_ ? Status::Done : Status::More;
}

void ReplyReader::FeedText(char c) noexcept {
  if (lineStart_) {
    if (IsDigit(c) && prefixLength_ < 3) {
      prefix_[prefixLength_++] = c;
      return;
    }
    lineStart_ = false;
    if (prefixLength_ == 3) {
      const uint32_t number = uint32_t(prefix_[0] - '0') * 100 + uint32_t(prefix_[1] - '0') * 10 + uint32_t(prefix_[2] - '0');
      if (c == ' ' && number == code_) {
        lastLine_ = true;
        prefixLength_ = 0;
        StoreSpace();
        return;
      }
      if (c == '-' && number > 0) {
        prefixLength_ = 0;
        StoreSpace();
        return;
      }
    }
    for (uint32_t i = 0; i < prefixLength_; ++i) Store(prefix_[i]);
    prefixLength_ = 0;
  }
  if (c == '\r' || c == '\0') return;
  if (c == '\n') {
    if (!limits_.keepLineFeeds) {
      StoreSpace();
    } else if (!lastSpace_ && textLength_ + 1 < limits_.textSize) {
      text_[textLength_++] = '\n';
      lastSpace_ = false;
    }
    if (!multiline_ || lastLine_)
      done_ = true;
    else
      lineStart_ = true;
    return;
  }
  if (IsWhite(c))
    StoreSpace();
  else
    Store(c);
}

void ReplyReader::Store(char c) noexcept {
  if (textLength_ + 1 < limits_.textSize) text_[textLength_++] = c;
  lastSpace_ = false;
}

void ReplyReader::StoreSpace() noexcept {
  if (lastSpace_) return;
  if (textLength_ + 1 < limits_.textSize) text_[textLength_++] = ' ';
  lastSpace_ = true;
}

void ReplyReader::Finish() noexcept {
  while (textLength_ > 0 && (IsWhite(text_[textLength_ - 1]) || text_[textLength_ - 1] == '\n')) --textLength_;
  text_[textLength_] = '\0';
  if (!raw_) return;
  while (rawLength_ > 0 && raw_[rawLength_ - 1] == '\n') --rawLength_;
  raw_[rawLength_] = '\0';
}

}  // namespace cvcore
