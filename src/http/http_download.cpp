// Downloads (GET into memory or into a file), POST with a response in memory, and the
// HEAD queries of size and modification time.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "core/errors/out_of_memory.h"
#include "http/http_internal.h"
#include "http/http_transfer.h"
#include "platform/base/tick.h"

namespace cvhttp {

namespace {

constexpr uint32_t kFirstBlockLimit = 1u << 20;  // an announced length is a hint, not a promise
constexpr uint64_t kMemoryBodyLimit = 0xFFFFFFFEu;  // a 32-bit length, and the zero byte after the data
constexpr const char* kAcceptEncoding = "gzip, deflate";

// Asks for compressed content for this operation.
void AskCompressed(HttpClientSession& s, bool ask) {
  if (ask) SetOwnHeader(s, OwnHeader::AcceptEncoding, kAcceptEncoding);
}

bool IsTextResponse(HttpClientSession& s) { return ContentClass(s) == 2 && ContentEncoding(s) == 0; }

// Text whose first line ends in LF alone gets CR LF line ends (and a final one). False
// (out of memory) when the converted text finds no room: the block is then freed, since
// text handed out unconverted would pass for converted.
bool ConvertText(plat::HGLOBAL& block, uint32_t& length) {
  const auto* p = static_cast<const char*>(plat::GlobalLock(block));
  const char* lf = static_cast<const char*>(std::memchr(p, '\n', length));
  if (lf && lf > p && lf[-1] == '\r') {
    plat::GlobalUnlock(block);
    return true;
  }
  std::string out;
  const bool built = cvcore::OrOutOfMemory(
      [&] {
        out.reserve(length + length / 16 + 2);
        char previous = '\0';
        for (uint32_t i = 0; i < length; ++i) {
          if (p[i] == '\n' && previous != '\r') out += '\r';
          out += p[i];
          previous = p[i];
        }
        if (length == 0 || p[length - 1] != '\n') out += "\r\n";
        return true;
      },
      [](uint32_t) { return false; });
  plat::GlobalUnlock(block);
  if (!built || out.size() >= 0xFFFFFFFFu || !plat::GlobalReAlloc(block, out.size() + 1, plat::GMEM_MOVEABLE)) {
    plat::GlobalFree(block);
    block = nullptr;
    return false;
  }
  auto* q = static_cast<char*>(plat::GlobalLock(block));
  std::memcpy(q, out.data(), out.size());
  q[out.size()] = '\0';
  plat::GlobalUnlock(block);
  length = uint32_t(out.size());
  return true;
}

// The text conversion of a memory result, when asked for and the response is text; out of
// memory after ending the request.
Status ConvertIfText(HttpClientSession& s, uint32_t options, plat::HGLOBAL& data, uint32_t& length) {
  if (!(options & kTransferConvertText) || !data || !IsTextResponse(s) || ConvertText(data, length)) return {};
  const Status ended = EndRequest(s);
  AfterBody(s);
  return FirstFailure(Status(cvErrorOutOfMemory), ended);
}

// Inflates data in place of itself, into at most callerLength bytes when that is nonzero
// (the caller's buffer takes what fits); a failure ends the request.
Status InflateInPlace(HttpClientSession& s, plat::HGLOBAL& data, uint32_t& length, uint32_t callerLength) {
  plat::HGLOBAL decoded = nullptr;
  uint32_t decodedLength = 0;
  const auto* raw = plat::GlobalLock(data);
  const bool cut = callerLength != 0;
  const uint64_t limit = cut ? callerLength : DecodedLimit(length);
  const Status inflated = InflateBlock(&s, raw, length, limit, cut, &decoded, &decodedLength);
  plat::GlobalUnlock(data);
  plat::GlobalFree(data);
  data = nullptr;
  length = 0;
  if (!inflated.ok()) return Gone(s) ? inflated : FirstFailure(inflated, EndRequest(s));
  if (decodedLength == 0) {
    plat::GlobalFree(decoded);
  } else {
    data = decoded;
    length = decodedLength;
  }
  return {};
}

// Whether a 206 answers a resume from offset with exactly what is missing: one range of
// bytes from the offset on, as long as the response announces and inside the total it
// names, not coded (a range of coded bytes cannot be decoded on its own).
bool AnswersResume(HttpClientSession& s, uint64_t offset) {
  if (const char* type = FindHeader(s, s.responseHeaders, "Content-Type");
      type && strncasecmp(type, "multipart/", 10) == 0)
    return false;
  if (const char* coding = FindHeader(s, s.responseHeaders, "Content-Encoding");
      coding && !EqualNoCase(coding, "identity"))
    return false;
  if (s.transferCoding) return false;
  const char* p = FindHeader(s, s.responseHeaders, "Content-Range");
  if (!p || strncasecmp(p, "bytes ", 6) != 0) return false;
  uint64_t first = 0, last = 0, total = 0;
  p += 6;
  while (*p == ' ') ++p;
  if (!(p = ParseDecimal(p, first)) || *p++ != '-' || !(p = ParseDecimal(p, last)) || *p++ != '/') return false;
  const bool totalKnown = *p != '*';
  if (totalKnown ? !(p = ParseDecimal(p, total)) : *p++ != '*') return false;
  while (*p == ' ') ++p;
  if (*p || first != offset || last < first || (totalKnown && total <= last)) return false;
  return !s.lengthKnown || s.expectedLength.load() == last - first + 1;
}

}  // namespace

Status CommonChecks(HttpClientSession& s, bool memoryBusy) {
  if (memoryBusy && s.dataBlock) return Status(cvErrorOperationInProgress);
  if (s.serverClosed && !(s.options & kOptKeepAlive)) return Status(cvErrorConnectionClosed);
  return {};
}

void AfterBody(HttpClientSession& s) {
  if (!s.keepAlive) s.serverClosed = 1;
}

Status ReadBodyToMemory(HttpClientSession& s, plat::HGLOBAL* result, uint32_t* resultLength) {
  *result = nullptr;
  *resultLength = 0;
  // A body longer than any memory block can hold is refused before any of it is read.
  if (s.lengthKnown && !s.chunked && s.expectedLength.load() > kMemoryBodyLimit) return Status(cvErrorOutOfMemory);
  uint64_t capacity = kBlockSize;
  if (s.lengthKnown && !s.chunked) capacity = std::max<uint64_t>(std::min<uint64_t>(s.expectedLength, kFirstBlockLimit), 1);
  s.dataBlock = plat::GlobalAlloc(plat::GHND, size_t(capacity + 1));
  if (!s.dataBlock) return Status(cvErrorOutOfMemory);
  uint64_t used = 0;
  BlockPacer pacer;
  auto release = [&](Status failure) {
    plat::GlobalFree(s.dataBlock);
    s.dataBlock = nullptr;
    return failure;
  };
  for (;;) {
    if (used == capacity) {
      // Geometric growth: no quadratic copying for long bodies.
      const uint64_t bigger = capacity + std::max<uint64_t>(capacity, kBlockSize);
      if (bigger >= 0xFFFFFFFFu) return release(Status(cvErrorOutOfMemory));
      if (!plat::GlobalReAlloc(s.dataBlock, size_t(bigger + 1), plat::GMEM_MOVEABLE))
        return release(Status(cvErrorOutOfMemory));
      capacity = bigger;
    }
    auto* p = static_cast<char*>(plat::GlobalLock(s.dataBlock));
    const Result<uint32_t> n = ReadBody(s, p + used, uint32_t(std::min<uint64_t>(BlockSize(s), capacity - used)));
    plat::GlobalUnlock(s.dataBlock);
    if (!n.ok()) return release(n.status());
    if (n.value() == 0) break;
    used += n.value();
    if (const Status paced = AfterBlock(s, pacer); !paced.ok()) return Gone(s) ? paced : release(paced);
  }
  s.endTick.store(plat::GetTickCount());
  plat::HGLOBAL block = s.dataBlock;
  s.dataBlock = nullptr;
  if (used == 0) {
    plat::GlobalFree(block);
    return {};
  }
  plat::GlobalReAlloc(block, size_t(used + 1), plat::GMEM_MOVEABLE);  // the zero byte after the data
  *result = block;
  *resultLength = uint32_t(used);
  return {};
}

void HandOver(plat::HGLOBAL data, uint32_t dataLength, plat::HGLOBAL* block, uint32_t* length) {
  if (*length == 0) {
    *block = data;
    *length = data ? dataLength : 0;
    return;
  }
  auto* out = reinterpret_cast<char*>(*block);
  const uint32_t n = std::min(*length, dataLength);
  if (data && n) {
    std::memcpy(out, plat::GlobalLock(data), n);
    plat::GlobalUnlock(data);
  } else if (out) {
    out[0] = '\0';
  }
  *length = data ? n : 0;
  if (data) plat::GlobalFree(data);
}

// A request that failed before its body: ended, unless an event receiver freed the session.
Status Unanswered(HttpClientSession& s, Status failure) {
  return Gone(s) ? failure : FirstFailure(failure, EndRequest(s));
}

// A request whose body could not be read: the connection goes, the failure stays.
Status Aborted(HttpClientSession& s, Status failure) {
  AbortRequest(s);
  return failure;
}

Result<int32_t> RetrieveData(HttpClientSession& s, const char* resource, plat::HGLOBAL* block, uint32_t* length,
                             uint32_t options) {
  if (!block || !length) return Status(cvErrorInvalidParameter);
  if (Empty(resource)) return Status(cvErrorInvalidResource);
  if (const Status checked = CommonChecks(s, true); !checked.ok()) return checked;
  WindowDetach detach(s);
  if (s.compression) options |= kTransferCompressed;
  if (s.versionMajor == 0) options &= ~kTransferCompressed;
  AskCompressed(s, options & kTransferCompressed);
  s.startTick.store(plat::GetTickCount());
  s.endTick.store(0);
  if (const Result<int32_t> sent = SendRequest(s, "GET", resource, nullptr, 0, 0); !sent.ok())
    return Unanswered(s, sent.status());
  plat::HGLOBAL data = nullptr;
  uint32_t dataLength = 0;
  if (const Status read = ReadBodyToMemory(s, &data, &dataLength); !read.ok()) return Aborted(s, read);
  const int32_t encoding = ContentEncoding(s);
  const bool contentCoded = (options & kTransferCompressed) && encoding != kEncodingIdentity;
  if (contentCoded && encoding == kEncodingCompress && data) {
    plat::GlobalFree(data);
    return FirstFailure(Status(cvErrorInvalidEncodingType), EndRequest(s));
  }
  // A transfer coding is undone whatever was asked for: it is not part of the content.
  if (s.transferCoding && data) {
    if (const Status inflated = InflateInPlace(s, data, dataLength, contentCoded ? 0 : *length); !inflated.ok())
      return inflated;
  }
  if (contentCoded && data) {
    if (const Status inflated = InflateInPlace(s, data, dataLength, *length); !inflated.ok()) return inflated;
  }
  if (const Status converted = ConvertIfText(s, options, data, dataLength); !converted.ok()) return converted;
  HandOver(data, dataLength, block, length);
  // The body is in hand: what ending the request meets is no failure of the transfer.
  static_cast<void>(EndRequest(s));
  AfterBody(s);
  return s.statusCode;
}

Result<int32_t> RetrieveFile(HttpClientSession& s, const char* localFile, const char* resource, uint32_t options,
                             uint64_t offset) {
  if (Empty(localFile)) return Status(cvErrorInvalidFileName);
  if (Empty(resource)) return Status(cvErrorInvalidResource);
  if (const Status checked = CommonChecks(s, true); !checked.ok()) return checked;
  if (offset && s.versionMajor == 0) return Status(cvErrorOperationNotSupported);
  WindowDetach detach(s);
  if (s.compression) options |= kTransferCompressed;
  if (s.versionMajor == 0 || offset) options &= ~kTransferCompressed;
  AskCompressed(s, options & kTransferCompressed);
  if (const Status ranged = SetRange(s, offset); !ranged.ok()) return ranged;
  s.startTick.store(plat::GetTickCount());
  s.endTick.store(0);
  if (const Result<int32_t> sent = SendRequest(s, "GET", resource, nullptr, 0, 0); !sent.ok())
    return Unanswered(s, sent.status());
  const bool text = (options & kTransferConvertText) && ContentClass(s) == 2;
  const bool contentCoded = ContentEncoding(s) != kEncodingIdentity;
  // Coded bytes are converted when they are decoded, not as they arrive.
  const bool convert = text && !contentCoded && !s.transferCoding;

  // A server that ignores the range sends the whole resource: it replaces the file. Any
  // part other than the one asked for would corrupt it: the file stays as it was.
  const bool resume = offset != 0 && s.statusCode == 206;
  if (resume && !AnswersResume(s, offset)) return Aborted(s, Status(cvErrorInvalidContentRange));
  int fd;
  if (!resume) {
    fd = open(localFile, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return FirstFailure(Status(cvErrorFileNotCreated), EndRequest(s));
  } else {
    fd = open(localFile, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      const uint32_t error = (errno == ENOENT || errno == ENOTDIR) ? cvErrorFileNotFound : cvErrorAccessDenied;
      return FirstFailure(Status(error), EndRequest(s));
    }
    if (lseek(fd, off_t(offset), SEEK_SET) < 0) {
      close(fd);
      return FirstFailure(Status(cvErrorFileWriteFailed), EndRequest(s));
    }
    s.startOffset.store(offset);
  }
  uint32_t last = 0;
  BlockPacer pacer;
  std::vector<char> block(BlockSize(s));
  char* const buffer = block.data();
  Status copied;
  while (copied.ok()) {
    const Result<uint32_t> n = ReadBody(s, buffer, uint32_t(block.size()));
    if (!n.ok()) {
      copied = n.status();
      break;
    }
    if (n.value() == 0) break;
    char* out = buffer;
    uint32_t outLength = n.value();
    if (convert) copied = ConvertLineEnds(s, buffer, n.value(), &out, &outLength, &last).status();
    if (copied.ok() && !WriteAll(fd, out, outLength)) copied = Status(cvErrorFileWriteFailed);
    if (copied.ok()) copied = AfterBlock(s, pacer);
  }
  close(fd);
  if (Gone(s)) return kSessionGone;
  if (!copied.ok()) return Aborted(s, copied);
  s.endTick.store(plat::GetTickCount());
  // The file is written: what ending the request meets is no failure of the transfer.
  static_cast<void>(EndRequest(s));
  Fire(s, kEventProgress, 0);
  if (Gone(s)) return kSessionGone;
  AfterBody(s);
  if (s.transferCoding) {
    if (const Status inflated = InflateFile(s, localFile, text && !contentCoded); !inflated.ok()) return inflated;
  }
  if (contentCoded) {
    if (const Status inflated = InflateFile(s, localFile, text); !inflated.ok()) return inflated;
  }
  return s.statusCode;
}

Result<int32_t> PostData(HttpClientSession& s, const char* resource, const void* data, uint32_t length,
                         plat::HGLOBAL* block, uint32_t* resultLength, uint32_t options) {
  if (Empty(resource)) return Status(cvErrorInvalidResource);
  if ((!data && length) || (block && !resultLength)) return Status(cvErrorInvalidParameter);
  if (const Status checked = CommonChecks(s, true); !checked.ok()) return checked;
  WindowDetach detach(s);
  const char* method = "POST";
  if (s.versionMajor >= 1) {
    if (const char* type = FindHeader(s, s.requestHeaders, "Content-Type"); type && EqualNoCase(type, "multipart/form-data"))
      options |= kPostMultipart;
  } else {
    method = "GET";
    options &= ~kPostMultipart;
  }
  const uint32_t urlEncoding = s.urlEncoding;
  if (options & kPostMultipart) s.urlEncoding = 0;
  s.startTick.store(plat::GetTickCount());
  s.endTick.store(0);
  const Result<int32_t> sent = SendRequest(s, method, resource, data, length, 0);
  if (Gone(s)) return kSessionGone;
  s.urlEncoding = urlEncoding;
  if (!sent.ok()) return FirstFailure(sent.status(), EndRequest(s));
  if (!block) return sent;
  plat::HGLOBAL body = nullptr;
  uint32_t bodyLength = 0;
  if (const Status read = ReadBodyToMemory(s, &body, &bodyLength); !read.ok()) return Aborted(s, read);
  if (s.transferCoding && body) {
    if (const Status inflated = InflateInPlace(s, body, bodyLength, *resultLength); !inflated.ok()) return inflated;
  }
  if (const Status converted = ConvertIfText(s, options, body, bodyLength); !converted.ok()) return converted;
  HandOver(body, bodyLength, block, resultLength);
  // The body is in hand: what ending the request meets is no failure of the post.
  static_cast<void>(EndRequest(s));
  AfterBody(s);
  return s.statusCode;
}

namespace {

// The HEAD exchange of the size and time queries: the status.
Result<int32_t> Head(HttpClientSession& s, const char* resource) {
  if (s.serverClosed) {
    if (const Status reconnected = Reconnect(s); !reconnected.ok()) return reconnected;
  }
  if (const Result<int32_t> sent = SendRequest(s, "HEAD", resource, nullptr, 0, 0); !sent.ok()) return sent;
  const Answer r = ResultCode(s);
  if (r.value == 0 && !r.status.ok()) return r.status;
  return r.value;
}

Result<int32_t> AfterHead(HttpClientSession& s, int32_t status) {
  if (!(s.options & kOptKeepAlive)) {
    if (const Status reconnected = Reconnect(s); !reconnected.ok()) return reconnected;
  }
  return status;
}

}  // namespace

Result<int32_t> QueryFileSize(HttpClientSession& s, const char* resource, uint64_t* size) {
  if (s.versionMajor == 0) return Status(cvErrorInvalidProtocolVersion);
  if (!size) return Status(cvErrorInvalidParameter);
  *size = 0;
  WindowDetach detach(s);
  const Result<int32_t> status = Head(s, resource);
  if (!status.ok()) return status;
  const char* v = FindHeader(s, s.responseHeaders, "Content-Length");
  const bool malformed = v && !ParseContentLength(v, *size);
  if (malformed) *size = 0;
  const Result<int32_t> r = AfterHead(s, status.value());
  if (malformed && r.ok()) return Status(cvErrorInvalidServerResponse);
  return r;
}

}  // namespace cvhttp

using namespace cvhttp;

int32_t HttpRetrieveData(LibHandle handle, const char* resource, plat::HGLOBAL* block, uint32_t* length,
                         uint32_t options) {
  Operation op(handle);
  return op ? FinishExchange(RetrieveData(*op.session(), resource, block, length, options), -1) : -1;
}

int32_t HttpRetrieveFile(LibHandle handle, const char* localFile, const char* resource, uint32_t options,
                         uint64_t offset) {
  Operation op(handle);
  return op ? FinishExchange(RetrieveFile(*op.session(), localFile, resource, options, offset), -1) : -1;
}

int32_t HttpPostData(LibHandle handle, const char* resource, const void* data, uint32_t length,
                     plat::HGLOBAL* block, uint32_t* resultLength, uint32_t options) {
  Operation op(handle);
  return op ? FinishExchange(PostData(*op.session(), resource, data, length, block, resultLength, options), -1) : -1;
}

namespace {

// A post of text with its own content type for this request only.
Result<int32_t> PostJson(HttpClientSession& s, const char* resource, const char* json, plat::HGLOBAL* block,
                         uint32_t* resultLength, uint32_t options) {
  if (Empty(json)) return Status(cvErrorInvalidParameter);
  const uint32_t urlEncoding = s.urlEncoding;
  s.urlEncoding = 0;
  const char* saved = FindHeader(s, s.requestHeaders, "Content-Type");
  const std::string previous = saved ? saved : "";
  SetOwnHeader(s, OwnHeader::ContentType, "application/json");
  const Result<int32_t> r = PostData(s, resource, json, uint32_t(std::strlen(json)), block, resultLength, options | 1);
  if (Gone(s)) return kSessionGone;
  s.urlEncoding = urlEncoding;
  // The caller's own type comes back; one that no longer finds memory is lost, not the post.
  if (saved) static_cast<void>(SetHeader(s, 0, "Content-Type", previous.c_str()));
  if (!r.ok()) return r;
  return s.statusCode;
}

Result<int32_t> PostXml(HttpClientSession& s, const char* resource, const char* xml, plat::HGLOBAL* block,
                        uint32_t* resultLength, uint32_t options) {
  if (Empty(xml)) return Status(cvErrorInvalidParameter);
  const uint32_t urlEncoding = s.urlEncoding;
  s.urlEncoding = 0;
  SetOwnHeader(s, OwnHeader::ContentType, "text/xml", true);
  const Result<int32_t> r = PostData(s, resource, xml, uint32_t(std::strlen(xml)), block, resultLength, options | 1);
  if (!Gone(s)) s.urlEncoding = urlEncoding;
  return r;
}

// The HEAD query of a resource's modification time.
Result<int32_t> FileTime(HttpClientSession& s, const char* resource, SYSTEMTIME* time, uint32_t localTime) {
  if (s.versionMajor == 0) return Status(cvErrorInvalidProtocolVersion);
  if (!time) return Status(cvErrorInvalidParameter);
  *time = SYSTEMTIME{};
  WindowDetach detach(s);
  const Result<int32_t> status = Head(s, resource);
  if (!status.ok()) return status;
  if (const char* v = FindHeader(s, s.responseHeaders, "Last-Modified")) {
    const std::string text = v;
    uint32_t seconds = 0;
    int32_t zone = 0;
    // Local time: the zone's offset (seconds west of UTC) taken off. A date that does not
    // parse leaves the time empty.
    if (ParseDate(text.c_str(), localTime, &seconds, &zone).ok())
      HttpDateToSystemTime(localTime ? uint32_t(int64_t(seconds) - zone) : seconds, time);
  }
  return AfterHead(s, status.value());
}

}  // namespace

int32_t HttpPostJson(LibHandle handle, const char* resource, const char* json, plat::HGLOBAL* block,
                     uint32_t* resultLength, uint32_t options) {
  Operation op(handle);
  return op ? FinishExchange(PostJson(*op.session(), resource, json, block, resultLength, options), -1) : -1;
}

int32_t HttpPostXml(LibHandle handle, const char* resource, const char* xml, plat::HGLOBAL* block,
                    uint32_t* resultLength, uint32_t options) {
  Operation op(handle);
  return op ? FinishExchange(PostXml(*op.session(), resource, xml, block, resultLength, options), -1) : -1;
}

int32_t HttpQueryFileSize(LibHandle handle, const char* resource, uint64_t* size) {
  Operation op(handle);
  return op ? FinishExchange(QueryFileSize(*op.session(), resource, size), -1) : -1;
}

int32_t HttpQueryFileSize32(LibHandle handle, const char* resource, uint32_t* size) {
  Operation op(handle);
  if (!op) return -1;
  if (!size) return Finish(Status(cvErrorInvalidParameter), 0, -1);
  uint64_t full = 0;
  const Result<int32_t> r = QueryFileSize(*op.session(), resource, &full);
  *size = (full >> 32) ? 0xFFFFFFFFu : uint32_t(full);
  return FinishExchange(r, -1);
}

int32_t HttpGetFileTime(LibHandle handle, const char* resource, SYSTEMTIME* time, uint32_t localTime) {
  Operation op(handle);
  return op ? FinishExchange(FileTime(*op.session(), resource, time, localTime), -1) : -1;
}
