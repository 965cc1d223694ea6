// Local file read stream.
#include "platform/streams/StreamCore.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat::streams {

namespace {

class FileReadStream final : public ReadStreamImpl {
public:
    explicit FileReadStream(QByteArray path) : m_path(std::move(path)) {}
    ~FileReadStream() override {
        close();
        unschedule(nullptr);
    }

    bool open() override {
        if (m_state != State::NotOpen) return false;
        m_fd = ::open(m_path.constData(), O_RDONLY | O_CLOEXEC);
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

    QByteArray m_path; // native bytes
    int m_fd = -1;
    State m_state = State::NotOpen;
    CFStreamError m_error{0, 0};
    off_t m_size = -1;
    off_t m_position = 0;
};

} // namespace

ReadStreamImpl* NewFileReadStream(const QByteArray& path) {
    return new FileReadStream(path);
}

} // namespace plat::streams
