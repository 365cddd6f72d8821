#pragma once
// In-memory form of one hive: a tree of keys with case-insensitive names, and its text form.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat::reg {

std::string Fold(std::string_view name);  // ASCII case folding for comparisons

struct Value {
  std::string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

struct Key {
  std::string name;
  std::vector<Value> values;                              // creation order
  std::map<std::string, std::unique_ptr<Key>> subkeys;    // by folded name

  Key* Child(std::string_view name) const;
  Key* Find(const std::vector<std::string>& path);
  // Creates missing components; *created tells whether the last one was new.
  Key* Create(const std::vector<std::string>& path, bool* created);
  Value* FindValue(std::string_view name);
  void SetValue(std::string_view name, uint32_t type, std::vector<uint8_t> data);
  bool DeleteValue(std::string_view name);
};

// The file text: a "CVREG 1" line, a "K" line per key and a "V" line per value, and a final
// checksum line so that a truncated or altered file is recognised.
std::string Serialize(const Key& root);
// nullopt when the text is not a complete, well-formed hive.
std::optional<std::unique_ptr<Key>> Parse(std::string_view text);

}  // namespace plat::reg
