// The type library FtpServerCtl: the class, its dual and event interfaces and enumerations,
// each enumeration also known by an alias.
#include "ftpsrv/ocx/ftp_server.h"
#include "ocx/type_constants.h"

namespace ftpsrvctl {
namespace {

using C = plat::com::TypeConstant;

constexpr C kOption[] = {{"ftpServerDefault", 0},       {"ftpServerMultiUser", 1},     {"ftpServerRestricted", 2},
                         {"ftpServerLocalUser", 4},     {"ftpServerAnonymous", 8},     {"ftpServerReadOnly", 16},
                         {"ftpServerLocalTime", 32},    {"ftpServerLockFiles", 64},    {"ftpServerHiddenFiles", 128},
                         {"ftpServerUnixMode", 256},    {"ftpServerExternal", 512},    {"ftpServerSecure", 4096},
                         {"ftpServerExplicitSSL", 8192}, {"ftpServerImplicitSSL", 16384}};
constexpr C kLogFormat[] = {{"ftpLogNone", 0}, {"ftpLogCommon", 1}, {"ftpLogExtended", 2}, {"ftpLogDelete", 268435456}};
constexpr C kAccess[] = {{"ftpAccessNone", 0},          {"ftpAccessAll", 65535},         {"ftpAccessRead", 0x1},
                         {"ftpAccessWrite", 0x2},       {"ftpAccessAppend", 0x4},        {"ftpAccessList", 0x8},
                         {"ftpAccessModify", 0x10},     {"ftpAccessRename", 0x20},       {"ftpAccessDelete", 0x40},
                         {"ftpAccessChdir", 0x80},      {"ftpAccessMkdir", 0x100},       {"ftpAccessRmdir", 0x200},
                         {"ftpAccessIdle", 0x400},      {"ftpAccessExecute", 0x800},     {"ftpAccessRestricted", 0x100000},
                         {"ftpAccessAnonymous", 0x200000}, {"ftpAccessDefault", 0x800000}};

}  // namespace

const plat::com::TypeLibDesc& FtpServerTypeLibrary() {
  const ocx::ControlDescriptor& d = kFtpServerDescriptor;
  static const plat::com::TypeLibDesc library{
      d.typeLibId,
      "FtpServerCtl",
      1,
      0,
      d.clsid,
      "FtpServer",
      d.description,
      {d.dualIid, "IFtpServer", &IFtpServer::DispatchTable()},
      {d.eventIid, "_IFtpServerEvents", &_IFtpServerEvents::DispatchTable()},
      {
          {"__ftpsrvOptionConstants", kOption, "OptionConstants"},
          {"__ftpsrvLogFormatContstants", kLogFormat, "LogFormatConstants"},
          {"__ftpsrvAccessConstants", kAccess, "AccessConstants"},
          {"__ftpsrvPriorityConstants", ocx::PriorityConstants("ftpPriority"), "PriorityConstants"},
          {"__ftpsrvSecurityConstants", ocx::SecurityConstants(), "SecurityConstants"},
          {"__ftpsrvTraceConstants", ocx::TraceConstants("cvTrace"), "TraceConstants"},
          ocx::ErrorCodesEnum(),
      },
  };
  return library;
}

}  // namespace ftpsrvctl
