// The constants every control's type library shares, as the published lists name and
// number them, kept apart from the code that defines them: the error numbers and the
// security constants.
#include <sstream>

#include "support/type_dump.h"

namespace cvtest {
namespace {

constexpr const char* kPublished = R"(
cvErrorNotHandleOwner 10001, cvErrorFileNotFound 10002, cvErrorFileNotCreated 10003,
cvErrorOperationCanceled 10004, cvErrorInvalidFileType 10005, cvErrorInvalidDevice 10006,
cvErrorTooManyParameters 10007, cvErrorInvalidFileName 10008, cvErrorInvalidFileHandle 10009,
cvErrorFileReadFailed 10010, cvErrorFileWriteFailed 10011, cvErrorOutOfMemory 10012,
cvErrorAccessDenied 10013, cvErrorInvalidParameter 10014, cvErrorClipboardUnavailable 10015,
cvErrorClipboardEmpty 10016, cvErrorFileEmpty 10017, cvErrorFileExists 10018, cvErrorEndOfFile 10019,
cvErrorDeviceNotFound 10020, cvErrorDirectoryNotFound 10021, cvErrorInvalidBuffer 10022,
cvErrorBufferTooSmall 10023, cvErrorNoHandles 10024, cvErrorOperationWouldBlock 10035,
cvErrorOperationInProgress 10036, cvErrorAlreadyInProgress 10037, cvErrorInvalidHandle 10038,
cvErrorInvalidAddress 10039, cvErrorInvalidSize 10040, cvErrorInvalidProtocol 10041,
cvErrorProtocolNotAvailable 10042, cvErrorProtocolNotSupported 10043, cvErrorSocketNotSupported 10044,
cvErrorInvalidOption 10045, cvErrorProtocolFamily 10046, cvErrorProtocolAddress 10047,
cvErrorAddressInUse 10048, cvErrorAddressUnavailable 10049, cvErrorNetworkUnavailable 10050,
cvErrorNetworkUnreachable 10051, cvErrorNetworkReset 10052, cvErrorConnectionAborted 10053,
cvErrorConnectionReset 10054, cvErrorOutOfBuffers 10055, cvErrorAlreadyConnected 10056,
cvErrorNotConnected 10057, cvErrorConnectionShutdown 10058, cvErrorOperationTimeout 10060,
cvErrorConnectionRefused 10061, cvErrorHostUnavailable 10064, cvErrorHostUnreachable 10065,
cvErrorTooManyProcesses 10067, cvErrorTooManyThreads 10069, cvErrorTooManySessions 10070,
cvErrorInternalFailure 10082, cvErrorNetworkNotReady 10091, cvErrorInvalidVersion 10092,
cvErrorNetworkNotInitialized 10093, cvErrorRemoteShutdown 10101, cvErrorInvalidHostName 11001,
cvErrorHostNameNotFound 11002, cvErrorHostNameRefused 11003, cvErrorHostNameNotResolved 11004,
cvErrorNotImplemented 12003, cvErrorUnknownLocalhost 12004, cvErrorInvalidHostAddress 12005,
cvErrorInvalidServicePort 12006, cvErrorInvalidServiceName 12007, cvErrorInvalidEventId 12008,
cvErrorOperationNotBlocking 12009, cvErrorSecurityNotInitialized 12101, cvErrorSecurityContext 12102,
cvErrorSecurityCredentials 12103, cvErrorSecurityCertificate 12104, cvErrorSecurityDecryption 12105,
cvErrorSecurityEncryption 12106, cvErrorOperationNotSupported 12201, cvErrorInvalidProtocolVersion 12202,
cvErrorNoServerResponse 12203, cvErrorInvalidServerResponse 12204, cvErrorUnexpectedServerResponse 12205,
cvErrorServerTransactionFailed 12206, cvErrorServiceUnavailable 12207, cvErrorServiceNotReady 12208,
cvErrorServerResyncFailed 12209, cvErrorInvalidProxyType 12210, cvErrorProxyRequired 12211,
cvErrorInvalidProxyLogin 12212, cvErrorProxyResyncFailed 12213, cvErrorInvalidCommand 12214,
cvErrorInvalidCommandParameter 12215, cvErrorInvalidCommandSequence 12216,
cvErrorCommandNotImplemented 12217, cvErrorCommandNotAuthorized 12218, cvErrorCommandAborted 12219,
cvErrorOptionNotSupported 12220, cvErrorRequestNotCompleted 12221, cvErrorInvalidUserName 12222,
cvErrorInvalidPassword 12223, cvErrorInvalidAccount 12224, cvErrorAccountRequired 12225,
cvErrorInvalidAuthenticationType 12226, cvErrorAuthenticationRequired 12227,
cvErrorProxyAuthenticationRequired 12228, cvErrorAlreadyAuthenticated 12229,
cvErrorAuthenticationFailed 12230, cvErrorNetworkAdapter 12251, cvErrorInvalidRecordType 12252,
cvErrorInvalidRecordName 12253, cvErrorInvalidRecordData 12254, cvErrorConnectionOpen 12255,
cvErrorConnectionClosed 12256, cvErrorConnectionPassive 12257, cvErrorConnectionFailed 12258,
cvErrorInvalidSecurityLevel 12259, cvErrorCachedTlsRequired 12260, cvErrorDataReadOnly 12261,
cvErrorDataWriteOnly 12262, cvErrorEndOfData 12263, cvErrorRemoteFileUnavailable 12264,
cvErrorInsufficientStorage 12265, cvErrorStorageallocation 12266, cvErrorDirectoryExists 12267,
cvErrorDirectoryEmpty 12268, cvErrorEndOfDirectory 12269, cvErrorUnknownDirectoryFormat 12270,
cvErrorInvalidResource 12271, cvErrorResourceRedirected 12272, cvErrorResourceRestricted 12273,
cvErrorResourceNotModified 12274, cvErrorResourceNotFound 12275, cvErrorResourceConflict 12276,
cvErrorResourceRemoved 12277, cvErrorContentLengthRequired 12278, cvErrorRequestPrecondition 12279,
cvErrorUnsupportedMediaType 12280, cvErrorInvalidContentRange 12281, cvErrorInvalidMessagePart 12282,
cvErrorInvalidMessageHeader 12283, cvErrorInvalidMessageBoundary 12284, cvErrorNoFileAttachment 12285,
cvErrorUnknownFileType 12286, cvErrorDataNotEncoded 12287, cvErrorDataNotDecoded 12288,
cvErrorFileNotEncoded 12289, cvErrorFileNotDecoded 12290, cvErrorNoMessageText 12291,
cvErrorInvalidCharacterSet 12292, cvErrorInvalidEncodingType 12293, cvErrorInvalidMessageNumber 12294,
cvErrorNoReturnAddress 12295, cvErrorNoValidRecipients 12296, cvErrorInvalidRecipient 12297,
cvErrorRelayNotAuthorized 12298, cvErrorMailboxUnavailable 12299, cvErrorMailboxReadOnly 12300,
cvErrorMailboxNotSelected 12301, cvErrorInvalidMailbox 12302, cvErrorInvalidDomain 12303,
cvErrorInvalidSender 12304, cvErrorMessageNotDelivered 12305, cvErrorEndofMessageData 12306,
cvErrorInvalidmessageSize 12307, cvErrorMessageNotCreated 12308, cvErrorNoMoreMailboxes 12309,
cvErrorInvalidEmulationType 12310, cvErrorInvalidFontHandle 12311, cvErrorInvalidFontName 12312,
cvErrorInvalidPacketSize 12313, cvErrorInvalidPacketData 12314, cvErrorInvalidPacketId 12315,
cvErrorPacketTtlExpired 12316, cvErrorInvalidNewsGroup 12317, cvErrorNoNewsgroupSelected 12318,
cvErrorEmptyNewsgroup 12319, cvErrorInvalidArticle 12320, cvErrorNoArticleSelected 12321,
cvErrorFirstArticle 12322, cvErrorLastArticle 12323, cvErrorArticleExists 12324,
cvErrorArticleRejected 12325, cvErrorArticleTransferFailed 12326, cvErrorArticlePostingDenied 12327,
cvErrorArticlePostingFailed 12328, cvErrorInvalidDateFormat 12329, cvErrorFeatureNotSupported 12330,
cvErrorInvalidFormHandle 12331, cvErrorInvalidFormAction 12332, cvErrorInvalidFormMethod 12333,
cvErrorInvalidFormType 12334, cvErrorInvalidFormField 12335, cvErrorEmptyForm 12336,
cvErrorMaximumConnections 12337, cvErrorThreadCreationFailed 12338, cvErrorInvalidThreadHandle 12339,
cvErrorThreadTerminated 12340, cvErrorThreadDeadlock 12341, cvErrorInvalidClientMoniker 12342,
cvErrorClientMonikerExists 12343, cvErrorServerInactive 12344, cvErrorServerSuspended 12345,
cvErrorNoMessageStore 12346, cvErrorMessageStoreChanged 12347, cvErrorMessageNotFound 12348,
cvErrorMessageDeleted 12349, cvErrorFileChecksumMismatch 12350, cvErrorFileSizeMismatch 12351,
cvErrorInvalidFeedUrl 12352, cvErrorInvalidFeedFormat 12353, cvErrorInvalidFeedVersion 12354,
cvErrorChannelEmpty 12355, cvErrorInvalidItemNumber 12356, cvErrorItemNotFound 12357,
cvErrorItemEmpty 12358, cvErrorInvalidItemProperty 12359, cvErrorItemPropertyNotFound 12360,
cvErrorInvalidChannelTitle 12361, cvErrorInvalidChannelLink 12362,
cvErrorInvalidChannelDescription 12363, cvErrorInvalidItemText 12364, cvErrorInvalidItemLink 12365,
cvErrorInvalidServiceType 12366, cvErrorServiceSupended 12367, cvErrorServiceRestricted 12368,
cvErrorInvalidProviderName 12369, cvErrorInvalidPhoneNumber 12370, cvErrorGatewayNotFound 12371,
cvErrorMessageTooLong 12372, cvErrorInvalidProviderData 12373, cvErrorInvalidGatewayData 12374,
cvErrorMultipleProviders 12375, cvErrorProviderNotFound 12376, cvErrorInvalidMessageService 12377,
cvErrorInvalidMessageFormat 12378, cvErrorInvalidConfiguration 12379, cvErrorServerActive 12380,
cvErrorServerPortBound 12381, cvErrorInvalidClientSession 12382, cvErrorClientNotIdentified 12383,
cvErrorInvalidClientState 12384, cvErrorInvalidResultCode 12385, cvErrorCommandRequired 12386,
cvErrorCommandDisabled 12387, cvErrorCommandSequence 12388, cvErrorCommandCompleted 12389,
cvErrorInvalidProgramName 12390, cvErrorInvalidRequestHeader 12391, cvErrorInvalidVirtualHost 12392,
cvErrorVirtualHostNotFound 12393, cvErrorTooManyVirtualHosts 12394, cvErrorInvalidVirtualPath 12395,
cvErrorVirtualPathNotFound 12396, cvErrorTooManyVirtualPaths 12397, cvErrorInvalidTask 12398,
cvErrorTaskActive 12399, cvErrorTaskQueued 12400, cvErrorTaskSuspended 12401, cvErrorTaskFinished 12402
)";

constexpr const char* kSecurity = R"(
cvProtocolNone 0, cvProtocolSSL2 1, cvProtocolSSL3 2, cvProtocolTLS1 28, cvProtocolTLS10 4,
cvProtocolTLS11 8, cvProtocolTLS12 16, cvProtocolSSL 2, cvProtocolTLS 28, cvProtocolDefault 16,
cvProtocolUnknown 4096, cvCipherNone 0, cvCipherRC2 1, cvCipherRC4 2, cvCipherRC5 4, cvCipherDES 8,
cvCipherDES3 16, cvCipherDESX 32, cvCipherAES 64, cvCipherSkipjack 128, cvCipherBlowfish 256,
cvCipherUnknown 4096, cvHashNone 0, cvHashMD5 1, cvHashSHA 2, cvHashSHA1 2, cvHashSHA2 4, cvHashSHA256 4,
cvHashSHA384 8, cvHashSHA512 16, cvHashUnknown 4096, cvKeyExchangeNone 0, cvKeyExchangeRSA 1,
cvKeyExchangeKEA 2, cvKeyExchangeDH 4, cvKeyExchangeECDH 8, cvKeyExchangeUnknown 4096,
cvCertificateNone 0, cvCertificateValid 1, cvCertificateNoMatch 2, cvCertificateExpired 3,
cvCertificateRevoked 4, cvCertificateUntrusted 5, cvCertificateInvalid 6
)";

// "name value" lines from a published list of "name value" pairs separated by commas.
std::string Lines(std::string list, std::string_view prefix, size_t drop) {
  for (char& c : list)
    if (c == ',') c = ' ';
  std::istringstream in(list);
  std::string name, number, text;
  while (in >> name >> number) text += std::string(prefix) + name.substr(drop) + " " + number + "\n";
  return text;
}

}  // namespace

std::string PublishedSecurityConstants() { return Lines(kSecurity, "", 0); }

std::string PublishedErrorConstants(std::string_view prefix) { return Lines(kPublished, prefix, 2); }

}  // namespace cvtest
