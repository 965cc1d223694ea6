#include "platform/Proxies.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QUrl>

const QString kSCPropNetProxiesFTPEnable = QStringLiteral("FTPEnable");
const QString kSCPropNetProxiesFTPProxy = QStringLiteral("FTPProxy");
const QString kSCPropNetProxiesFTPPort = QStringLiteral("FTPPort");
const QString kSCPropNetProxiesFTPPassive = QStringLiteral("FTPPassive");
const QString kSCPropNetProxiesExceptionsList = QStringLiteral("ExceptionsList");
const QString kLoftwisePropNetProxiesFTPProxyScheme = QStringLiteral("FTPProxyScheme");

namespace {

// The lower-case spelling wins, as with curl and wget.
QString Env(const char* lower, const char* upper) {
    QString v = qEnvironmentVariable(lower).trimmed();
    if (v.isEmpty()) v = qEnvironmentVariable(upper).trimmed();
    return v;
}

int DefaultPort(const QString& scheme) {
    if (scheme == QLatin1String("ftp")) return 21;
    if (scheme == QLatin1String("http")) return 80;
    if (scheme == QLatin1String("https")) return 443;
    return 1080; // SOCKS
}

bool KnownScheme(const QString& scheme) {
    static const QStringList known = {"ftp",     "http",   "https",  "socks4",
                                      "socks4a", "socks5", "socks5h"};
    return known.contains(scheme);
}

// "10.1/16" (the form the Mac network settings accept) as "10.1.0.0/16".
QString CompleteIPv4Network(const QString& network) {
    const qsizetype slash = network.indexOf('/');
    QString addr = network.left(slash);
    if (addr.contains(':') || addr.isEmpty()) return network;
    static const QRegularExpression partial(QStringLiteral("^\\d+(\\.\\d+){0,3}$"));
    if (!partial.match(addr).hasMatch()) return network;
    while (addr.count('.') < 3)
        addr += QStringLiteral(".0");
    return addr + network.mid(slash);
}

} // namespace

std::optional<PlistDictionary> SCDynamicStoreCopyProxies(void* /*store*/) {
    PlistDictionary d;
    QString proxy = Env("ftp_proxy", "FTP_PROXY");
    if (proxy.isEmpty()) proxy = Env("all_proxy", "ALL_PROXY");
    bool enabled = false;
    if (!proxy.isEmpty()) {
        // A bare "host:port" is an HTTP proxy, as curl and wget read it.
        const QUrl url(proxy.contains(QLatin1String("://")) ? proxy : "http://" + proxy,
                       QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (url.isValid() && !url.host().isEmpty() && KnownScheme(scheme)) {
            enabled = true;
            d[kSCPropNetProxiesFTPProxy] = url.host();
            d[kSCPropNetProxiesFTPPort] = PlistValue::integer(url.port(DefaultPort(scheme)));
            d[kLoftwisePropNetProxiesFTPProxyScheme] = scheme;
        }
    }
    d[kSCPropNetProxiesFTPEnable] = PlistValue::integer(enabled ? 1 : 0);

    const QString noProxy = Env("no_proxy", "NO_PROXY");
    if (!noProxy.isEmpty()) {
        PlistArray list;
        static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
        for (const QString& e : noProxy.split(separators, Qt::SkipEmptyParts))
            list.push_back(e);
        d[kSCPropNetProxiesExceptionsList] = list;
    }

    const QString passive = qEnvironmentVariable("FTP_PASSIVE_MODE").trimmed().toLower();
    const bool active = passive == QLatin1String("no") || passive == QLatin1String("0") ||
                        passive == QLatin1String("false");
    d[kSCPropNetProxiesFTPPassive] = PlistValue::integer(active ? 0 : 1);
    return d;
}

namespace plat {

bool ProxyExceptionMatches(const QString& hostIn, const PlistArray& exceptions) {
    QString host = hostIn.trimmed().toLower();
    if (host.startsWith('[') && host.endsWith(']')) host = host.mid(1, host.size() - 2);
    if (host.endsWith('.')) host.chop(1);
    const QHostAddress address(host);
    const bool isAddress = !address.isNull();

    // A proxy cannot reach this machine's loopback interface for us.
    if (host == QLatin1String("localhost") || host.endsWith(QLatin1String(".localhost")) ||
        (isAddress && address.isLoopback()))
        return true;

    for (const PlistValue& v : exceptions) {
        const QString* s = v.asString();
        if (!s) continue;
        QString e = s->trimmed().toLower();
        if (e.isEmpty()) continue;
        if (e == QLatin1String("*")) return true;
        if (e.contains('/')) {
            if (!isAddress) continue;
            const auto subnet = QHostAddress::parseSubnet(CompleteIPv4Network(e));
            if (subnet.second >= 0 && address.isInSubnet(subnet)) return true;
            continue;
        }
        if (e.startsWith('[') && e.endsWith(']')) e = e.mid(1, e.size() - 2);
        const QHostAddress entryAddress(e);
        if (!entryAddress.isNull()) {
            if (isAddress && entryAddress.isEqual(address)) return true;
            continue;
        }
        if (isAddress) continue;
        if (e.startsWith('*')) e.remove(0, 1);
        if (e.endsWith('.')) e.chop(1);
        if (e.startsWith('.')) {
            if (host.endsWith(e)) return true;
        } else if (host == e || host.endsWith('.' + e)) {
            return true;
        }
    }
    return false;
}

} // namespace plat
