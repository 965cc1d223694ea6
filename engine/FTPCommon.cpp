// The transfers' building blocks: the per-transfer record, the stream
// set-up helpers, outcomes and their texts, address checks and the
// listing's entry line.
#include "engine/FTPUpload.h"

#include "engine/EngineText.h"
#include "engine/Logging.h"
#include "platform/FTPListing.h"
#include "platform/Proxies.h"
#include "platform/SystemLog.h"

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
    const CFStreamError error = CFReadStreamGetError(stream);
    if (error.domain == kCFStreamErrorDomainFTP) return std::nullopt;
    return HelpfulErrorText(error);
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

std::optional<QString> RefuseDestination(const Destination& d) {
    if (!d.trouble.isEmpty()) return d.trouble;
    const QUrl& url = d.folderURL;
    // The path is checked decoded too: "%0D%0A" becomes a line break on the wire.
    if (plat::HasControlCharacter(url.toString()) ||
        plat::HasControlCharacter(url.host(QUrl::FullyDecoded)) ||
        plat::HasControlCharacter(url.path(QUrl::FullyDecoded)) ||
        plat::HasControlCharacter(d.user) || plat::HasControlCharacter(d.password))
        return plat::StreamErrorText(
            {kCFStreamErrorDomainLoftwise, kLoftwiseStreamErrorControlCharacter});
    if (!url.isValid() || url.host().isEmpty())
        return plat::StreamErrorText({kCFStreamErrorDomainLoftwise, kLoftwiseStreamErrorBadURL});
    return std::nullopt;
}

QUrl AppendFileName(const QUrl& folder, std::string_view last) {
    const QByteArray name(last.data(), qsizetype(last.size()));
    QUrl url = folder;
    QString encoded = url.path(QUrl::FullyEncoded);
    if (!encoded.endsWith('/')) encoded += '/';
    url.setPath(encoded + QString::fromLatin1(name.toPercentEncoding()), QUrl::StrictMode);
    return url;
}

std::optional<QString> HelpfulErrorText(const CFStreamError& error) {
    if (error.domain == kCFStreamErrorDomainFTP) {
        const QString code = QString::number(error.error);
        if (error.error == 530)
            return plat::FillFormat(
                EngineText("Check your username or password. (Server error code: %d)"), {code});
        if (error.error == 550)
            return plat::FillFormat(EngineText("Check that your folder exists or allows uploads "
                                               "for your account. (Server error code: %d)"),
                                    {code});
        return plat::FillFormat(EngineText("The FTP server returned error code: %d"), {code});
    }
    if (error.domain == kCFStreamErrorDomainPOSIX) {
        // Keyed by condition: this platform's errno numbers are not the table's.
        switch (error.error) {
        case ENETDOWN:
            return EngineText("Network is down");
        case ENETUNREACH:
            return EngineText("Network is unreachable");
        case ENETRESET:
            return EngineText("Network dropped connection on reset");
        case ECONNABORTED:
            return EngineText("Software caused connection abort");
        case ECONNRESET:
            return EngineText("Connection reset by peer");
        case ETIMEDOUT:
            return EngineText("Operation timed out");
        case ECONNREFUSED:
            return EngineText("Connection refused");
        case EHOSTUNREACH:
            return EngineText("No route to host");
        default:
            return std::nullopt;
        }
    }
    // The platform words the rest (names not found, Loftwise's own errors).
    if (error.domain == kCFStreamErrorDomainLoftwise || error.domain == kCFStreamErrorDomainNetDB)
        return plat::StreamErrorText(error);
    return std::nullopt;
}

QString Destination::Describe() const {
    QString text = folderURL.host(QUrl::FullyDecoded);
    if (folderURL.port() >= 0) text += ':' + QString::number(folderURL.port());
    QString path = folderURL.path(QUrl::FullyDecoded);
    if (!path.startsWith('/')) path.prepend('/');
    return text + path;
}

bool TransferOutcome::endsPass() const {
    switch (kind) {
    case Kind::Refused:
    case Kind::LoginRefused:
    case Kind::FolderRefused:
    case Kind::ConnectFailed:
    case Kind::Stopped:
        return true;
    default:
        return false;
    }
}

bool TransferOutcome::partialOnServer() const {
    return bytes > 0 && (kind == Kind::CutOff || kind == Kind::Stopped ||
                         kind == Kind::FileFailed || kind == Kind::Rejected);
}

QString TransferOutcome::Explanation() const {
    if (serverReply.isEmpty() || reason.contains(serverReply)) return reason;
    return plat::FillFormat(EngineText("%@ The server replied: %@"), {reason, serverReply});
}

TransferOutcome OutcomeOfStreamError(const CFStreamError& error, bool connected, UInt64 bytes,
                                     const QString& serverReply) {
    using Kind = TransferOutcome::Kind;
    TransferOutcome o;
    o.bytes = bytes;
    o.reason = HelpfulErrorText(error).value_or(plat::StreamErrorText(error));
    if (error.domain == kCFStreamErrorDomainFTP) {
        o.serverReply = serverReply;
        if (error.error == 530) o.kind = Kind::LoginRefused;
        // The folder goes with the STOR: a 550 before any data is the folder's.
        else if (error.error == 550 && bytes == 0)
            o.kind = Kind::FolderRefused;
        else if (error.error == 421 && !connected)
            o.kind = Kind::ConnectFailed;
        else if (!connected)
            // Refused before the transfer began: the folder could not be entered.
            o.kind = Kind::FolderRefused;
        else
            o.kind = bytes > 0 || error.error / 100 == 4 ? Kind::CutOff : Kind::Rejected;
        return o;
    }
    if (error.domain == kCFStreamErrorDomainLoftwise) {
        switch (error.error) {
        case kLoftwiseStreamErrorBadURL:
        case kLoftwiseStreamErrorControlCharacter:
            o.kind = Kind::Rejected; // the file's name: the destination was checked before
            return o;
        case kLoftwiseStreamErrorNotRegularFile:
        case kLoftwiseStreamErrorFileChanged:
            o.kind = Kind::FileFailed;
            return o;
        default:
            break;
        }
    }
    // Connections that failed: before the login was through, none was made.
    o.kind = connected ? Kind::CutOff : Kind::ConnectFailed;
    return o;
}

int WholePercent(UInt64 sent, UInt64 size) {
    if (size == 0) return 0;
    return int(double(float(sent) / float(size)) * 100.0);
}

QString PartialFileText(const QString& remoteName, UInt64 bytes, UInt64 size) {
    return plat::FillFormat(EngineText("\u201C%@\u201D on the server is incomplete: at most %@ of "
                                       "its %@ bytes arrived."),
                            {remoteName, QString::number(bytes), QString::number(size)});
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
