// URL loading over QtNetwork: one access manager per thread, each transfer a
// QNetworkReply whose signals are turned into delegate callbacks. A callback
// may cancel or release its transfer, so after each one the transfer checks
// that it still exists and still runs before it goes on.
#include "platform/URLLoading.h"

#include "platform/Bundle.h"
#include "platform/UniqueFd.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxNameBytes = 255;

// The main thread's manager, deleted while the application object is still
// whole: its network thread delivers events as it stops, and a child of the
// application is deleted only after the application is gone.
QPointer<QNetworkAccessManager> gMainThreadManager;

QNetworkAccessManager* ThreadManager() {
    thread_local QPointer<QNetworkAccessManager> manager;
    if (!manager) {
        manager = new QNetworkAccessManager;
        // Gone with the application (main thread) or with its thread.
        QCoreApplication* app = QCoreApplication::instance();
        if (app && app->thread() == QThread::currentThread()) {
            manager->setParent(app);
            gMainThreadManager = manager;
            qAddPostRoutine([] { delete gMainThreadManager.data(); });
        } else if (QThread* t = QThread::currentThread()) {
            QObject::connect(t, &QThread::finished, manager.data(), &QObject::deleteLater);
        }
    }
    return manager;
}

bool CanLoad(const NSURLRequest& request) {
    const QString scheme = request.URL.scheme().toLower();
    return request.URL.isValid() && !request.URL.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

int TimeoutMs(const NSURLRequest& request) {
    double seconds = request.timeoutInterval;
    if (!(seconds > 0)) seconds = 60.0;
    long long ms = static_cast<long long>(std::min(seconds * 1000.0, 1e9));
    if (const char* cap = getenv("LOFTWISE_URL_TIMEOUT_MS")) {
        char* end = nullptr;
        const long long v = strtoll(cap, &end, 10);
        if (end != cap && v > 0) ms = std::min(ms, v);
    }
    return static_cast<int>(std::max(ms, 1LL));
}

NSError MakeError(long code, const QString& description, const NSURLRequest& request) {
    NSError e;
    e.code = code;
    e.description = description;
    e.failingURLString = request.URL.toString(QUrl::RemovePassword);
    return e;
}

NSError ErrorForReply(QNetworkReply::NetworkError error, const NSURLRequest& request) {
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
    case QNetworkReply::UnknownProxyError:
        return MakeError(NSURLErrorCannotConnectToHost,
                         plat::PlatformText("Could not connect to the server."), request);
    case QNetworkReply::HostNotFoundError:
        return MakeError(
            NSURLErrorCannotFindHost,
            plat::PlatformText("A server with the specified hostname could not be found."),
            request);
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::OperationCanceledError: // the transfer time-out aborts the reply
        return MakeError(NSURLErrorTimedOut, plat::PlatformText("The request timed out."), request);
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
        return MakeError(NSURLErrorNetworkConnectionLost,
                         plat::PlatformText("The network connection was lost."), request);
    case QNetworkReply::ProtocolUnknownError:
        return MakeError(NSURLErrorUnsupportedURL, plat::PlatformText("The URL is not supported."),
                         request);
    case QNetworkReply::SslHandshakeFailedError:
        return MakeError(NSURLErrorCannotConnectToHost,
                         plat::PlatformText("A secure connection to the server could not be made."),
                         request);
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::InsecureRedirectError:
    case QNetworkReply::ProtocolFailure:
        return MakeError(NSURLErrorBadServerResponse,
                         plat::PlatformText("The server's answer could not be read."), request);
    default:
        return MakeError(NSURLErrorUnknown, plat::PlatformText("An unknown error occurred."),
                         request);
    }
}

// Whether Qt's error only restates an HTTP error status, which is a normal
// answer for a connection.
bool IsStatusError(QNetworkReply::NetworkError error) {
    const int e = static_cast<int>(error);
    return (e >= 201 && e <= 299) || (e >= 401 && e <= 499) ||
           error == QNetworkReply::ProtocolInvalidOperationError;
}

QString TruncateUtf8(const QString& s, qsizetype maxBytes) {
    qsizetype bytes = 0, i = 0;
    while (i < s.size()) {
        const qsizetype len =
            s[i].isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate() ? 2 : 1;
        const qsizetype b = QStringView(s).mid(i, len).toUtf8().size();
        if (bytes + b > maxBytes) break;
        bytes += b;
        i += len;
    }
    return s.left(i);
}

// "Name.ext" as stem "Name" and extension ".ext" (a leading dot starts no
// extension).
std::pair<QString, QString> SplitExtension(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0) return {name, QString()};
    return {name.left(dot), name.mid(dot)};
}

// name, or "stem-n.ext" for n > 0, within kMaxNameBytes and keeping the
// extension when it is short enough to keep.
QString NameWithNumber(const QString& name, int n) {
    auto [stem, ext] = SplitExtension(name);
    if (ext.toUtf8().size() > 32) {
        stem = name;
        ext.clear();
    }
    const QString suffix = n > 0 ? QStringLiteral("-%1").arg(n) : QString();
    const qsizetype room = kMaxNameBytes - (suffix + ext).toUtf8().size();
    return TruncateUtf8(stem, room) + suffix + ext;
}

// A plain, visible file name from what a server or URL suggests.
QString SafeFileName(const QString& suggested) {
    const qsizetype cut =
        std::max(suggested.lastIndexOf(QLatin1Char('/')), suggested.lastIndexOf(QLatin1Char('\\')));
    QString name;
    for (QChar c : QStringView(suggested).mid(cut + 1))
        if (c.category() != QChar::Other_Control) name += c;
    qsizetype start = 0;
    while (start < name.size() &&
           (name[start] == QLatin1Char('.') || name[start] == QLatin1Char(' ')))
        ++start;
    name = name.mid(start);
    if (name.isEmpty()) return QStringLiteral("Unknown");
    return NameWithNumber(name, 0);
}

// The filename* (RFC 5987) or filename parameter of a Content-Disposition.
QString DispositionFilename(const QByteArray& header) {
    const QString h = QString::fromUtf8(header);
    QString plain, extended;
    bool havePlain = false, haveExtended = false;
    qsizetype i = h.indexOf(QLatin1Char(';'));
    if (i < 0) return {};
    while (i < h.size()) {
        while (i < h.size() && (h[i] == QLatin1Char(';') || h[i].isSpace()))
            ++i;
        const qsizetype nameStart = i;
        while (i < h.size() && h[i] != QLatin1Char('=') && h[i] != QLatin1Char(';'))
            ++i;
        const QString key = h.mid(nameStart, i - nameStart).trimmed().toLower();
        if (i >= h.size() || h[i] != QLatin1Char('=')) continue;
        ++i;
        while (i < h.size() && h[i].isSpace())
            ++i;
        QString value;
        if (i < h.size() && h[i] == QLatin1Char('"')) {
            ++i;
            while (i < h.size() && h[i] != QLatin1Char('"')) {
                if (h[i] == QLatin1Char('\\') && i + 1 < h.size()) ++i;
                value += h[i++];
            }
            ++i;
        } else {
            const qsizetype start = i;
            while (i < h.size() && h[i] != QLatin1Char(';'))
                ++i;
            value = h.mid(start, i - start).trimmed();
        }
        if (key == QLatin1String("filename*") && !haveExtended) {
            // charset'language'percent-encoded
            const qsizetype q1 = value.indexOf(QLatin1Char('\''));
            const qsizetype q2 = q1 < 0 ? -1 : value.indexOf(QLatin1Char('\''), q1 + 1);
            if (q2 < 0) continue;
            const QString charset = value.left(q1).toLower();
            const QByteArray bytes = QByteArray::fromPercentEncoding(value.mid(q2 + 1).toLatin1());
            if (charset == QLatin1String("utf-8"))
                extended = QString::fromUtf8(bytes);
            else if (charset == QLatin1String("iso-8859-1"))
                extended = QString::fromLatin1(bytes);
            else
                continue;
            haveExtended = true;
        } else if (key == QLatin1String("filename") && !havePlain) {
            plain = value;
            havePlain = true;
        }
    }
    return haveExtended && !extended.isEmpty() ? extended : plain;
}

NSURLResponse ResponseOf(QNetworkReply* reply) {
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    const long long expected = length.isValid() ? length.toLongLong() : NSURLResponseUnknownLength;
    const QString mime = QString::fromLatin1(reply->rawHeader("Content-Type"))
                             .section(QLatin1Char(';'), 0, 0)
                             .trimmed();
    QString suggested = DispositionFilename(reply->rawHeader("Content-Disposition"));
    if (suggested.isEmpty()) suggested = reply->url().fileName(QUrl::FullyDecoded);
    return NSURLResponse(reply->url(), expected, mime, SafeFileName(suggested),
                         reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
}

bool IsFollowedRedirect(QNetworkReply* reply) {
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) &&
           reply->hasRawHeader("Location");
}

// The reply's life shared by connections and downloads: start from the
// event loop, headers once, data, then the end.
class Transfer {
public:
    Transfer(QObject* owner, const NSURLRequest& request) : m_owner(owner), m_request(request) {}
    virtual ~Transfer() { stopReply(); }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Starts from the event loop, so that even an immediate failure is
    // reported from there.
    void start(bool identityEncoding) {
        QTimer::singleShot(0, m_owner, [this, identityEncoding] {
            if (m_stopped) return;
            QNetworkRequest req(m_request.URL);
            if (m_request.cachePolicy == NSURLRequestReloadIgnoringLocalCacheData)
                req.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                                 QNetworkRequest::AlwaysNetwork);
            if (identityEncoding) req.setRawHeader("Accept-Encoding", "identity");
            req.setTransferTimeout(TimeoutMs(m_request));
            m_reply = ThreadManager()->get(req);
            QObject::connect(m_reply, &QNetworkReply::metaDataChanged, m_owner, [this] {
                if (!IsFollowedRedirect(m_reply)) deliverHeaders();
            });
            QObject::connect(m_reply, &QNetworkReply::readyRead, m_owner, [this] {
                if (deliverHeaders()) deliverData();
            });
            QObject::connect(m_reply, &QNetworkReply::finished, m_owner, [this] { end(); });
        });
    }

    // No callback after this one.
    void stop() {
        m_stopped = true;
        stopReply();
    }

protected:
    // True when the transfer still runs after fn (a delegate callback).
    template <typename Fn> bool call(Fn fn) {
        QPointer<QObject> alive(m_owner);
        fn();
        return alive && !m_stopped;
    }

    void fail(const NSError& error) {
        stop();
        failed(error);
    }

    virtual bool headers(const NSURLResponse& response) = 0;
    virtual bool data(const QByteArray& bytes) = 0;
    virtual void finished() = 0;
    virtual void failed(const NSError& error) = 0;
    // Whether an error status is an answer like any other.
    virtual bool statusErrorIsAnswer() const = 0;

    QObject* m_owner;
    NSURLRequest m_request;
    QString m_reason; // the status line's reason phrase
    bool m_stopped = false;

private:
    void stopReply() {
        if (!m_reply) return;
        QNetworkReply* r = std::exchange(m_reply, nullptr);
        r->disconnect(m_owner);
        // A reply with an HTTP error status has queued that error; closing
        // it now would report a second one. Deleting it stops it as well.
        if (r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() < 400) r->close();
        r->deleteLater();
    }

    // The response, once; false when the transfer no longer runs.
    bool deliverHeaders() {
        if (m_stopped) return false;
        if (m_headersDone) return true;
        m_headersDone = true;
        m_reason = m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        const NSURLResponse response = ResponseOf(m_reply);
        m_expected = response.expectedContentLength();
        const QByteArray encoding = m_reply->rawHeader("Content-Encoding").trimmed().toLower();
        m_countable = encoding.isEmpty() || encoding == "identity";
        return headers(response);
    }

    bool deliverData() {
        if (m_stopped || !m_reply) return false;
        const QByteArray bytes = m_reply->readAll();
        if (bytes.isEmpty()) return true;
        m_received += bytes.size();
        return data(bytes);
    }

    void end() {
        if (m_stopped || !m_reply) return;
        const QNetworkReply::NetworkError error = m_reply->error();
        const bool answered =
            m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        if (error != QNetworkReply::NoError && !(answered && IsStatusError(error))) {
            fail(ErrorForReply(error, m_request));
            return;
        }
        if (!deliverHeaders() || !deliverData()) return;
        if (error != QNetworkReply::NoError && !statusErrorIsAnswer()) {
            fail(ErrorForReply(error, m_request));
            return;
        }
        // A body cut short without Qt noticing is a failure too.
        if (m_countable && m_expected >= 0 && m_received < m_expected) {
            fail(ErrorForReply(QNetworkReply::RemoteHostClosedError, m_request));
            return;
        }
        stopReply();
        m_stopped = true;
        finished();
    }

    QNetworkReply* m_reply = nullptr;
    bool m_headersDone = false;
    bool m_countable = true;
    long long m_expected = NSURLResponseUnknownLength;
    long long m_received = 0;
};

mode_t CurrentUmask() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok) return static_cast<mode_t>(mask);
            }
    }
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}

bool Exists(const QByteArray& path) {
    struct stat st;
    return lstat(path.constData(), &st) == 0 || errno != ENOENT;
}

} // namespace

// ---------------------------------------------------------------------------

struct NSURLConnection::Private : Transfer {
    Private(NSURLConnection* q, const NSURLRequest& request, NSURLConnectionDelegate* delegate)
        : Transfer(q, request), q(q), delegate(delegate) {}

    bool headers(const NSURLResponse& response) override {
        return call([&] { delegate->connectionDidReceiveResponse(q, response); });
    }
    bool data(const QByteArray& bytes) override {
        return call([&] { delegate->connectionDidReceiveData(q, bytes); });
    }
    void finished() override { delegate->connectionDidFinishLoading(q); }
    void failed(const NSError& error) override { delegate->connectionDidFailWithError(q, error); }
    bool statusErrorIsAnswer() const override { return true; }

    NSURLConnection* q;
    NSURLConnectionDelegate* delegate;
};

NSURLConnection* NSURLConnection::connectionWithRequestDelegate(const NSURLRequest& request,
                                                                NSURLConnectionDelegate* delegate) {
    if (!delegate || !CanLoad(request)) return nullptr;
    return new NSURLConnection(request, delegate);
}

NSURLConnection::NSURLConnection(const NSURLRequest& request, NSURLConnectionDelegate* delegate)
    : d(std::make_unique<Private>(this, request, delegate)) {
    d->start(false);
}

NSURLConnection::~NSURLConnection() = default;

void NSURLConnection::cancel() {
    d->stop();
}

void NSURLConnection::release() {
    cancel();
    deleteLater();
}

// ---------------------------------------------------------------------------

struct NSURLDownload::Private : Transfer {
    Private(NSURLDownload* q, const NSURLRequest& request, NSURLDownloadDelegate* delegate)
        : Transfer(q, request), q(q), delegate(delegate) {}
    ~Private() override { removeTemporary(); }

    bool headers(const NSURLResponse& response) override {
        if (response.statusCode() >= 400) {
            const QString reason = m_reason.trimmed();
            fail(MakeError(NSURLErrorBadServerResponse,
                           plat::PlatformText("The server answered %1%2.")
                               .arg(response.statusCode())
                               .arg(reason.isEmpty() ? QString() : QLatin1Char(' ') + reason),
                           m_request));
            return false;
        }
        if (!call([&] {
                delegate->downloadDecideDestinationWithSuggestedFilename(
                    q, response.suggestedFilename());
            }))
            return false;
        if (!createDestination()) return false;
        if (!call([&] { delegate->downloadDidCreateDestination(q, destination); })) return false;
        return call([&] { delegate->downloadDidReceiveResponse(q, response); });
    }

    bool data(const QByteArray& bytes) override {
        const char* p = bytes.constData();
        qsizetype left = bytes.size();
        while (left > 0) {
            const ssize_t n = ::write(fd.get(), p, static_cast<size_t>(left));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fail(MakeError(NSURLErrorCannotWriteToFile,
                               plat::PlatformText("The file could not be written."), m_request));
                return false;
            }
            p += n;
            left -= n;
        }
        return call([&] {
            delegate->downloadDidReceiveDataOfLength(q,
                                                     static_cast<unsigned long long>(bytes.size()));
        });
    }

    void finished() override {
        if (fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
            failed(MakeError(NSURLErrorCannotWriteToFile,
                             plat::PlatformText("The file could not be written."), m_request));
            removeTemporary();
            return;
        }
        if (!moveIntoPlace()) {
            removeTemporary();
            failed(MakeError(NSURLErrorCannotCreateFile,
                             plat::PlatformText("The file could not be created."), m_request));
            return;
        }
        delegate->downloadDidFinish(q);
    }

    void failed(const NSError& error) override {
        removeTemporary();
        delegate->downloadDidFailWithError(q, error);
    }

    bool statusErrorIsAnswer() const override { return false; }

    bool createDestination() {
        const auto cannotCreate = [this] {
            fail(MakeError(NSURLErrorCannotCreateFile,
                           plat::PlatformText("The file could not be created."), m_request));
            return false;
        };
        if (destination.isEmpty()) return cannotCreate();
        const int slash = destination.lastIndexOf(QLatin1Char('/'));
        const QString folder = slash < 0 ? QStringLiteral(".") : destination.left(slash);
        const QString name = destination.mid(slash + 1);
        if (name.isEmpty() || !QDir().mkpath(folder)) return cannotCreate();
        dir = folder;
        baseName = name;
        if (!allowOverwrite && !pickFreeName(0)) return cannotCreate();

        // The hidden partial file beside the destination, within the name limit.
        const QString finalName = destination.mid(destination.lastIndexOf(QLatin1Char('/')) + 1);
        QByteArray tmpl = QFile::encodeName(dir + QLatin1Char('/') + QLatin1Char('.') +
                                            TruncateUtf8(finalName, kMaxNameBytes - 8)) +
                          ".XXXXXX";
        const int tfd = mkostemp(tmpl.data(), O_CLOEXEC);
        if (tfd < 0) return cannotCreate();
        fd.reset(tfd);
        temporary = tmpl;
        created = true;
        fchmod(tfd, 0666 & ~CurrentUmask());
        return true;
    }

    // Sets destination to the first free name from the number start on.
    bool pickFreeName(int start) {
        for (int n = start; n < 100000; ++n) {
            const QString path = dir + QLatin1Char('/') + NameWithNumber(baseName, n);
            if (!Exists(QFile::encodeName(path))) {
                destination = path;
                nameNumber = n;
                return true;
            }
        }
        return false;
    }

    bool moveIntoPlace() {
        if (allowOverwrite) {
            if (::rename(temporary.constData(), QFile::encodeName(destination).constData()) != 0)
                return false;
            temporary.clear();
            return true;
        }
        for (int tries = 0; tries < 100000; ++tries) {
            const QByteArray target = QFile::encodeName(destination);
            int rc = renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(),
                               RENAME_NOREPLACE);
            if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
                rc = ::link(temporary.constData(), target.constData());
                if (rc == 0) ::unlink(temporary.constData());
            }
            if (rc == 0) {
                temporary.clear();
                return true;
            }
            // Taken meanwhile: the next free name.
            if (errno != EEXIST || !pickFreeName(nameNumber + 1)) return false;
        }
        return false;
    }

    void removeTemporary() {
        fd.reset();
        if (!temporary.isEmpty()) ::unlink(temporary.constData());
        temporary.clear();
    }

    NSURLDownload* q;
    NSURLDownloadDelegate* delegate;
    QString destination, dir, baseName;
    bool allowOverwrite = false;
    bool created = false;
    int nameNumber = 0;
    plat::UniqueFd fd;
    QByteArray temporary;
};

NSURLDownload* NSURLDownload::downloadWithRequestDelegate(const NSURLRequest& request,
                                                          NSURLDownloadDelegate* delegate) {
    if (!delegate || !CanLoad(request)) return nullptr;
    return new NSURLDownload(request, delegate);
}

NSURLDownload::NSURLDownload(const NSURLRequest& request, NSURLDownloadDelegate* delegate)
    : d(std::make_unique<Private>(this, request, delegate)) {
    d->start(true);
}

NSURLDownload::~NSURLDownload() = default;

void NSURLDownload::setDestinationAllowOverwrite(const QString& path, bool allowOverwrite) {
    // Once the file exists under its name, the name stays.
    if (d->created) return;
    d->destination = path;
    d->allowOverwrite = allowOverwrite;
}

QString NSURLDownload::destination() const {
    return d->destination;
}

void NSURLDownload::cancel() {
    d->stop();
    d->removeTemporary();
}

void NSURLDownload::release() {
    cancel();
    deleteLater();
}
