// Local file read and write streams.
#include "platform/streams/StreamCore.h"

#include "platform/Files.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace plat::streams {

namespace {

// A file stream's life; a write stream never reaches AtEnd.
enum class State { NotOpen, Open, AtEnd, Closed, Error };

CFStreamStatus StatusOf(State state) {
    switch (state) {
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

class FileReadStream final : public ReadStreamImpl {
public:
    explicit FileReadStream(QByteArray path) : m_path(std::move(path)) {}
    ~FileReadStream() override {
        close();
        unschedule(nullptr);
    }

    bool open() override {
        if (m_state != State::NotOpen) return false;
        // Only regular files are sent: a pipe would block the open (and the
        // read) for good, a device like /dev/zero would never end. The stat
        // keeps devices from being opened at all; O_NONBLOCK keeps a pipe
        // swapped in after it from blocking the open, and fstat decides.
        struct stat st {};
        if (::stat(m_path.constData(), &st) == 0 && !S_ISREG(st.st_mode)) return refuse(st.st_mode);
        m_fd = ::open(m_path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (m_fd >= 0 && fstat(m_fd, &st) != 0) {
            const int err = errno;
            ::close(m_fd);
            m_fd = -1;
            errno = err;
        }
        if (m_fd < 0) {
            fail(errno);
            suppressErrorEvent(); // the caller hears of it from the result
            return false;
        }
        if (!S_ISREG(st.st_mode)) return refuse(st.st_mode);
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
        m_opened = st;
        posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
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
        if (n == 0 || m_position >= m_opened.st_size) {
            // A file written to meanwhile was not sent as it is now: its end
            // is an error, so that no one reports the copy as complete. The
            // bytes of this read are still handed over; the next read fails.
            if (changedSinceOpen()) {
                m_error = {kCFStreamErrorDomainLoftwise, kLoftwiseStreamErrorFileChanged};
                m_state = State::Error;
                if (n == 0) return -1;
            } else {
                m_state = State::AtEnd;
            }
        }
        return n;
    }

    bool hasBytesAvailable() override { return m_state == State::Open; }

    CFStreamStatus status() const override { return StatusOf(m_state); }
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
    void fail(int err) {
        m_error = {kCFStreamErrorDomainPOSIX, SInt32(err)};
        m_state = State::Error;
    }
    bool refuse(mode_t mode) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
        if (S_ISDIR(mode))
            fail(EISDIR);
        else
            m_error = {kCFStreamErrorDomainLoftwise, kLoftwiseStreamErrorNotRegularFile};
        m_state = State::Error;
        suppressErrorEvent();
        return false;
    }
    bool changedSinceOpen() const {
        struct stat now {};
        if (fstat(m_fd, &now) != 0) return true;
        return now.st_size != m_opened.st_size || now.st_mtim.tv_sec != m_opened.st_mtim.tv_sec ||
               now.st_mtim.tv_nsec != m_opened.st_mtim.tv_nsec;
    }

    QByteArray m_path; // native bytes
    int m_fd = -1;
    State m_state = State::NotOpen;
    CFStreamError m_error{0, 0};
    struct stat m_opened {}; // as it was when opened
    off_t m_position = 0;
};

// Writes go to a hidden temporary file beside the target, which close
// renames over it: the file is replaced whole or, after a failed write, not
// at all, so no reader ever sees it half written.
class FileWriteStream final : public WriteStreamImpl {
public:
    explicit FileWriteStream(QByteArray path) : m_path(std::move(path)) {}
    ~FileWriteStream() override {
        close();
        unschedule(nullptr);
    }

    bool open() override {
        if (m_state != State::NotOpen) return false;
        // The replacement keeps the mode of the file it replaces; a new file
        // is the user's alone.
        struct stat st {};
        const mode_t mode = ::stat(m_path.constData(), &st) == 0 && S_ISREG(st.st_mode)
                                ? (st.st_mode & 07777)
                                : 0600;
        if (!m_file.open(m_path, mode)) {
            fail(errno);
            suppressErrorEvent();
            return false;
        }
        m_state = State::Open;
        return true;
    }

    void close() override {
        if (m_state == State::Open && !m_file.commit()) fail(errno);
        m_file.discard();
        if (m_state != State::NotOpen && m_state != State::Error) m_state = State::Closed;
        unschedule(nullptr);
    }

    CFIndex write(const UInt8* buffer, CFIndex length) override {
        rearm();
        if (m_state != State::Open || length < 0 || (!buffer && length > 0)) return -1;
        if (length == 0) return 0;
        ssize_t n;
        do {
            n = ::write(m_file.fd(), buffer, size_t(length));
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            fail(errno);
            return -1;
        }
        return n;
    }

    bool canAcceptBytes() override { return m_state == State::Open; }

    CFStreamStatus status() const override { return StatusOf(m_state); }
    CFStreamError error() const override { return m_error; }

    void preparePoll(std::vector<pollfd>&, Clock::time_point&) override {}
    void afterPoll(std::span<const pollfd>) override {}

protected:
    bool isOpenOrLater() const override {
        return m_state == State::Open || m_state == State::Error;
    }
    bool openCompleted() const override { return m_state == State::Open; }
    bool failed() const override { return m_state == State::Error; }
    bool dataReady() const override { return m_state == State::Open; }
    bool endReached() const override { return false; }

private:
    void fail(int err) {
        m_error = {kCFStreamErrorDomainPOSIX, SInt32(err)};
        m_state = State::Error;
    }
    QByteArray m_path;      // native bytes
    FileReplacement m_file; // the replacement being written
    State m_state = State::NotOpen;
    CFStreamError m_error{0, 0};
};

} // namespace

ReadStreamImpl* NewFileReadStream(const QByteArray& path) {
    return new FileReadStream(path);
}

WriteStreamImpl* NewFileWriteStream(const QByteArray& path) {
    return new FileWriteStream(path);
}

} // namespace plat::streams
