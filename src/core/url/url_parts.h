#pragma once
// The syntax both URL parsers share: scheme, user information, host, port and the rest.
#include <cstdint>
#include <optional>
#include <string_view>

namespace cvurl {

struct UrlParts {
  std::string_view scheme;     // empty for a bare host
  bool has_scheme = false;
  std::optional<std::string_view> user;
  std::optional<std::string_view> password;
  std::string_view host;
  uint32_t port = 0;                     // 0 when absent
  std::optional<std::string_view> path;  // from its "/" on, or none
};

// Skips leading white space.
std::string_view TrimLeft(std::string_view text);

// Splits a URL: no colon is a bare host with an optional path; a colon followed by "//" is a
// scheme and an authority; any other colon, an unclosed IPv6 bracket, a port with a
// non-digit or outside 1..65535, and an empty host or one holding "@", a blank or a control
// character fail.
std::optional<UrlParts> SplitUrl(std::string_view text);

// Appends text to a bounded output; false when it does not fit below the limit.
class BoundedText {
 public:
  BoundedText(char* out, uint32_t limit) : out_(out), limit_(limit) {}
  bool Append(std::string_view piece);
  uint32_t size() const { return len_; }
  char last() const { return len_ ? out_[len_ - 1] : '\0'; }

 private:
  char* out_;
  uint32_t limit_;  // the text plus its terminator must stay within this
  uint32_t len_ = 0;
};

struct SchemeRow;

// Writes scheme "://" [user [":" password] "@"] host [":" port]; the host goes in brackets
// when it is an IPv6 literal and the port only when it differs from the scheme's default.
bool AppendAuthority(BoundedText& out, const SchemeRow& row, std::string_view user,
                     std::string_view password, const char* host, uint32_t port);

// Writes the path with a leading "/" and its "." and ".." segments removed.
bool AppendNormalizedPath(BoundedText& out, std::string_view path);

inline std::string_view OrEmpty(const char* s) { return s ? std::string_view(s) : std::string_view(); }

// Copies strings into the text area behind a record head.
class Packer {
 public:
  explicit Packer(char* area) : next_(area) {}
  char* Put(std::string_view s);

 private:
  char* next_;
};

}  // namespace cvurl
