// The C functions of Streams.h. Read and write streams share their body
// (streams/StreamCore.h); these only check for nullptr and pass the call on.
#include "platform/Streams.h"
#include "platform/Files.h"
#include "platform/streams/StreamCore.h"

using namespace plat::streams;

const QString kCFStreamPropertyFTPUserName = QStringLiteral("kCFStreamPropertyFTPUserName");
const QString kCFStreamPropertyFTPPassword = QStringLiteral("kCFStreamPropertyFTPPassword");
const QString kCFStreamPropertyFTPProxy = QStringLiteral("kCFStreamPropertyFTPProxy");
const QString kCFStreamPropertyFTPUsePassiveMode =
    QStringLiteral("kCFStreamPropertyFTPUsePassiveMode");
const QString kCFStreamPropertyFTPAttemptPersistentConnection =
    QStringLiteral("kCFStreamPropertyFTPAttemptPersistentConnection");
const QString kLoftwiseStreamPropertyFTPLastReply =
    QStringLiteral("kLoftwiseStreamPropertyFTPLastReply");
const QString kLoftwiseStreamPropertyFTPBytesSent =
    QStringLiteral("kLoftwiseStreamPropertyFTPBytesSent");

CFTypeID CFReadStreamGetTypeID() {
    return kCFTypeIDReadStream;
}
CFTypeID CFWriteStreamGetTypeID() {
    return kCFTypeIDWriteStream;
}

namespace {

// Also an invalid URL of the scheme (a host with a line break, a space):
// its stream refuses to open, with a code that says why.
bool IsFTPURL(const QUrl& url) {
    return url.scheme().compare(QLatin1String("ftp"), Qt::CaseInsensitive) == 0;
}

// The calls both kinds of stream answer alike; S is CFReadStream or CFWriteStream.

template <class S> Boolean Open(S* s) {
    return s && Impl(s)->open();
}
template <class S> void Close(S* s) {
    if (s) Impl(s)->close();
}
template <class S> CFStreamStatus Status(S* s) {
    return s ? Impl(s)->status() : kCFStreamStatusError;
}
template <class S> CFStreamError Error(S* s) {
    return s ? Impl(s)->error() : CFStreamError{0, 0};
}
template <class S, class Callback>
Boolean SetClient(S* s, CFOptionFlags events, Callback cb, CFStreamClientContext* context) {
    return s && Impl(s)->setClient(events, reinterpret_cast<void (*)()>(cb), context);
}
template <class S> void Schedule(S* s, CFRunLoopRef loop) {
    if (s) Impl(s)->schedule(loop);
}
template <class S> void Unschedule(S* s, CFRunLoopRef loop) {
    if (s) Impl(s)->unschedule(loop);
}
template <class S> Boolean SetProperty(S* s, const QString& key, const PlistValue& value) {
    return s && Impl(s)->setProperty(key, value);
}

template <class S> std::optional<PlistValue> CopyProperty(S* s, const QString& key) {
    if (!s) return std::nullopt;
    return Impl(s)->copyProperty(key);
}

} // namespace

std::optional<PlistValue> CFReadStreamCopyProperty(CFReadStreamRef s, const QString& key) {
    return CopyProperty(s, key);
}
std::optional<PlistValue> CFWriteStreamCopyProperty(CFWriteStreamRef s, const QString& key) {
    return CopyProperty(s, key);
}

CFReadStreamRef CFReadStreamCreateWithFile(const QUrl& fileURL) {
    // By the URL's bytes: a name that is not UTF-8 is kept as it is.
    const auto path = plat::PathBytesOfFileURL(fileURL);
    if (!path || path->empty()) return nullptr;
    return NewFileReadStream(QByteArray::fromStdString(*path));
}

CFWriteStreamRef CFWriteStreamCreateWithFile(const QUrl& fileURL) {
    const auto path = plat::PathBytesOfFileURL(fileURL);
    if (!path || path->empty()) return nullptr;
    return NewFileWriteStream(QByteArray::fromStdString(*path));
}

CFReadStreamRef CFReadStreamCreateWithFTPURL(const QUrl& ftpURL) {
    if (!IsFTPURL(ftpURL)) return nullptr;
    return NewFTPReadStream(ftpURL);
}

CFWriteStreamRef CFWriteStreamCreateWithFTPURL(const QUrl& ftpURL) {
    if (!IsFTPURL(ftpURL)) return nullptr;
    return NewFTPWriteStream(ftpURL);
}

CFIndex CFReadStreamRead(CFReadStreamRef s, UInt8* buffer, CFIndex length) {
    return s ? Impl(s)->read(buffer, length) : -1;
}
Boolean CFReadStreamHasBytesAvailable(CFReadStreamRef s) {
    return s && Impl(s)->hasBytesAvailable();
}
CFIndex CFWriteStreamWrite(CFWriteStreamRef s, const UInt8* buffer, CFIndex length) {
    return s ? Impl(s)->write(buffer, length) : -1;
}
Boolean CFWriteStreamCanAcceptBytes(CFWriteStreamRef s) {
    return s && Impl(s)->canAcceptBytes();
}

Boolean CFReadStreamOpen(CFReadStreamRef s) {
    return Open(s);
}
void CFReadStreamClose(CFReadStreamRef s) {
    Close(s);
}
CFStreamStatus CFReadStreamGetStatus(CFReadStreamRef s) {
    return Status(s);
}
CFStreamError CFReadStreamGetError(CFReadStreamRef s) {
    return Error(s);
}
Boolean CFReadStreamSetClient(CFReadStreamRef s, CFOptionFlags events,
                              CFReadStreamClientCallBack cb, CFStreamClientContext* context) {
    return SetClient(s, events, cb, context);
}
void CFReadStreamScheduleWithRunLoop(CFReadStreamRef s, CFRunLoopRef loop, const QString&) {
    Schedule(s, loop);
}
void CFReadStreamUnscheduleFromRunLoop(CFReadStreamRef s, CFRunLoopRef loop, const QString&) {
    Unschedule(s, loop);
}
Boolean CFReadStreamSetProperty(CFReadStreamRef s, const QString& key, const PlistValue& value) {
    return SetProperty(s, key, value);
}

Boolean CFWriteStreamOpen(CFWriteStreamRef s) {
    return Open(s);
}
void CFWriteStreamClose(CFWriteStreamRef s) {
    Close(s);
}
CFStreamStatus CFWriteStreamGetStatus(CFWriteStreamRef s) {
    return Status(s);
}
CFStreamError CFWriteStreamGetError(CFWriteStreamRef s) {
    return Error(s);
}
Boolean CFWriteStreamSetClient(CFWriteStreamRef s, CFOptionFlags events,
                               CFWriteStreamClientCallBack cb, CFStreamClientContext* context) {
    return SetClient(s, events, cb, context);
}
void CFWriteStreamScheduleWithRunLoop(CFWriteStreamRef s, CFRunLoopRef loop, const QString&) {
    Schedule(s, loop);
}
void CFWriteStreamUnscheduleFromRunLoop(CFWriteStreamRef s, CFRunLoopRef loop, const QString&) {
    Unschedule(s, loop);
}
Boolean CFWriteStreamSetProperty(CFWriteStreamRef s, const QString& key, const PlistValue& value) {
    return SetProperty(s, key, value);
}
