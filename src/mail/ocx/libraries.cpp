#include "mail/ocx/libraries.h"

#include "dns/dns.h"
#include "imap/imap.h"
#include "mime/mime.h"
#include "pop3/pop3.h"
#include "smtp/smtp.h"

namespace mailctl {

const ocx::LibraryOps kMimeLibrary{"mime", MimeAttach, MimeDetach, MimeGetLastError, MimeSetLastError,
                                   MimeGetErrorText};
const ocx::LibraryOps kDnsLibrary{"dns", DnsAttach, DnsDetach, DnsGetLastError, DnsSetLastError, DnsGetErrorText};
const ocx::LibraryOps kImapLibrary{"imap", ImapAttach, ImapDetach, ImapGetLastError, ImapSetLastError,
                                   ImapGetErrorText};
const ocx::LibraryOps kPop3Library{"pop3", Pop3Attach, Pop3Detach, Pop3GetLastError, Pop3SetLastError,
                                   Pop3GetErrorText};
const ocx::LibraryOps kSmtpLibrary{"smtp", SmtpAttach, SmtpDetach, SmtpGetLastError, SmtpSetLastError,
                                   SmtpGetErrorText};
const ocx::LibraryOps* const kLibraries[5] = {&kMimeLibrary, &kDnsLibrary, &kImapLibrary, &kPop3Library,
                                              &kSmtpLibrary};

}  // namespace mailctl
