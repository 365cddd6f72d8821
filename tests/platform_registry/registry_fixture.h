#pragma once
// Every test gets its own registry root in a fresh temporary directory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/registry/registry.h"

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/cvregXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    setenv("CV_REGISTRY_ROOT", dir_.c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;
};

inline uint32_t SetDword(plat::HKEY k, const char* name, uint32_t v) {
  return plat::RegSetValueEx(k, name, 0, plat::REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}
