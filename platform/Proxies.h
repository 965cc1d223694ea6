// The system proxy settings, from the environment: ftp_proxy / FTP_PROXY
// (else all_proxy / ALL_PROXY) as "scheme://host:port", no_proxy as the
// exceptions, FTP_PASSIVE_MODE for the passive flag (passive unless it says
// no, 0 or false).
#pragma once

#include "platform/PropertyList.h"

#include <optional>

extern const QString kSCPropNetProxiesFTPEnable;      // integer 1 when a proxy is set
extern const QString kSCPropNetProxiesFTPProxy;       // string: host
extern const QString kSCPropNetProxiesFTPPort;        // integer
extern const QString kSCPropNetProxiesFTPPassive;     // integer: 1 passive, 0 active
extern const QString kSCPropNetProxiesExceptionsList; // array of strings
// The proxy's protocol: "ftp" (an FTP proxy that is logged in to as
// user@host), "http" (CONNECT tunnel), "socks4", "socks4a", "socks5",
// "socks5h". Absent means "ftp".
extern const QString kLoftwisePropNetProxiesFTPProxyScheme;

// Always a dictionary (the store argument is ignored); it holds at least
// the passive flag.
std::optional<PlistDictionary> SCDynamicStoreCopyProxies(void* store);

namespace plat {

// True when host matches an entry of an exceptions list: "*", a host name
// ("example.com" also covers its subdomains, ".example.com" and
// "*.example.com" only them), an address, or a network ("10.0.0.0/8",
// "169.254/16"). Loopback hosts never use a proxy.
bool ProxyExceptionMatches(const QString& host, const PlistArray& exceptions);

} // namespace plat
