#pragma once
// The named bits and values of the FTP library, defined once for the library, the
// FileTransfer control, its type information and the tests: connect options, events,
// server features, text encodings, proxy types and the protocol bits that select SSH.
#include <cstdint>

namespace cvftp {

// Option bits of a session.
inline constexpr uint32_t kOptPassive = 0x1;
inline constexpr uint32_t kOptPassiveIgnoreAddress = 0x2;
inline constexpr uint32_t kOptNoLogin = 0x4;
inline constexpr uint32_t kOptKeepAlive = 0x8;
inline constexpr uint32_t kOptSendHost = 0x200;
inline constexpr uint32_t kOptNoCertCheck = 0x800;
inline constexpr uint32_t kOptTls = 0x1000;
inline constexpr uint32_t kOptTlsExplicit = 0x2000;
inline constexpr uint32_t kOptSftp = 0x4000;
inline constexpr uint32_t kOptTlsFallback = 0x8000;
inline constexpr uint32_t kOptNoPortInference = 0x10000;
inline constexpr uint32_t kOptKeepAliveData = 0x20000;
inline constexpr uint32_t kOptIpv6 = 0x40000;
inline constexpr uint32_t kOptVerify = 0x400;
inline constexpr uint32_t kOptStatusMilliseconds = 0x1000000;
inline constexpr uint32_t kOptInternalQuery = 0x10000000;
inline constexpr uint32_t kOptNoServerQueries = 0x40000000;

// Protocol-mask bits (SSH-1, SSH-2) of credentials or a property that ask for SFTP.
inline constexpr uint32_t kProtocolSsh = 0x300;

// Event bits.
inline constexpr uint32_t kEventConnected = 1;
inline constexpr uint32_t kEventDataConnected = 4;
inline constexpr uint32_t kEventDataClosed = 8;
inline constexpr uint32_t kEventDataReadable = 16;
inline constexpr uint32_t kEventDataWritable = 32;
inline constexpr uint32_t kEventTimeout = 64;
inline constexpr uint32_t kEventCanceled = 128;
inline constexpr uint32_t kEventCommandReply = 256;
inline constexpr uint32_t kEventProgress = 512;
inline constexpr uint32_t kEventDownloadStarting = 1024;
inline constexpr uint32_t kEventUploadStarting = 2048;

// Server feature bits (the FEAT keywords, and what the library assumes of a server).
inline constexpr uint32_t kFeatureSize = 0x1;
inline constexpr uint32_t kFeatureStat = 0x2;
inline constexpr uint32_t kFeatureMdtm = 0x4;
inline constexpr uint32_t kFeatureRest = 0x8;
inline constexpr uint32_t kFeatureSite = 0x10;
inline constexpr uint32_t kFeatureIdle = 0x20;
inline constexpr uint32_t kFeatureChmod = 0x40;
inline constexpr uint32_t kFeatureAuth = 0x80;
inline constexpr uint32_t kFeaturePbsz = 0x100;
inline constexpr uint32_t kFeatureProt = 0x200;
inline constexpr uint32_t kFeatureCcc = 0x400;
inline constexpr uint32_t kFeatureHost = 0x800;
inline constexpr uint32_t kFeatureMlst = 0x1000;
inline constexpr uint32_t kFeatureMfmt = 0x2000;
inline constexpr uint32_t kFeatureXcrc = 0x4000;
inline constexpr uint32_t kFeatureXmd5 = 0x8000;
inline constexpr uint32_t kFeatureLang = 0x10000;
inline constexpr uint32_t kFeatureUtf8 = 0x20000;
inline constexpr uint32_t kFeatureXquota = 0x40000;
inline constexpr uint32_t kFeatureUtime = 0x80000;
inline constexpr uint32_t kFeatureEprt = 0x100000;
inline constexpr uint32_t kFeatureEpsv = 0x200000;
inline constexpr uint32_t kFeatureTvfs = 0x400000;
// What a session assumes before FEAT answers (MDTM is not assumed).
inline constexpr uint32_t kInitialFeatures = kFeatureSize | kFeatureStat | kFeatureRest | kFeatureSite | kFeatureIdle |
                                             kFeatureChmod | kFeatureAuth | kFeaturePbsz | kFeatureProt | kFeatureCcc;
static_assert(kInitialFeatures == 2043);

// Text encodings of a session.
inline constexpr uint32_t kEncodingNone = 0;
inline constexpr uint32_t kEncodingAnsi = 1;
inline constexpr uint32_t kEncodingUtf8 = 2;

// Proxy types: how the login through a proxy or firewall goes.
inline constexpr uint32_t kProxyNone = 0;
inline constexpr uint32_t kProxyUser = 1;   // USER names user@host
inline constexpr uint32_t kProxyLogin = 2;  // the proxy's own USER/PASS, then USER user@host
inline constexpr uint32_t kProxyOpen = 3;   // OPEN host
inline constexpr uint32_t kProxySite = 4;   // the proxy's own USER/PASS, then SITE host
inline constexpr uint32_t kProxyOther = 255;

}  // namespace cvftp
