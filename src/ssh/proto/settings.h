#pragma once
// The configuration of one SSH connection: one flat record, zero-filled before any field
// is set, copied whole into the session and read only from that copy.
#include <cstdint>

// Who resolves the destination's name when a proxy is used (ProxyDns).
inline constexpr uint32_t kProxyDnsAtProxy = 0;
inline constexpr uint32_t kProxyDnsLocal = 1;
inline constexpr uint32_t kProxyDnsAuto = 2;  // at the proxy, unless it speaks SOCKS 4

// Which protocol versions may be spoken (ProtocolPreference).
inline constexpr uint32_t kSshOnly1 = 0;
inline constexpr uint32_t kSshPrefer1 = 1;
inline constexpr uint32_t kSshPrefer2 = 2;
inline constexpr uint32_t kSshOnly2 = 3;

struct SshSettings {
  char HostName[512];
  uint32_t Port;
  uint32_t AddressFamily;  // 0 any, 1 IPv4 only, 2 IPv6 only
  uint32_t PingIntervalSeconds;
  uint32_t TcpKeepAlive;
  uint32_t TimeoutSeconds;
  char ProxyExclusions[512];
  uint32_t ProxyDns;
  uint32_t ProxyLocalhost;
  uint32_t ProxyType;
  char ProxyHost[512];
  uint32_t ProxyPort;
  char ProxyUserName[128];
  char ProxyPassword[128];
  char ProxyCommand[512];
  char RemoteCommand[512];
  const char* RemoteCommandText;  // used instead of RemoteCommand when set
  const char* FallbackCommand;
  uint32_t NoPty;
  uint32_t Compression;
  uint32_t KexOrder[4];  // 1 group 1, 2 group 14, 3 group exchange, 0 marker
  uint32_t RekeyMinutes;
  char RekeyData[20];
  uint32_t ChangeUserName;
  uint32_t CipherOrder[6];  // 1 3DES, 2 Blowfish, 3 AES, 4 DES, 5 Arcfour, 0 marker
  char KeyFile[260];
  uint32_t ProtocolPreference;
  uint32_t AllowSingleDes;
  uint32_t NoUserAuth;
  uint32_t TryKeyboardInteractive;
  uint32_t RemoteCommandIsSubsystem;
  uint32_t FallbackIsSubsystem;
  uint32_t NoSessionChannel;
  char DirectTcpipHost[512];
  uint32_t DirectTcpipPort;
  char TerminalType[32];
  char TerminalSpeeds[32];
  char Environment[1024];  // entries "name\tvalue\0", the list ended by an empty entry
  char UserName[100];
  char Password[100];
  uint32_t X11Forward;
  char X11Display[128];
  uint32_t X11AuthType;
  uint32_t LocalPortsAcceptAll;
  uint32_t RemotePortsAcceptAll;
  char PortForwards[1024];
  uint32_t CompatSwitches[10];  // 0 always on, 2 decided from the server version, else off
  uint32_t Ssh1ChallengeAuth;
  uint32_t TerminalWidth;
  uint32_t TerminalHeight;
};

// The values every connection starts from: what the SFTP connect sets before applying
// its arguments (host, port, user and password stay empty).
void SshSettingsSetDefaults(SshSettings* settings);
