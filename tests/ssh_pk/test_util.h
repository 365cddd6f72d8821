// Helpers shared by the public-key tests: hex conversions and owned numbers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ssh/crypto/mpint.h"

namespace pktest {

struct MpDeleter {
  void operator()(uint16_t* p) const { MpFree(p); }
};
using Mp = std::unique_ptr<uint16_t, MpDeleter>;

inline std::vector<uint8_t> Bytes(const std::string& hex) {
  std::string h = hex.size() % 2 ? "0" + hex : hex;
  std::vector<uint8_t> out;
  for (size_t i = 0; i < h.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return out;
}

inline Mp FromHex(const std::string& hex) {
  auto b = Bytes(hex);
  return Mp(MpFromBytes(b.data(), b.size()));
}

inline std::string Hex(MpConstInt a) {
  if (!a) return "-";
  std::string s(sshmp::HexLength(a) + 1, '\0');
  size_t pos = 0;
  sshmp::AppendHex(s.data(), &pos, a);
  s.resize(pos);
  return s;
}

inline std::string HexBytes(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

}  // namespace pktest
