// The numbers of SEARCH responses, taken as their text streams in.
#include "imap/imap_search.h"

#include <strings.h>

namespace cvimap {

namespace {

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }
bool IsBlank(char c) noexcept { return c == ' ' || c == '\t'; }

}  // namespace

void SearchNumbers::BeginResponse() noexcept {
  value_ = 0;
  inNumber_ = false;
  extension_ = false;
}

void SearchNumbers::Take() noexcept {
  if (numbers_ && found_ < capacity_) numbers_[found_] = uint32_t(value_);
  ++found_;
  value_ = 0;
  inNumber_ = false;
}

void SearchNumbers::Feed(std::string_view text) noexcept {
  for (const char c : text) {
    if (extension_) return;
    if (IsDigit(c)) {
      value_ = value_ * 10 + uint64_t(c - '0');
      if (value_ > 0xFFFFFFFFu) value_ = 0xFFFFFFFFu;
      inNumber_ = true;
      continue;
    }
    if (inNumber_) Take();
    if (c == '(') extension_ = true;  // trailing extension data, not message numbers
  }
}

void SearchNumbers::EndResponse() noexcept {
  if (inNumber_ && !extension_) Take();
  BeginResponse();
}

size_t SearchTextStart(std::string_view line) noexcept {
  size_t i = 0;
  if (line.empty() || line[0] != '*') return std::string_view::npos;
  for (++i; i < line.size() && IsBlank(line[i]); ++i) {
  }
  constexpr std::string_view kKeyword = "SEARCH";
  if (line.size() - i < kKeyword.size() || strncasecmp(line.data() + i, kKeyword.data(), kKeyword.size()) != 0)
    return std::string_view::npos;
  i += kKeyword.size();
  if (i < line.size() && !IsBlank(line[i]) && line[i] != '\r' && line[i] != '\n') return std::string_view::npos;
  return i;
}

}  // namespace cvimap
