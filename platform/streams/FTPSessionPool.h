// Sessions: a multi handle (which owns the connection cache, and so the
// logged-in control connection) with its easy handle. A finished transfer
// gives its session back to a process-wide pool; the next transfer to the
// same server and account takes it up on whatever thread it runs.
#pragma once

#include "platform/RunLoop.h"

#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plat::streams {

struct Session {
    CURLM* multi = curl_multi_init();
    CURL* easy = curl_easy_init();
    std::string key;
    Clock::time_point idleSince;
    curl_socket_t control = CURL_SOCKET_BAD; // the idle control connection

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session();
};

// The pool keeps at most a few idle sessions, each for less time than curl
// would keep its connection; one the server has closed meanwhile is dropped
// when it would be taken.
class SessionPool {
public:
    // The idle session for key, or nullptr.
    std::unique_ptr<Session> take(const std::string& key);
    void give(std::unique_ptr<Session> session);
    // Ends every idle session (each says QUIT to its server).
    void clear();

private:
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Session>> m_idle;
};

SessionPool& Pool();

// libcurl's global set-up, once per process.
void GlobalInit();

} // namespace plat::streams
