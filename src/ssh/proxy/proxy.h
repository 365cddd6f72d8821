#pragma once
// Connections of the SSH layer through a proxy: the layer decides from the settings
// whether a destination is reached directly, through an HTTP CONNECT, SOCKS 4/4A,
// SOCKS 5 or telnet-style proxy, or through a local command. A proxy connection looks
// to its owner like any other SshSocket: until the proxy agrees, the owner's output is
// held back and the proxy's answers are consumed.
#include <cstdint>
#include <string>
#include <vector>

#include "ssh/net/ssh_net.h"

struct SshSettings;

// Closing codes of a failed negotiation: the proxy refused or answered in a way the
// layer does not accept (8000); an event the negotiation does not expect (8001).
inline constexpr uint32_t kProxyErrorRefused = 8000;
inline constexpr uint32_t kProxyErrorUnexpected = 8001;

// Proxy types of SshSettings::ProxyType.
inline constexpr uint32_t kProxyNone = 0;
inline constexpr uint32_t kProxySocks4 = 1;
inline constexpr uint32_t kProxySocks5 = 2;
inline constexpr uint32_t kProxyHttp = 3;
inline constexpr uint32_t kProxyTelnet = 4;
inline constexpr uint32_t kProxyLocalCommand = 5;

// 1 when the proxy is to be used for this destination (address may be null).
int32_t ProxyIsWanted(const SshAddress* address, const char* hostName, const SshSettings* settings);
// An unresolved address holding the name when the proxy is to resolve it, else the
// ordinary lookup. The canonical name (when asked for) is a new text.
SshAddress* ProxyLookupName(const char* host, char** canonicalName, const SshSettings* settings, int32_t family);
// A connection to the destination, through the proxy when one is wanted; takes the
// address over. Check Error() of the result.
SshSocket* ProxyNewConnection(SshAddress* address, const char* canonicalHost, int32_t port, int32_t keepAlive,
                              SshPlug* plug, const SshSettings* settings);
// Listeners never go through a proxy.
SshSocket* ProxyNewListener(const char* sourceAddress, int32_t port, SshPlug* plug, int32_t localOnly,
                            int32_t family);
// ProxyCommand with its %-keywords and backslash escapes replaced (a new text).
char* ProxyFormatCommand(const SshAddress* address, int32_t port, const SshSettings* settings);
// The words of the local command: ProxyCommand split by its own blanks and quotes, each
// keyword's value inserted whole into the word it stands in.
std::vector<std::string> ProxyCommandWords(const SshAddress* address, int32_t port, const SshSettings* settings);
