#pragma once
// Judges the head of one request, line by line, against one set of limits: the request
// line's length, then each header line (its form, its size, and where it is stored in the
// request's header table). Every line it refuses gets its own verdict and status: a head
// too large for its table is never cut to fit. Receiving the lines is its caller's.
#include <cstdint>
#include <string_view>

#include "httpsrv/httpsrv.h"

namespace cvhttpsrv {

struct RequestLimits {
  uint32_t requestLine;   // characters of the request line (CR LF excluded), URI included
  uint32_t absolutePath;  // characters of the path of an absolute URI
  uint32_t headerLine;    // characters of one header line
  uint32_t headerName;    // characters of a header's name
  uint32_t headerValue;   // characters of a header's value
  uint32_t headerCount;   // header lines a request may carry
};

// The name, value and count limits are what the request's header table can hold.
inline constexpr RequestLimits kRequestLimits = {
    .requestLine = 5118,
    .absolutePath = 1023,
    .headerLine = 2046,
    .headerName = sizeof(HttpHeaderEntry::name) - 1,
    .headerValue = sizeof(HttpHeaderEntry::value) - 1,
    .headerCount = sizeof(HttpHeaderTable::entries) / sizeof(HttpHeaderEntry),
};

class RequestHeadReader {
 public:
  enum class Verdict {
    More,          // the line is stored; the head goes on
    Done,          // the empty line that ends the head
    Unstorable,    // the line could not be read: the connection ends without an answer
    Bad,           // a line peers would read differently (folded, no colon, blank before
                   // the colon, a zero byte or lone CR, a bad or conflicting
                   // Content-Length, a second Host): 400
    UriTooLong,    // the request line is longer than its limit: 414
    HeadTooLarge,  // a header line, name or value too long, or too many headers: 431
  };
  // The status that answers a refused head; 0 for the verdicts that are not refusals.
  static uint32_t Status(Verdict verdict) noexcept;

  explicit RequestHeadReader(HttpHeaderTable& table, const RequestLimits& limits = kRequestLimits) noexcept
      : table_(table), limits_(limits) {}

  // The buffer a line is read into: one character more than the limit shows a line that
  // does not fit, and the terminator.
  uint32_t RequestLineRoom() const noexcept { return limits_.requestLine + 2; }
  uint32_t HeaderLineRoom() const noexcept { return limits_.headerLine + 2; }

  // The request line's length as read into RequestLineRoom().
  Verdict RequestLine(uint32_t length) const noexcept;
  // One header line, without its CR LF, as read into HeaderLineRoom().
  Verdict HeaderLine(std::string_view line) noexcept;

 private:
  HttpHeaderTable& table_;
  const RequestLimits limits_;
  uint32_t count_ = 0;
};

}  // namespace cvhttpsrv
