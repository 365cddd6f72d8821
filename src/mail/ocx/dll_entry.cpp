// The deliverable's load and unload routines and its four exported entry points.

#include "dns/dns.h"
#include "imap/imap.h"
#include "mail/ocx/internet_mail.h"
#include "mime/mime.h"
#include "ocx/module.h"
#include "ocx/module_exit.h"
#include "pop3/pop3.h"
#include "smtp/smtp.h"

namespace {

const ocx::ClassEntry kClasses[] = {
    {&mailctl::kInternetMailDescriptor, &ocx::CreateObject<mailctl::CInternetMail>},
};

void ProcessDetach() {
  DnsProcessDetach();
  MimeProcessDetach();
  SmtpProcessDetach();
  Pop3ProcessDetach();
  ImapProcessDetach();
  ocx::Module::Instance().Term();
}

__attribute__((constructor)) void ProcessAttach() {
  void* module = ocx::Module::ModuleHandle();
  DnsProcessAttach(module);
  MimeProcessAttach(module);
  SmtpProcessAttach(module);
  Pop3ProcessAttach(module);
  ImapProcessAttach(module);
  ocx::Module::Instance().Init(kClasses);
  // The libraries' state objects came to life just now and are destroyed by exit handlers
  // of this module; registered after them, the detach runs before them.
  ocx::AtModuleExit(ProcessDetach);
}

}  // namespace

CV_OCX_EXPORT_ENTRY_POINTS
