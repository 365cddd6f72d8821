// The type library InternetMailCtl: the class, its dual and event interfaces and enumerations.
#include "imap/imap_bits.h"
#include "mail/ocx/internet_mail.h"
#include "ocx/type_constants.h"

namespace mailctl {
namespace {

using C = plat::com::TypeConstant;

constexpr C kUpdate[] = {{"mailUpdateUnknown", mailUpdateUnknown},
                         {"mailUpdateMessage", mailUpdateMessage},
                         {"mailUpdateExpunge", mailUpdateExpunge},
                         {"mailUpdateMailbox", mailUpdateMailbox}};
constexpr C kServer[] = {{"mailServerDefault", 0}, {"mailServerPop3", 1}, {"mailServerImap4", 2}};
constexpr C kPort[] = {{"mailPortDefault", 0}, {"mailPortPop", 110},    {"mailPortPop3", 110},
                       {"mailPortImap", 143},  {"mailPortImap4", 143}};
constexpr C kOption[] = {{"mailOptionImplicitSSL", kOptionImplicitSsl}, {"mailOptionAPOP", kOptionApop},
                         {"mailOptionAuthLogin", kOptionAuthLogin},     {"mailOptionAllHeaders", kOptionAllHeaders},
                         {"mailOptionKeepOrder", kOptionKeepOrder},     {"mailOptionNotify", kOptionNotify},
                         {"mailNotifySuccess", kOptionNotifySuccess},   {"mailNotifyFailure", kOptionNotifyFailure},
                         {"mailNotifyDelay", kOptionNotifyDelay},       {"mailReturnHeaders", kOptionReturnHeaders},
                         {"mailReturnMessage", kOptionReturnMessage}};
constexpr C kAttach[] = {{"mailAttachDefault", 0}, {"mailAttachBase64", 1},          {"mailAttachUucode", 2},
                         {"mailAttachQuoted", 3},  {"mailAttachAlternative", 65536}, {"mailAttachInline", 131072}};
constexpr C kCharacterSet[] = {{"mailCharsetUnknown", 0},    {"mailCharsetDefault", 1},   {"mailCharsetUSASCII", 1},
                               {"mailCharsetISO8859", 2},    {"mailCharsetISO8859_1", 2}, {"mailCharsetISOLatin1", 2},
                               {"mailCharsetISO8859_2", 3},  {"mailCharsetISOLatin2", 3}, {"mailCharsetISO8859_5", 4},
                               {"mailCharsetISO8859_6", 5},  {"mailCharsetISO8859_7", 6}, {"mailCharsetISO8859_8", 7},
                               {"mailCharsetISO8859_9", 8}};
constexpr C kEncoding[] = {{"mailEncodingUnknown", 0}, {"mailEncodingDefault", 1}, {"mailEncoding7Bit", 1},
                           {"mailEncoding8Bit", 2},    {"mailEncodingBinary", 3},  {"mailEncodingQuoted", 4},
                           {"mailEncodingBase64", 5},  {"mailEncodingUucode", 6}};
constexpr C kFlag[] = {{"mailFlagNone", 0},
                       {"mailFlagAnswered", kImapFlagAnswered},
                       {"mailFlagDraft", kImapFlagDraft},
                       {"mailFlagUrgent", kImapFlagFlagged},
                       {"mailFlagFlagged", kImapFlagFlagged},
                       {"mailFlagSeen", kImapFlagSeen},
                       {"mailFlagRecent", kImapFlagRecent},
                       {"mailFlagDeleted", kImapFlagDeleted},
                       {"mailFlagNoInferiors", kImapFlagNoInferiors},
                       {"mailFlagNoSelect", kImapFlagNoSelect},
                       {"mailFlagMarked", kImapFlagMarked},
                       {"mailFlagUnmarked", kImapFlagUnmarked}};
constexpr C kIdle[] = {{"mailIdleNoWait", mailIdleNoWait}, {"mailIdleWait", mailIdleWait}};

}  // namespace

const plat::com::TypeLibDesc& InternetMailTypeLibrary() {
  const ocx::ControlDescriptor& d = kInternetMailDescriptor;
  static const plat::com::TypeLibDesc library{
      d.typeLibId,
      "InternetMailCtl",
      1,
      0,
      d.clsid,
      "InternetMail",
      d.description,
      {d.dualIid, "IInternetMail", &IInternetMail::DispatchTable()},
      {d.eventIid, "_IInternetMailEvents", &_IInternetMailEvents::DispatchTable()},
      {
          {"__mailUpdateConstants", kUpdate},
          {"__mailServerConstants", kServer},
          {"__mailPortConstants", kPort},
          {"__mailSecurityConstants", ocx::SecurityConstants()},
          {"__mailOptionConstants", kOption},
          {"__mailAttachConstants", kAttach},
          {"__mailCharacterSetConstants", kCharacterSet},
          {"__mailEncodingConstants", kEncoding},
          {"__mailFlagConstants", kFlag},
          {"__mailIdleConstants", kIdle},
          {"__mailTraceConstants", ocx::TraceConstants("mailTrace")},
          ocx::ErrorCodesEnum(),
      },
  };
  return library;
}

}  // namespace mailctl
