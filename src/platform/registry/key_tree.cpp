#include "platform/registry/key_tree.h"

#include <algorithm>
#include <charconv>

namespace plat::reg {
namespace {

constexpr std::string_view kMagic = "CVREG 1\n";

uint64_t Fnv1a(std::string_view text) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return h;
}

const char kHex[] = "0123456789abcdef";

// Names and path components: printable bytes as they are, others and the separators as %XX.
void Escape(std::string& out, std::string_view s) {
  for (unsigned char c : s) {
    if (c <= 0x20 || c == 0x7f || c == '%' || c == '\\') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += char(c);
    }
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> Unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return std::nullopt;
    int hi = HexDigit(s[i + 1]), lo = HexDigit(s[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += char(hi * 16 + lo);
    i += 2;
  }
  return out;
}

std::optional<std::vector<uint8_t>> FromHex(std::string_view s) {
  if (s.size() % 2) return std::nullopt;
  std::vector<uint8_t> out(s.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    int hi = HexDigit(s[2 * i]), lo = HexDigit(s[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out[i] = uint8_t(hi * 16 + lo);
  }
  return out;
}

void WriteKey(std::string& out, const Key& key, std::string& path) {
  out += "K ";
  out += path;
  out += '\n';
  for (const Value& v : key.values) {
    out += "V =";
    Escape(out, v.name);
    out += ' ';
    out += std::to_string(v.type);
    out += " :";
    for (uint8_t b : v.data) {
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
    out += '\n';
  }
  for (const auto& [folded, child] : key.subkeys) {
    size_t mark = path.size();
    if (!path.empty()) path += '\\';
    Escape(path, child->name);
    WriteKey(out, *child, path);
    path.resize(mark);
  }
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (size_t i = 0; i <= line.size(); ++i) {
    if (i == line.size() || line[i] == ' ') {
      fields.push_back(line.substr(start, i - start));
      start = i + 1;
    }
  }
  return fields;
}

}  // namespace

std::string Fold(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

Key* Key::Child(std::string_view name) const {
  auto it = subkeys.find(Fold(name));
  return it == subkeys.end() ? nullptr : it->second.get();
}

Key* Key::Find(const std::vector<std::string>& path) {
  Key* key = this;
  for (const std::string& part : path)
    if (!(key = key->Child(part))) return nullptr;
  return key;
}

Key* Key::Create(const std::vector<std::string>& path, bool* created) {
  Key* key = this;
  bool made = false;
  for (const std::string& part : path) {
    auto& slot = key->subkeys[Fold(part)];
    made = !slot;
    if (made) {
      slot = std::make_unique<Key>();
      slot->name = part;
    }
    key = slot.get();
  }
  if (created) *created = made;
  return key;
}

Value* Key::FindValue(std::string_view name) {
  std::string folded = Fold(name);
  for (Value& v : values)
    if (Fold(v.name) == folded) return &v;
  return nullptr;
}

void Key::SetValue(std::string_view name, uint32_t type, std::vector<uint8_t> data) {
  if (Value* v = FindValue(name)) {
    v->type = type;
    v->data = std::move(data);
    return;
  }
  values.push_back(Value{std::string(name), type, std::move(data)});
}

bool Key::DeleteValue(std::string_view name) {
  std::string folded = Fold(name);
  auto it = std::find_if(values.begin(), values.end(), [&](const Value& v) { return Fold(v.name) == folded; });
  if (it == values.end()) return false;
  values.erase(it);
  return true;
}

std::string Serialize(const Key& root) {
  std::string out(kMagic);
  std::string path;
  WriteKey(out, root, path);
  char sum[17];
  uint64_t h = Fnv1a(out);
  for (int i = 15; i >= 0; --i, h >>= 4) sum[i] = kHex[h & 15];
  sum[16] = 0;
  out += "E ";
  out += sum;
  out += '\n';
  return out;
}

std::optional<std::unique_ptr<Key>> Parse(std::string_view text) {
  if (!text.starts_with(kMagic) || text.empty() || text.back() != '\n') return std::nullopt;
  // The checksum line is the last line and covers every byte before it.
  size_t last = text.rfind('\n', text.size() - 2);
  if (last == std::string_view::npos) return std::nullopt;
  std::string_view body = text.substr(0, last + 1);
  std::string_view end = text.substr(last + 1, text.size() - last - 2);
  if (!end.starts_with("E ") || end.size() != 18) return std::nullopt;
  uint64_t stored = 0;
  auto [p, ec] = std::from_chars(end.data() + 2, end.data() + end.size(), stored, 16);
  if (ec != std::errc() || p != end.data() + end.size() || stored != Fnv1a(body)) return std::nullopt;

  auto root = std::make_unique<Key>();
  Key* current = nullptr;
  size_t pos = kMagic.size();
  while (pos < body.size()) {
    size_t nl = body.find('\n', pos);
    std::string_view line = body.substr(pos, nl - pos);
    pos = nl + 1;
    if (line.starts_with("K ")) {
      std::vector<std::string> path;
      std::string_view rest = line.substr(2);
      while (!rest.empty()) {
        size_t sep = rest.find('\\');
        auto part = Unescape(rest.substr(0, sep));
        if (!part || part->empty()) return std::nullopt;
        path.push_back(std::move(*part));
        rest = sep == std::string_view::npos ? std::string_view() : rest.substr(sep + 1);
        if (sep != std::string_view::npos && rest.empty()) return std::nullopt;
      }
      current = root->Create(path, nullptr);
    } else if (line.starts_with("V ") && current) {
      auto f = SplitFields(line.substr(2));
      if (f.size() != 3 || !f[0].starts_with('=') || !f[2].starts_with(':')) return std::nullopt;
      auto name = Unescape(f[0].substr(1));
      uint32_t type = 0;
      auto [tp, tec] = std::from_chars(f[1].data(), f[1].data() + f[1].size(), type);
      auto data = FromHex(f[2].substr(1));
      if (!name || tec != std::errc() || tp != f[1].data() + f[1].size() || !data) return std::nullopt;
      current->SetValue(*name, type, std::move(*data));
    } else {
      return std::nullopt;
    }
  }
  return root;
}

}  // namespace plat::reg
