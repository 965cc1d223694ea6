// What every stream shares: the client, the run loop it is scheduled on, and
// events derived from the stream's state. Events are worked out and
// delivered only from the run loop's delivery step, so a client never runs
// inside a transfer library callback and may close or release the stream
// from its callback.
#pragma once

#include "platform/RunLoopInternal.h"
#include "platform/Streams.h"

#include <QString>
#include <QUrl>

namespace plat::streams {

class StreamCore : public RunLoopSource {
public:
    ~StreamCore() override;

    bool setClient(CFOptionFlags events, void (*callback)(), CFStreamClientContext* context);
    void schedule(CFRunLoop* loop);
    // nullptr: from whatever loop it is scheduled on.
    void unschedule(CFRunLoop* loop);
    bool scheduled() const { return m_loop != nullptr; }

    bool hasPendingEvents() const override { return nextEvent() != kCFStreamEventNone; }
    void deliverEvents() override;

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
    CFStreamEventType nextEvent() const;
    void markDelivered(CFStreamEventType e);
    void releaseContext();

    CFRunLoop* m_loop = nullptr;
    CFOptionFlags m_clientEvents = 0;
    CFStreamClientContext m_context{};
    bool m_openDelivered = false, m_dataDelivered = false, m_errorDelivered = false,
         m_endDelivered = false;
};

// What differs between the two kinds of stream, for the code they share.
template <class Public> struct StreamKind;
template <> struct StreamKind<CFReadStream> {
    static constexpr CFTypeID typeID = kCFTypeIDReadStream;
    static constexpr CFStreamEventType dataEvent = kCFStreamEventHasBytesAvailable;
    using Callback = CFReadStreamClientCallBack;
};
template <> struct StreamKind<CFWriteStream> {
    static constexpr CFTypeID typeID = kCFTypeIDWriteStream;
    static constexpr CFStreamEventType dataEvent = kCFStreamEventCanAcceptBytes;
    using Callback = CFWriteStreamClientCallBack;
};

// A stream as the C functions see it; Public is CFReadStream or CFWriteStream.
template <class Public> class StreamImpl : public Public, public StreamCore {
public:
    using Kind = StreamKind<Public>;

    CFTypeID typeID() const override { return Kind::typeID; }
    CFTypeRef sourceObject() const override { return this; }

    virtual bool open() = 0;
    virtual void close() = 0;
    virtual CFStreamStatus status() const = 0;
    virtual CFStreamError error() const = 0;
    virtual bool setProperty(const QString&, const PlistValue&) { return false; }
    virtual std::optional<PlistValue> copyProperty(const QString&) const { return std::nullopt; }

protected:
    CFStreamEventType dataEvent() const override { return Kind::dataEvent; }
    void callClient(CFStreamEventType e, void* info) override {
        reinterpret_cast<typename Kind::Callback>(m_callback)(this, e, info);
    }
};

class ReadStreamImpl : public StreamImpl<CFReadStream> {
public:
    // Bytes read; 0 at the end; -1 on error.
    virtual CFIndex read(UInt8* buffer, CFIndex length) = 0;
    virtual bool hasBytesAvailable() = 0;
};

class WriteStreamImpl : public StreamImpl<CFWriteStream> {
public:
    // Bytes taken; 0 when none fit now; -1 on error. Length 0 ends the data.
    virtual CFIndex write(const UInt8* buffer, CFIndex length) = 0;
    virtual bool canAcceptBytes() = 0;
};

inline ReadStreamImpl* Impl(CFReadStream* s) {
    return static_cast<ReadStreamImpl*>(s);
}
inline WriteStreamImpl* Impl(CFWriteStream* s) {
    return static_cast<WriteStreamImpl*>(s);
}

// The streams the Create functions make.
ReadStreamImpl* NewFileReadStream(const QByteArray& path);
WriteStreamImpl* NewFileWriteStream(const QByteArray& path);
ReadStreamImpl* NewFTPReadStream(const QUrl& url);
WriteStreamImpl* NewFTPWriteStream(const QUrl& url);

} // namespace plat::streams
