// The built-in command, SITE and FEAT tables and the lookups over a server's copies.
#include "ftpsrv/command_table.h"

#include <strings.h>

#include "ftpsrv/handlers.h"

namespace cvftpsrv {

namespace {

// The rows stand in alphabetical order; lookups walk them from the top.
const FtpCommandEntry kCommands[] = {
    {"ABOR", "ABOR", 0, 3, kCmdBasic, CmdAbor},
    {"ACCT", "ACCT account-name", 1, 0, kCmdBeforeLogin, nullptr},
    {"ALLO", "ALLO size [R max-size]", 0, 0, kCmdFreeCount, CmdAllo},
    {"APPE", "APPE filename", 1, 1, kCmdFile | kCmdData | kCmdTransfers, CmdStore},
    {"AUTH", "AUTH {SSL|TLS}", 1, 5, kCmdBeforeLogin | kCmdFreeCount, CmdAuth},
    {"AVBL", "AVBL", 0, 0, 0, nullptr},
    {"CCC", "CCC", 0, 5, kCmdTls, CmdCcc},
    {"CDUP", "CDUP", 0, 7, kCmdBasic, CmdCdup},
    {"CLNT", "CLNT client version", 0, 9, kCmdBeforeLogin | kCmdFreeCount | kCmdAlias, CmdClnt},
    {"CSID", "CSID Name={name}; Version={n.n}", 0, 9, kCmdFreeCount, CmdCsid},
    {"CWD", "CWD pathname", 1, 7, kCmdPath | kCmdBasic, CmdCwd},
    {"DELE", "DELE filename", 1, 5, kCmdFile | kCmdBasic, CmdDele},
    {"DSIZ", "DSIZ [pathname]", 0, 0, kCmdPath | kCmdFreeCount, nullptr},
    {"EPRT", "EPRT |protocol|ip-address|port-number|", 1, 9, 0, CmdEprt},
    {"EPSV", "EPSV", 0, 9, kCmdFreeCount, CmdEpsv},
    {"ESTA", "ESTA", 0, 0, 0, nullptr},
    {"ESTP", "ESTP |protocol|ip-address|port-number|", 1, 0, 0, nullptr},
    {"FEAT", "FEAT", 0, 7, kCmdBeforeLogin, CmdFeat},
    {"HASH", "HASH filename", 1, 7, kCmdFile, nullptr},
    {"HELP", "HELP [command]", 0, 9, kCmdBeforeLogin | kCmdFreeCount, CmdHelp},
    {"HOST", "HOST {hostname|ip-address}", 1, 7, kCmdBeforeLogin, CmdHost},
    {"IDLE", "IDLE seconds", 1, 7, kCmdFreeCount, CmdIdle},
    {"LANG", "LANG [language]", 1, 7, kCmdBeforeLogin | kCmdFreeCount, CmdLang},
    {"LIST", "LIST [pathname]", 0, 7,
     kCmdPath | kCmdData | kCmdOptionalPath | kCmdTransfers | kCmdFreeCount | kCmdBasic, CmdList},
    {"LPRT", "LPRT long-host-port", 1, 0, kCmdAlias, nullptr},
    {"LPSV", "LPSV", 0, 0, kCmdAlias, nullptr},
    {"MDTM", "MDTM filename", 1, 7, kCmdFile, CmdMdtm},
    {"MFCT", "MFCT time-value pathname", 2, 7, kCmdFile, nullptr},
    {"MFF", "MFF fact pathname", 2, 7, kCmdFile, nullptr},
    {"MFMT", "MFMT time-value pathname", 2, 7, kCmdFile, CmdMfmt},
    {"MKD", "MKD pathname", 1, 5, kCmdPath | kCmdBasic, CmdMkd},
    {"MLSD", "MLSD [pathname]", 0, 7, kCmdPath | kCmdData | kCmdOptionalPath | kCmdFreeCount, CmdList},
    {"MLST", "MLST filename", 1, 7, kCmdFile | kCmdFreeCount, CmdMlst},
    {"MODE", "MODE transfer-mode", 1, 9, kCmdBasic, CmdMode},
    {"NLST", "NLST [pathname]", 0, 7,
     kCmdPath | kCmdData | kCmdOptionalPath | kCmdTransfers | kCmdFreeCount | kCmdBasic, CmdList},
    {"NOOP", "NOOP", 0, 9, kCmdFreeCount | kCmdBasic, CmdNoop},
    {"OPEN", "OPEN hostname[:port-number]", 1, 0, 0, nullptr},
    {"OPTS", "OPTS command [options ...]", 1, 9, kCmdBeforeLogin | kCmdFreeCount, CmdOpts},
    {"PASS", "PASS password", 1, 5, kCmdBeforeLogin | kCmdBasic, CmdPass},
    {"PASV", "PASV", 0, 9, kCmdBasic, CmdPasv},
    {"PBSZ", "PBSZ buffer-size", 1, 9, kCmdTls, CmdPbsz},
    {"PORT", "PORT a1,a2,a3,a4,p1,p2", 1, 9, kCmdBasic, CmdPort},
    {"PRET", "PRET command [parameters ...]", 1, 9, kCmdFile | kCmdFreeCount, CmdPret},
    {"PROT", "PROT level", 1, 9, kCmdTls, CmdProt},
    {"PWD", "PWD", 0, 9, kCmdBasic, CmdPwd},
    {"QUIT", "QUIT", 0, 7, kCmdBeforeLogin | kCmdBasic, CmdQuit},
    {"RANG", "RANG start-point end-point", 2, 7, 0, nullptr},
    {"REIN", "REIN", 0, 5, 0, CmdRein},
    {"REST", "REST byte-offset", 1, 7, 0, CmdRest},
    {"RETR", "RETR filename", 1, 1, kCmdFile | kCmdData | kCmdTransfers | kCmdBasic, CmdRetr},
    {"RMD", "RMD pathname", 1, 5, kCmdPath | kCmdBasic, CmdRmd},
    {"RMDA", "RMDA pathname", 1, 5, kCmdPath, CmdRmd},
    {"RNFR", "RNFR old-filename", 1, 5, kCmdFile | kCmdBasic, CmdRnfr},
    {"RNTO", "RNTO new-filename", 1, 5, kCmdFile | kCmdBasic, CmdRnto},
    {"SITE", "SITE command [parameters ...]", 1, 5, kCmdFile | kCmdFreeCount | kCmdSite, CmdSite},
    {"SIZE", "SIZE filename", 1, 7, kCmdFile, CmdSize},
    {"SMNT", "SMNT pathname", 1, 0, kCmdPath, nullptr},
    {"STAT", "STAT [filename]", 0, 7, kCmdFile | kCmdFreeCount, CmdStat},
    {"STOR", "STOR filename", 1, 1, kCmdFile | kCmdData | kCmdTransfers | kCmdBasic, CmdStore},
    {"STOU", "STOU", 0, 1, kCmdFile | kCmdData | kCmdFreeCount, CmdStore},
    {"STRU", "STRU file-structure", 1, 9, kCmdBasic, CmdStru},
    {"SYST", "SYST", 0, 7, kCmdBeforeLogin | kCmdBasic, CmdSyst},
    {"TYPE", "TYPE file-type [type-option]", 1, 9, kCmdFreeCount | kCmdBasic, CmdType},
    {"USER", "USER username", 1, 5, kCmdBeforeLogin | kCmdBasic, CmdUser},
    {"XCUP", "XCUP", 0, 7, kCmdAlias, CmdCdup},
    {"XCWD", "XCWD pathname", 1, 7, kCmdPath | kCmdAlias, CmdCwd},
    {"XCRC", "XCRC filename", 1, 7, kCmdFile, CmdHash},
    {"XDEL", "XDEL filename", 1, 5, kCmdFile | kCmdAlias, CmdDele},
    {"XMD5", "XMD5 filename", 1, 7, kCmdFile, CmdHash},
    {"XMKD", "XMKD pathname", 1, 5, kCmdPath | kCmdAlias, CmdMkd},
    {"XPWD", "XPWD", 0, 9, kCmdAlias, CmdPwd},
    {"XRMD", "XRMD", 1, 5, kCmdPath | kCmdAlias, CmdRmd},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};

const FtpSiteCommandEntry kSite[] = {
    {"ATTRIB", "ATTRIB [+-]attribute filename", 2, kSiteWindowsMode | kCmdFile, SiteAttrib},
    {"CHGRP", "CHGRP group filename", 2, kSiteUnixMode | kCmdFile, SiteChgrp},
    {"CHMOD", "CHMOD mode filename", 2, kSiteUnixMode | kCmdFile, SiteChmod},
    {"DIRSTYLE", "DIRSTYLE", 0, kSiteWindowsMode, SiteDirstyle},
    {"EXEC", "EXEC command [parameters ...]", 2, kCmdFreeCount | kCmdHidden, SiteExec},
    {"HELP", "HELP [command]", 1, kCmdFreeCount, SiteHelp},
    {"IDLE", "IDLE seconds", 1, kCmdFreeCount, SiteIdle},
    {"MKDIR", "MKDIR pathname", 1, kCmdPath, SiteMkdir},
    {"RMDIR", "RMDIR pathname", 1, kCmdPath, SiteRmdir},
    {"UTIME", "UTIME time-value filename", 2, kCmdFile, SiteUtime},
    {nullptr, nullptr, 0, 0, nullptr},
};

const FtpFeatureEntry kFeatures[] = {
    {"AUTH", "SSL", kFeatListed | kFeatBeforeLogin | kFeatTls},
    {"AUTH", "TLS", kFeatListed | kFeatBeforeLogin | kFeatTls},
    {"AVBL", nullptr, 0},
    {"CLNT", nullptr, kFeatNever},
    {"CSID", nullptr, kFeatListed},
    {"DSIZ", nullptr, 0},
    {"EPRT", nullptr, kFeatListed},
    {"EPSV", nullptr, kFeatListed},
    {"ESTA", nullptr, 0},
    {"ESTP", nullptr, 0},
    {"HASH", nullptr, 0},
    {"HOST", nullptr, kFeatListed | kFeatBeforeLogin},
    {"IDLE", nullptr, kFeatListed},
    {"LANG", "EN*", kFeatListed | kFeatBeforeLogin},
    {"LPRT", nullptr, kFeatNever},
    {"LPSV", nullptr, kFeatNever},
    {"MDTM", nullptr, kFeatListed},
    {"MFCT", nullptr, 0},
    {"MFF", "create;modify;", 0},
    {"MFMT", nullptr, kFeatListed},
    {"MLST", "type*;size*;perm*;modify*;UNIX.mode;UNIX.owner;UNIX.group;Win32.ea;", kFeatListed},
    {"PRET", nullptr, 0},
    {"RANG", "STREAM", 0},
    {"REST", "STREAM", kFeatListed},
    {"RMDA", nullptr, kFeatListed},
    {"SIZE", nullptr, kFeatListed},
    {"TVFS", nullptr, kFeatListed | kFeatBeforeLogin},
    {"UTF8", nullptr, kFeatListed | kFeatBeforeLogin},
    {"XCRC", nullptr, kFeatListed},
    {"XMD5", nullptr, kFeatListed},
    {nullptr, nullptr, 0},
};

template <typename Row, size_t N, size_t M>
void CopyRows(const Row (&from)[N], std::array<Row, M>& to) {
  for (size_t i = 0; i < N && i < M; ++i) {
    to[i] = from[i];
    if (!from[i].name) break;
  }
}

}  // namespace

void LoadTables(ServerTables& t) {
  CopyRows(kFeatures, t.features);
  CopyRows(kCommands, t.commands);
  CopyRows(kSite, t.site);
}

const FtpCommandEntry* FindCommand(const ServerTables& t, const char* name, uint32_t* index) {
  if (!name) return nullptr;
  for (uint32_t i = 0; i < t.commands.size() && t.commands[i].name; ++i)
    if (::strcasecmp(t.commands[i].name, name) == 0) {
      if (index) *index = i;
      return &t.commands[i];
    }
  return nullptr;
}

const FtpSiteCommandEntry* FindSite(const ServerTables& t, const char* name) {
  if (!name) return nullptr;
  for (const auto& row : t.site) {
    if (!row.name) break;
    if (::strcasecmp(row.name, name) == 0) return &row;
  }
  return nullptr;
}

const FtpFeatureEntry* FindFeature(const ServerTables& t, const char* name) {
  if (!name || !*name) return nullptr;
  for (const auto& row : t.features) {
    if (!row.name) break;
    if (::strcasecmp(row.name, name) == 0) return &row;
  }
  return nullptr;
}

}  // namespace cvftpsrv
