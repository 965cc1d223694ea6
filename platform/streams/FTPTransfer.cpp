#include "platform/streams/FTPTransfer.h"
#include "platform/streams/StreamErrors.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>

namespace plat::streams {

namespace {

constexpr size_t kWriteBufferCapacity = 512 * 1024;
constexpr size_t kReadBufferCapacity = 512 * 1024;
constexpr long kCurlUploadBufferSize = 512 * 1024;
constexpr long kCurlDownloadBufferSize = 256 * 1024;
constexpr long kConnectTimeoutSeconds = 30;
constexpr long kDefaultStallSeconds = 60;
constexpr auto kHeartbeat = std::chrono::seconds(1);

long StallSeconds() {
    bool ok = false;
    const long v = qEnvironmentVariable("LOFTWISE_FTP_STALL_SECONDS").toLong(&ok);
    return ok && v > 0 ? v : kDefaultStallSeconds;
}

bool Tracing() {
    return qEnvironmentVariableIsSet("LOFTWISE_FTP_DEBUG");
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

// Every socket curl makes is close-on-exec, so that a program started
// meanwhile (the log viewer, the archiver) cannot hold a data connection
// open after we closed it.
curl_socket_t OpenSocket(void*, curlsocktype, curl_sockaddr* address) {
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// The one curl does not make through OpenSocket: an active-mode data
// connection it accepts.
int SocketOptions(void*, curl_socket_t fd, curlsocktype purpose) {
    if (purpose == CURLSOCKTYPE_ACCEPT) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return CURL_SOCKOPT_OK;
}

// A kept connection the server gave up on shows only when it is used:
// the first reply is a 421 or the connection is gone.
bool LostConnection(CURLcode rc, long reply) {
    return reply == 421 || rc == CURLE_SEND_ERROR || rc == CURLE_RECV_ERROR ||
           rc == CURLE_GOT_NOTHING;
}

} // namespace

const char* FTPTransfer::Name(State s) {
    switch (s) {
    case State::NotOpen:
        return "NotOpen";
    case State::Opening:
        return "Opening";
    case State::Open:
        return "Open";
    case State::Done:
        return "Done";
    case State::Failed:
        return "Failed";
    case State::Closed:
        return "Closed";
    }
    return "?";
}

void FTPTransfer::setState(State next) {
    if (next == m_state) return;
    if (Tracing()) std::fprintf(stderr, "* FTP state %s -> %s\n", Name(m_state), Name(next));
    m_state = next;
}

bool FTPTransfer::open() {
    if (m_state != State::NotOpen) return false;
    GlobalInit();
    auto plan = PlanTransfer(m_url, options, m_direction == Direction::Upload, &m_error);
    if (!plan) {
        setState(State::Failed);
        return false;
    }
    m_plan = std::move(*plan);
    if (options.persistent) m_session = Pool().take(m_plan.key);
    m_reused = m_session != nullptr;
    m_ring.allocate(m_direction == Direction::Upload ? kWriteBufferCapacity : kReadBufferCapacity);
    if (!start()) {
        m_error = {kCFStreamErrorDomainLoftwise, kLoftwiseStreamErrorSetup};
        setState(State::Failed);
        return false;
    }
    setState(State::Opening);
    return true;
}

UInt64 FTPTransfer::curlUploaded() const {
    curl_off_t uploaded = 0;
    if (!m_session ||
        curl_easy_getinfo(m_session->easy, CURLINFO_SIZE_UPLOAD_T, &uploaded) != CURLE_OK ||
        uploaded < 0)
        return 0;
    return UInt64(uploaded);
}

UInt64 FTPTransfer::bytesSent() const {
    // While curl runs the transfer, what it has sent so far counts too.
    return m_bytesSent + (m_active ? curlUploaded() : 0);
}

void FTPTransfer::close() {
    if (m_active) {
        m_bytesSent += curlUploaded();
        // Cut short: curl closes the connection instead of keeping it.
        curl_multi_remove_handle(m_session->multi, m_session->easy);
        m_active = false;
        m_session.reset();
    }
    m_sockets.clear();
    m_timer.reset();
    if (m_state != State::NotOpen) setState(State::Closed);
}

CFIndex FTPTransfer::write(const UInt8* buffer, CFIndex length, bool blocking) {
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

CFIndex FTPTransfer::read(UInt8* buffer, CFIndex length) {
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

CFStreamStatus FTPTransfer::status() const {
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

void FTPTransfer::preparePoll(std::vector<pollfd>& fds, Clock::time_point& deadline) {
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

void FTPTransfer::afterPoll(std::span<const pollfd> fds) {
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

// Hands the transfer to curl, on the session taken or on a new one.
bool FTPTransfer::start() {
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

bool FTPTransfer::configure(const FTPPlan& plan) {
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
    Set(e, CURLOPT_OPENSOCKETFUNCTION, &OpenSocket);
    Set(e, CURLOPT_SOCKOPTFUNCTION, &SocketOptions);
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
    // Always on: the server's last reply line explains a failure to the user.
    Set(e, CURLOPT_DEBUGFUNCTION, &FTPTransfer::onDebug);
    Set(e, CURLOPT_DEBUGDATA, this);
    Set(e, CURLOPT_VERBOSE, 1L);
    return true;
}

// Blocking use: wait on this transfer's own sockets.
void FTPTransfer::pump() {
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

void FTPTransfer::unpause() {
    if (!m_active || !(m_sendPaused || m_recvPaused)) return;
    m_sendPaused = m_recvPaused = false;
    curl_easy_pause(m_session->easy, CURLPAUSE_CONT);
}

void FTPTransfer::collectResult() {
    if (!m_active) return;
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(m_session->multi, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        finish(msg->data.result);
        return;
    }
}

void FTPTransfer::finish(CURLcode rc) {
    long reply = 0, osErrno = 0, newConnections = 0;
    curl_socket_t control = CURL_SOCKET_BAD;
    curl_easy_getinfo(m_session->easy, CURLINFO_RESPONSE_CODE, &reply);
    curl_easy_getinfo(m_session->easy, CURLINFO_OS_ERRNO, &osErrno);
    curl_easy_getinfo(m_session->easy, CURLINFO_NUM_CONNECTS, &newConnections);
    m_bytesSent += curlUploaded();
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
        setState(State::Done);
        m_session->control = control;
        // The control connection stays logged in for the next transfer.
        if (options.persistent) Pool().give(std::move(m_session));
    } else {
        m_error = MapCurlResult(rc, reply, osErrno);
        setState(State::Failed);
    }
    m_session.reset();
}

int FTPTransfer::onSocket(CURL*, curl_socket_t s, int what, void* userp, void*) {
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

int FTPTransfer::onTimer(CURLM*, long timeoutMs, void* userp) {
    auto* t = static_cast<FTPTransfer*>(userp);
    if (!t) return 0;
    if (timeoutMs < 0)
        t->m_timer.reset();
    else
        t->m_timer = Clock::now() + std::chrono::milliseconds(timeoutMs);
    return 0;
}

// Notes the server's last reply line; with tracing on, prints the
// conversation on standard error, without the password.
int FTPTransfer::onDebug(CURL*, curl_infotype type, char* data, size_t size, void* userp) {
    if (type == CURLINFO_HEADER_IN && userp) {
        QByteArray line(data, qsizetype(size));
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        // "230-" continuation lines are kept until the reply's last line.
        if (!line.isEmpty())
            static_cast<FTPTransfer*>(userp)->m_lastReply = QString::fromUtf8(line);
    }
    if (!Tracing()) return 0;
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

int FTPTransfer::onPrereq(void* userp, char*, char*, int, int) {
    auto* t = static_cast<FTPTransfer*>(userp);
    t->m_connected = true;
    if (t->m_state == State::Opening) t->setState(State::Open);
    return CURL_PREREQFUNC_OK;
}

size_t FTPTransfer::onRead(char* buffer, size_t size, size_t count, void* userp) {
    auto* t = static_cast<FTPTransfer*>(userp);
    if (t->m_ring.size() == 0) {
        if (t->m_ended) return 0;
        t->m_sendPaused = true;
        return CURL_READFUNC_PAUSE;
    }
    t->m_payloadMoved = true;
    return t->m_ring.pop(reinterpret_cast<UInt8*>(buffer), size * count);
}

size_t FTPTransfer::onWrite(char* data, size_t size, size_t count, void* userp) {
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

} // namespace plat::streams
