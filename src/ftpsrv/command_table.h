#pragma once
// The command, SITE and FEAT tables: built-in rows and each server's own copy.
#include <array>
#include <atomic>
#include <cstdint>

namespace cvftpsrv {

struct Client;
using CommandHandler = void (*)(const Client& c, uint32_t flags);

// FtpCommandFlags.
inline constexpr uint32_t kCmdFile = 0x0001;
inline constexpr uint32_t kCmdPath = 0x0002;
inline constexpr uint32_t kCmdData = 0x0004;
inline constexpr uint32_t kCmdOptionalPath = 0x0008;
inline constexpr uint32_t kCmdBeforeLogin = 0x0010;
inline constexpr uint32_t kCmdTransfers = 0x0020;
inline constexpr uint32_t kCmdTls = 0x0040;
inline constexpr uint32_t kCmdFreeCount = 0x0080;
inline constexpr uint32_t kCmdSite = 0x0100;
inline constexpr uint32_t kCmdBasic = 0x1000;
inline constexpr uint32_t kCmdAlias = 0x2000;
inline constexpr uint32_t kCmdHidden = 0x4000;
inline constexpr uint32_t kCmdDisabled = 0x8000;
// SITE-only flags.
inline constexpr uint32_t kSiteWindowsMode = 0x0200;
inline constexpr uint32_t kSiteUnixMode = 0x0400;
// FEAT flags.
inline constexpr uint32_t kFeatListed = 0x0001;
inline constexpr uint32_t kFeatBeforeLogin = 0x0002;
inline constexpr uint32_t kFeatTls = 0x0004;
inline constexpr uint32_t kFeatNever = 0x1000;

struct FtpCommandEntry {
  const char* name;
  const char* syntax;
  uint32_t parameters;
  uint32_t logLevel;
  uint32_t flags;
  CommandHandler handler;
};

struct FtpSiteCommandEntry {
  const char* name;
  const char* syntax;
  uint32_t parameters;
  uint32_t flags;
  CommandHandler handler;
};

struct FtpFeatureEntry {
  const char* name;
  const char* parameters;
  uint32_t flags;
};

// A server's copies; each table ends with a row without a name.
struct ServerTables {
  std::array<FtpFeatureEntry, 64> features{};
  std::array<FtpCommandEntry, 128> commands{};
  std::array<std::atomic<uint32_t>, 128> useCounts{};
  std::array<FtpSiteCommandEntry, 32> site{};
};

void LoadTables(ServerTables& t);
const FtpCommandEntry* FindCommand(const ServerTables& t, const char* name, uint32_t* index = nullptr);
const FtpSiteCommandEntry* FindSite(const ServerTables& t, const char* name);
const FtpFeatureEntry* FindFeature(const ServerTables& t, const char* name);

}  // namespace cvftpsrv
