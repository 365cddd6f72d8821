#pragma once
// The five mail libraries of this deliverable as the control framework sees them.
#include "ocx/libraries.h"

namespace mailctl {

extern const ocx::LibraryOps kMimeLibrary;
extern const ocx::LibraryOps kDnsLibrary;
extern const ocx::LibraryOps kImapLibrary;
extern const ocx::LibraryOps kPop3Library;
extern const ocx::LibraryOps kSmtpLibrary;
// In attach order: MIME, DNS, IMAP, POP3, SMTP.
extern const ocx::LibraryOps* const kLibraries[5];

}  // namespace mailctl
