// The HTTP client reading a response from a server that sends these bytes: status line and
// headers (interim responses, malformed lines), bodies by length, chunks or connection end,
// and content decoding. The whole exchange must end within a deadline: an endless loop is a
// finding like a crash.
#include <cstring>
#include <string>

#include "deadline.h"
#include "fuzz_target.h"
#include "http/http.h"
#include "platform/base/heap.h"
#include "play_server.h"
#include "scratch_dir.h"

namespace {

constexpr uint32_t kKeepAlive = 0x2;
constexpr uint32_t kErrorsAreStatus = 0x10;
constexpr uint32_t kHttp11 = 0x10001, kHttp10 = 0x10000;

void Release(plat::HGLOBAL block) {
  if (block) plat::GlobalFree(block);
}

void ReadAll(LibHandle h) {
  if (HttpSendRequest(h, "GET", "/r", nullptr, 0, 0) == -1) return;
  char buffer[4096];
  while (HttpRecv(h, buffer, sizeof buffer) > 0) {
  }
  char value[256];
  HttpGetResponseHeader(h, "Content-Type", value, sizeof value);
  uint32_t size = 0;
  HttpFindHeader(h, 1, "Location", nullptr, &size);
  char text[2048];
  HttpGetResultString(h, text);
  HttpGetContentClass(h);
  HttpGetContentEncoding(h);
}

void RetrieveFile(LibHandle h, uint32_t options) {
  static const std::string path = (cvfuzz::ScratchDir() / "download").string();
  if (HttpRetrieveFile(h, path.c_str(), "/f", options, 0) > 0) HttpInflateFile(h, path.c_str(), options & 1);
}

}  // namespace

CV_FUZZ_TARGET(http_response) {
  static const bool attached = [] {
    LibVersionInfo info{};
    info.size = sizeof info;
    info.options = kLibAttachFull;
    return HttpAttach(&info) == 1;
  }();
  FUZZ_CHECK(attached);
  static cvfuzz::PlayServer server;

  cvfuzz::Input in(data, size);
  const uint8_t how = in.Byte();
  const uint32_t options = (how & 1 ? kKeepAlive : 0) | (how & 2 ? kErrorsAreStatus : 0);
  const uint32_t version = how & 4 ? kHttp10 : kHttp11;
  const uint32_t operation = (how >> 3) % 4;
  const std::string_view response = in.Rest();

  cvfuzz::Deadline deadline(std::chrono::seconds(10), "one HTTP exchange");
  if (operation == 3) {
    // Content decoding alone, of the bytes as a body.
    if (response.empty()) return;
    plat::HGLOBAL block = plat::GlobalAlloc(plat::GHND, response.size());
    std::memcpy(plat::GlobalLock(block), response.data(), response.size());
    plat::GlobalUnlock(block);
    plat::HGLOBAL decoded = nullptr;
    uint32_t length = 0;
    if (HttpInflateData(block, uint32_t(response.size()), &decoded, &length)) Release(decoded);
    Release(block);
    return;
  }
  server.Play(response, [&] {
    const LibHandle h = HttpConnect("127.0.0.1", uint32_t(server.port()), 2, options, version, nullptr);
    if (h == kInvalidLibHandle) return;
    HttpSetCompression(h, 1);
    if (operation == 0) {
      plat::HGLOBAL block = nullptr;
      uint32_t length = 0;
      if (HttpRetrieveData(h, "/d", &block, &length, how >> 5 & 1) > 0) Release(block);
    } else if (operation == 1) {
      ReadAll(h);
    } else {
      RetrieveFile(h, how >> 5 & 1);
    }
    HttpDisconnect(h);
  });
}
