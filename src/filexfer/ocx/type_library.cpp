// The type library FileTransferCtl: the class, its dual and event interfaces, and the
// enumerations whose values the properties and methods take.
#include "filexfer/ocx/file_transfer.h"
#include "ftp/ftp_bits.h"
#include "http/http_bits.h"
#include "ocx/type_constants.h"

namespace filexfer {
namespace {

using C = plat::com::TypeConstant;

constexpr C kPort[] = {{"filePortUndefined", 0}, {"filePortFTP", 21},  {"filePortFTPS", 990}, {"filePortHTTP", 80},
                       {"filePortHTTPS", 443},   {"filePortSSH", 22}, {"filePortSFTP", 22}};
constexpr C kOptions[] = {{"fileOptionNone", 0},
                          {"fileOptionNoCache", cvhttp::kOptNoCache},
                          {"fileOptionSecure", cvftp::kOptTls},
                          {"fileOptionSecureImplicit", cvftp::kOptTls},
                          {"fileOptionSecureExplicit", cvftp::kOptTlsExplicit},
                          {"fileOptionSecureShell", cvftp::kOptSftp},
                          {"fileOptionSecureFallback", cvftp::kOptTlsFallback},
                          {"fileOptionIpv6Only", cvftp::kOptIpv6}};
constexpr C kServerType[] = {
    {"fileServerUndefined", 0}, {"fileServerUnknown", 0}, {"fileServerFTP", 1}, {"fileServerHTTP", 2}};
constexpr C kDirectoryFormat[] = {{"fileDirectoryAutoDetect", 0}, {"fileDirectoryUnix", 1},
                                  {"fileDirectoryMsdos", 2},      {"fileDirectoryVms", 3},
                                  {"fileDirectorySterling1", 4},  {"fileDirectorySterling2", 5},
                                  {"fileDirectoryNetWare", 6}};
constexpr C kFileType[] = {{"fileTypeDefault", 0}, {"fileTypeText", 1},  {"fileTypeBinary", 3}, {"fileTypeAuto", 0},
                           {"fileTypeASCII", 1},   {"fileTypeEBCDIC", 2}, {"fileTypeImage", 3}};
constexpr C kEncoding[] = {{"fileEncodingNone", cvftp::kEncodingNone},
                           {"fileEncodingANSI", cvftp::kEncodingAnsi},
                           {"fileEncodingUTF8", cvftp::kEncodingUtf8},
                           {"fileEncodingDefault", cvftp::kEncodingAnsi}};
constexpr C kVerify[] = {{"fileVerifyDefault", 0}, {"fileVerifySize", 1}, {"fileVerifyCRC32", 2}, {"fileVerifyMD5", 4}};
constexpr C kFileList[] = {{"fileListDefault", 0}, {"fileListNameOnly", 1}};
constexpr C kPermissions[] = {{"filePermWorldExecute", 1},  {"filePermWorldWrite", 2},   {"filePermWorldRead", 4},
                              {"filePermGroupExecute", 16}, {"filePermGroupWrite", 32},  {"filePermGroupRead", 64},
                              {"filePermOwnerExecute", 256}, {"filePermOwnerWrite", 512}, {"filePermOwnerRead", 1024},
                              {"filePermSymbolicLink", 4096}};
constexpr C kSterlingStatus[] = {{"fileSterlingStatusTcp", 67108864},  {"fileSterlingStatusFtp", 134217728},
                                 {"fileSterlingStatusBsc", 268435456}, {"fileSterlingStatusAsc", 536870912},
                                 {"fileSterlingStatusFts", 1073741824}, {"fileSterlingStatusOther", INT32_MIN}};
constexpr C kProxyType[] = {{"fileProxyNone", cvftp::kProxyNone},      {"fileProxyFtpUser", cvftp::kProxyUser},
                            {"fileProxyLogin", cvftp::kProxyLogin},    {"fileProxyOpen", cvftp::kProxyOpen},
                            {"fileProxySite", cvftp::kProxySite},      {"fileProxyOther", cvftp::kProxyOther},
                            {"fileProxyCern", cvhttp::kProxyCern},     {"fileProxyTunnel", cvhttp::kProxyTunnel},
                            {"fileProxyWindows", cvhttp::kProxySystem}};
constexpr C kState[] = {{"fileStateUnused", 0}, {"fileStateIdle", 1},     {"fileStateConnecting", 2},
                        {"fileStateLogin", 3},  {"fileStateTransfer", 4}, {"fileStateFileList", 5}};
constexpr C kFeature[] = {{"fileFeatureNone", 0},
                          {"fileFeatureAll", -1},
                          {"fileFeatureSIZE", cvftp::kFeatureSize},
                          {"fileFeatureSTAT", cvftp::kFeatureStat},
                          {"fileFeatureMDTM", cvftp::kFeatureMdtm},
                          {"fileFeatureREST", cvftp::kFeatureRest},
                          {"fileFeatureSITE", cvftp::kFeatureSite},
                          {"fileFeatureIDLE", cvftp::kFeatureIdle},
                          {"fileFeatureCHMOD", cvftp::kFeatureChmod},
                          {"fileFeatureAUTH", cvftp::kFeatureAuth},
                          {"fileFeaturePBSZ", cvftp::kFeaturePbsz},
                          {"fileFeaturePROT", cvftp::kFeatureProt},
                          {"fileFeatureCCC", cvftp::kFeatureCcc},
                          {"fileFeatureHOST", cvftp::kFeatureHost},
                          {"fileFeatureMLST", cvftp::kFeatureMlst},
                          {"fileFeatureMFMT", cvftp::kFeatureMfmt},
                          {"fileFeatureXCRC", cvftp::kFeatureXcrc},
                          {"fileFeatureXMD5", cvftp::kFeatureXmd5},
                          {"fileFeatureLANG", cvftp::kFeatureLang},
                          {"fileFeatureUTF8", cvftp::kFeatureUtf8},
                          {"fileFeatureXQUOTA", cvftp::kFeatureXquota},
                          {"fileFeatureUTIME", cvftp::kFeatureUtime}};
constexpr C kActivePort[] = {{"fileActivePortLow", 0}, {"fileActivePortHigh", 1}};
constexpr C kChannel[] = {
    {"ftpChannelCommand", 0}, {"ftpChannelData", 1}, {"ftpChannelClear", 0}, {"ftpChannelSecure", 1}};
constexpr C kSecureProtocol[] = {{"fileProtocolNone", 0},  {"fileProtocolDefault", 28}, {"fileProtocolSSL2", 1},
                                 {"fileProtocolSSL3", 2},  {"fileProtocolSSL", 2},      {"fileProtocolTLS10", 4},
                                 {"fileProtocolTLS11", 8}, {"fileProtocolTLS12", 16},   {"fileProtocolTLS1", 28},
                                 {"fileProtocolTLS", 28},  {"fileProtocolSSH1", 256},   {"fileProtocolSSH2", 512},
                                 {"fileProtocolSSH", 768}};
constexpr C kCipher[] = {{"fileCipherNone", 0}, {"fileCipherRC2", 1},  {"fileCipherRC4", 2},
                         {"fileCipherRC5", 4},  {"fileCipherDES", 8},  {"fileCipherDES3", 16},
                         {"fileCipherDESX", 32}, {"fileCipherAES", 64}, {"fileCipherSkipjack", 128},
                         {"fileCipherBlowfish", 256}};
constexpr C kHash[] = {{"fileHashNone", 0},   {"fileHashMD5", 1},    {"fileHashSHA", 2},    {"fileHashSHA1", 2},
                       {"fileHashSHA2", 4},   {"fileHashSHA256", 4}, {"fileHashSHA384", 8}, {"fileHashSHA512", 16}};
constexpr C kKeyExchange[] = {{"fileKeyExchangeNone", 0}, {"fileKeyExchangeRSA", 1}, {"fileKeyExchangeKEA", 2},
                              {"fileKeyExchangeDH", 4},   {"fileKeyExchangeECDH", 8}};
constexpr C kCertificate[] = {{"fileCertificateNone", 0},      {"fileCertificateValid", 1},
                              {"fileCertificateNoMatch", 2},   {"fileCertificateExpired", 3},
                              {"fileCertificateRevoked", 4},   {"fileCertificateUntrusted", 5},
                              {"fileCertificateInvalid", 6}};

}  // namespace

const plat::com::TypeLibDesc& FileTransferTypeLibrary() {
  static const plat::com::TypeLibDesc library{
      kFileTransferDescriptor.typeLibId,
      "FileTransferCtl",
      1,
      0,
      kFileTransferDescriptor.clsid,
      "FileTransfer",
      kFileTransferDescriptor.description,
      {kFileTransferDescriptor.dualIid, "IFileTransfer", &IFileTransfer::DispatchTable()},
      {kFileTransferDescriptor.eventIid, "_IFileTransferEvents", &_IFileTransferEvents::DispatchTable()},
      {
          {"PortConstants", kPort},
          {"OptionsConstants", kOptions},
          {"ServerTypeConstants", kServerType},
          {"DirectoryFormatConstants", kDirectoryFormat},
          {"FileTypeConstants", kFileType},
          {"EncodingConstants", kEncoding},
          {"VerifyConstants", kVerify},
          {"FileListConstants", kFileList},
          {"PermissionsConstants", kPermissions},
          {"SterlingStatusConstants", kSterlingStatus},
          {"ProxyTypeConstants", kProxyType},
          {"StateConstants", kState},
          {"PriorityConstants", ocx::PriorityConstants("filePriority")},
          {"FeatureConstants", kFeature},
          {"ActivePortConstants", kActivePort},
          {"ChannelConstants", kChannel},
          {"SecureProtocolConstants", kSecureProtocol},
          {"CipherConstants", kCipher},
          {"HashConstants", kHash},
          {"KeyExchangeConstants", kKeyExchange},
          {"CertificateConstants", kCertificate},
          {"TraceConstants", ocx::TraceConstants("fileTrace")},
          {"SecurityConstants", ocx::SecurityConstants()},
          ocx::ErrorCodesEnum(),
      },
  };
  return library;
}

}  // namespace filexfer
