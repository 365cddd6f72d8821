#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "registry_fixture.h"

using namespace plat;

TEST(RegistryRoot, EnvironmentOrder) {
  setenv("HOME", "/home/u", 1);
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("CV_REGISTRY_ROOT");
  EXPECT_EQ(RegistryRoot(), "/home/u/.config/corvanetics/registry");
  setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
  EXPECT_EQ(RegistryRoot(), "/x/cfg/corvanetics/registry");
  setenv("CV_REGISTRY_ROOT", "/r/reg", 1);
  EXPECT_EQ(RegistryRoot(), "/r/reg");
}

TEST_F(RegistryTest, ValuesOfEveryTypeRoundTripWithCaseInsensitiveNames) {
  HKEY k;
  uint32_t disp = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Test\\Inner", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                           &disp), ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
  const char sz[] = "hello";
  uint64_t q = 0x1122334455667788ull;
  const BYTE bin[] = {0, 1, 0xff, '\n', ' ', '%'};
  ASSERT_EQ(RegSetValueEx(k, "Text Value", 0, REG_SZ, reinterpret_cast<const BYTE*>(sz), sizeof sz), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(k, "Count", 42), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueEx(k, "big", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&q), 8), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueEx(k, "blob\\x", 0, REG_BINARY, bin, sizeof bin), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueEx(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("d"), 2), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueEx(k, "COUNT", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&disp), 4), ERROR_SUCCESS);
  RegCloseKey(k);

  HKEY r;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "SOFTWARE\\test\\INNER", 0, KEY_READ, &r), ERROR_SUCCESS);
  uint32_t type = 0, size = 0;
  // Size only, then too small, then exact.
  ASSERT_EQ(RegQueryValueEx(r, "text value", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, sizeof sz);
  char buf[16];
  size = 3;
  EXPECT_EQ(RegQueryValueEx(r, "text value", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof sz);
  size = sizeof buf;
  ASSERT_EQ(RegQueryValueEx(r, "text value", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size), ERROR_SUCCESS);
  EXPECT_STREQ(buf, "hello");

  EXPECT_EQ(RegGetDword(HKEY_CURRENT_USER, "software\\test\\inner", "count"), REG_CREATED_NEW_KEY);  // overwritten
  uint64_t q2 = 0;
  size = 8;
  ASSERT_EQ(RegQueryValueEx(r, "BIG", nullptr, &type, reinterpret_cast<BYTE*>(&q2), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_QWORD);
  EXPECT_EQ(q2, q);
  BYTE bin2[16];
  size = sizeof bin2;
  ASSERT_EQ(RegQueryValueEx(r, "BLOB\\X", nullptr, &type, bin2, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::vector<BYTE>(bin2, bin2 + size), std::vector<BYTE>(bin, bin + sizeof bin));
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, "Software\\Test\\Inner", ""), "d");
  RegCloseKey(r);

  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "software\\TEST\\inner", 0, nullptr, 0, KEY_READ, nullptr, &k, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
  RegCloseKey(k);
}

TEST_F(RegistryTest, ErrorNumbers) {
  HKEY k, ro;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "No\\Such", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyEx(reinterpret_cast<HKEY>(uintptr_t(0x777)), nullptr, 0, KEY_READ, &k), ERROR_INVALID_HANDLE);
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "A\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueEx(k, "missing", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValue(k, "missing"), ERROR_FILE_NOT_FOUND);
  char name[8];
  uint32_t cch = sizeof name;
  EXPECT_EQ(RegEnumKeyEx(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "a\\b", 0, KEY_READ, &ro), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(ro, "x", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "A"), ERROR_ACCESS_DENIED);  // has a subkey
  EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "A\\B"), ERROR_SUCCESS);
  // Handles to a deleted key report it instead of resurrecting the key.
  EXPECT_EQ(SetDword(k, "x", 1), ERROR_KEY_DELETED);
  EXPECT_EQ(RegQueryValueEx(ro, "x", nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "A\\B", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  RegCloseKey(k);
  RegCloseKey(ro);
  EXPECT_EQ(RegCloseKey(ro), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, PathsAreCheckedBeforeUse) {
  const std::string part255(255, 'k'), part256(256, 'k');
  std::string deep;
  for (size_t i = 0; i < kMaxKeyDepth; ++i) deep += (i ? "\\d" : "d");
  struct Case {
    std::string path;
    uint32_t rc;
  } cases[] = {
      {part255, ERROR_SUCCESS},
      {"a\\" + part256, ERROR_INVALID_PARAMETER},
      {deep, ERROR_SUCCESS},
      {deep + "\\one-more", ERROR_INVALID_PARAMETER},
      {"a\\\\b", ERROR_BAD_PATHNAME},
      {"\\a", ERROR_BAD_PATHNAME},
      {"trailing\\", ERROR_SUCCESS},
  };
  for (const Case& c : cases) {
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, c.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              c.rc)
        << c.path.substr(0, 40);
    if (k) RegCloseKey(k);
  }
  // The depth counts from the hive root, also through an opened key.
  HKEY mid;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "d\\d", 0, KEY_ALL_ACCESS, &mid), ERROR_SUCCESS);
  HKEY k;
  EXPECT_EQ(RegCreateKeyEx(mid, deep.substr(4).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_EQ(RegCreateKeyEx(mid, deep.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_INVALID_PARAMETER);
  RegCloseKey(mid);
}

TEST_F(RegistryTest, EnumerationOrderAndSizes) {
  HKEY k;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "E", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
  for (const char* sub : {"beta", "Alpha", "gamma"}) {
    HKEY s;
    ASSERT_EQ(RegCreateKeyEx(k, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &s, nullptr), ERROR_SUCCESS);
    RegCloseKey(s);
  }
  for (const char* v : {"z", "a", "m"}) SetDword(k, v, 7);
  std::vector<std::string> keys, values;
  char name[32];
  for (uint32_t i = 0;; ++i) {
    uint32_t cch = sizeof name;
    uint32_t rc = RegEnumKeyEx(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(cch, strlen(name));
    keys.push_back(name);
  }
  for (uint32_t i = 0;; ++i) {
    uint32_t cch = sizeof name, type = 0;
    uint32_t rc = RegEnumValue(k, i, name, &cch, nullptr, &type, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    values.push_back(name);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"Alpha", "beta", "gamma"}));
  EXPECT_EQ(values, (std::vector<std::string>{"z", "a", "m"}));
  uint32_t cch = 3;  // "Alpha" needs 6 with its terminator
  EXPECT_EQ(RegEnumKeyEx(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(cch, 6u);
  EXPECT_EQ(RegDeleteTree(k, nullptr), ERROR_SUCCESS);
  cch = sizeof name;
  EXPECT_EQ(RegEnumKeyEx(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  RegCloseKey(k);
}

TEST_F(RegistryTest, ClassesRootMergesUserOverMachine) {
  ASSERT_EQ(RegSetString(HKEY_LOCAL_MACHINE, "Software\\Classes\\.txt", "Content Type", "text/plain"), ERROR_SUCCESS);
  ASSERT_EQ(RegSetString(HKEY_LOCAL_MACHINE, "Software\\Classes\\.txt", "Machine Only", "m"), ERROR_SUCCESS);
  ASSERT_EQ(RegSetString(HKEY_LOCAL_MACHINE, "Software\\Classes\\.bin", "", "x"), ERROR_SUCCESS);
  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, "Software\\Classes\\.TXT", "Content Type", "text/user"), ERROR_SUCCESS);
  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, "Software\\Classes\\.abc", "", "y"), ERROR_SUCCESS);

  EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, ".txt", "content type"), "text/user");
  EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, ".txt", "machine only"), "m");
  EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, ".bin", ""), "x");
  std::vector<std::string> names;
  char name[32];
  for (uint32_t i = 0;; ++i) {
    uint32_t cch = sizeof name;
    if (RegEnumKeyEx(HKEY_CLASSES_ROOT, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{".abc", ".bin", ".TXT"}));

  // Writes: a key the user has goes to the user's classes; a new key goes to the machine's.
  ASSERT_EQ(RegSetString(HKEY_CLASSES_ROOT, ".abc\\sub", "v", "1"), ERROR_SUCCESS);
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, "Software\\Classes\\.abc\\sub", "v"), "1");
  ASSERT_EQ(RegSetString(HKEY_CLASSES_ROOT, "New.ProgId", "", "n"), ERROR_SUCCESS);
  EXPECT_EQ(RegGetString(HKEY_LOCAL_MACHINE, "Software\\Classes\\New.ProgId", ""), "n");
  EXPECT_FALSE(RegGetString(HKEY_CURRENT_USER, "Software\\Classes\\New.ProgId", ""));
  // Deleting through the merged view removes the user's copy first, uncovering the machine's.
  HKEY k;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CLASSES_ROOT, ".txt", 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValue(k, "Content Type"), ERROR_SUCCESS);
  EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, ".txt", "content type"), "text/plain");
  RegCloseKey(k);
  EXPECT_EQ(RegDeleteTree(HKEY_CLASSES_ROOT, "New.ProgId"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyEx(HKEY_CLASSES_ROOT, "new.progid", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, DamagedFileReadsAsEmptyWithAnErrorAndIsKeptAside) {
  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, "Keep\\Me", "v", "some text"), ERROR_SUCCESS);
  std::filesystem::path file = dir_ / "HKEY_CURRENT_USER.reg";
  std::string good;
  {
    std::ifstream in(file, std::ios::binary);
    good.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_GT(good.size(), 30u);
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x20;
  std::vector<std::string> damaged = {good.substr(0, good.size() - 1), good.substr(0, good.size() / 2),
                                      good.substr(0, 8),              flipped,
                                      std::string("\x00\xff garbage", 10), good + "K extra\n"};
  for (const std::string& bytes : damaged) {
    {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      out << bytes;
    }
    HKEY k;
    EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Keep\\Me", 0, KEY_READ, &k), ERROR_BADDB);
    EXPECT_EQ(RegQueryValueEx(HKEY_CURRENT_USER, "v", nullptr, nullptr, nullptr, nullptr), ERROR_BADDB);
    char name[16];
    uint32_t cch = sizeof name;
    EXPECT_EQ(RegEnumKeyEx(HKEY_CURRENT_USER, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_BADDB);
  }
  // The next write starts a fresh hive and keeps the damaged bytes beside it.
  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, "New", "v", "w"), ERROR_SUCCESS);
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, "New", "v"), "w");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "HKEY_CURRENT_USER.reg.corrupt"));
  // The other hive is unaffected by this one's damage.
  EXPECT_EQ(RegSetString(HKEY_LOCAL_MACHINE, "M", "v", "ok"), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ValueWrittenByOneProcessIsReadByAnother) {
  // Warm this process's cache first so that the child's write must be noticed.
  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, "Shared", "v", "before"), ERROR_SUCCESS);
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, "Shared", "v"), "before");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(RegSetString(HKEY_CURRENT_USER, "shared", "V", "from child") == ERROR_SUCCESS ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, "Shared", "v"), "from child");
}

TEST_F(RegistryTest, ConcurrentWritersInSeveralProcessesLoseNothing) {
  constexpr int kProcs = 4, kEach = 40;
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcs; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      HKEY k;
      if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Race", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr)) _exit(1);
      for (int i = 0; i < kEach; ++i)
        if (SetDword(k, ("p" + std::to_string(p) + "_" + std::to_string(i)).c_str(), uint32_t(i))) _exit(2);
      _exit(0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int p = 0; p < kProcs; ++p)
    for (int i = 0; i < kEach; ++i)
      EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, "race", ("P" + std::to_string(p) + "_" + std::to_string(i)).c_str()),
                uint32_t(i));
  // No temporary files are left behind.
  for (const auto& e : std::filesystem::directory_iterator(dir_))
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}
