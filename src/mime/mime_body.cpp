// Body text of parts: writing (with line-end repair and decoding of encoded text parts),
// reading and clearing, the media subtype and the content length.
#include <algorithm>
#include <cstring>
#include <new>

#include "mime/mime_internal.h"

namespace cvmime {

namespace {

constexpr size_t kHeadroom = 4096;
constexpr uint32_t kMaxGrowthStep = 65536;

// Keeps at least kHeadroom bytes free after adding `extra`, growing in the message's steps
// (the step doubles after every sixteen growths, up to 64 KB).
void Reserve(MimeMessage& m, MimePart& part, size_t extra) {
  size_t capacity = part.body.capacity();
  const size_t needed = part.body.size() + extra + kHeadroom;
  if (capacity >= needed) return;
  while (capacity < needed) {
    if (m.growthCounter >= 16 && m.growthStep < kMaxGrowthStep) {
      m.growthCounter = 0;
      m.growthStep *= 2;
    }
    ++m.growthCounter;
    capacity += m.growthStep;
  }
  // Never less than half again the current size: appending line by line stays linear.
  part.body.reserve(std::max(capacity, part.body.capacity() + part.body.capacity() / 2));
}

// Decoding of text stored into a quoted-printable or base64 text part. False: store the
// caller's text as given (bad input, or an escape left open at the end).
bool DecodeForStore(uint32_t encoding, std::string_view text, std::string& out) {
  out.assign(text.size() + 8, '\0');
  int32_t n;
  if (encoding == kMimeEncodingQuoted) {
    MimeQpDecodeState s{};
    n = MimeQpDecode(&s, text.data(), int32_t(text.size()), out.data(), int32_t(out.size()));
    if (n >= 0 && (s.phase == 1 || s.phase == 2 || s.phase == 4)) return false;
  } else {
    MimeBase64DecodeState s{};
    n = MimeBase64Decode(&s, text.data(), int32_t(text.size()), out.data(), int32_t(out.size()));
  }
  if (n < 0) return false;
  out.resize(size_t(n));
  std::erase(out, '\0');
  return true;
}

}  // namespace

bool DecodesOnStore(const MimePart& part) noexcept {
  return part.mediaType == kMimeMediaText && !part.attachment &&
         (part.encoding == kMimeEncodingQuoted || part.encoding == kMimeEncodingBase64);
}

Status AppendRaw(MimeMessage& m, MimePart& part, std::string_view bytes) {
  return cvcore::OrOutOfMemory(
      [&] {
        Reserve(m, part, bytes.size());
        part.body.append(bytes);
        return Status();
      },
      Failed);
}

Result<int32_t> WriteBody(MimeMessage& m, MimePart& part, int32_t offset, std::string_view text) {
  if (text.empty()) return 0;
  return cvcore::OrOutOfMemory(
      [&]() -> Result<int32_t> {
        if (offset == 0) BodyBytes().swap(part.body);
        if (offset > 0 && size_t(offset) < part.body.size()) part.body.truncate(size_t(offset));
        std::string decoded;
        if (DecodesOnStore(part) && DecodeForStore(part.encoding, text, decoded)) text = decoded;
        // Mostly one line with its LF: room for it and a CR; text with more bare LFs grows the
        // body geometrically as it goes.
        Reserve(m, part, text.size() + 1);
        char previous = part.body.empty() ? '\0' : part.body.back();
        for (size_t at = 0; at < text.size();) {
          const void* lf = std::memchr(text.data() + at, '\n', text.size() - at);
          const size_t end = lf ? size_t(static_cast<const char*>(lf) - text.data()) : text.size();
          part.body.append(text.data() + at, end - at);
          if (end > at) previous = text[end - 1];
          if (!lf) break;
          if (previous != '\r') part.body.push_back('\r');
          part.body.push_back('\n');
          previous = '\n';
          at = end + 1;
        }
        return int32_t(text.size());
      },
      Failed);
}

}  // namespace cvmime

using namespace cvmime;

int32_t MimeSetText(LibHandle handle, int32_t offset, const char* text) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  if (!text || !*text) return 0;
  const Result<MimePart*> part = CurrentPart(*m);
  if (!part.ok()) return Library().Finish(part.status(), 0, 0);
  return Library().Finish(WriteBody(*m, *part.value(), offset, text), 0);
}

int32_t MimeAppendText(LibHandle handle, const char* text) { return MimeSetText(handle, -1, text); }

int32_t MimeClearText(LibHandle handle) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  const Result<MimePart*> part = CurrentPart(*m);
  if (!part.ok()) return Library().Finish(part.status(), 1, 0);
  BodyBytes().swap(part.value()->body);
  return 1;
}

int32_t MimeGetText(LibHandle handle, char* buffer, int32_t size) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  if (!buffer || size < 1) return 0;
  const Result<MimePart*> found = CurrentPart(*m);
  if (!found.ok()) return Library().Finish(found.status(), 0, 0);
  const MimePart* part = found.value();
  if (part->body.empty()) return 0;
  const size_t n = std::min(part->body.size(), size_t(size));
  std::memcpy(buffer, part->body.data(), n);
  buffer[n] = '\0';
  return int32_t(n);
}

int32_t MimeGetMediaSubtype(LibHandle handle, char* buffer) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return -1;
  const Result<MimePart*> found = CurrentPart(*m);
  if (!found.ok()) return Library().Finish(found.status(), 0, -1);
  MimePart* part = found.value();
  if (buffer) buffer[0] = '\0';
  MimeHeader* h = FindHeader(*part, "Content-Type");
  if (!h) return 0;
  const std::string& value = DisplayValue(*h);
  const uint32_t media = MimeMediaTypeId(value.c_str());
  const size_t slash = value.find('/', 1);
  if (media == 0 || slash == std::string::npos) return 0;
  const size_t end = value.find(';', slash);
  const std::string_view subtype = Trim(std::string_view(value).substr(slash + 1, end == std::string::npos
                                                                                    ? std::string::npos
                                                                                    : end - slash - 1));
  if (subtype.size() > 127) return Library().Finish(Status(cvErrorBufferTooSmall), 0, -1);
  if (buffer) CopyOut(subtype, buffer, 128);
  return int32_t(media);
}
