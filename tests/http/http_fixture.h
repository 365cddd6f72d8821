#pragma once
// Every test starts with the HTTP library attached and leaves it detached; helpers for the
// scripted server read a request head and answer it.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/http.h"
#include "http/http_bits.h"
#include "support/script_server.h"

namespace httptest {

using cvhttp::kVersion09, cvhttp::kVersion10, cvhttp::kVersion11;

// The request heads a scripted server has read, shared with its thread.
struct Heads {
  std::mutex mu;
  std::vector<std::vector<std::string>> heads;
  std::vector<std::string> Get(size_t i) {
    std::lock_guard lk(mu);
    return i < heads.size() ? heads[i] : std::vector<std::string>{};
  }
  size_t Count() {
    std::lock_guard lk(mu);
    return heads.size();
  }
};

// A step that reads one request head (up to its empty line) into heads.
inline cvtest::ScriptServer& ReadHead(cvtest::ScriptServer& server, std::shared_ptr<Heads> heads) {
  return server.Call([heads](cvtest::ScriptServer& ss) {
    std::vector<std::string> lines;
    std::string line;
    while (ss.ReadLine(line, std::chrono::seconds(10)) && !line.empty()) lines.push_back(line);
    std::lock_guard lk(heads->mu);
    heads->heads.push_back(lines);
  });
}

// format 31: gzip, 15: zlib, -15: raw deflate.
inline std::string Compress(const std::string& data, int windowBits) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, uLong(data.size())) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = uInt(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline bool HasLine(const std::vector<std::string>& head, const std::string& line) {
  for (const auto& l : head)
    if (l == line) return true;
  return false;
}
inline bool HasPrefix(const std::vector<std::string>& head, const std::string& prefix) {
  for (const auto& l : head)
    if (l.rfind(prefix, 0) == 0) return true;
  return false;
}

class Http : public ::testing::Test {
 protected:
  void SetUp() override {
    LibVersionInfo info{};
    info.size = sizeof info;
    info.options = kLibAttachFull;
    ASSERT_EQ(HttpAttach(&info), 1);
  }
  void TearDown() override {
    while (HttpIsInitialized() > 0) HttpDetach();
  }
  static uint32_t Error() { return HttpGetLastError() & 0xFFFF; }

  // Connects to the scripted server (started here) with options and version.
  LibHandle Connect(cvtest::ScriptServer& server, uint32_t options = 0, uint32_t version = kVersion11,
                    uint32_t timeout = 5) {
    server.Start();
    const LibHandle h = HttpConnect(server.address(), uint32_t(server.port()), timeout, options, version, nullptr);
    EXPECT_NE(h, kInvalidLibHandle) << Error();
    return h;
  }
};

}  // namespace httptest
