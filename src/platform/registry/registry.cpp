// The Reg* functions over the two hive files. One process-wide mutex guards the open-key table
// and the hive caches; the file lock in HiveFile orders writers of different processes.
#include "platform/registry/registry.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/registry/hive_file.h"

namespace plat {
namespace {

using reg::HiveFile;
using reg::Key;
using Path = std::vector<std::string>;

enum class Root { User, Machine, Classes };

struct OpenKey {
  Root root;
  Path path;  // below the root (for Classes: below both "Software\Classes" keys)
  REGSAM access;
};

// A place a key lives: a hive and the full path inside it.
struct Location {
  HiveFile* hive;
  Path path;
};

struct Registry {
  std::mutex mutex;
  HiveFile user{"HKEY_CURRENT_USER.reg"};
  HiveFile machine{"HKEY_LOCAL_MACHINE.reg"};
  std::map<uintptr_t, OpenKey> open;
  uintptr_t next = 0x1000;

  // User first: reads prefer it, writes go to the first place where the key exists.
  std::vector<Location> Locations(const OpenKey& k) {
    switch (k.root) {
      case Root::User: return {{&user, k.path}};
      case Root::Machine: return {{&machine, k.path}};
      case Root::Classes: break;
    }
    Path full{"Software", "Classes"};
    full.insert(full.end(), k.path.begin(), k.path.end());
    return {{&user, full}, {&machine, full}};
  }

  HKEY Add(OpenKey k) {
    // Handles are numbers that are not reused soon, far below the predefined keys.
    do {
      next += 4;
      if (next >= 0x40000000) next = 0x1000;
    } while (open.count(next));
    open.emplace(next, std::move(k));
    return reinterpret_cast<HKEY>(next);
  }
};

Registry& Reg() {
  static Registry* r = new Registry;  // lives to process exit: keys may be closed from destructors
  return *r;
}

std::optional<OpenKey> Resolve(Registry& r, HKEY key) {
  if (key == HKEY_CURRENT_USER) return OpenKey{Root::User, {}, KEY_ALL_ACCESS};
  if (key == HKEY_LOCAL_MACHINE) return OpenKey{Root::Machine, {}, KEY_ALL_ACCESS};
  if (key == HKEY_CLASSES_ROOT) return OpenKey{Root::Classes, {}, KEY_ALL_ACCESS};
  auto it = r.open.find(reinterpret_cast<uintptr_t>(key));
  if (it == r.open.end()) return std::nullopt;
  return it->second;
}

// Splits "a\b\c"; null or empty gives no components. One trailing backslash is tolerated.
uint32_t SplitPath(const char* subKey, size_t baseDepth, Path& out) {
  out.clear();
  if (!subKey || !*subKey) return ERROR_SUCCESS;
  std::string_view rest(subKey);
  if (rest.back() == '\\') rest.remove_suffix(1);
  if (rest.empty()) return ERROR_BAD_PATHNAME;
  for (;;) {
    size_t sep = rest.find('\\');
    std::string_view part = rest.substr(0, sep);
    if (part.empty()) return ERROR_BAD_PATHNAME;
    if (part.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    out.emplace_back(part);
    if (baseDepth + out.size() > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
    if (sep == std::string_view::npos) return ERROR_SUCCESS;
    rest.remove_prefix(sep + 1);
  }
}

Path Join(const Path& a, const Path& b) {
  Path out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

// The key at each location (null where absent); *status gets ERROR_BADDB when a hive consulted
// is corrupt.
std::vector<Key*> Lookup(const std::vector<Location>& where, uint32_t* status) {
  std::vector<Key*> found;
  *status = ERROR_SUCCESS;
  for (const Location& l : where) {
    uint32_t st;
    Key& root = l.hive->Read(&st);
    if (st != ERROR_SUCCESS) *status = st;
    found.push_back(root.Find(l.path));
  }
  return found;
}

bool AnyOf(const std::vector<Key*>& keys) {
  return std::any_of(keys.begin(), keys.end(), [](Key* k) { return k != nullptr; });
}

// Missing key: corrupt hive first (the caller learns why), else deleted or not found.
uint32_t Missing(uint32_t status, uint32_t otherwise) { return status != ERROR_SUCCESS ? status : otherwise; }

// Where a change to an existing key goes: the first location holding it; a predefined root
// (empty path) always exists and then the last location (the machine's classes) takes writes.
const Location* WriteTarget(const std::vector<Location>& where, const std::vector<Key*>& keys, bool isRoot) {
  for (size_t i = 0; i < where.size(); ++i)
    if (keys[i]) return &where[i];
  return isRoot ? &where.back() : nullptr;
}

uint32_t CopyOut(const std::string& text, char* buf, uint32_t* cch) {
  if (!cch) return ERROR_INVALID_PARAMETER;
  if (!buf || *cch <= text.size()) {
    *cch = uint32_t(text.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::memcpy(buf, text.c_str(), text.size() + 1);
  *cch = uint32_t(text.size());
  return ERROR_SUCCESS;
}

uint32_t CopyData(const reg::Value& v, uint32_t* type, BYTE* data, uint32_t* cbData) {
  if (type) *type = v.type;
  if (!cbData) return data ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  uint32_t need = uint32_t(v.data.size());
  if (data && *cbData < need) {
    *cbData = need;
    return ERROR_MORE_DATA;
  }
  if (data && need) std::memcpy(data, v.data.data(), need);
  *cbData = need;
  return ERROR_SUCCESS;
}

uint32_t OpenOrCreate(HKEY key, const char* subKey, REGSAM sam, HKEY* result, uint32_t* disposition, bool create) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  auto base = Resolve(r, key);
  if (!base) return ERROR_INVALID_HANDLE;
  Path rel;
  if (uint32_t rc = SplitPath(subKey, base->path.size(), rel); rc != ERROR_SUCCESS) return rc;
  OpenKey target{base->root, Join(base->path, rel), sam};
  auto where = r.Locations(target);
  uint32_t status;
  auto keys = Lookup(where, &status);
  bool exists = target.path.empty() || AnyOf(keys);
  if (!exists && !create) return Missing(status, ERROR_FILE_NOT_FOUND);
  if (!exists) {
    if (!(base->access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    // A new key goes where its nearest existing ancestor lives (the user's classes only when
    // that branch is already there), which for the classes root means the machine's keys.
    const Location* dest = &where.back();
    for (size_t depth = target.path.size() - 1; where.size() > 1 && depth > 0; --depth) {
      Path prefix(target.path.begin(), target.path.begin() + long(depth));
      uint32_t ignored;
      auto up = Lookup(r.Locations(OpenKey{target.root, prefix, 0}), &ignored);
      if (up[0]) dest = &where[0];
      if (up[0] || up[1]) break;
    }
    uint32_t rc = dest->hive->Write([&](Key& root) {
      root.Create(dest->path, nullptr);
      return ERROR_SUCCESS;
    });
    if (rc != ERROR_SUCCESS) return rc;
  }
  if (disposition) *disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  *result = r.Add(std::move(target));
  return ERROR_SUCCESS;
}

template <class Fn>
uint32_t WithKey(HKEY key, Fn&& fn) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  auto k = Resolve(r, key);
  if (!k) return ERROR_INVALID_HANDLE;
  auto where = r.Locations(*k);
  uint32_t status;
  auto keys = Lookup(where, &status);
  if (!k->path.empty() && !AnyOf(keys)) return Missing(status, ERROR_KEY_DELETED);
  return fn(r, *k, where, keys, status);
}

}  // namespace

uint32_t RegOpenKeyEx(HKEY key, const char* subKey, uint32_t, REGSAM samDesired, HKEY* result) {
  return OpenOrCreate(key, subKey, samDesired, result, nullptr, false);
}

uint32_t RegOpenKey(HKEY key, const char* subKey, HKEY* result) {
  return OpenOrCreate(key, subKey, KEY_ALL_ACCESS, result, nullptr, false);
}

uint32_t RegCreateKeyEx(HKEY key, const char* subKey, uint32_t, char*, uint32_t, REGSAM samDesired, void*, HKEY* result,
                    uint32_t* disposition) {
  return OpenOrCreate(key, subKey, samDesired, result, disposition, true);
}

uint32_t RegCloseKey(HKEY key) {
  if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  return r.open.erase(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

uint32_t RegQueryValueEx(HKEY key, const char* valueName, uint32_t*, uint32_t* type, BYTE* data, uint32_t* cbData) {
  const char* name = valueName ? valueName : "";
  return WithKey(key, [&](Registry&, const OpenKey& k, auto&, auto& keys, uint32_t status) -> uint32_t {
    if (!(k.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    for (Key* found : keys)
      if (found)
        if (reg::Value* v = found->FindValue(name)) return CopyData(*v, type, data, cbData);
    return Missing(status, ERROR_FILE_NOT_FOUND);
  });
}

uint32_t RegSetValueEx(HKEY key, const char* valueName, uint32_t, uint32_t type, const BYTE* data, uint32_t cbData) {
  const char* name = valueName ? valueName : "";
  if (std::strlen(name) > kMaxValueNameLength || (!data && cbData)) return ERROR_INVALID_PARAMETER;
  std::vector<uint8_t> bytes(data, data + (data ? cbData : 0));
  return WithKey(key, [&](Registry&, const OpenKey& k, auto& where, auto& keys, uint32_t) -> uint32_t {
    if (!(k.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    const Location* dest = WriteTarget(where, keys, k.path.empty());
    return dest->hive->Write([&](Key& root) {
      Key* target = k.path.empty() ? root.Create(dest->path, nullptr) : root.Find(dest->path);
      if (!target) return ERROR_KEY_DELETED;
      target->SetValue(name, type, bytes);
      return ERROR_SUCCESS;
    });
  });
}

uint32_t RegDeleteValue(HKEY key, const char* valueName) {
  const char* name = valueName ? valueName : "";
  return WithKey(key, [&](Registry&, const OpenKey& k, auto& where, auto& keys, uint32_t status) -> uint32_t {
    if (!(k.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    for (size_t i = 0; i < where.size(); ++i) {
      if (!keys[i] || !keys[i]->FindValue(name)) continue;
      return where[i].hive->Write([&](Key& root) {
        Key* target = root.Find(where[i].path);
        return target && target->DeleteValue(name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
      });
    }
    return Missing(status, ERROR_FILE_NOT_FOUND);
  });
}

namespace {

uint32_t DeleteKeyImpl(HKEY key, const char* subKey, bool tree) {
  return WithKey(key, [&](Registry&, const OpenKey& k, auto&, auto&, uint32_t) -> uint32_t {
    Path rel;
    if (uint32_t rc = SplitPath(subKey, k.path.size(), rel); rc != ERROR_SUCCESS) return rc;
    if (rel.empty() && !tree) return ERROR_ACCESS_DENIED;  // a key cannot delete itself
    OpenKey target{k.root, Join(k.path, rel), 0};
    Registry& r = Reg();
    auto where = r.Locations(target);
    uint32_t status;
    auto keys = Lookup(where, &status);
    if (!AnyOf(keys)) return Missing(status, ERROR_FILE_NOT_FOUND);
    for (size_t i = 0; i < where.size(); ++i) {
      if (!keys[i]) continue;
      if (!tree && !keys[i]->subkeys.empty()) return ERROR_ACCESS_DENIED;
      uint32_t rc = where[i].hive->Write([&](Key& root) {
        const Path& p = where[i].path;
        if (rel.empty()) {  // tree below the key itself: empty it, keep it
          if (Key* self = root.Find(p)) {
            self->subkeys.clear();
            self->values.clear();
          }
          return ERROR_SUCCESS;
        }
        Key* parent = root.Find(Path(p.begin(), p.end() - 1));
        if (parent) parent->subkeys.erase(reg::Fold(p.back()));
        return ERROR_SUCCESS;
      });
      if (rc != ERROR_SUCCESS) return rc;
      if (!tree) break;  // one delete removes the key the handle sees (the user's first)
    }
    return ERROR_SUCCESS;
  });
}

}  // namespace

uint32_t RegDeleteKey(HKEY key, const char* subKey) {
  if (!subKey || !*subKey) return ERROR_BAD_PATHNAME;
  return DeleteKeyImpl(key, subKey, false);
}

uint32_t RegDeleteTree(HKEY key, const char* subKey) { return DeleteKeyImpl(key, subKey, true); }

uint32_t RegEnumKeyEx(HKEY key, uint32_t index, char* name, uint32_t* cchName, uint32_t*, char*, uint32_t*, void*) {
  return WithKey(key, [&](Registry&, const OpenKey& k, auto&, auto& keys, uint32_t status) -> uint32_t {
    if (!(k.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    std::map<std::string, std::string> names;  // folded -> shown (user's spelling wins)
    for (Key* found : keys)
      if (found)
        for (const auto& [folded, child] : found->subkeys) names.emplace(folded, child->name);
    if (index >= names.size()) return Missing(status, ERROR_NO_MORE_ITEMS);
    return CopyOut(std::next(names.begin(), index)->second, name, cchName);
  });
}

uint32_t RegEnumValue(HKEY key, uint32_t index, char* name, uint32_t* cchName, uint32_t*, uint32_t* type, BYTE* data,
                  uint32_t* cbData) {
  return WithKey(key, [&](Registry&, const OpenKey& k, auto&, auto& keys, uint32_t status) -> uint32_t {
    if (!(k.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    std::vector<const reg::Value*> values;
    std::set<std::string> seen;
    for (Key* found : keys)
      if (found)
        for (const reg::Value& v : found->values)
          if (seen.insert(reg::Fold(v.name)).second) values.push_back(&v);
    if (index >= values.size()) return Missing(status, ERROR_NO_MORE_ITEMS);
    const reg::Value& v = *values[index];
    if (uint32_t rc = CopyOut(v.name, name, cchName); rc != ERROR_SUCCESS) return rc;
    if (!data && !cbData) {
      if (type) *type = v.type;
      return ERROR_SUCCESS;
    }
    return CopyData(v, type, data, cbData);
  });
}

std::optional<std::string> RegGetString(HKEY key, const char* subKey, const char* valueName) {
  HKEY k;
  if (RegOpenKeyEx(key, subKey, 0, KEY_READ, &k) != ERROR_SUCCESS) return std::nullopt;
  uint32_t type = 0, size = 0;
  std::optional<std::string> out;
  if (RegQueryValueEx(k, valueName, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ) {
    std::string text(size, '\0');
    if (RegQueryValueEx(k, valueName, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) == ERROR_SUCCESS &&
        type == REG_SZ) {
      text.resize(std::min<size_t>(size, std::strlen(text.c_str())));
      out = std::move(text);
    }
  }
  RegCloseKey(k);
  return out;
}

std::optional<uint32_t> RegGetDword(HKEY key, const char* subKey, const char* valueName) {
  HKEY k;
  if (RegOpenKeyEx(key, subKey, 0, KEY_READ, &k) != ERROR_SUCCESS) return std::nullopt;
  uint32_t type = 0, value = 0, size = sizeof value;
  uint32_t rc = RegQueryValueEx(k, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(k);
  if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) return std::nullopt;
  return value;
}

uint32_t RegSetString(HKEY key, const char* subKey, const char* valueName, const std::string& text) {
  HKEY k;
  uint32_t rc = RegCreateKeyEx(key, subKey, 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueEx(k, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), uint32_t(text.size() + 1));
  RegCloseKey(k);
  return rc;
}

}  // namespace plat
