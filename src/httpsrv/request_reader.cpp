#include "httpsrv/request_reader.h"

#include <cctype>
#include <cstring>
#include <string>

#include "httpsrv/httpsrv_internal.h"

namespace cvhttpsrv {
namespace {

bool IsTokenChar(char ch) {
  return std::isalnum(static_cast<unsigned char>(ch)) || std::strchr("!#$%&'*+-.^_`|~", ch) != nullptr;
}

bool IsBlank(char ch) { return ch == ' ' || ch == '\t'; }

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

uint32_t RequestHeadReader::Status(Verdict verdict) noexcept {
  switch (verdict) {
    case Verdict::Bad:
      return 400;
    case Verdict::UriTooLong:
      return 414;
    case Verdict::HeadTooLarge:
      return 431;
    default:
      return 0;
  }
}

RequestHeadReader::Verdict RequestHeadReader::RequestLine(uint32_t length) const noexcept {
  return length > limits_.requestLine ? Verdict::UriTooLong : Verdict::More;
}

// A header line is refused as a whole when it has no colon, holds a zero byte or a CR,
// when its name is not a bare token directly followed by the colon (a blank before the colon or a folded line makes
// peers disagree on where the header belongs), when Content-Length is not one decimal number or disagrees with an
// earlier one, and when Host comes twice: every one of them lets a body be read as a
// request, or a request be routed by the wrong host.
RequestHeadReader::Verdict RequestHeadReader::HeaderLine(std::string_view line) noexcept {
  if (line.empty()) return Verdict::Done;
  if (line.size() > limits_.headerLine) return Verdict::HeadTooLarge;
  if (IsBlank(line.front())) return Verdict::Bad;
  // A zero byte or a CR inside a line would be dropped or read as a line end by one peer
  // and kept by another.
  if (line.find_first_of(std::string_view("\0\r", 2)) != std::string_view::npos) return Verdict::Bad;
  const size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return Verdict::Bad;
  for (size_t i = 0; i < colon; ++i)
    if (!IsTokenChar(line[i])) return Verdict::Bad;
  if (colon > limits_.headerName) return Verdict::HeadTooLarge;
  const std::string_view name = line.substr(0, colon), value = Trimmed(line.substr(colon + 1));
  if (value.size() > limits_.headerValue) return Verdict::HeadTooLarge;
  if (IEquals(name, "Content-Length")) {
    if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string_view::npos)
      return Verdict::Bad;
    const char* earlier = HeaderFind(table_, "Content-Length");
    if (earlier && std::stoull(earlier) != std::stoull(std::string(value))) return Verdict::Bad;
  }
  if (IEquals(name, "Host") && HeaderFind(table_, "Host")) return Verdict::Bad;
  if (++count_ > limits_.headerCount) return Verdict::HeadTooLarge;
  uint32_t error = 0;
  if (!HeaderSet(table_, name, value, &error)) return Verdict::HeadTooLarge;
  return Verdict::More;
}

}  // namespace cvhttpsrv
