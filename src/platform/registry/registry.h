#pragma once
// The file-backed registry: HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE are one file each below
// RegistryRoot(); HKEY_CLASSES_ROOT is the merge of both "Software\Classes" keys (the user's
// first). Key and value names compare case-insensitively. Writes take an exclusive file lock and
// replace the file by write-and-rename, so another process sees either the old or the new state.
// Functions return (as uint32_t) the documented error numbers (ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA, ...)
// and leave the thread's last error alone. Names and string data are UTF-8.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/base/last_error.h"
#include "platform/types.h"

namespace plat {

// env CV_REGISTRY_ROOT, else ${XDG_CONFIG_HOME:-$HOME/.config}/corvanetics/registry.
std::filesystem::path RegistryRoot();

struct HKEY__;
using HKEY = HKEY__*;
using REGSAM = uint32_t;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(uintptr_t(0x80000000u));
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(uintptr_t(0x80000001u));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(uintptr_t(0x80000002u));

inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_QWORD = 11;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr uint32_t REG_OPTION_NON_VOLATILE = 0;
inline constexpr uint32_t REG_CREATED_NEW_KEY = 1;
inline constexpr uint32_t REG_OPENED_EXISTING_KEY = 2;

// Result numbers of the registry functions (ERROR_SUCCESS, ERROR_INVALID_HANDLE and
// ERROR_INVALID_PARAMETER come with the thread's last error).
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_OUTOFMEMORY = 14;
inline constexpr uint32_t ERROR_BAD_PATHNAME = 161;
inline constexpr uint32_t ERROR_MORE_DATA = 234;
inline constexpr uint32_t ERROR_NO_MORE_ITEMS = 259;
inline constexpr uint32_t ERROR_BADDB = 1009;          // the hive file is corrupt or truncated: it reads as empty
inline constexpr uint32_t ERROR_CANTREAD = 1012;
inline constexpr uint32_t ERROR_CANTWRITE = 1013;
inline constexpr uint32_t ERROR_KEY_DELETED = 1018;

// Limits: a key name component of at most 255 bytes, at most 512 levels, value names of at most
// 16383 bytes. Longer paths or names are refused with ERROR_INVALID_PARAMETER.
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxKeyDepth = 512;
inline constexpr size_t kMaxValueNameLength = 16383;

// subKey may be null or empty (a new handle to the same key). Backslash separates components.
uint32_t RegOpenKeyEx(HKEY key, const char* subKey, uint32_t options, REGSAM samDesired, HKEY* result);
uint32_t RegOpenKey(HKEY key, const char* subKey, HKEY* result);
// cls and security are accepted and ignored; disposition (optional) gets REG_CREATED_NEW_KEY or
// REG_OPENED_EXISTING_KEY.
uint32_t RegCreateKeyEx(HKEY key, const char* subKey, uint32_t reserved, char* cls, uint32_t options,
                    REGSAM samDesired, void* security, HKEY* result, uint32_t* disposition);
uint32_t RegCloseKey(HKEY key);

// data null with cbData set: the size only. Buffer too small: ERROR_MORE_DATA with *cbData the size.
uint32_t RegQueryValueEx(HKEY key, const char* valueName, uint32_t* reserved, uint32_t* type, BYTE* data,
                     uint32_t* cbData);
uint32_t RegSetValueEx(HKEY key, const char* valueName, uint32_t reserved, uint32_t type, const BYTE* data,
                   uint32_t cbData);
uint32_t RegDeleteValue(HKEY key, const char* valueName);
// Refuses a key that has subkeys (ERROR_ACCESS_DENIED); RegDeleteTree removes a whole branch
// (subKey null: everything below key, key itself stays).
uint32_t RegDeleteKey(HKEY key, const char* subKey);
uint32_t RegDeleteTree(HKEY key, const char* subKey);

// Subkeys in case-insensitive name order, values in creation order. cchName counts the buffer in
// bytes with the terminator on input and the length without it on output.
uint32_t RegEnumKeyEx(HKEY key, uint32_t index, char* name, uint32_t* cchName, uint32_t* reserved, char* cls,
                  uint32_t* cchClass, void* lastWriteTime);
uint32_t RegEnumValue(HKEY key, uint32_t index, char* name, uint32_t* cchName, uint32_t* reserved,
                  uint32_t* type, BYTE* data, uint32_t* cbData);

// Conveniences for platform code: a REG_SZ (without its terminator) or REG_DWORD of key\subKey.
std::optional<std::string> RegGetString(HKEY key, const char* subKey, const char* valueName);
std::optional<uint32_t> RegGetDword(HKEY key, const char* subKey, const char* valueName);
// Writes a REG_SZ (terminator included), creating key\subKey as needed.
uint32_t RegSetString(HKEY key, const char* subKey, const char* valueName, const std::string& text);

}  // namespace plat
