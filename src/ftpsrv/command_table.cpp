// The built-in command, SITE and FEAT tables and the lookups over a server's copies.
#include "ftpsrv/command_table.h"

#include <strings.h>

#include "ftpsrv/handlers.h"

namespace cvftpsrv {

namespace {

// The rows stand in alphabetical order; lookups walk them from the top.
const FtpCommandEntry kCommands[] = {
    {"ABOR", "ABOR", 0, 3, 0x1000, CmdAbor},
    {"ACCT", "ACCT account-name", 1, 0, 0x0010, nullptr},
    {"ALLO", "ALLO size [R max-size]", 0, 0, 0x0080, CmdAllo},
    {"APPE", "APPE filename", 1, 1, 0x0025, CmdStore},
    {"AUTH", "AUTH {SSL|TLS}", 1, 5, 0x0090, CmdAuth},
    {"AVBL", "AVBL", 0, 0, 0x0000, nullptr},
    {"CCC", "CCC", 0, 5, 0x0040, CmdCcc},
    {"CDUP", "CDUP", 0, 7, 0x1000, CmdCdup},
    {"CLNT", "CLNT client version", 0, 9, 0x2090, CmdClnt},
    {"CSID", "CSID Name={name}; Version={n.n}", 0, 9, 0x0080, CmdCsid},
    {"CWD", "CWD pathname", 1, 7, 0x1002, CmdCwd},
    {"DELE", "DELE filename", 1, 5, 0x1001, CmdDele},
    {"DSIZ", "DSIZ [pathname]", 0, 0, 0x0082, nullptr},
    {"EPRT", "EPRT |protocol|ip-address|port-number|", 1, 9, 0x0000, CmdEprt},
    {"EPSV", "EPSV", 0, 9, 0x0080, CmdEpsv},
    {"ESTA", "ESTA", 0, 0, 0x0000, nullptr},
    {"ESTP", "ESTP |protocol|ip-address|port-number|", 1, 0, 0x0000, nullptr},
    {"FEAT", "FEAT", 0, 7, 0x0010, CmdFeat},
    {"HASH", "HASH filename", 1, 7, 0x0001, nullptr},
    {"HELP", "HELP [command]", 0, 9, 0x0090, CmdHelp},
    {"HOST", "HOST {hostname|ip-address}", 1, 7, 0x0010, CmdHost},
    {"IDLE", "IDLE seconds", 1, 7, 0x0080, CmdIdle},
    {"LANG", "LANG [language]", 1, 7, 0x0090, CmdLang},
    {"LIST", "LIST [pathname]", 0, 7, 0x10AE, CmdList},
    {"LPRT", "LPRT long-host-port", 1, 0, 0x2000, nullptr},
    {"LPSV", "LPSV", 0, 0, 0x2000, nullptr},
    {"MDTM", "MDTM filename", 1, 7, 0x0001, CmdMdtm},
    {"MFCT", "MFCT time-value pathname", 2, 7, 0x0001, nullptr},
    {"MFF", "MFF fact pathname", 2, 7, 0x0001, nullptr},
    {"MFMT", "MFMT time-value pathname", 2, 7, 0x0001, CmdMfmt},
    {"MKD", "MKD pathname", 1, 5, 0x1002, CmdMkd},
    {"MLSD", "MLSD [pathname]", 0, 7, 0x008E, CmdList},
    {"MLST", "MLST filename", 1, 7, 0x0081, CmdMlst},
    {"MODE", "MODE transfer-mode", 1, 9, 0x1000, CmdMode},
    {"NLST", "NLST [pathname]", 0, 7, 0x10AE, CmdList},
    {"NOOP", "NOOP", 0, 9, 0x1080, CmdNoop},
    {"OPEN", "OPEN hostname[:port-number]", 1, 0, 0x0000, nullptr},
    {"OPTS", "OPTS command [options ...]", 1, 9, 0x0090, CmdOpts},
    {"PASS", "PASS password", 1, 5, 0x1010, CmdPass},
    {"PASV", "PASV", 0, 9, 0x1000, CmdPasv},
    {"PBSZ", "PBSZ buffer-size", 1, 9, 0x0040, CmdPbsz},
    {"PORT", "PORT a1,a2,a3,a4,p1,p2", 1, 9, 0x1000, CmdPort},
    {"PRET", "PRET command [parameters ...]", 1, 9, 0x0081, CmdPret},
    {"PROT", "PROT level", 1, 9, 0x0040, CmdProt},
    {"PWD", "PWD", 0, 9, 0x1000, CmdPwd},
    {"QUIT", "QUIT", 0, 7, 0x1010, CmdQuit},
    {"RANG", "RANG start-point end-point", 2, 7, 0x0000, nullptr},
    {"REIN", "REIN", 0, 5, 0x0000, CmdRein},
    {"REST", "REST byte-offset", 1, 7, 0x0000, CmdRest},
    {"RETR", "RETR filename", 1, 1, 0x1025, CmdRetr},
    {"RMD", "RMD pathname", 1, 5, 0x1002, CmdRmd},
    {"RMDA", "RMDA pathname", 1, 5, 0x0002, CmdRmd},
    {"RNFR", "RNFR old-filename", 1, 5, 0x1001, CmdRnfr},
    {"RNTO", "RNTO new-filename", 1, 5, 0x1001, CmdRnto},
    {"SITE", "SITE command [parameters ...]", 1, 5, 0x0181, CmdSite},
    {"SIZE", "SIZE filename", 1, 7, 0x0001, CmdSize},
    {"SMNT", "SMNT pathname", 1, 0, 0x0002, nullptr},
    {"STAT", "STAT [filename]", 0, 7, 0x0081, CmdStat},
    {"STOR", "STOR filename", 1, 1, 0x1025, CmdStore},
    {"STOU", "STOU", 0, 1, 0x0085, CmdStore},
    {"STRU", "STRU file-structure", 1, 9, 0x1000, CmdStru},
    {"SYST", "SYST", 0, 7, 0x1010, CmdSyst},
    {"TYPE", "TYPE file-type [type-option]", 1, 9, 0x1080, CmdType},
    {"USER", "USER username", 1, 5, 0x1010, CmdUser},
    {"XCUP", "XCUP", 0, 7, 0x2000, CmdCdup},
    {"XCWD", "XCWD pathname", 1, 7, 0x2002, CmdCwd},
    {"XCRC", "XCRC filename", 1, 7, 0x0001, CmdHash},
    {"XDEL", "XDEL filename", 1, 5, 0x2001, CmdDele},
    {"XMD5", "XMD5 filename", 1, 7, 0x0001, CmdHash},
    {"XMKD", "XMKD pathname", 1, 5, 0x2002, CmdMkd},
    {"XPWD", "XPWD", 0, 9, 0x2000, CmdPwd},
    {"XRMD", "XRMD", 1, 5, 0x2002, CmdRmd},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};

const FtpSiteCommandEntry kSite[] = {
    {"ATTRIB", "ATTRIB [+-]attribute filename", 2, 0x0201, SiteAttrib},
    {"CHGRP", "CHGRP group filename", 2, 0x0401, SiteChgrp},
    {"CHMOD", "CHMOD mode filename", 2, 0x0401, SiteChmod},
    {"DIRSTYLE", "DIRSTYLE", 0, 0x0200, SiteDirstyle},
    {"EXEC", "EXEC command [parameters ...]", 2, 0x4080, SiteExec},
    {"HELP", "HELP [command]", 1, 0x0080, SiteHelp},
    {"IDLE", "IDLE seconds", 1, 0x0080, SiteIdle},
    {"MKDIR", "MKDIR pathname", 1, 0x0002, SiteMkdir},
    {"RMDIR", "RMDIR pathname", 1, 0x0002, SiteRmdir},
    {"UTIME", "UTIME time-value filename", 2, 0x0001, SiteUtime},
    {nullptr, nullptr, 0, 0, nullptr},
};

const FtpFeatureEntry kFeatures[] = {
    {"AUTH", "SSL", 0x0007},
    {"AUTH", "TLS", 0x0007},
    {"AVBL", nullptr, 0},
    {"CLNT", nullptr, 0x1000},
    {"CSID", nullptr, 0x0001},
    {"DSIZ", nullptr, 0},
    {"EPRT", nullptr, 0x0001},
    {"EPSV", nullptr, 0x0001},
    {"ESTA", nullptr, 0},
    {"ESTP", nullptr, 0},
    {"HASH", nullptr, 0},
    {"HOST", nullptr, 0x0003},
    {"IDLE", nullptr, 0x0001},
    {"LANG", "EN*", 0x0003},
    {"LPRT", nullptr, 0x1000},
    {"LPSV", nullptr, 0x1000},
    {"MDTM", nullptr, 0x0001},
    {"MFCT", nullptr, 0},
    {"MFF", "create;modify;", 0},
    {"MFMT", nullptr, 0x0001},
    {"MLST", "type*;size*;perm*;modify*;UNIX.mode;UNIX.owner;UNIX.group;Win32.ea;", 0x0001},
    {"PRET", nullptr, 0},
    {"RANG", "STREAM", 0},
    {"REST", "STREAM", 0x0001},
    {"RMDA", nullptr, 0x0001},
    {"SIZE", nullptr, 0x0001},
    {"TVFS", nullptr, 0x0003},
    {"UTF8", nullptr, 0x0003},
    {"XCRC", nullptr, 0x0001},
    {"XMD5", nullptr, 0x0001},
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
