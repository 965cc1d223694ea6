#include "platform/streams/FTPSessionPool.h"
#include "platform/Streams.h"

#include <poll.h>
#include <vector>

namespace plat::streams {

namespace {

// curl itself drops connections idle for 118 s; give them up a little earlier.
constexpr auto kIdleConnectionLifetime = std::chrono::seconds(100);
constexpr size_t kMaxIdleSessions = 4;

// An idle control connection has nothing to say; anything readable (a
// "421 Timeout" or the end of the stream) means the server has closed it.
bool IdleConnectionUsable(curl_socket_t control) {
    if (control == CURL_SOCKET_BAD) return true; // curl checks it itself
    pollfd p{control, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
}

} // namespace

Session::~Session() {
    if (multi) {
        curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, nullptr);
        curl_multi_setopt(multi, CURLMOPT_TIMERDATA, nullptr);
    }
    if (easy) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi); // says QUIT on idle connections
}

std::unique_ptr<Session> SessionPool::take(const std::string& key) {
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

void SessionPool::give(std::unique_ptr<Session> session) {
    std::unique_ptr<Session> evicted; // closes outside the lock
    std::lock_guard lock(m_mutex);
    session->idleSince = Clock::now();
    m_idle.push_back(std::move(session));
    if (m_idle.size() > kMaxIdleSessions) {
        evicted = std::move(m_idle.front());
        m_idle.erase(m_idle.begin());
    }
}

void SessionPool::clear() {
    std::vector<std::unique_ptr<Session>> all; // closes outside the lock
    std::lock_guard lock(m_mutex);
    all.swap(m_idle);
}

// Never destroyed: idle connections are simply dropped at exit rather than
// said good-bye to from a static destructor.
SessionPool& Pool() {
    static SessionPool* pool = new SessionPool;
    return *pool;
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace plat::streams

void plat::FTPCloseIdleConnections() {
    streams::Pool().clear();
}
