#include "platform/streams/FTPPlan.h"
#include "platform/Proxies.h"

#include <QList>
#include <QString>

namespace plat::streams {

bool SetFTPOption(FTPOptions& o, const QString& key, const PlistValue& value) {
    auto flag = [&](bool& out) {
        if (const bool* b = value.asBoolean())
            out = *b;
        else if (const int64_t* i = value.asInteger())
            out = *i != 0;
        else
            return false;
        return true;
    };
    if (key == kCFStreamPropertyFTPUserName) {
        if (!value.asString()) return false;
        o.user = *value.asString();
        return true;
    }
    if (key == kCFStreamPropertyFTPPassword) {
        if (!value.asString()) return false;
        o.password = *value.asString();
        return true;
    }
    if (key == kCFStreamPropertyFTPProxy) {
        if (!value.asDictionary()) return false;
        o.proxy = *value.asDictionary();
        return true;
    }
    if (key == kCFStreamPropertyFTPUsePassiveMode) return flag(o.passive);
    if (key == kCFStreamPropertyFTPAttemptPersistentConnection) return flag(o.persistent);
    return false;
}

namespace {

bool HasControlCharacter(const QByteArray& bytes) {
    return bytes.contains('\r') || bytes.contains('\n') || bytes.contains('\0');
}
bool HasControlCharacter(const QString& s) {
    return HasControlCharacter(s.toUtf8());
}

int64_t IntegerOf(const PlistValue* v, int64_t fallback) {
    if (!v) return fallback;
    if (const int64_t* i = v->asInteger()) return *i;
    if (const bool* b = v->asBoolean()) return *b ? 1 : 0;
    if (const QString* s = v->asString()) {
        bool ok = false;
        const int64_t n = s->toLongLong(&ok);
        return ok ? n : fallback;
    }
    return fallback;
}

QString HostForURL(const QString& host) {
    return host.contains(':') ? '[' + host + ']' : host;
}

// Each segment decoded and encoded again in full, so that curl sees no
// character it might read as syntax (";type=", "?", "#", brackets). An
// encoded "/" inside a segment stays encoded.
std::optional<QByteArray> EncodedPath(const QUrl& url, bool* controlCharacter) {
    const QByteArray encoded = url.path(QUrl::FullyEncoded).toLatin1();
    QByteArray out;
    const QList<QByteArray> segments = encoded.split('/');
    for (qsizetype i = 0; i < segments.size(); ++i) {
        const QByteArray raw = QByteArray::fromPercentEncoding(segments[i]);
        if (HasControlCharacter(raw)) {
            *controlCharacter = true;
            return std::nullopt;
        }
        if (i) out += '/';
        out += raw.toPercentEncoding();
    }
    if (!out.startsWith('/')) out.prepend('/');
    return out;
}

} // namespace

std::optional<FTPPlan> PlanTransfer(const QUrl& url, const FTPOptions& o, bool upload,
                                    CFStreamError* error) {
    auto refuse = [&](SInt32 code) {
        *error = {kCFStreamErrorDomainLoftwise, code};
        return std::nullopt;
    };
    const QString host = url.host(QUrl::FullyDecoded);
    const QString user = o.user ? *o.user : url.userName(QUrl::FullyDecoded);
    const QString password = o.password ? *o.password : url.password(QUrl::FullyDecoded);
    if (HasControlCharacter(host) || HasControlCharacter(user) || HasControlCharacter(password))
        return refuse(kLoftwiseStreamErrorControlCharacter);
    if (!url.isValid() || url.scheme().compare(QLatin1String("ftp"), Qt::CaseInsensitive) != 0 ||
        host.isEmpty())
        return refuse(kLoftwiseStreamErrorBadURL);
    bool control = false;
    const auto path = EncodedPath(url, &control);
    if (!path)
        return refuse(control ? kLoftwiseStreamErrorControlCharacter : kLoftwiseStreamErrorBadURL);
    // An upload needs a file name.
    if (upload && (path->endsWith('/') || path->endsWith("/.") || path->endsWith("/..")))
        return refuse(kLoftwiseStreamErrorBadURL);

    const int port = url.port(21);
    QString dialHost = url.host(QUrl::FullyEncoded);
    int dialPort = port;
    QString loginUser = user;
    FTPPlan plan;

    if (o.proxy) {
        const PlistDictionary& d = *o.proxy;
        auto find = [&](const QString& k) -> const PlistValue* {
            auto it = d.find(k);
            return it == d.end() ? nullptr : &it->second;
        };
        const PlistValue* proxyHost = find(kSCPropNetProxiesFTPProxy);
        const PlistValue* exceptions = find(kSCPropNetProxiesExceptionsList);
        const PlistValue* scheme = find(kLoftwisePropNetProxiesFTPProxyScheme);
        const bool enabled = IntegerOf(find(kSCPropNetProxiesFTPEnable), 0) != 0;
        const bool excepted = plat::ProxyExceptionMatches(
            host, exceptions && exceptions->asArray() ? *exceptions->asArray() : PlistArray{});
        if (enabled && proxyHost && proxyHost->asString() && !proxyHost->asString()->isEmpty() &&
            !excepted) {
            const QString ph = *proxyHost->asString();
            const QString sc = scheme && scheme->asString() ? scheme->asString()->toLower()
                                                            : QStringLiteral("ftp");
            const int pp = int(IntegerOf(find(kSCPropNetProxiesFTPPort), sc == "ftp" ? 21 : 1080));
            if (HasControlCharacter(ph)) return refuse(kLoftwiseStreamErrorControlCharacter);
            if (sc == QLatin1String("ftp")) {
                // An FTP proxy is logged in to as user@host[:port].
                const QString target = port == 21 ? host : host + ':' + QString::number(port);
                loginUser = (user.isEmpty() ? QStringLiteral("anonymous") : user) + '@' + target;
                const QByteArray ace = QUrl::toAce(ph);
                dialHost = ace.isEmpty() ? ph : QString::fromLatin1(ace);
                dialPort = pp;
            } else {
                plan.proxy =
                    (sc + "://" + HostForURL(ph) + ':' + QString::number(pp)).toStdString();
                plan.httpTunnel = sc.startsWith(QLatin1String("http"));
            }
        }
    }

    plan.url = ("ftp://" + HostForURL(dialHost) + ':' + QString::number(dialPort)).toStdString() +
               path->toStdString();
    plan.user = loginUser.toStdString();
    plan.password = password.toStdString();
    // curl's anonymous login, through an FTP proxy too.
    if (user.isEmpty() && password.isEmpty() && !plan.user.empty())
        plan.password = "ftp@example.com";
    plan.key = dialHost.toLower().toStdString() + '\n' + std::to_string(dialPort) + '\n' +
               plan.user + '\n' + plan.password + '\n' + plan.proxy;
    return plan;
}

} // namespace plat::streams

bool plat::HasControlCharacter(const QString& text) {
    return streams::HasControlCharacter(text.toUtf8());
}
