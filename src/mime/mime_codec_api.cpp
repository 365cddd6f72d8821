// The buffer forms of the codecs: text in, NUL-terminated text out, -1 when the room is short.
#include <cstring>

#include "mime/mime_internal.h"

namespace {

// Copies the result and a terminator; -1 when it does not fit.
int32_t Deliver(const std::string& result, char* output, int32_t room) {
  if (int64_t(result.size()) + 1 > int64_t(room)) return -1;
  std::memcpy(output, result.data(), result.size());
  output[result.size()] = '\0';
  return int32_t(result.size());
}

}  // namespace

int32_t MimeDecodeText(uint32_t encoding, const char* text, int32_t length, char* output, int32_t room) {
  if (!text || !output) return cvmime::Library().Finish(cvcore::Status(cvErrorInvalidParameter), 0, -1);
  const size_t n = length < 0 ? std::strlen(text) : size_t(length);
  if (n == 0) {
    if (room > 0) output[0] = '\0';
    return 0;
  }
  std::string decoded;
  bool ok = false;
  if (encoding == kMimeEncodingQuoted)
    ok = cvmime::QpDecode({text, n}, decoded);
  else if (encoding == kMimeEncodingBase64)
    ok = cvmime::Base64Decode({text, n}, decoded);
  if (!ok) return -1;
  return Deliver(decoded, output, room);
}

int32_t MimeEncodeText(uint32_t encoding, const void* data, int32_t length, char* output, int32_t room) {
  if (!data || !output) return cvmime::Library().Finish(cvcore::Status(cvErrorInvalidParameter), 0, -1);
  const char* bytes = static_cast<const char*>(data);
  const size_t n = length < 0 ? std::strlen(bytes) : size_t(length);
  if (encoding == kMimeEncodingQuoted) return Deliver(cvmime::QpEncodeBody({bytes, n}), output, room);
  if (encoding == kMimeEncodingBase64) return Deliver(cvmime::Base64Encode({bytes, n}, true), output, room);
  return -1;
}

int32_t MimeEncodeData(uint32_t encoding, uint32_t options, const void* data, int32_t length, char* output,
                       int32_t room) {
  if ((!data && length > 0) || !output || length < 0) return -1;
  const std::string_view bytes(static_cast<const char*>(data), size_t(length));
  const bool lineBreaks = options & 1;
  if (encoding == kMimeEncodingBase64) {
    std::string out = cvmime::Base64Encode(bytes, lineBreaks);
    if (bytes.empty()) out.clear();
    return Deliver(out, output, room);
  }
  if (encoding == kMimeEncodingQuoted) return Deliver(cvmime::QpEncodeData(bytes, lineBreaks, options & 2), output, room);
  return -1;
}
