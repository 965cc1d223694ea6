// What the droplet's and the plug-in's transfers share: the per-transfer
// record, the stream set-up helpers, the listing callback's work, error
// texts, format filling, address checks and the listing's entry line.
#include "engine/FTPUpload.h"

#include "engine/LogSupport.h"
#if defined(LOFTWISE_PLUGIN_BUILD)
#include "engine/LoggingCM.h"
#else
#include "engine/Logging.h"
#endif
#include "platform/FTPListing.h"
#include "platform/Proxies.h"

#include <QLocale>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

void MySetupStreamInfo(MyStreamInfo** info, CFReadStreamRef readStream,
                       CFWriteStreamRef writeStream) {
    auto* record = new (std::nothrow) MyStreamInfo;
    if (record) {
        record->readStream = readStream;
        record->writeStream = writeStream;
    }
    *info = record;
}

void MyCleanupStreamInfo(MyStreamInfo* info) {
    if (!info) return;
    if (info->readStream) {
        CFReadStreamUnscheduleFromRunLoop(info->readStream, CFRunLoopGetCurrent(),
                                          kCFRunLoopCommonModes);
        CFReadStreamSetClient(info->readStream, kCFStreamEventNone, nullptr, nullptr);
        CFReadStreamClose(info->readStream);
        CFRelease(info->readStream);
    }
    if (info->writeStream) {
        CFWriteStreamUnscheduleFromRunLoop(info->writeStream, CFRunLoopGetCurrent(),
                                           kCFRunLoopCommonModes);
        CFWriteStreamSetClient(info->writeStream, kCFStreamEventNone, nullptr, nullptr);
        CFWriteStreamClose(info->writeStream);
        CFRelease(info->writeStream);
    }
    delete info;
}

static bool SetStreamProperty(CFTypeRef stream, const QString& key, const PlistValue& value) {
    if (CFGetTypeID(stream) == CFReadStreamGetTypeID())
        return CFReadStreamSetProperty(static_cast<CFReadStreamRef>(const_cast<CFType*>(stream)),
                                       key, value);
    return CFWriteStreamSetProperty(static_cast<CFWriteStreamRef>(const_cast<CFType*>(stream)), key,
                                    value);
}

static bool IsStream(CFTypeRef stream) {
    return stream && (CFGetTypeID(stream) == CFReadStreamGetTypeID() ||
                      CFGetTypeID(stream) == CFWriteStreamGetTypeID());
}

void MyCFStreamSetUsernamePassword(CFTypeRef stream, const std::optional<QString>& user,
                                   const std::optional<QString>& password) {
    if (!user || user->isEmpty()) return;
    if (!IsStream(stream)) {
        LogEntry("This is not a CFStream", true);
        return;
    }
    SetStreamProperty(stream, kCFStreamPropertyFTPUserName, PlistValue(*user));
    if (password) SetStreamProperty(stream, kCFStreamPropertyFTPPassword, PlistValue(*password));
}

void MyCFStreamSetFTPProxy(CFTypeRef stream, MyStreamInfo* info) {
    std::optional<PlistDictionary> proxies = SCDynamicStoreCopyProxies(nullptr);
    bool passive = true;
    if (proxies) {
        auto it = proxies->find(kSCPropNetProxiesFTPPassive);
        if (it != proxies->end() && it->second.asInteger()) passive = *it->second.asInteger() != 0;
    }
    if (!IsStream(stream)) {
        LogEntry("This is not a CFStream", true);
    } else {
        if (proxies) SetStreamProperty(stream, kCFStreamPropertyFTPProxy, PlistValue(*proxies));
        SetStreamProperty(stream, kCFStreamPropertyFTPUsePassiveMode, PlistValue::boolean(passive));
    }
    if (info) info->proxyDict = std::move(proxies);
}

std::optional<QString> ReadFailureText(CFReadStreamRef stream) {
    return HelpfulErrorText(CFReadStreamGetError(stream), false);
}

static void LogReadFailure(CFReadStreamRef stream) {
    if (auto text = ReadFailureText(stream)) LogLine(*text);
}

bool MySendAvailableBytes(CFWriteStreamRef stream, MyStreamInfo* info,
                          void (*afterWrite)(MyStreamInfo* info, CFIndex written)) {
    char line[64];
    for (;;) {
        CFIndex block = info->pendingByteCount;
        if (block == 0) {
            block = CFReadStreamRead(info->readStream, info->buffer, kMyBufferSize);
            if (block < 0) {
                std::snprintf(line, sizeof line, "CFReadStreamRead returned %ld", long(block));
                LogEntry(line, true);
                LogReadFailure(info->readStream);
                return false;
            }
        }
        const CFIndex written = CFWriteStreamWrite(stream, info->buffer, block);
        if (written < 0) {
            std::snprintf(line, sizeof line, "CFWriteStreamWrite returned %ld", long(written));
            LogEntry(line, true);
            return true;
        }
        // Bytes read but not taken stay for the next round: none is lost.
        info->pendingByteCount = SInt32(block - written);
        if (written == 0) return true;
        info->bytesWritten += UInt64(written);
        if (info->pendingByteCount > 0)
            std::memmove(info->buffer, info->buffer + written, std::size_t(info->pendingByteCount));
        if (afterWrite) afterWrite(info, written);
        if (!CFWriteStreamCanAcceptBytes(stream)) return true;
    }
}

void MyFinishTransfer(MyStreamInfo* info) {
    MyCleanupStreamInfo(info);
    CFRunLoopStop(CFRunLoopGetCurrent());
}

MyUploadStart MyStartUpload(const QUrl& fileURL, const QUrl& uploadURL,
                            const std::optional<QString>& user,
                            const std::optional<QString>& password,
                            CFWriteStreamClientCallBack callback,
                            std::optional<QString>* openFailure) {
    CFReadStreamRef readStream = CFReadStreamCreateWithFile(fileURL);
    CFWriteStreamRef writeStream = CFWriteStreamCreateWithFTPURL(uploadURL);
    MyStreamInfo* info = nullptr;
    if (readStream && writeStream) MySetupStreamInfo(&info, readStream, writeStream);
    if (!info) {
        if (readStream) CFRelease(readStream);
        if (writeStream) CFRelease(writeStream);
        return MyUploadStart::NotConfigured;
    }
    if (!CFReadStreamOpen(readStream)) {
        LogEntry("CFReadStreamOpen failed", true);
        LogReadFailure(readStream);
        if (openFailure) *openFailure = ReadFailureText(readStream);
        MyCleanupStreamInfo(info);
        return MyUploadStart::ReadOpenFailed;
    }
    CFStreamClientContext context{0, info, nullptr, nullptr, nullptr};
    if (!CFWriteStreamSetClient(writeStream, kMyStreamEvents, callback, &context)) {
        LogEntry("CFWriteStreamSetClient failed", true);
        MyCleanupStreamInfo(info);
        return MyUploadStart::ClientFailed;
    }
    CFWriteStreamScheduleWithRunLoop(writeStream, CFRunLoopGetCurrent(), kCFRunLoopCommonModes);
    MyCFStreamSetUsernamePassword(writeStream, user, password);
    MyCFStreamSetFTPProxy(writeStream, info);
    if (!CFWriteStreamOpen(writeStream)) {
        LogEntry("CFWriteStreamOpen failed", true);
        // Refused before connecting (a name FTP cannot carry, say): say why.
        const auto why = HelpfulErrorText(CFWriteStreamGetError(writeStream), true);
        if (why) LogLine(*why);
        if (openFailure) *openFailure = why;
        MyCleanupStreamInfo(info);
        return MyUploadStart::WriteOpenFailed;
    }
    return MyUploadStart::Started;
}

void MyRunListing(const QUrl& folderURL, const std::optional<QString>& user,
                  const std::optional<QString>& password, CFReadStreamClientCallBack callback) {
    CFReadStreamRef stream = CFReadStreamCreateWithFTPURL(folderURL);
    MyStreamInfo* info = nullptr;
    if (stream) MySetupStreamInfo(&info, stream, nullptr);
    if (!info) {
        if (stream) CFRelease(stream);
        LogEntry("The listing could not be configured.", true);
        return;
    }
    CFStreamClientContext context{0, info, nullptr, nullptr, nullptr};
    if (!CFReadStreamSetClient(stream, kMyStreamEvents, callback, &context)) {
        LogEntry("CFReadStreamSetClient failed", true);
        MyCleanupStreamInfo(info);
        return;
    }
    CFReadStreamScheduleWithRunLoop(stream, CFRunLoopGetCurrent(), kCFRunLoopCommonModes);
    MyCFStreamSetUsernamePassword(stream, user, password);
    MyCFStreamSetFTPProxy(stream, info);
    if (!CFReadStreamOpen(stream)) {
        LogEntry("CFReadStreamOpen failed", true);
        MyCleanupStreamInfo(info);
        return;
    }
    CFRunLoopRun();
}

void MyHandleListingEvent(CFReadStreamRef stream, CFStreamEventType event, MyStreamInfo* info,
                          MyListingEntryWriter writeEntry) {
    char line[256];
    switch (event) {
    case kCFStreamEventOpenCompleted:
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
                    if (parsed) writeEntry(*parsed);
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

std::optional<QString> RefuseDestination(const QUrl& folderURL, const std::optional<QString>& user,
                                         const std::optional<QString>& password) {
    // The path is checked decoded too: "%0D%0A" becomes a line break on the wire.
    if (plat::HasControlCharacter(folderURL.toString()) ||
        plat::HasControlCharacter(folderURL.host(QUrl::FullyDecoded)) ||
        plat::HasControlCharacter(folderURL.path(QUrl::FullyDecoded)) ||
        plat::HasControlCharacter(user.value_or(QString())) ||
        plat::HasControlCharacter(password.value_or(QString())))
        return HelpfulErrorText(
            {kCFStreamErrorDomainLoftwise, kLoftwiseStreamErrorControlCharacter}, true);
    if (!folderURL.isValid() || folderURL.host().isEmpty())
        return HelpfulErrorText({kCFStreamErrorDomainLoftwise, kLoftwiseStreamErrorBadURL}, true);
    return std::nullopt;
}

QUrl AppendFileName(const QUrl& folder, std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::string_view last = slash == path.npos ? path : path.substr(slash + 1);
    const QByteArray name(last.data(), qsizetype(last.size()));
    QUrl url = folder;
    QString encoded = url.path(QUrl::FullyEncoded);
    if (!encoded.endsWith('/')) encoded += '/';
    url.setPath(encoded + QString::fromLatin1(name.toPercentEncoding()), QUrl::StrictMode);
    return url;
}

QString FillFormat(const QString& format, const QStringList& values) {
    QString out;
    out.reserve(format.size() + 32);
    qsizetype next = 0;
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            qsizetype j = i + 1;
            while (j < format.size() && format[j] == 'l')
                ++j;
            if (j < format.size() && (format[j] == '@' || format[j] == 'd') &&
                next < values.size()) {
                out += values[next++];
                i = j;
                continue;
            }
        }
        out += format[i];
    }
    return out;
}

std::optional<QString> HelpfulErrorText(const CFStreamError& error, bool withServerTexts) {
    if (error.domain == kCFStreamErrorDomainFTP) {
        if (!withServerTexts) return std::nullopt;
        if (error.error == 530)
            return QStringLiteral("Check your username or password. (Server error code: %1)")
                .arg(error.error);
        if (error.error == 550)
            return QStringLiteral("Check that your folder exists or allows uploads for your "
                                  "account. (Server error code: %1)")
                .arg(error.error);
        return QStringLiteral("The FTP server returned error code: %1").arg(error.error);
    }
    if (error.domain == kCFStreamErrorDomainPOSIX) {
        // Keyed by condition: this platform's errno numbers are not the table's.
        switch (error.error) {
        case ENETDOWN:
            return QStringLiteral("Network is down");
        case ENETUNREACH:
            return QStringLiteral("Network is unreachable");
        case ENETRESET:
            return QStringLiteral("Network dropped connection on reset");
        case ECONNABORTED:
            return QStringLiteral("Software caused connection abort");
        case ECONNRESET:
            return QStringLiteral("Connection reset by peer");
        case ETIMEDOUT:
            return QStringLiteral("Operation timed out");
        case ECONNREFUSED:
            return QStringLiteral("Connection refused");
        default:
            return std::nullopt;
        }
    }
    // Loftwise's own stream errors are worded where they are defined.
    if (error.domain == kCFStreamErrorDomainLoftwise) return plat::StreamErrorText(error);
    return std::nullopt;
}

QByteArray ListingEntryLine(const PlistDictionary& entry) {
    auto integer = [&](const QString& key) -> std::optional<int64_t> {
        auto it = entry.find(key);
        if (it == entry.end() || !it->second.asInteger()) return std::nullopt;
        return *it->second.asInteger();
    };
    auto string = [&](const QString& key) -> std::optional<QString> {
        auto it = entry.find(key);
        if (it == entry.end() || !it->second.asString()) return std::nullopt;
        return *it->second.asString();
    };
    // Owner and group are shown in ASCII: other characters become '?'.
    auto ascii = [](const QString& s) {
        QByteArray out;
        for (QChar c : s)
            out += c.unicode() < 0x80 ? char(c.unicode()) : '?';
        return out.left(255);
    };
    char piece[1100];
    QByteArray line;
    auto type = integer(kCFFTPResourceType);
    auto mode = integer(kCFFTPResourceMode);
    if (type && mode) {
        char modeText[12];
        strmode(int(*type * 4096 + *mode), modeText);
        std::snprintf(piece, sizeof piece, "%s ", modeText);
        line += piece;
    }
    if (auto owner = string(kCFFTPResourceOwner)) {
        std::snprintf(piece, sizeof piece, "%9s", ascii(*owner).constData());
        line += piece;
    }
    if (auto group = string(kCFFTPResourceGroup)) {
        std::snprintf(piece, sizeof piece, "%9s", ascii(*group).constData());
        line += piece;
    }
    if (auto size = integer(kCFFTPResourceSize)) {
        std::snprintf(piece, sizeof piece, "%9lld ", static_cast<long long>(*size));
        line += piece;
    }
    auto date = entry.find(kCFFTPResourceModDate);
    if (date != entry.end() && date->second.asDate() && date->second.asDate()->isValid()) {
        const QByteArray text =
            QLocale::system()
                .toString(date->second.asDate()->toLocalTime(), QLocale::ShortFormat)
                .toUtf8()
                .left(255);
        std::snprintf(piece, sizeof piece, "%18s ", text.constData());
        line += piece;
    }
    auto name = string(kCFFTPResourceName);
    if (name) line += name->toUtf8().left(255);
    auto link = string(kCFFTPResourceLink);
    if (name && link && !link->isEmpty()) {
        std::snprintf(piece, sizeof piece, " -> %s", link->toUtf8().left(1023).constData());
        line += piece;
    }
    line += ' ';
    return line;
}
