#pragma once
// Scheme tables of the URL parsers, in lookup order.
#include <cstdint>
#include <string_view>

namespace cvurl {

struct SchemeRow {
  std::string_view name;
  uint32_t id;
  uint32_t default_port;
};

inline constexpr SchemeRow kHttpSchemes[] = {{"http", 1, 80}, {"https", 2, 443}};

inline constexpr SchemeRow kFtpSchemes[] = {
    {"ftp", 1, 21}, {"ftps", 2, 990}, {"ftpes", 2, 21}, {"ftp-authssl", 2, 21}, {"sftp", 3, 22}};

template <size_t N>
const SchemeRow* FindByName(const SchemeRow (&table)[N], std::string_view name) {
  for (const auto& row : table) {
    if (row.name.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) {
      char c = name[i];
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
      same = c == row.name[i];
    }
    if (same) return &row;
  }
  return nullptr;
}

template <size_t N>
const SchemeRow* FindById(const SchemeRow (&table)[N], uint32_t id) {
  for (const auto& row : table)
    if (row.id == id) return &row;
  return nullptr;
}

}  // namespace cvurl
