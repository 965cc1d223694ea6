#include "platform/Streams.h"
#include "platform/Proxies.h"
#include "platform/RunLoopInternal.h"

#include <QByteArray>
#include <QFile>
#include <QHostAddress>
#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <curl/curl.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const QString kCFStreamPropertyFTPUserName = QStringLiteral("kCFStreamPropertyFTPUserName");
const QString kCFStreamPropertyFTPPassword = QStringLiteral("kCFStreamPropertyFTPPassword");
const QString kCFStreamPropertyFTPProxy = QStringLiteral("kCFStreamPropertyFTPProxy");
const QString kCFStreamPropertyFTPUsePassiveMode =
    QStringLiteral("kCFStreamPropertyFTPUsePassiveMode");
const QString kCFStreamPropertyFTPAttemptPersistentConnection =
    QStringLiteral("kCFStreamPropertyFTPAttemptPersistentConnection");

CFTypeID CFReadStreamGetTypeID() {
    return kCFTypeIDReadStream;
}
CFTypeID CFWriteStreamGetTypeID() {
    return kCFTypeIDWriteStream;
}

namespace {

using plat::Clock;

constexpr size_t kWriteBufferCapacity = 512 * 1024;
constexpr size_t kReadBufferCapacity = 512 * 1024;
constexpr long kCurlUploadBufferSize = 512 * 1024;
constexpr long kCurlDownloadBufferSize = 256 * 1024;
constexpr long kConnectTimeoutSeconds = 30;
constexpr long kDefaultStallSeconds = 60;
// curl itself drops connections idle for 118 s; give them up a little earlier.
constexpr auto kIdleConnectionLifetime = std::chrono::seconds(100);
constexpr size_t kMaxIdleSessions = 4;
constexpr auto kHeartbeat = std::chrono::seconds(1);

long StallSeconds() {
    bool ok = false;
    const long v = qEnvironmentVariable("LOFTWISE_FTP_STALL_SECONDS").toLong(&ok);
    return ok && v > 0 ? v : kDefaultStallSeconds;
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// A fixed ring of bytes, allocated once per transfer.
class ByteRing {
public:
    void allocate(size_t capacity) {
        if (m_capacity == capacity) return;
        m_data = std::make_unique<UInt8[]>(capacity);
        m_capacity = capacity;
        m_head = m_size = 0;
    }
    size_t capacity() const { return m_capacity; }
    size_t size() const { return m_size; }
    size_t space() const { return m_capacity - m_size; }

    size_t push(const UInt8* p, size_t n) {
        n = std::min(n, space());
        size_t tail = (m_head + m_size) % (m_capacity ? m_capacity : 1);
        size_t first = std::min(n, m_capacity - tail);
        if (first) std::memcpy(m_data.get() + tail, p, first);
        if (n > first) std::memcpy(m_data.get(), p + first, n - first);
        m_size += n;
        return n;
    }
    size_t pop(UInt8* p, size_t n) {
        n = std::min(n, m_size);
        size_t first = std::min(n, m_capacity - m_head);
        if (first) std::memcpy(p, m_data.get() + m_head, first);
        if (n > first) std::memcpy(p + first, m_data.get(), n - first);
        m_head = (m_head + n) % m_capacity;
        m_size -= n;
        if (m_size == 0) m_head = 0;
        return n;
    }
    // Keeps the contents; only for a chunk larger than the whole ring.
    void grow(size_t capacity) {
        auto data = std::make_unique<UInt8[]>(capacity);
        const size_t n = m_size;
        pop(data.get(), n);
        m_data = std::move(data);
        m_capacity = capacity;
        m_head = 0;
        m_size = n;
    }

private:
    std::unique_ptr<UInt8[]> m_data;
    size_t m_capacity = 0, m_head = 0, m_size = 0;
};

bool HasControlCharacter(const QByteArray& bytes) {
    return bytes.contains('\r') || bytes.contains('\n') || bytes.contains('\0');
}
bool HasControlCharacter(const QString& s) {
    return HasControlCharacter(s.toUtf8());
}

// ----------------------------------------------------------------------------
// Sessions: a multi handle (which owns the connection cache, and so the
// logged-in control connection) with its easy handle. A finished transfer
// gives its session back to a process-wide pool; the next transfer to the
// same server and account takes it up on whatever thread it runs.

struct Session {
    CURLM* multi = curl_multi_init();
    CURL* easy = curl_easy_init();
    std::string key;
    Clock::time_point idleSince;
    curl_socket_t control = CURL_SOCKET_BAD; // the idle control connection

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (multi) {
            curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, nullptr);
            curl_multi_setopt(multi, CURLMOPT_TIMERDATA, nullptr);
        }
        if (easy) curl_easy_cleanup(easy);
        if (multi) curl_multi_cleanup(multi); // says QUIT on idle connections
    }
};

// An idle control connection has nothing to say; anything readable (a
// "421 Timeout" or the end of the stream) means the server has closed it.
bool IdleConnectionUsable(curl_socket_t control) {
    if (control == CURL_SOCKET_BAD) return true; // curl checks it itself
    pollfd p{control, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
}

class SessionPool {
public:
    std::unique_ptr<Session> take(const std::string& key) {
        std::vector<std::unique_ptr<Session>> expired;
        std::unique_ptr<Session> found;
        {
            std::lock_guard lock(m_mutex);
            const auto now = Clock::now();
            for (auto it = m_idle.begin(); it != m_idle.end();) {
                if (now - (*it)->idleSince > kIdleConnectionLifetime) {
                    expired.push_back(std::move(*it));
                    it = m_idle.erase(it);
                } else {
                    ++it;
                }
            }
            for (auto it = m_idle.begin(); it != m_idle.end();) {
                if ((*it)->key != key) {
                    ++it;
                } else if (!IdleConnectionUsable((*it)->control)) {
                    expired.push_back(std::move(*it));
                    it = m_idle.erase(it);
                } else {
                    found = std::move(*it);
                    m_idle.erase(it);
                    break;
                }
            }
        }
        return found; // the expired ones close here, outside the lock
    }

    void give(std::unique_ptr<Session> session) {
        std::unique_ptr<Session> evicted;
        {
            std::lock_guard lock(m_mutex);
            session->idleSince = Clock::now();
            m_idle.push_back(std::move(session));
            if (m_idle.size() > kMaxIdleSessions) {
                evicted = std::move(m_idle.front());
                m_idle.erase(m_idle.begin());
            }
        }
    }

    void clear() {
        std::vector<std::unique_ptr<Session>> all;
        std::lock_guard lock(m_mutex);
        all.swap(m_idle);
    }

private:
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Session>> m_idle;
};

// Never destroyed: idle connections are simply dropped at exit rather than
// said good-bye to from a static destructor.
SessionPool& Pool() {
    static SessionPool* pool = new SessionPool;
    return *pool;
}

// ----------------------------------------------------------------------------
// Errors

int ConnectionErrno(long osErrno) {
    // A peer that went away while we were sending reads best as a reset.
    if (osErrno == 0 || osErrno == EPIPE) return ECONNRESET;
    return int(osErrno);
}

CFStreamError MapCurlResult(CURLcode rc, long reply, long osErrno) {
    auto posix = [](int e) { return CFStreamError{kCFStreamErrorDomainPOSIX, SInt32(e)}; };
    // "Service not available, closing control connection": whatever failed
    // after it, the server's word is the cause.
    if (reply == 421) return CFStreamError{kCFStreamErrorDomainFTP, 421};
    switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return CFStreamError{kCFStreamErrorDomainNetDB, EAI_NONAME};
    case CURLE_COULDNT_CONNECT:
        return posix(osErrno ? int(osErrno) : ECONNREFUSED);
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_FTP_ACCEPT_TIMEOUT:
        return posix(ETIMEDOUT);
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
        return posix(ConnectionErrno(osErrno));
    case CURLE_ABORTED_BY_CALLBACK:
        return posix(ECONNABORTED);
    case CURLE_OUT_OF_MEMORY:
        return posix(ENOMEM);
    default:
        break;
    }
    if (reply >= 400) return CFStreamError{kCFStreamErrorDomainFTP, SInt32(reply)};
    return CFStreamError{kCFStreamErrorDomainLoftwise,
                         SInt32(kLoftwiseStreamErrorCurlBase) + SInt32(rc)};
}

// ----------------------------------------------------------------------------
// What every stream shares: the client, the run loop it is scheduled on, and
// events derived from the stream's state. Events are worked out and
// delivered only from the run loop's delivery step, so a client never runs
// inside a transfer library callback and may close or release the stream
// from its callback.

class StreamCore : public plat::RunLoopSource {
public:
    ~StreamCore() override { releaseContext(); }

    bool setClient(CFOptionFlags events, void (*callback)(), CFStreamClientContext* context) {
        releaseContext();
        if (!callback || events == 0) {
            m_clientEvents = 0;
            m_callback = nullptr;
            return true;
        }
        m_clientEvents = events;
        m_callback = callback;
        m_context = context ? *context : CFStreamClientContext{};
        if (m_context.retain && m_context.info) m_context.retain(m_context.info);
        return true;
    }

    void schedule(CFRunLoop* loop) {
        if (!loop || m_loop == loop) return;
        if (m_loop) unschedule(m_loop);
        m_loop = loop;
        CFRetain(loop);
        loop->addSource(this);
    }

    void unschedule(CFRunLoop* loop) {
        if (!m_loop || (loop && loop != m_loop)) return;
        m_loop->removeSource(this);
        CFRelease(m_loop);
        m_loop = nullptr;
    }

    bool scheduled() const { return m_loop != nullptr; }

    bool hasPendingEvents() const override { return nextEvent() != kCFStreamEventNone; }

    void deliverEvents() override {
        // Each kind at most once per round, so a client that keeps reading
        // or writing cannot keep the loop from polling its sockets.
        CFStreamEventType delivered = 0;
        while (m_loop && !m_loop->stopRequested()) {
            const CFStreamEventType e = nextEvent();
            if (e == kCFStreamEventNone || (delivered & e)) break;
            delivered |= e;
            markDelivered(e);
            if ((m_clientEvents & e) && m_callback) callClient(e, m_context.info);
        }
    }

protected:
    // The state the events follow.
    virtual bool isOpenOrLater() const = 0; // opened and not closed
    virtual bool openCompleted() const = 0; // connected (FTP) / opened (file)
    virtual bool failed() const = 0;
    virtual bool dataReady() const = 0; // bytes to read / room to write
    virtual bool endReached() const = 0;
    virtual CFStreamEventType dataEvent() const = 0;
    virtual void callClient(CFStreamEventType e, void* info) = 0;

    // A read or write re-arms the bytes / room event.
    void rearm() { m_dataDelivered = false; }
    void suppressErrorEvent() { m_errorDelivered = true; }
    void (*m_callback)() = nullptr;

private:
    CFStreamEventType nextEvent() const {
        if (!isOpenOrLater()) return kCFStreamEventNone;
        if (openCompleted() && !m_openDelivered) return kCFStreamEventOpenCompleted;
        if (failed()) return m_errorDelivered ? kCFStreamEventNone : kCFStreamEventErrorOccurred;
        if (openCompleted() && !m_dataDelivered && dataReady()) return dataEvent();
        if (endReached() && !m_endDelivered) return kCFStreamEventEndEncountered;
        return kCFStreamEventNone;
    }
    void markDelivered(CFStreamEventType e) {
        switch (e) {
        case kCFStreamEventOpenCompleted:
            m_openDelivered = true;
            break;
        case kCFStreamEventErrorOccurred:
            m_errorDelivered = true;
            break;
        case kCFStreamEventEndEncountered:
            m_endDelivered = true;
            break;
        default:
            m_dataDelivered = true;
            break;
        }
    }
    void releaseContext() {
        if (m_callback && m_context.release && m_context.info) m_context.release(m_context.info);
        m_context = {};
    }

    CFRunLoop* m_loop = nullptr;
    CFOptionFlags m_clientEvents = 0;
    CFStreamClientContext m_context{};
    bool m_openDelivered = false, m_dataDelivered = false, m_errorDelivered = false,
         m_endDelivered = false;
};

// ----------------------------------------------------------------------------
// Read and write streams as the C functions see them.

class ReadStreamImpl : public CFReadStream, public StreamCore {
public:
    CFTypeID typeID() const override { return kCFTypeIDReadStream; }
    CFTypeRef sourceObject() const override { return this; }

    virtual bool open() = 0;
    virtual void close() = 0;
    virtual CFIndex read(UInt8* buffer, CFIndex length) = 0;
    virtual bool hasBytesAvailable() = 0;
    virtual CFStreamStatus status() const = 0;
    virtual CFStreamError error() const = 0;
    virtual bool setProperty(const QString&, const PlistValue&) { return false; }

protected:
    CFStreamEventType dataEvent() const override { return kCFStreamEventHasBytesAvailable; }
    void callClient(CFStreamEventType e, void* info) override {
        reinterpret_cast<CFReadStreamClientCallBack>(m_callback)(this, e, info);
    }
};

class WriteStreamImpl : public CFWriteStream, public StreamCore {
public:
    CFTypeID typeID() const override { return kCFTypeIDWriteStream; }
    CFTypeRef sourceObject() const override { return this; }

    virtual bool open() = 0;
    virtual void close() = 0;
    virtual CFIndex write(const UInt8* buffer, CFIndex length) = 0;
    virtual bool canAcceptBytes() = 0;
    virtual CFStreamStatus status() const = 0;
    virtual CFStreamError error() const = 0;
    virtual bool setProperty(const QString&, const PlistValue&) { return false; }

protected:
    CFStreamEventType dataEvent() const override { return kCFStreamEventCanAcceptBytes; }
    void callClient(CFStreamEventType e, void* info) override {
        reinterpret_cast<CFWriteStreamClientCallBack>(m_callback)(this, e, info);
    }
};

// ----------------------------------------------------------------------------
// Local file read stream.

class FileReadStream final : public ReadStreamImpl {
public:
    explicit FileReadStream(QString path) : m_path(std::move(path)) {}
    ~FileReadStream() override {
        close();
        unschedule(nullptr);
    }

    bool open() override {
        if (m_state != State::NotOpen) return false;
        m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (m_fd >= 0 && fstat(m_fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            ::close(m_fd);
            m_fd = -1;
            errno = EISDIR;
        }
        if (m_fd < 0) {
            fail(errno);
            suppressErrorEvent(); // the caller hears of it from the result
            return false;
        }
        if (S_ISREG(st.st_mode)) {
            m_size = st.st_size;
            posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        }
        m_state = State::Open;
        return true;
    }

    void close() override {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
        if (m_state != State::NotOpen) m_state = State::Closed;
        unschedule(nullptr);
    }

    CFIndex read(UInt8* buffer, CFIndex length) override {
        rearm();
        if (m_state == State::AtEnd) return 0;
        if (m_state != State::Open || !buffer || length < 0) return -1;
        ssize_t n;
        do {
            n = ::read(m_fd, buffer, size_t(length));
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            fail(errno);
            return -1;
        }
        m_position += n;
        // A regular file is at its end once its size is read, so a scheduled
        // client hears of the end without a read that returns nothing.
        if (n == 0 || (m_size >= 0 && m_position >= m_size)) m_state = State::AtEnd;
        return n;
    }

    bool hasBytesAvailable() override { return m_state == State::Open; }

    CFStreamStatus status() const override {
        switch (m_state) {
        case State::NotOpen:
            return kCFStreamStatusNotOpen;
        case State::Open:
            return kCFStreamStatusOpen;
        case State::AtEnd:
            return kCFStreamStatusAtEnd;
        case State::Closed:
            return kCFStreamStatusClosed;
        case State::Error:
            return kCFStreamStatusError;
        }
        return kCFStreamStatusError;
    }
    CFStreamError error() const override { return m_error; }

    void preparePoll(std::vector<pollfd>&, Clock::time_point&) override {}
    void afterPoll(std::span<const pollfd>) override {}

protected:
    bool isOpenOrLater() const override {
        return m_state == State::Open || m_state == State::AtEnd || m_state == State::Error;
    }
    bool openCompleted() const override { return m_fd >= 0 || m_state == State::AtEnd; }
    bool failed() const override { return m_state == State::Error; }
    bool dataReady() const override { return m_state == State::Open; }
    bool endReached() const override { return m_state == State::AtEnd; }

private:
    enum class State { NotOpen, Open, AtEnd, Closed, Error };
    void fail(int err) {
        m_error = {kCFStreamErrorDomainPOSIX, SInt32(err)};
        m_state = State::Error;
    }

    QString m_path;
    int m_fd = -1;
    State m_state = State::NotOpen;
    CFStreamError m_error{0, 0};
    off_t m_size = -1;
    off_t m_position = 0;
};

// ----------------------------------------------------------------------------
// FTP transfers over libcurl.

struct FTPOptions {
    std::optional<QString> user, password;
    std::optional<PlistDictionary> proxy;
    bool passive = true;
    bool persistent = true;
};

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

// Everything curl is told about one transfer, worked out (and checked)
// before anything is sent.
struct FTPPlan {
    std::string url;  // what curl dials, fully percent-encoded
    std::string user; // empty: anonymous
    std::string password;
    std::string proxy; // for curl: "" (none) or scheme://host:port
    bool httpTunnel = false;
    std::string key; // connection reuse key
};

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

// Runs every transfer of the multi handle and updates the sockets it
// watches (curl_multi_socket_action runs only those with an event).
void RunEveryTransfer(CURLM* multi) {
    int running = 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    curl_multi_socket_all(multi, &running);
#pragma GCC diagnostic pop
}

template <class T> void Set(CURL* easy, CURLoption option, T value) {
    curl_easy_setopt(easy, option, value);
}

class FTPTransfer {
public:
    enum class Direction { Download, Upload };

    FTPTransfer(Direction direction, QUrl url) : m_direction(direction), m_url(std::move(url)) {}
    ~FTPTransfer() { close(); }

    FTPOptions options;

    // --- life cycle

    bool open() {
        if (m_state != State::NotOpen) return false;
        GlobalInit();
        auto plan = PlanTransfer(m_url, options, m_direction == Direction::Upload, &m_error);
        if (!plan) {
            m_state = State::Failed;
            return false;
        }
        m_plan = std::move(*plan);
        if (options.persistent) m_session = Pool().take(m_plan.key);
        m_reused = m_session != nullptr;
        m_ring.allocate(m_direction == Direction::Upload ? kWriteBufferCapacity
                                                         : kReadBufferCapacity);
        if (!start()) {
            m_error = {kCFStreamErrorDomainLoftwise, kLoftwiseStreamErrorSetup};
            m_state = State::Failed;
            return false;
        }
        m_state = State::Opening;
        return true;
    }

    void close() {
        if (m_active) {
            // Cut short: curl closes the connection instead of keeping it.
            curl_multi_remove_handle(m_session->multi, m_session->easy);
            m_active = false;
            m_session.reset();
        }
        m_sockets.clear();
        m_timer.reset();
        if (m_state != State::NotOpen) m_state = State::Closed;
    }

    // --- data

    CFIndex write(const UInt8* buffer, CFIndex length, bool blocking) {
        if (failed()) return -1;
        if (m_state == State::NotOpen || m_state == State::Closed) return -1;
        if (length < 0 || (length > 0 && !buffer)) return -1;
        if (m_ended) return length == 0 ? 0 : -1; // the end, said again, changes nothing
        if (length == 0) {
            m_ended = true;
            unpause();
            if (blocking) {
                while (m_active)
                    pump();
                return failed() ? -1 : 0;
            }
            return 0;
        }
        if (blocking)
            while (m_ring.space() == 0 && m_active)
                pump();
        if (failed()) return -1;
        const size_t n = m_ring.push(buffer, size_t(length));
        if (n) unpause();
        return CFIndex(n);
    }

    CFIndex read(UInt8* buffer, CFIndex length) {
        if (m_state == State::NotOpen || m_state == State::Closed) return -1;
        if (length < 0 || (length > 0 && !buffer)) return -1;
        // Without bytes a read waits for them, as reads do.
        while (m_ring.size() == 0 && m_active && !failed())
            pump();
        if (failed()) return -1;
        const size_t n = m_ring.pop(buffer, size_t(length));
        if (m_recvPaused && m_ring.space() >= m_ring.capacity() / 2) unpause();
        return CFIndex(n);
    }

    bool hasBytesAvailable() const { return !failed() && m_ring.size() > 0; }
    bool canAcceptBytes() const {
        return !failed() && !m_ended && isOpenOrLater() && m_ring.space() > 0;
    }
    // The room for which a client is told it may write again.
    bool roomToWrite() const {
        return !m_ended && (m_ring.size() == 0 || m_ring.space() >= m_ring.capacity() / 4);
    }

    // --- state

    bool isOpenOrLater() const {
        return m_state == State::Opening || m_state == State::Open || m_state == State::Done ||
               m_state == State::Failed;
    }
    bool connected() const { return m_connected; }
    bool failed() const { return m_state == State::Failed; }
    bool done() const { return m_state == State::Done; }
    bool drained() const { return m_ring.size() == 0; }
    CFStreamError error() const { return m_error; }
    bool opened() const { return m_state != State::NotOpen; }

    CFStreamStatus status() const {
        switch (m_state) {
        case State::NotOpen:
            return kCFStreamStatusNotOpen;
        case State::Opening:
            return m_connected ? kCFStreamStatusOpen : kCFStreamStatusOpening;
        case State::Open:
            return kCFStreamStatusOpen;
        case State::Done:
            return m_direction == Direction::Download && m_ring.size() ? kCFStreamStatusOpen
                                                                       : kCFStreamStatusAtEnd;
        case State::Closed:
            return kCFStreamStatusClosed;
        case State::Failed:
            return kCFStreamStatusError;
        }
        return kCFStreamStatusError;
    }

    // --- run loop

    void preparePoll(std::vector<pollfd>& fds, Clock::time_point& deadline) {
        if (!m_active) return;
        for (const auto& [fd, what] : m_sockets) {
            short events = 0;
            if (what == CURL_POLL_IN || what == CURL_POLL_INOUT) events |= POLLIN;
            if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT) events |= POLLOUT;
            fds.push_back({fd, events, 0});
        }
        if (m_timer && *m_timer < deadline) deadline = *m_timer;
        // curl does not always leave a socket or timer to wake it: after a
        // passive reply that came at once it waits for nothing before it
        // dials the data connection, and some of its time-outs have no
        // timer. Look in on it at once when it stopped watching every
        // socket, and every second in any case.
        const auto beat =
            m_kickAt ? std::min(*m_kickAt, m_lastAction + kHeartbeat) : m_lastAction + kHeartbeat;
        if (beat < deadline) deadline = beat;
    }

    void afterPoll(std::span<const pollfd> fds) {
        if (!m_active) return;
        int running = 0;
        bool acted = false;
        for (const pollfd& p : fds) {
            if (!p.revents) continue;
            int mask = 0;
            if (p.revents & (POLLIN | POLLHUP)) mask |= CURL_CSELECT_IN;
            if (p.revents & POLLOUT) mask |= CURL_CSELECT_OUT;
            if (p.revents & (POLLERR | POLLNVAL)) mask |= CURL_CSELECT_ERR;
            curl_multi_socket_action(m_session->multi, p.fd, mask, &running);
            acted = true;
        }
        const auto now = Clock::now();
        if (m_timer && *m_timer <= now) {
            m_timer.reset();
            curl_multi_socket_action(m_session->multi, CURL_SOCKET_TIMEOUT, 0, &running);
            acted = true;
        }
        if ((m_kickAt && *m_kickAt <= now) || m_lastAction + kHeartbeat <= now) {
            m_kickAt.reset();
            RunEveryTransfer(m_session->multi);
            acted = true;
        }
        if (acted) {
            m_lastAction = now;
            // Watching no socket while it is not paused, curl is waiting for
            // a call: give it one at once, then less and less often.
            if (m_sockets.empty() && !m_sendPaused && !m_recvPaused) {
                const auto delay = std::min<std::chrono::milliseconds>(
                    std::chrono::milliseconds(m_idleKicks ? 1L << std::min(m_idleKicks, 10) : 0),
                    kHeartbeat);
                ++m_idleKicks;
                m_kickAt = now + delay;
            } else {
                m_idleKicks = 0;
                m_kickAt.reset();
            }
        }
        collectResult();
    }

private:
    enum class State { NotOpen, Opening, Open, Done, Failed, Closed };

    // Hands the transfer to curl, on the session taken or on a new one.
    bool start() {
        if (!m_session) m_session = std::make_unique<Session>();
        m_session->key = m_plan.key;
        m_sendPaused = m_recvPaused = false;
        m_kickAt.reset();
        m_idleKicks = 0;
        m_lastAction = Clock::now();
        if (!m_session->multi || !m_session->easy || !configure(m_plan) ||
            curl_multi_add_handle(m_session->multi, m_session->easy) != CURLM_OK) {
            m_session.reset();
            return false;
        }
        m_active = true;
        return true;
    }

    // A kept connection the server gave up on shows only when it is used:
    // the first reply is a 421 or the connection is gone.
    static bool LostConnection(CURLcode rc, long reply) {
        return reply == 421 || rc == CURLE_SEND_ERROR || rc == CURLE_RECV_ERROR ||
               rc == CURLE_GOT_NOTHING;
    }

    bool configure(const FTPPlan& plan) {
        CURL* e = m_session->easy;
        CURLM* m = m_session->multi;
        curl_easy_reset(e);
        curl_multi_setopt(m, CURLMOPT_SOCKETFUNCTION, &FTPTransfer::onSocket);
        curl_multi_setopt(m, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(m, CURLMOPT_TIMERFUNCTION, &FTPTransfer::onTimer);
        curl_multi_setopt(m, CURLMOPT_TIMERDATA, this);

        const long stall = StallSeconds();
        if (curl_easy_setopt(e, CURLOPT_URL, plan.url.c_str()) != CURLE_OK) return false;
        Set(e, CURLOPT_PROTOCOLS_STR, "ftp");
        Set(e, CURLOPT_NOSIGNAL, 1L);
        if (!plan.user.empty()) {
            Set(e, CURLOPT_USERNAME, plan.user.c_str());
            Set(e, CURLOPT_PASSWORD, plan.password.c_str());
        }
        // An explicit empty proxy also keeps curl from reading proxy
        // variables of its own: the caller's proxy settings decide.
        Set(e, CURLOPT_PROXY, plan.proxy.c_str());
        Set(e, CURLOPT_NOPROXY, "");
        if (plan.httpTunnel) Set(e, CURLOPT_HTTPPROXYTUNNEL, 1L);

        Set(e, CURLOPT_FTP_SKIP_PASV_IP, 1L);
        Set(e, CURLOPT_FTP_USE_EPSV, 1L);
        if (!options.passive) Set(e, CURLOPT_FTPPORT, "-");
        if (!options.persistent) {
            Set(e, CURLOPT_FRESH_CONNECT, 1L);
            Set(e, CURLOPT_FORBID_REUSE, 1L);
        }

        Set(e, CURLOPT_CONNECTTIMEOUT, std::min(kConnectTimeoutSeconds, std::max(stall, 1L)));
        Set(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, stall);
        Set(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
        Set(e, CURLOPT_LOW_SPEED_TIME, stall);
        Set(e, CURLOPT_ACCEPTTIMEOUT_MS, stall * 1000L);
        Set(e, CURLOPT_TCP_KEEPALIVE, 1L);
        Set(e, CURLOPT_TCP_KEEPIDLE, 60L);
        Set(e, CURLOPT_TCP_KEEPINTVL, 30L);

        Set(e, CURLOPT_PREREQFUNCTION, &FTPTransfer::onPrereq);
        Set(e, CURLOPT_PREREQDATA, this);
        if (m_direction == Direction::Upload) {
            Set(e, CURLOPT_UPLOAD, 1L);
            Set(e, CURLOPT_UPLOAD_BUFFERSIZE, kCurlUploadBufferSize);
            Set(e, CURLOPT_READFUNCTION, &FTPTransfer::onRead);
            Set(e, CURLOPT_READDATA, this);
        } else {
            Set(e, CURLOPT_BUFFERSIZE, kCurlDownloadBufferSize);
            Set(e, CURLOPT_WRITEFUNCTION, &FTPTransfer::onWrite);
            Set(e, CURLOPT_WRITEDATA, this);
        }
        if (qEnvironmentVariableIsSet("LOFTWISE_FTP_DEBUG")) {
            Set(e, CURLOPT_DEBUGFUNCTION, &FTPTransfer::onDebug);
            Set(e, CURLOPT_VERBOSE, 1L);
        }
        return true;
    }

    // Blocking use: wait on this transfer's own sockets.
    void pump() {
        std::vector<pollfd> fds;
        Clock::time_point deadline = Clock::time_point::max();
        preparePoll(fds, deadline);
        int timeoutMs = 1000; // curl always names a timer while it works; this is a backstop
        if (deadline != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            timeoutMs = int(std::clamp<long long>(left.count(), 0, 1000));
        }
        if (poll(fds.data(), fds.size(), timeoutMs) < 0)
            for (auto& f : fds)
                f.revents = 0;
        if (fds.empty() && !m_timer) m_timer = Clock::now();
        afterPoll(fds);
    }

    void unpause() {
        if (!m_active || !(m_sendPaused || m_recvPaused)) return;
        m_sendPaused = m_recvPaused = false;
        curl_easy_pause(m_session->easy, CURLPAUSE_CONT);
    }

    void collectResult() {
        if (!m_active) return;
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(m_session->multi, &left)) {
            if (msg->msg != CURLMSG_DONE) continue;
            finish(msg->data.result);
            return;
        }
    }

    void finish(CURLcode rc) {
        long reply = 0, osErrno = 0, newConnections = 0;
        curl_socket_t control = CURL_SOCKET_BAD;
        curl_easy_getinfo(m_session->easy, CURLINFO_RESPONSE_CODE, &reply);
        curl_easy_getinfo(m_session->easy, CURLINFO_OS_ERRNO, &osErrno);
        curl_easy_getinfo(m_session->easy, CURLINFO_NUM_CONNECTS, &newConnections);
        if (rc == CURLE_OK) curl_easy_getinfo(m_session->easy, CURLINFO_ACTIVESOCKET, &control);
        curl_multi_remove_handle(m_session->multi, m_session->easy);
        m_active = false;
        m_sockets.clear();
        m_timer.reset();
        curl_multi_setopt(m_session->multi, CURLMOPT_SOCKETDATA, nullptr);
        curl_multi_setopt(m_session->multi, CURLMOPT_TIMERDATA, nullptr);
        if (rc != CURLE_OK && m_reused && newConnections == 0 && !m_payloadMoved &&
            LostConnection(rc, reply)) {
            // Once, on a new connection; nothing of the data has gone yet.
            m_reused = false;
            m_session.reset();
            if (start()) return;
        }
        if (rc == CURLE_OK) {
            m_connected = true;
            m_state = State::Done;
            m_session->control = control;
            // The control connection stays logged in for the next transfer.
            if (options.persistent) Pool().give(std::move(m_session));
        } else {
            m_error = MapCurlResult(rc, reply, osErrno);
            m_state = State::Failed;
        }
        m_session.reset();
    }

    // --- libcurl callbacks: they only move bytes and note state.

    static int onSocket(CURL*, curl_socket_t s, int what, void* userp, void*) {
        auto* t = static_cast<FTPTransfer*>(userp);
        if (!t) return 0;
        auto it = std::find_if(t->m_sockets.begin(), t->m_sockets.end(),
                               [s](const auto& p) { return p.first == s; });
        if (what == CURL_POLL_REMOVE) {
            if (it != t->m_sockets.end()) t->m_sockets.erase(it);
        } else if (it != t->m_sockets.end()) {
            it->second = what;
        } else {
            t->m_sockets.emplace_back(s, what);
        }
        return 0;
    }

    static int onTimer(CURLM*, long timeoutMs, void* userp) {
        auto* t = static_cast<FTPTransfer*>(userp);
        if (!t) return 0;
        if (timeoutMs < 0)
            t->m_timer.reset();
        else
            t->m_timer = Clock::now() + std::chrono::milliseconds(timeoutMs);
        return 0;
    }

    // The conversation on standard error, without the password.
    static int onDebug(CURL*, curl_infotype type, char* data, size_t size, void*) {
        const char* mark = type == CURLINFO_TEXT         ? "* "
                           : type == CURLINFO_HEADER_IN  ? "< "
                           : type == CURLINFO_HEADER_OUT ? "> "
                                                         : nullptr;
        if (!mark) return 0;
        std::string text(data, size);
        if (type == CURLINFO_HEADER_OUT && text.starts_with("PASS ")) text = "PASS ****\n";
        std::fprintf(stderr, "%s%s", mark, text.c_str());
        return 0;
    }

    static int onPrereq(void* userp, char*, char*, int, int) {
        auto* t = static_cast<FTPTransfer*>(userp);
        t->m_connected = true;
        if (t->m_state == State::Opening) t->m_state = State::Open;
        return CURL_PREREQFUNC_OK;
    }

    static size_t onRead(char* buffer, size_t size, size_t count, void* userp) {
        auto* t = static_cast<FTPTransfer*>(userp);
        if (t->m_ring.size() == 0) {
            if (t->m_ended) return 0;
            t->m_sendPaused = true;
            return CURL_READFUNC_PAUSE;
        }
        t->m_payloadMoved = true;
        return t->m_ring.pop(reinterpret_cast<UInt8*>(buffer), size * count);
    }

    static size_t onWrite(char* data, size_t size, size_t count, void* userp) {
        auto* t = static_cast<FTPTransfer*>(userp);
        const size_t n = size * count;
        if (n > t->m_ring.capacity()) t->m_ring.grow(n);
        if (n > t->m_ring.space()) {
            // curl keeps the chunk and hands it over again when resumed.
            t->m_recvPaused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        t->m_ring.push(reinterpret_cast<const UInt8*>(data), n);
        t->m_payloadMoved = true;
        return n;
    }

    Direction m_direction;
    QUrl m_url;
    State m_state = State::NotOpen;
    CFStreamError m_error{0, 0};
    std::unique_ptr<Session> m_session;
    bool m_active = false; // the easy handle is in the multi handle
    bool m_connected = false;
    bool m_ended = false;
    bool m_sendPaused = false, m_recvPaused = false;
    FTPPlan m_plan;
    bool m_reused = false;       // on a kept connection
    bool m_payloadMoved = false; // some of the data has gone to or come from curl
    Clock::time_point m_lastAction;
    std::optional<Clock::time_point> m_kickAt; // curl watches nothing: run it again then
    int m_idleKicks = 0;
    ByteRing m_ring;
    std::vector<std::pair<curl_socket_t, int>> m_sockets;
    std::optional<Clock::time_point> m_timer;
};

class FTPReadStream final : public ReadStreamImpl {
public:
    explicit FTPReadStream(QUrl url) : m_transfer(FTPTransfer::Direction::Download, url) {}
    ~FTPReadStream() override {
        m_transfer.close();
        unschedule(nullptr);
    }

    bool open() override {
        const bool ok = m_transfer.open();
        if (!ok) suppressErrorEvent();
        return ok;
    }
    void close() override {
        m_transfer.close();
        unschedule(nullptr);
    }
    CFIndex read(UInt8* buffer, CFIndex length) override {
        rearm();
        return m_transfer.read(buffer, length);
    }
    bool hasBytesAvailable() override { return m_transfer.hasBytesAvailable(); }
    CFStreamStatus status() const override { return m_transfer.status(); }
    CFStreamError error() const override { return m_transfer.error(); }
    bool setProperty(const QString& key, const PlistValue& value) override {
        return !m_transfer.opened() && SetFTPOption(m_transfer.options, key, value);
    }

    void preparePoll(std::vector<pollfd>& fds, Clock::time_point& deadline) override {
        m_transfer.preparePoll(fds, deadline);
    }
    void afterPoll(std::span<const pollfd> fds) override { m_transfer.afterPoll(fds); }

protected:
    bool isOpenOrLater() const override { return m_transfer.isOpenOrLater(); }
    bool openCompleted() const override { return m_transfer.connected(); }
    bool failed() const override { return m_transfer.failed(); }
    bool dataReady() const override { return m_transfer.hasBytesAvailable(); }
    bool endReached() const override { return m_transfer.done() && m_transfer.drained(); }

private:
    FTPTransfer m_transfer;
};

class FTPWriteStream final : public WriteStreamImpl {
public:
    explicit FTPWriteStream(QUrl url) : m_transfer(FTPTransfer::Direction::Upload, url) {}
    ~FTPWriteStream() override {
        m_transfer.close();
        unschedule(nullptr);
    }

    bool open() override {
        const bool ok = m_transfer.open();
        if (!ok) suppressErrorEvent();
        return ok;
    }
    void close() override {
        m_transfer.close();
        unschedule(nullptr);
    }
    CFIndex write(const UInt8* buffer, CFIndex length) override {
        rearm();
        return m_transfer.write(buffer, length, !scheduled());
    }
    bool canAcceptBytes() override { return m_transfer.canAcceptBytes(); }
    CFStreamStatus status() const override { return m_transfer.status(); }
    CFStreamError error() const override { return m_transfer.error(); }
    bool setProperty(const QString& key, const PlistValue& value) override {
        return !m_transfer.opened() && SetFTPOption(m_transfer.options, key, value);
    }

    void preparePoll(std::vector<pollfd>& fds, Clock::time_point& deadline) override {
        m_transfer.preparePoll(fds, deadline);
    }
    void afterPoll(std::span<const pollfd> fds) override { m_transfer.afterPoll(fds); }

protected:
    bool isOpenOrLater() const override { return m_transfer.isOpenOrLater(); }
    bool openCompleted() const override { return m_transfer.connected(); }
    bool failed() const override { return m_transfer.failed(); }
    bool dataReady() const override { return m_transfer.roomToWrite(); }
    bool endReached() const override { return m_transfer.done(); }

private:
    FTPTransfer m_transfer;
};

ReadStreamImpl* Impl(CFReadStreamRef s) {
    return static_cast<ReadStreamImpl*>(s);
}
WriteStreamImpl* Impl(CFWriteStreamRef s) {
    return static_cast<WriteStreamImpl*>(s);
}

// Also an invalid URL of the scheme (a host with a line break, a space):
// its stream refuses to open, with a code that says why.
bool IsFTPURL(const QUrl& url) {
    return url.scheme().compare(QLatin1String("ftp"), Qt::CaseInsensitive) == 0;
}

} // namespace

// ----------------------------------------------------------------------------

CFReadStreamRef CFReadStreamCreateWithFile(const QUrl& fileURL) {
    if (!fileURL.isLocalFile() || fileURL.toLocalFile().isEmpty()) return nullptr;
    return new FileReadStream(fileURL.toLocalFile());
}

CFReadStreamRef CFReadStreamCreateWithFTPURL(const QUrl& ftpURL) {
    if (!IsFTPURL(ftpURL)) return nullptr;
    return new FTPReadStream(ftpURL);
}

CFWriteStreamRef CFWriteStreamCreateWithFTPURL(const QUrl& ftpURL) {
    if (!IsFTPURL(ftpURL)) return nullptr;
    return new FTPWriteStream(ftpURL);
}

Boolean CFReadStreamOpen(CFReadStreamRef s) {
    return s && Impl(s)->open();
}
void CFReadStreamClose(CFReadStreamRef s) {
    if (s) Impl(s)->close();
}
CFIndex CFReadStreamRead(CFReadStreamRef s, UInt8* buffer, CFIndex length) {
    return s ? Impl(s)->read(buffer, length) : -1;
}
Boolean CFReadStreamHasBytesAvailable(CFReadStreamRef s) {
    return s && Impl(s)->hasBytesAvailable();
}
CFStreamStatus CFReadStreamGetStatus(CFReadStreamRef s) {
    return s ? Impl(s)->status() : kCFStreamStatusError;
}
CFStreamError CFReadStreamGetError(CFReadStreamRef s) {
    return s ? Impl(s)->error() : CFStreamError{0, 0};
}
Boolean CFReadStreamSetClient(CFReadStreamRef s, CFOptionFlags events,
                              CFReadStreamClientCallBack cb, CFStreamClientContext* context) {
    return s && Impl(s)->setClient(events, reinterpret_cast<void (*)()>(cb), context);
}
void CFReadStreamScheduleWithRunLoop(CFReadStreamRef s, CFRunLoopRef loop, const QString&) {
    if (s) Impl(s)->schedule(loop);
}
void CFReadStreamUnscheduleFromRunLoop(CFReadStreamRef s, CFRunLoopRef loop, const QString&) {
    if (s) Impl(s)->unschedule(loop);
}
Boolean CFReadStreamSetProperty(CFReadStreamRef s, const QString& key, const PlistValue& value) {
    return s && Impl(s)->setProperty(key, value);
}

Boolean CFWriteStreamOpen(CFWriteStreamRef s) {
    return s && Impl(s)->open();
}
void CFWriteStreamClose(CFWriteStreamRef s) {
    if (s) Impl(s)->close();
}
CFIndex CFWriteStreamWrite(CFWriteStreamRef s, const UInt8* buffer, CFIndex length) {
    return s ? Impl(s)->write(buffer, length) : -1;
}
Boolean CFWriteStreamCanAcceptBytes(CFWriteStreamRef s) {
    return s && Impl(s)->canAcceptBytes();
}
CFStreamStatus CFWriteStreamGetStatus(CFWriteStreamRef s) {
    return s ? Impl(s)->status() : kCFStreamStatusError;
}
CFStreamError CFWriteStreamGetError(CFWriteStreamRef s) {
    return s ? Impl(s)->error() : CFStreamError{0, 0};
}
Boolean CFWriteStreamSetClient(CFWriteStreamRef s, CFOptionFlags events,
                               CFWriteStreamClientCallBack cb, CFStreamClientContext* context) {
    return s && Impl(s)->setClient(events, reinterpret_cast<void (*)()>(cb), context);
}
void CFWriteStreamScheduleWithRunLoop(CFWriteStreamRef s, CFRunLoopRef loop, const QString&) {
    if (s) Impl(s)->schedule(loop);
}
void CFWriteStreamUnscheduleFromRunLoop(CFWriteStreamRef s, CFRunLoopRef loop, const QString&) {
    if (s) Impl(s)->unschedule(loop);
}
Boolean CFWriteStreamSetProperty(CFWriteStreamRef s, const QString& key, const PlistValue& value) {
    return s && Impl(s)->setProperty(key, value);
}

namespace plat {

QString StreamErrorText(const CFStreamError& error) {
    switch (error.domain) {
    case kCFStreamErrorDomainPOSIX:
        return QString::fromLocal8Bit(strerror(error.error));
    case kCFStreamErrorDomainNetDB:
        return QStringLiteral("The server's name could not be found (%1)")
            .arg(QString::fromLocal8Bit(gai_strerror(error.error)));
    case kCFStreamErrorDomainFTP: {
        QString what;
        switch (error.error) {
        case 421:
            what = QStringLiteral("service not available");
            break;
        case 425:
            what = QStringLiteral("cannot open data connection");
            break;
        case 426:
            what = QStringLiteral("transfer aborted");
            break;
        case 450:
        case 550:
            what = QStringLiteral("file or folder unavailable");
            break;
        case 451:
            what = QStringLiteral("local error on the server");
            break;
        case 452:
            what = QStringLiteral("insufficient storage space");
            break;
        case 530:
            what = QStringLiteral("not logged in");
            break;
        case 552:
            what = QStringLiteral("storage allocation exceeded");
            break;
        case 553:
            what = QStringLiteral("file name not allowed");
            break;
        default:
            break;
        }
        return what.isEmpty()
                   ? QStringLiteral("The FTP server replied %1").arg(error.error)
                   : QStringLiteral("The FTP server replied %1 (%2)").arg(error.error).arg(what);
    }
    case kCFStreamErrorDomainLoftwise:
        switch (error.error) {
        case kLoftwiseStreamErrorBadURL:
            return QStringLiteral("The FTP address is not valid");
        case kLoftwiseStreamErrorControlCharacter:
            return QStringLiteral(
                "The host, user name, password or path contains a line break or NUL character");
        case kLoftwiseStreamErrorSetup:
            return QStringLiteral("The transfer could not be set up");
        default:
            if (error.error >= kLoftwiseStreamErrorCurlBase)
                return QString::fromUtf8(
                    curl_easy_strerror(CURLcode(error.error - kLoftwiseStreamErrorCurlBase)));
            break;
        }
        break;
    default:
        break;
    }
    return QStringLiteral("Error %1 in domain %2").arg(error.error).arg(error.domain);
}

bool HasControlCharacter(const QString& text) { return ::HasControlCharacter(text.toUtf8()); }

void FTPCloseIdleConnections() {
    Pool().clear();
}

} // namespace plat
