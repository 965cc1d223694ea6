// One FTP transfer over libcurl's multi interface: an upload (STOR) fed from
// a ring the client writes into, or a download (LIST / RETR) that fills a
// ring the client reads from. It runs from the run loop's poll when the
// stream is scheduled, and from its own poll when a read or write has to
// wait.
//
// States: NotOpen -> Opening (handed to curl: connecting, logging in) ->
// Open (curl is about to send STOR, LIST or RETR) -> Done (the server has
// confirmed the transfer); Failed from any of the first three; Closed from
// any but NotOpen. A kept connection the server has closed is replaced once,
// within Opening.
#pragma once

#include "platform/RunLoop.h"
#include "platform/streams/ByteRing.h"
#include "platform/streams/FTPPlan.h"
#include "platform/streams/FTPSessionPool.h"

#include <optional>
#include <poll.h>
#include <span>
#include <utility>
#include <vector>

namespace plat::streams {

class FTPTransfer {
public:
    enum class Direction { Download, Upload };

    FTPTransfer(Direction direction, QUrl url) : m_direction(direction), m_url(std::move(url)) {}
    ~FTPTransfer() { close(); }
    FTPTransfer(const FTPTransfer&) = delete;
    FTPTransfer& operator=(const FTPTransfer&) = delete;

    FTPOptions options;

    // --- life cycle

    bool open();
    void close();

    // --- data

    // Blocking: wait for room (or, for the end, for the server's reply).
    CFIndex write(const UInt8* buffer, CFIndex length, bool blocking);
    // Waits for bytes while there are none and the transfer runs.
    CFIndex read(UInt8* buffer, CFIndex length);

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
    // The server's last reply line ("530 Login incorrect."); empty before any.
    QString lastReply() const { return m_lastReply; }
    // Payload bytes that left for the server, over every attempt.
    UInt64 bytesSent() const;
    bool opened() const { return m_state != State::NotOpen; }
    CFStreamStatus status() const;

    // --- run loop

    void preparePoll(std::vector<pollfd>& fds, Clock::time_point& deadline);
    void afterPoll(std::span<const pollfd> fds);

private:
    enum class State { NotOpen, Opening, Open, Done, Failed, Closed };
    static const char* Name(State s);
    // Every change of m_state goes through here.
    void setState(State next);

    bool start();
    bool configure(const FTPPlan& plan);
    void pump();
    void unpause();
    void collectResult();
    void finish(CURLcode rc);
    // What curl has sent of this attempt's payload.
    UInt64 curlUploaded() const;

    // libcurl callbacks: they only move bytes and note state.
    static int onSocket(CURL*, curl_socket_t s, int what, void* userp, void*);
    static int onTimer(CURLM*, long timeoutMs, void* userp);
    static int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* userp);
    static int onPrereq(void* userp, char*, char*, int, int);
    static size_t onRead(char* buffer, size_t size, size_t count, void* userp);
    static size_t onWrite(char* data, size_t size, size_t count, void* userp);

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
    QString m_lastReply;
    UInt64 m_bytesSent = 0;
    std::vector<std::pair<curl_socket_t, int>> m_sockets;
    std::optional<Clock::time_point> m_timer;
};

} // namespace plat::streams
