// Uploads and listings: the worker of each, its stream callback, and the
// outcome it ends with.
#include "engine/FTPUpload.h"

#include "engine/EngineText.h"
#include "engine/Logging.h"
#include "platform/BackgroundWork.h"
#include "platform/FTPListing.h"
#include "platform/MainThread.h"
#include "platform/SystemLog.h"

#include <QElapsedTimer>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

void LogNumber(const char* format, long long value) {
    char line[128];
    std::snprintf(line, sizeof line, format, value);
    LogEntry(line, true);
}

QString LastReply(CFTypeRef stream) {
    std::optional<PlistValue> value;
    if (CFGetTypeID(stream) == CFWriteStreamGetTypeID())
        value =
            CFWriteStreamCopyProperty(static_cast<CFWriteStreamRef>(const_cast<CFType*>(stream)),
                                      kLoftwiseStreamPropertyFTPLastReply);
    else
        value = CFReadStreamCopyProperty(static_cast<CFReadStreamRef>(const_cast<CFType*>(stream)),
                                         kLoftwiseStreamPropertyFTPLastReply);
    return value && value->asString() ? *value->asString() : QString();
}

UInt64 BytesThatLeft(CFWriteStreamRef stream) {
    const auto value = CFWriteStreamCopyProperty(stream, kLoftwiseStreamPropertyFTPBytesSent);
    return value && value->asInteger() ? UInt64(*value->asInteger()) : 0;
}

TransferOutcome Failed(TransferOutcome::Kind kind, const QString& reason) {
    TransferOutcome o;
    o.kind = kind;
    o.reason = reason;
    return o;
}

} // namespace

// ---------------------------------------------------------------------------
// Upload

Upload::Upload(Destination destination, std::string localPath, QByteArray remoteName, UInt64 size)
    : m_destination(std::move(destination)), m_localPath(std::move(localPath)),
      m_remoteName(std::move(remoteName)), m_size(size) {}

QByteArray Upload::remoteName() const {
    if (!m_remoteName.isEmpty()) return m_remoteName;
    const std::size_t slash = m_localPath.rfind('/');
    return QByteArray::fromStdString(slash == std::string::npos ? m_localPath
                                                                : m_localPath.substr(slash + 1));
}

void Upload::stop() {
    m_stop = true;
    if (CFRunLoopRef loop = m_loop.load()) CFRunLoopStop(loop);
}

void Upload::finish(TransferOutcome outcome) {
    m_outcome = std::move(outcome);
    MyFinishTransfer(m_info);
    m_info = nullptr;
}

TransferOutcome Upload::run() {
    QElapsedTimer clock;
    clock.start();
    TransferOutcome o = send();
    o.milliseconds = clock.elapsed();
    if (o.partialOnServer())
        LogLine(PartialFileText(QString::fromUtf8(remoteName()), o.bytes, m_size));
    m_finished = true;
    return o;
}

TransferOutcome Upload::send() {
    using Kind = TransferOutcome::Kind;
    if (auto refused = RefuseDestination(m_destination)) {
        LogLine(*refused);
        return Failed(Kind::Refused, *refused);
    }
    const QUrl fileURL = plat::FileURLOfPathBytes(m_localPath);
    const QUrl uploadURL = AppendFileName(m_destination.folderURL, remoteName().toStdString());
    CFReadStreamRef readStream = CFReadStreamCreateWithFile(fileURL);
    CFWriteStreamRef writeStream = CFWriteStreamCreateWithFTPURL(uploadURL);
    if (readStream && writeStream) MySetupStreamInfo(&m_info, readStream, writeStream);
    if (!m_info) {
        if (readStream) CFRelease(readStream);
        if (writeStream) CFRelease(writeStream);
        LogEntry("The upload could not be configured.", true);
        return Failed(Kind::FileFailed, EngineText("The upload could not be configured."));
    }
    m_info->upload = this;
    if (!CFReadStreamOpen(readStream)) {
        LogEntry("CFReadStreamOpen failed", true);
        const QString why = ReadFailureText(readStream)
                                .value_or(EngineText("Could not open a readable connection."));
        LogLine(why);
        MyCleanupStreamInfo(m_info);
        m_info = nullptr;
        return Failed(Kind::FileFailed, why);
    }
    CFStreamClientContext context{0, m_info, nullptr, nullptr, nullptr};
    if (!CFWriteStreamSetClient(writeStream, kMyStreamEvents, MyUploadCallBack, &context)) {
        LogEntry("CFWriteStreamSetClient failed", true);
        MyCleanupStreamInfo(m_info);
        m_info = nullptr;
        return Failed(Kind::FileFailed, EngineText("Could not configure a writable connection."));
    }
    CFWriteStreamScheduleWithRunLoop(writeStream, CFRunLoopGetCurrent(), kCFRunLoopCommonModes);
    MyCFStreamSetUsernamePassword(writeStream, m_destination.user, m_destination.password);
    MyCFStreamSetFTPProxy(writeStream, m_info);
    if (!CFWriteStreamOpen(writeStream)) {
        LogEntry("CFWriteStreamOpen failed", true);
        // Refused before connecting (a name FTP cannot carry, say): say why.
        TransferOutcome o = OutcomeOfStreamError(CFWriteStreamGetError(writeStream), false, 0, {});
        LogLine(o.reason);
        MyCleanupStreamInfo(m_info);
        m_info = nullptr;
        return o;
    }
    m_loop = CFRunLoopGetCurrent();
    while (m_info && !m_stop)
        CFRunLoopRun();
    m_loop = nullptr;
    if (m_info) {
        // Stopped by the user in the middle: the stream is closed unfinished.
        const UInt64 left = BytesThatLeft(m_info->writeStream);
        MyCleanupStreamInfo(m_info);
        m_info = nullptr;
        LogEntry("Stopped by the user.", true);
        TransferOutcome o = Failed(Kind::Stopped, EngineText("The upload was stopped."));
        o.bytes = left;
        return o;
    }
    return m_outcome.value_or(Failed(Kind::CutOff, EngineText("The transfer ended early.")));
}

void MyUploadCallBack(CFWriteStreamRef stream, CFStreamEventType event, void* context) {
    auto* info = static_cast<MyStreamInfo*>(context);
    Upload* upload = info->upload;
    using Kind = TransferOutcome::Kind;
    switch (event) {
    case kCFStreamEventOpenCompleted:
        info->connected = true;
        LogEntry("Connected", true);
        break;
    case kCFStreamEventCanAcceptBytes:
        if (!MySendAvailableBytes(stream, info, [](MyStreamInfo* i, CFIndex) {
                i->upload->m_sent = i->bytesWritten;
                if (i->upload->progress) i->upload->progress(i->bytesWritten);
            })) {
            TransferOutcome o = Failed(
                Kind::FileFailed, ReadFailureText(info->readStream)
                                      .value_or(EngineText("An error occurred reading data.")));
            o.bytes = BytesThatLeft(stream);
            upload->finish(o);
        }
        break;
    case kCFStreamEventErrorOccurred: {
        const CFStreamError error = CFWriteStreamGetError(stream);
        char line[128];
        std::snprintf(line, sizeof line, "CFWriteStreamGetError returned (%d, %ld)",
                      int(error.domain), long(error.error));
        LogEntry(line, true);
        const TransferOutcome o =
            OutcomeOfStreamError(error, info->connected, BytesThatLeft(stream), LastReply(stream));
        LogLine(o.Explanation());
        upload->finish(o);
        break;
    }
    case kCFStreamEventEndEncountered: {
        LogNumber("Upload complete (%llu bytes sent)", static_cast<long long>(info->bytesWritten));
        TransferOutcome o;
        o.bytes = info->bytesWritten;
        upload->finish(o);
        break;
    }
    default:
        LogNumber("Received unexpected CFStream event (%lld)", static_cast<long long>(event));
        break;
    }
}

TransferOutcome FTPUpload(const FSRef* file, const UploadRequest& request) {
    using Kind = TransferOutcome::Kind;
    UInt64 size = 0;
    if (!file || plat::DataForkSize(*file, &size) != noErr)
        return Failed(Kind::FileFailed,
                      EngineText("The size of the file could not be determined."));
    const std::optional<std::string> path = plat::PathBytesOfRef(*file);
    if (!path || path->find('\0') != std::string::npos)
        return Failed(Kind::FileFailed, EngineText("The upload could not be configured."));

    Upload upload(request.destination, *path, request.remoteName, size);
    if (request.progress)
        upload.progress = [&request, size](UInt64 sent) { request.progress(sent, size); };
    std::atomic<bool> done{false};
    TransferOutcome outcome;
    const bool wakes = bool(request.whileWaiting);
    try {
        std::thread worker([&] {
            outcome = upload.run();
            done.store(true, std::memory_order_release);
            if (wakes) plat::WakeMainThread();
        });
        while (wakes && !done.load(std::memory_order_acquire))
            request.whileWaiting(upload);
        worker.join();
    } catch (const std::system_error&) {
        return Failed(Kind::FileFailed, EngineText("The upload could not be configured."));
    }
    return outcome;
}

// ---------------------------------------------------------------------------
// Listing

void MyDirectoryListingCallBack(CFReadStreamRef stream, CFStreamEventType event, void* context) {
    MyHandleListingEvent(stream, event, static_cast<MyStreamInfo*>(context));
}

TransferOutcome ListFolder(const Destination& destination,
                           const std::function<void()>& beforeEntry) {
    using Kind = TransferOutcome::Kind;
    if (auto refused = RefuseDestination(destination)) {
        LogLine(*refused);
        return Failed(Kind::Refused, *refused);
    }
    QUrl folderURL = destination.folderURL;
    QString path = folderURL.path(QUrl::FullyEncoded);
    if (!path.endsWith('/')) folderURL.setPath(path + '/', QUrl::StrictMode);
    CFReadStreamRef stream = CFReadStreamCreateWithFTPURL(folderURL);
    MyStreamInfo* info = nullptr;
    if (stream) MySetupStreamInfo(&info, stream, nullptr);
    if (!info) {
        if (stream) CFRelease(stream);
        LogEntry("The listing could not be configured.", true);
        return Failed(Kind::Refused, EngineText("The listing could not be configured."));
    }
    TransferOutcome outcome;
    info->beforeEntry = &beforeEntry;
    info->listingOutcome = &outcome;
    CFStreamClientContext context{0, info, nullptr, nullptr, nullptr};
    if (!CFReadStreamSetClient(stream, kMyStreamEvents, MyDirectoryListingCallBack, &context)) {
        LogEntry("CFReadStreamSetClient failed", true);
        MyCleanupStreamInfo(info);
        return Failed(Kind::Refused, EngineText("The listing could not be configured."));
    }
    CFReadStreamScheduleWithRunLoop(stream, CFRunLoopGetCurrent(), kCFRunLoopCommonModes);
    MyCFStreamSetUsernamePassword(stream, destination.user, destination.password);
    MyCFStreamSetFTPProxy(stream, info);
    if (!CFReadStreamOpen(stream)) {
        LogEntry("CFReadStreamOpen failed", true);
        const TransferOutcome o = OutcomeOfStreamError(CFReadStreamGetError(stream), false, 0, {});
        LogLine(o.reason);
        MyCleanupStreamInfo(info);
        return o;
    }
    CFRunLoopRun();
    return outcome;
}

void LogDirectoryListing(const Destination& destination, std::function<void()> beforeEntry) {
    // Counted as background work, so a host waits for it before it ends or
    // closes the library holding this code.
    plat::StartBackgroundWork([destination, beforeEntry = std::move(beforeEntry)] {
        ListFolder(destination, beforeEntry);
    });
}

void MyHandleListingEvent(CFReadStreamRef stream, CFStreamEventType event, MyStreamInfo* info) {
    char line[256];
    switch (event) {
    case kCFStreamEventOpenCompleted:
        info->connected = true;
        LogEntry("Open complete", true);
        break;
    case kCFStreamEventHasBytesAvailable: {
        long total = 0;
        for (;;) {
            const CFIndex room = kMyBufferSize - info->pendingByteCount;
            const CFIndex got =
                CFReadStreamRead(stream, info->buffer + info->pendingByteCount, room);
            if (got < 0) {
                std::snprintf(line, sizeof line, "CFReadStreamRead returned %ld", long(got));
                LogEntry(line, true);
                break;
            }
            if (got == 0) break;
            CFIndex available = info->pendingByteCount + got;
            total += long(available);
            const UInt8* at = info->buffer;
            if (info->skippingLongLine) {
                // The rest of a line too long for the buffer: drop it up to its end.
                const UInt8* end =
                    static_cast<const UInt8*>(std::memchr(at, '\n', std::size_t(available)));
                if (!end)
                    end = static_cast<const UInt8*>(std::memchr(at, '\r', std::size_t(available)));
                if (!end) {
                    info->pendingByteCount = 0;
                    if (!CFReadStreamHasBytesAvailable(stream)) break;
                    continue;
                }
                available -= (end + 1 - at);
                at = end + 1;
                info->skippingLongLine = false;
            }
            bool failed = false;
            for (;;) {
                std::optional<PlistDictionary> parsed;
                const CFIndex used =
                    CFFTPCreateParsedResourceListing(nullptr, at, available, &parsed);
                if (used > 0) {
                    if (parsed) {
                        if (info->beforeEntry && *info->beforeEntry) (*info->beforeEntry)();
                        // The whole line in one append: an upload may log beside it.
                        LogEntry(ListingEntryLine(*parsed).constData(), true);
                    }
                    at += used;
                    available -= used;
                    info->pendingByteCount = SInt32(available);
                    continue;
                }
                if (used == 0) {
                    if (available == kMyBufferSize) {
                        LogEntry("Skipped a listing line longer than 32768 bytes", true);
                        info->skippingLongLine = true;
                        available = 0;
                    }
                    info->pendingByteCount = SInt32(available);
                    total -= long(available);
                    std::memmove(info->buffer, at, std::size_t(available));
                } else if (used == -1) {
                    LogEntry("CFFTPCreateParsedResourceListing parse failure", true);
                    failed = true;
                } else {
                    info->pendingByteCount = 0;
                }
                break;
            }
            if (failed) {
                if (info->listingOutcome) {
                    info->listingOutcome->kind = TransferOutcome::Kind::CutOff;
                    info->listingOutcome->reason = EngineText("The listing could not be read.");
                }
                MyFinishTransfer(info);
                return;
            }
            if (!CFReadStreamHasBytesAvailable(stream)) break;
        }
        std::snprintf(line, sizeof line, "Read %ld bytes", total);
        LogEntry(line, true);
        break;
    }
    case kCFStreamEventErrorOccurred: {
        const CFStreamError error = CFReadStreamGetError(stream);
        std::snprintf(line, sizeof line, "CFReadStreamGetError returned (%d, %ld)",
                      int(error.domain), long(error.error));
        LogEntry(line, true);
        TransferOutcome o = OutcomeOfStreamError(error, info->connected, 0, LastReply(stream));
        LogLine(plat::FillFormat(EngineText("The folder was not listed: %@"), {o.Explanation()}));
        if (info->listingOutcome) *info->listingOutcome = o;
        MyFinishTransfer(info);
        break;
    }
    case kCFStreamEventEndEncountered:
        LogEntry("Listing complete", true);
        MyFinishTransfer(info);
        break;
    default:
        std::snprintf(line, sizeof line, "Received unexpected CFStream event (%d)", int(event));
        LogEntry(line, true);
        break;
    }
}
