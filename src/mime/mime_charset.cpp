// Text of a named charset converted to UTF-8, the form every string a host receives has.
#include <iconv.h>

#include <cerrno>
#include <string>

#include "mime/mime_internal.h"

namespace cvmime {

namespace {

class Converter {
 public:
  explicit Converter(const std::string& from) : cd_(iconv_open("UTF-8", from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const noexcept { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // The whole input converted, or false when a byte has no meaning in the charset.
  bool Convert(std::string_view in, std::string& out) {
    out.assign(in.size() * 4 + 16, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    if (iconv(cd_, &src, &srcLeft, &dst, &dstLeft) == size_t(-1) || srcLeft != 0) return false;
    if (iconv(cd_, nullptr, nullptr, &dst, &dstLeft) == size_t(-1)) return false;
    out.resize(out.size() - dstLeft);
    return true;
  }

 private:
  iconv_t cd_;
};

}  // namespace

bool ToUtf8(std::string_view charset, std::string& bytes) {
  // An RFC 2231 language suffix ("utf-8*en") is not part of the charset's name.
  charset = charset.substr(0, charset.find('*'));
  if (charset.empty() || IEquals(charset, "utf-8") || IEquals(charset, "us-ascii")) return true;
  Converter c{std::string(charset)};
  if (!c.ok()) return false;
  std::string out;
  if (!c.Convert(bytes, out)) return false;
  bytes = std::move(out);
  return true;
}

}  // namespace cvmime
