#pragma once
// The error codes shared by every library and control. A code is 0 for success, or
// kCvErrorBase | n for error number n; the constants below hold the full 32-bit code.
// Numbers 10000-11999 reuse the Windows Sockets numbers with the same meaning, numbers
// from 12000 up are the libraries' own. The constant names are the ones the type
// libraries publish (including their odd spellings), so don't "fix" them.
#include <cstdint>

inline constexpr uint32_t kCvErrorBase = 0x80040000u;

// X(name, number) for every published constant, in ascending order of number.
#define CV_ERROR_CODE_LIST(X) \
  X(cvErrorNotHandleOwner,              10001) \
  X(cvErrorFileNotFound,                10002) \
  X(cvErrorFileNotCreated,              10003) \
  X(cvErrorOperationCanceled,           10004) \
  X(cvErrorInvalidFileType,             10005) \
  X(cvErrorInvalidDevice,               10006) \
  X(cvErrorTooManyParameters,           10007) \
  X(cvErrorInvalidFileName,             10008) \
  X(cvErrorInvalidFileHandle,           10009) \
  X(cvErrorFileReadFailed,              10010) \
  X(cvErrorFileWriteFailed,             10011) \
  X(cvErrorOutOfMemory,                 10012) \
  X(cvErrorAccessDenied,                10013) \
  X(cvErrorInvalidParameter,            10014) \
  X(cvErrorClipboardUnavailable,        10015) \
  X(cvErrorClipboardEmpty,              10016) \
  X(cvErrorFileEmpty,                   10017) \
  X(cvErrorFileExists,                  10018) \
  X(cvErrorEndOfFile,                   10019) \
  X(cvErrorDeviceNotFound,              10020) \
  X(cvErrorDirectoryNotFound,           10021) \
  X(cvErrorInvalidBuffer,               10022) \
  X(cvErrorBufferTooSmall,              10023) \
  X(cvErrorNoHandles,                   10024) \
  X(cvErrorOperationWouldBlock,         10035) \
  X(cvErrorOperationInProgress,         10036) \
  X(cvErrorAlreadyInProgress,           10037) \
  X(cvErrorInvalidHandle,               10038) \
  X(cvErrorInvalidAddress,              10039) \
  X(cvErrorInvalidSize,                 10040) \
  X(cvErrorInvalidProtocol,             10041) \
  X(cvErrorProtocolNotAvailable,        10042) \
  X(cvErrorProtocolNotSupported,        10043) \
  X(cvErrorSocketNotSupported,          10044) \
  X(cvErrorInvalidOption,               10045) \
  X(cvErrorProtocolFamily,              10046) \
  X(cvErrorProtocolAddress,             10047) \
  X(cvErrorAddressInUse,                10048) \
  X(cvErrorAddressUnavailable,          10049) \
  X(cvErrorNetworkUnavailable,          10050) \
  X(cvErrorNetworkUnreachable,          10051) \
  X(cvErrorNetworkReset,                10052) \
  X(cvErrorConnectionAborted,           10053) \
  X(cvErrorConnectionReset,             10054) \
  X(cvErrorOutOfBuffers,                10055) \
  X(cvErrorAlreadyConnected,            10056) \
  X(cvErrorNotConnected,                10057) \
  X(cvErrorConnectionShutdown,          10058) \
  X(cvErrorOperationTimeout,            10060) \
  X(cvErrorConnectionRefused,           10061) \
  X(cvErrorHostUnavailable,             10064) \
  X(cvErrorHostUnreachable,             10065) \
  X(cvErrorTooManyProcesses,            10067) \
  X(cvErrorTooManyThreads,              10069) \
  X(cvErrorTooManySessions,             10070) \
  X(cvErrorInternalFailure,             10082) \
  X(cvErrorNetworkNotReady,             10091) \
  X(cvErrorInvalidVersion,              10092) \
  X(cvErrorNetworkNotInitialized,       10093) \
  X(cvErrorRemoteShutdown,              10101) \
  X(cvErrorInvalidHostName,             11001) \
  X(cvErrorHostNameNotFound,            11002) \
  X(cvErrorHostNameRefused,             11003) \
  X(cvErrorHostNameNotResolved,         11004) \
  X(cvErrorNotImplemented,              12003) \
  X(cvErrorUnknownLocalhost,            12004) \
  X(cvErrorInvalidHostAddress,          12005) \
  X(cvErrorInvalidServicePort,          12006) \
  X(cvErrorInvalidServiceName,          12007) \
  X(cvErrorInvalidEventId,              12008) \
  X(cvErrorOperationNotBlocking,        12009) \
  X(cvErrorSecurityNotInitialized,      12101) \
  X(cvErrorSecurityContext,             12102) \
  X(cvErrorSecurityCredentials,         12103) \
  X(cvErrorSecurityCertificate,         12104) \
  X(cvErrorSecurityDecryption,          12105) \
  X(cvErrorSecurityEncryption,          12106) \
  X(cvErrorOperationNotSupported,       12201) \
  X(cvErrorInvalidProtocolVersion,      12202) \
  X(cvErrorNoServerResponse,            12203) \
  X(cvErrorInvalidServerResponse,       12204) \
  X(cvErrorUnexpectedServerResponse,    12205) \
  X(cvErrorServerTransactionFailed,     12206) \
  X(cvErrorServiceUnavailable,          12207) \
  X(cvErrorServiceNotReady,             12208) \
  X(cvErrorServerResyncFailed,          12209) \
  X(cvErrorInvalidProxyType,            12210) \
  X(cvErrorProxyRequired,               12211) \
  X(cvErrorInvalidProxyLogin,           12212) \
  X(cvErrorProxyResyncFailed,           12213) \
  X(cvErrorInvalidCommand,              12214) \
  X(cvErrorInvalidCommandParameter,     12215) \
  X(cvErrorInvalidCommandSequence,      12216) \
  X(cvErrorCommandNotImplemented,       12217) \
  X(cvErrorCommandNotAuthorized,        12218) \
  X(cvErrorCommandAborted,              12219) \
  X(cvErrorOptionNotSupported,          12220) \
  X(cvErrorRequestNotCompleted,         12221) \
  X(cvErrorInvalidUserName,             12222) \
  X(cvErrorInvalidPassword,             12223) \
  X(cvErrorInvalidAccount,              12224) \
  X(cvErrorAccountRequired,             12225) \
  X(cvErrorInvalidAuthenticationType,   12226) \
  X(cvErrorAuthenticationRequired,      12227) \
  X(cvErrorProxyAuthenticationRequired, 12228) \
  X(cvErrorAlreadyAuthenticated,        12229) \
  X(cvErrorAuthenticationFailed,        12230) \
  X(cvErrorNetworkAdapter,              12251) \
  X(cvErrorInvalidRecordType,           12252) \
  X(cvErrorInvalidRecordName,           12253) \
  X(cvErrorInvalidRecordData,           12254) \
  X(cvErrorConnectionOpen,              12255) \
  X(cvErrorConnectionClosed,            12256) \
  X(cvErrorConnectionPassive,           12257) \
  X(cvErrorConnectionFailed,            12258) \
  X(cvErrorInvalidSecurityLevel,        12259) \
  X(cvErrorCachedTlsRequired,           12260) \
  X(cvErrorDataReadOnly,                12261) \
  X(cvErrorDataWriteOnly,               12262) \
  X(cvErrorEndOfData,                   12263) \
  X(cvErrorRemoteFileUnavailable,       12264) \
  X(cvErrorInsufficientStorage,         12265) \
  X(cvErrorStorageallocation,           12266) \
  X(cvErrorDirectoryExists,             12267) \
  X(cvErrorDirectoryEmpty,              12268) \
  X(cvErrorEndOfDirectory,              12269) \
  X(cvErrorUnknownDirectoryFormat,      12270) \
  X(cvErrorInvalidResource,             12271) \
  X(cvErrorResourceRedirected,          12272) \
  X(cvErrorResourceRestricted,          12273) \
  X(cvErrorResourceNotModified,         12274) \
  X(cvErrorResourceNotFound,            12275) \
  X(cvErrorResourceConflict,            12276) \
  X(cvErrorResourceRemoved,             12277) \
  X(cvErrorContentLengthRequired,       12278) \
  X(cvErrorRequestPrecondition,         12279) \
  X(cvErrorUnsupportedMediaType,        12280) \
  X(cvErrorInvalidContentRange,         12281) \
  X(cvErrorInvalidMessagePart,          12282) \
  X(cvErrorInvalidMessageHeader,        12283) \
  X(cvErrorInvalidMessageBoundary,      12284) \
  X(cvErrorNoFileAttachment,            12285) \
  X(cvErrorUnknownFileType,             12286) \
  X(cvErrorDataNotEncoded,              12287) \
  X(cvErrorDataNotDecoded,              12288) \
  X(cvErrorFileNotEncoded,              12289) \
  X(cvErrorFileNotDecoded,              12290) \
  X(cvErrorNoMessageText,               12291) \
  X(cvErrorInvalidCharacterSet,         12292) \
  X(cvErrorInvalidEncodingType,         12293) \
  X(cvErrorInvalidMessageNumber,        12294) \
  X(cvErrorNoReturnAddress,             12295) \
  X(cvErrorNoValidRecipients,           12296) \
  X(cvErrorInvalidRecipient,            12297) \
  X(cvErrorRelayNotAuthorized,          12298) \
  X(cvErrorMailboxUnavailable,          12299) \
  X(cvErrorMailboxReadOnly,             12300) \
  X(cvErrorMailboxNotSelected,          12301) \
  X(cvErrorInvalidMailbox,              12302) \
  X(cvErrorInvalidDomain,               12303) \
  X(cvErrorInvalidSender,               12304) \
  X(cvErrorMessageNotDelivered,         12305) \
  X(cvErrorEndofMessageData,            12306) \
  X(cvErrorInvalidmessageSize,          12307) \
  X(cvErrorMessageNotCreated,           12308) \
  X(cvErrorNoMoreMailboxes,             12309) \
  X(cvErrorInvalidEmulationType,        12310) \
  X(cvErrorInvalidFontHandle,           12311) \
  X(cvErrorInvalidFontName,             12312) \
  X(cvErrorInvalidPacketSize,           12313) \
  X(cvErrorInvalidPacketData,           12314) \
  X(cvErrorInvalidPacketId,             12315) \
  X(cvErrorPacketTtlExpired,            12316) \
  X(cvErrorInvalidNewsGroup,            12317) \
  X(cvErrorNoNewsgroupSelected,         12318) \
  X(cvErrorEmptyNewsgroup,              12319) \
  X(cvErrorInvalidArticle,              12320) \
  X(cvErrorNoArticleSelected,           12321) \
  X(cvErrorFirstArticle,                12322) \
  X(cvErrorLastArticle,                 12323) \
  X(cvErrorArticleExists,               12324) \
  X(cvErrorArticleRejected,             12325) \
  X(cvErrorArticleTransferFailed,       12326) \
  X(cvErrorArticlePostingDenied,        12327) \
  X(cvErrorArticlePostingFailed,        12328) \
  X(cvErrorInvalidDateFormat,           12329) \
  X(cvErrorFeatureNotSupported,         12330) \
  X(cvErrorInvalidFormHandle,           12331) \
  X(cvErrorInvalidFormAction,           12332) \
  X(cvErrorInvalidFormMethod,           12333) \
  X(cvErrorInvalidFormType,             12334) \
  X(cvErrorInvalidFormField,            12335) \
  X(cvErrorEmptyForm,                   12336) \
  X(cvErrorMaximumConnections,          12337) \
  X(cvErrorThreadCreationFailed,        12338) \
  X(cvErrorInvalidThreadHandle,         12339) \
  X(cvErrorThreadTerminated,            12340) \
  X(cvErrorThreadDeadlock,              12341) \
  X(cvErrorInvalidClientMoniker,        12342) \
  X(cvErrorClientMonikerExists,         12343) \
  X(cvErrorServerInactive,              12344) \
  X(cvErrorServerSuspended,             12345) \
  X(cvErrorNoMessageStore,              12346) \
  X(cvErrorMessageStoreChanged,         12347) \
  X(cvErrorMessageNotFound,             12348) \
  X(cvErrorMessageDeleted,              12349) \
  X(cvErrorFileChecksumMismatch,        12350) \
  X(cvErrorFileSizeMismatch,            12351) \
  X(cvErrorInvalidFeedUrl,              12352) \
  X(cvErrorInvalidFeedFormat,           12353) \
  X(cvErrorInvalidFeedVersion,          12354) \
  X(cvErrorChannelEmpty,                12355) \
  X(cvErrorInvalidItemNumber,           12356) \
  X(cvErrorItemNotFound,                12357) \
  X(cvErrorItemEmpty,                   12358) \
  X(cvErrorInvalidItemProperty,         12359) \
  X(cvErrorItemPropertyNotFound,        12360) \
  X(cvErrorInvalidChannelTitle,         12361) \
  X(cvErrorInvalidChannelLink,          12362) \
  X(cvErrorInvalidChannelDescription,   12363) \
  X(cvErrorInvalidItemText,             12364) \
  X(cvErrorInvalidItemLink,             12365) \
  X(cvErrorInvalidServiceType,          12366) \
  X(cvErrorServiceSupended,             12367) \
  X(cvErrorServiceRestricted,           12368) \
  X(cvErrorInvalidProviderName,         12369) \
  X(cvErrorInvalidPhoneNumber,          12370) \
  X(cvErrorGatewayNotFound,             12371) \
  X(cvErrorMessageTooLong,              12372) \
  X(cvErrorInvalidProviderData,         12373) \
  X(cvErrorInvalidGatewayData,          12374) \
  X(cvErrorMultipleProviders,           12375) \
  X(cvErrorProviderNotFound,            12376) \
  X(cvErrorInvalidMessageService,       12377) \
  X(cvErrorInvalidMessageFormat,        12378) \
  X(cvErrorInvalidConfiguration,        12379) \
  X(cvErrorServerActive,                12380) \
  X(cvErrorServerPortBound,             12381) \
  X(cvErrorInvalidClientSession,        12382) \
  X(cvErrorClientNotIdentified,         12383) \
  X(cvErrorInvalidClientState,          12384) \
  X(cvErrorInvalidResultCode,           12385) \
  X(cvErrorCommandRequired,             12386) \
  X(cvErrorCommandDisabled,             12387) \
  X(cvErrorCommandSequence,             12388) \
  X(cvErrorCommandCompleted,            12389) \
  X(cvErrorInvalidProgramName,          12390) \
  X(cvErrorInvalidRequestHeader,        12391) \
  X(cvErrorInvalidVirtualHost,          12392) \
  X(cvErrorVirtualHostNotFound,         12393) \
  X(cvErrorTooManyVirtualHosts,         12394) \
  X(cvErrorInvalidVirtualPath,          12395) \
  X(cvErrorVirtualPathNotFound,         12396) \
  X(cvErrorTooManyVirtualPaths,         12397) \
  X(cvErrorInvalidTask,                 12398) \
  X(cvErrorTaskActive,                  12399) \
  X(cvErrorTaskQueued,                  12400) \
  X(cvErrorTaskSuspended,               12401) \
  X(cvErrorTaskFinished,                12402)

#define CV_DEFINE_ERROR_CODE(name, number) inline constexpr uint32_t name = kCvErrorBase | (number);
CV_ERROR_CODE_LIST(CV_DEFINE_ERROR_CODE)
#undef CV_DEFINE_ERROR_CODE

namespace cvcore {

// Every published code, ascending.
#define CV_LIST_ERROR_CODE(name, number) name,
inline constexpr uint32_t kAllErrorCodes[] = {CV_ERROR_CODE_LIST(CV_LIST_ERROR_CODE)};
#undef CV_LIST_ERROR_CODE

// The error number of a code (10038 for 0x80042736); a bare number is returned unchanged.
constexpr uint32_t ErrorNumber(uint32_t code) noexcept { return code & 0xFFFFu; }

// Whether a code (or bare number) says the operation was canceled.
constexpr bool IsCanceled(uint32_t code) noexcept { return ErrorNumber(code) == ErrorNumber(cvErrorOperationCanceled); }

// The full code of a number or code (0x80042736 for 10038 and for 0x80042736); 0 stays 0.
constexpr uint32_t FullErrorCode(uint32_t code) noexcept {
  return code == 0 ? 0 : (code <= 0xFFFFu ? (kCvErrorBase | code) : code);
}

}  // namespace cvcore
