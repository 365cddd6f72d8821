#pragma once
// Shared test helpers: the library attached for each test, a private temporary directory,
// and message text out of a message handle.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/errors/error_codes.h"
#include "mime/mime.h"

class MimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MimeAttach(nullptr), 1);
    char pattern[] = "/tmp/mimetestXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    MimeDetach();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  static uint32_t Err(uint32_t n) { return 0x80040000u | n; }

  static std::string Export(LibHandle h, uint32_t options = 0) {
    uint32_t size = 0;
    plat::HGLOBAL block = nullptr;
    if (!MimeExportMessage(h, kMimeExportGlobal, options, nullptr, &block, &size)) return "<export failed>";
    plat::UniqueGlobal owned(block);
    const char* p = static_cast<const char*>(plat::GlobalLock(block));
    std::string text(p, size);
    plat::GlobalUnlock(block);
    return text;
  }

  static LibHandle Parse(const std::string& text) {
    LibHandle h = MimeCreateMessage();
    EXPECT_NE(h, kInvalidLibHandle);
    EXPECT_EQ(MimeResetMessage(h), 1);
    EXPECT_EQ(MimeParseMessage(h, text.data(), int32_t(text.size())), 1) << MimeGetLastError();
    return h;
  }

  static std::string Body(LibHandle h, int32_t part) {
    MimeSelectPart(h, part);
    const int32_t n = MimeGetContentLength(h);
    if (n <= 0) return {};
    std::string out(size_t(n) + 1, '\0');
    MimeGetText(h, out.data(), n);
    out.resize(size_t(n));
    return out;
  }

  static std::string Header(LibHandle h, int32_t part, const char* name) {
    char buffer[2048];
    const int32_t n = MimeGetPartHeader(h, part, name, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, size_t(n)) : std::string();
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
  }

  std::filesystem::path dir_;
};
