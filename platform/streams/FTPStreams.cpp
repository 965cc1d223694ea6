// FTP read and write streams: the event core around one FTP transfer.
#include "platform/streams/FTPTransfer.h"
#include "platform/streams/StreamCore.h"

namespace plat::streams {

namespace {

// What the two directions share; Base is ReadStreamImpl or WriteStreamImpl.
template <class Base> class FTPStream : public Base {
public:
    FTPStream(FTPTransfer::Direction direction, QUrl url) : m_transfer(direction, std::move(url)) {}
    ~FTPStream() override {
        m_transfer.close();
        this->unschedule(nullptr);
    }

    bool open() override {
        const bool ok = m_transfer.open();
        if (!ok) this->suppressErrorEvent(); // the caller hears of it from the result
        return ok;
    }
    void close() override {
        m_transfer.close();
        this->unschedule(nullptr);
    }
    CFStreamStatus status() const override { return m_transfer.status(); }
    CFStreamError error() const override { return m_transfer.error(); }
    bool setProperty(const QString& key, const PlistValue& value) override {
        return !m_transfer.opened() && SetFTPOption(m_transfer.options, key, value);
    }
    std::optional<PlistValue> copyProperty(const QString& key) const override {
        if (key == kLoftwiseStreamPropertyFTPLastReply) return PlistValue(m_transfer.lastReply());
        if (key == kLoftwiseStreamPropertyFTPBytesSent)
            return PlistValue::integer(int64_t(m_transfer.bytesSent()));
        return std::nullopt;
    }

    void preparePoll(std::vector<pollfd>& fds, Clock::time_point& deadline) override {
        m_transfer.preparePoll(fds, deadline);
    }
    void afterPoll(std::span<const pollfd> fds) override { m_transfer.afterPoll(fds); }

protected:
    bool isOpenOrLater() const override { return m_transfer.isOpenOrLater(); }
    bool openCompleted() const override { return m_transfer.connected(); }
    bool failed() const override { return m_transfer.failed(); }

    FTPTransfer m_transfer;
};

class FTPReadStream final : public FTPStream<ReadStreamImpl> {
public:
    explicit FTPReadStream(QUrl url)
        : FTPStream(FTPTransfer::Direction::Download, std::move(url)) {}

    CFIndex read(UInt8* buffer, CFIndex length) override {
        rearm();
        return m_transfer.read(buffer, length);
    }
    bool hasBytesAvailable() override { return m_transfer.hasBytesAvailable(); }

protected:
    bool dataReady() const override { return m_transfer.hasBytesAvailable(); }
    // Done, and the client has read everything.
    bool endReached() const override { return m_transfer.done() && m_transfer.drained(); }
};

class FTPWriteStream final : public FTPStream<WriteStreamImpl> {
public:
    explicit FTPWriteStream(QUrl url) : FTPStream(FTPTransfer::Direction::Upload, std::move(url)) {}

    CFIndex write(const UInt8* buffer, CFIndex length) override {
        rearm();
        // Not scheduled, it works synchronously.
        return m_transfer.write(buffer, length, !scheduled());
    }
    bool canAcceptBytes() override { return m_transfer.canAcceptBytes(); }

protected:
    bool dataReady() const override { return m_transfer.roomToWrite(); }
    bool endReached() const override { return m_transfer.done(); }
};

} // namespace

ReadStreamImpl* NewFTPReadStream(const QUrl& url) {
    return new FTPReadStream(url);
}
WriteStreamImpl* NewFTPWriteStream(const QUrl& url) {
    return new FTPWriteStream(url);
}

} // namespace plat::streams
