#pragma once
// The command handlers the tables bind; each sends exactly one final reply.
#include <cstdint>

#include "ftpsrv/command_table.h"

namespace cvftpsrv {

// Login, session and information commands.
void CmdUser(const Client& c, uint32_t flags);
void CmdPass(const Client& c, uint32_t flags);
void CmdRein(const Client& c, uint32_t flags);
void CmdQuit(const Client& c, uint32_t flags);
void CmdHost(const Client& c, uint32_t flags);
void CmdClnt(const Client& c, uint32_t flags);
void CmdCsid(const Client& c, uint32_t flags);
void CmdLang(const Client& c, uint32_t flags);
void CmdIdle(const Client& c, uint32_t flags);
void CmdFeat(const Client& c, uint32_t flags);
void CmdHelp(const Client& c, uint32_t flags);
void CmdOpts(const Client& c, uint32_t flags);
void CmdSyst(const Client& c, uint32_t flags);
void CmdStat(const Client& c, uint32_t flags);
void CmdNoop(const Client& c, uint32_t flags);
void CmdAllo(const Client& c, uint32_t flags);
void CmdAuth(const Client& c, uint32_t flags);
void CmdCcc(const Client& c, uint32_t flags);

// Data connections and transfers.
void CmdPasv(const Client& c, uint32_t flags);
void CmdEpsv(const Client& c, uint32_t flags);
void CmdPort(const Client& c, uint32_t flags);
void CmdEprt(const Client& c, uint32_t flags);
void CmdPbsz(const Client& c, uint32_t flags);
void CmdProt(const Client& c, uint32_t flags);
void CmdType(const Client& c, uint32_t flags);
void CmdMode(const Client& c, uint32_t flags);
void CmdStru(const Client& c, uint32_t flags);
void CmdRest(const Client& c, uint32_t flags);
void CmdPret(const Client& c, uint32_t flags);
void CmdAbor(const Client& c, uint32_t flags);
void CmdRetr(const Client& c, uint32_t flags);
void CmdStore(const Client& c, uint32_t flags);

// Files and directories.
void CmdCwd(const Client& c, uint32_t flags);
void CmdCdup(const Client& c, uint32_t flags);
void CmdPwd(const Client& c, uint32_t flags);
void CmdMkd(const Client& c, uint32_t flags);
void CmdRmd(const Client& c, uint32_t flags);
void CmdDele(const Client& c, uint32_t flags);
void CmdRnfr(const Client& c, uint32_t flags);
void CmdRnto(const Client& c, uint32_t flags);
void CmdSize(const Client& c, uint32_t flags);
void CmdMdtm(const Client& c, uint32_t flags);
void CmdMfmt(const Client& c, uint32_t flags);
void CmdHash(const Client& c, uint32_t flags);

// Listings.
void CmdList(const Client& c, uint32_t flags);
void CmdMlst(const Client& c, uint32_t flags);

// SITE and its sub-commands.
void CmdSite(const Client& c, uint32_t flags);
void SiteAttrib(const Client& c, uint32_t flags);
void SiteChgrp(const Client& c, uint32_t flags);
void SiteChmod(const Client& c, uint32_t flags);
void SiteDirstyle(const Client& c, uint32_t flags);
void SiteExec(const Client& c, uint32_t flags);
void SiteHelp(const Client& c, uint32_t flags);
void SiteIdle(const Client& c, uint32_t flags);
void SiteMkdir(const Client& c, uint32_t flags);
void SiteRmdir(const Client& c, uint32_t flags);
void SiteUtime(const Client& c, uint32_t flags);

}  // namespace cvftpsrv
