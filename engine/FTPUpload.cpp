// The droplet's transfers: one file uploaded from a worker thread while the
// main thread keeps the window alive, and the server folder listed into the
// log. The destination comes from the settings sheet, copied before the
// worker starts.
#include "engine/FTPUpload.h"

#include "engine/AppHost.h"
#include "engine/Logging.h"
#include "engine/Settings.h"
#include "platform/FTPListing.h"
#include "platform/MainThread.h"
#include "platform/TextEncoding.h"
#include "toolkit/Utilities.h"

#include <QFileInfo>
#include <QUrl>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

std::atomic<bool> gUploadDone{false};
std::atomic<bool> gHadError{false};
CString256 gTheError;
std::atomic<UInt64> gTotalBytesWritten{0};

namespace {

constexpr std::size_t kPathBufferSize = 32000;
constexpr UInt16 kIsInvisible = 0x4000;

void Log(const QString& text) {
    LogEntry(CString256(text).c_str(), true);
}

// Log lines carry the path as Mac Roman where it can be, else its UTF-8 bytes.
CString256 LogText(const char* prefix, const QString& text) {
    CString256 line(prefix);
    if (plat::QStringToMacRoman(text))
        line += text;
    else
        line += text.toUtf8().constData();
    return line;
}

void Fail(const QString& text) {
    gHadError = true;
    gTheError = LocalizedString(text);
}

// The destination as the worker builds it: nullopt with a log line when a
// setting is missing; an invalid URL is reported as a failure.
struct Destination {
    QUrl folderURL;
    std::optional<QString> user, password;
};

std::optional<Destination> ReadDestination(bool forListing) {
    auto host = GetHost();
    if (!host) {
        LogEntry("No host.", true);
        return std::nullopt;
    }
    QString text = "ftp://" + *host;
    auto folder = GetFolderPath(true);
    if (!folder) {
        LogEntry("No FTP server folder.", true);
        return std::nullopt;
    }
    text += *folder;
    Destination d;
    d.user = GetUsername();
    if (!d.user) {
        LogEntry("No username.", true);
        return std::nullopt;
    }
    d.password = GetPassword();
    if (!d.password) {
        LogEntry("No password.", true);
        return std::nullopt;
    }
    if (forListing && !text.endsWith('/')) text += '/';
    d.folderURL = QUrl(text, QUrl::StrictMode);
    return d;
}

// Checks made before anything is sent; the failure text, or nullopt.
std::optional<QString> RefuseDestination(const Destination& d) {
    // A password the keychain could not give is never sent as an empty one.
    if (auto trouble = GetSettingsTrouble()) return trouble;
    return ::RefuseDestination(d.folderURL, d.user, d.password);
}

void run(std::unique_ptr<char[]> pathBuffer, ConnectionSnapshot settings, QByteArray remoteName) {
    ScopedConnectionSnapshot scope(std::move(settings));
    // The path's bytes go to the file system and the server; the text, with
    // any bytes that are not UTF-8 shown as U+FFFD, to the log.
    const std::string_view pathBytes(pathBuffer.get());
    const QString path = QString::fromUtf8(pathBuffer.get());
    bool reachedUploading = false;
    [&] {
        auto dest = ReadDestination(false);
        if (!dest) return;
        const QUrl fileURL = plat::FileURLOfPathBytes(pathBytes);
        reachedUploading = true;
        if (auto refused = RefuseDestination(*dest)) {
            Log(*refused);
            Fail(*refused);
            LogEntry(LogText("Uploading ", path).c_str(), true);
            return;
        }
        // The name goes out byte for byte, whether the file's own or the caller's.
        const QUrl uploadURL = AppendFileName(
            dest->folderURL, remoteName.isEmpty() ? pathBytes : remoteName.toStdString());
        std::optional<QString> openFailure;
        const MyUploadStart started = MyStartUpload(fileURL, uploadURL, dest->user, dest->password,
                                                    MyUploadCallBack, &openFailure);
        // The alert's text for each step that can fail.
        switch (started) {
        case MyUploadStart::Started:
            break;
        case MyUploadStart::NotConfigured:
            Fail(QStringLiteral("The upload could not be configured."));
            break;
        case MyUploadStart::ReadOpenFailed:
            Fail(openFailure.value_or(QStringLiteral("Could not open a readable connection.")));
            break;
        case MyUploadStart::ClientFailed:
            Fail(QStringLiteral("Could not configure a writable connection."));
            break;
        case MyUploadStart::WriteOpenFailed:
            Fail(openFailure.value_or(QStringLiteral("Could not open a writable connection.")));
            break;
        }
        LogEntry(LogText("Uploading ", path).c_str(), true);
        if (started == MyUploadStart::Started) CFRunLoopRun();
    }();
    if (reachedUploading) LogEntry("Done.", true);
    gUploadDone.store(true, std::memory_order_release);
    plat::WakeMainThread();
}

} // namespace

void ReportErrorAlert() {
    auto text = CFStringCreateWithCString(gTheError.c_str(), kCFStringEncodingMacRoman);
    ShowStopAlert(LocalizedString(QStringLiteral("An error occurred:")),
                  text ? *text
                       : LocalizedString(QStringLiteral("<error message can't be created!>")));
}

bool FTPUpload(const FSRef* file) {
    return FTPUpload(file, QByteArray());
}

bool FTPUpload(const FSRef* file, const QByteArray& remoteName) {
    gHadError = false;
    gUploadDone = false;
    gTotalBytesWritten = 0;

    FSCatalogInfo catalog;
    if (FSGetCatalogInfo(file, kFSCatInfoNodeFlags | kFSCatInfoFinderInfo, &catalog, nullptr,
                         nullptr, nullptr) == noErr &&
        !(catalog.nodeFlags & kFSNodeIsDirectoryMask)) {
        const UInt16 finderFlags = UInt16(catalog.finderInfo[8] << 8 | catalog.finderInfo[9]);
        if (finderFlags & kIsInvisible) return false;
    }

    const char* failure = nullptr;
    UInt64 size = 0;
    std::optional<QString> name;
    if (plat::DataForkSize(*file, &size) != noErr)
        failure = "The size of the file could not be determined.";
    else if (!(name = FSGetName(file)))
        failure = "The name of the file could not be determined.";
    if (!failure) {
        print_message(
            FillFormat(LocalizedString(QStringLiteral("Initializing FTP Upload: %@")), {*name}), 1);
        const std::optional<std::string> path = plat::PathBytesOfRef(*file);
        const QByteArray bytes = path ? QByteArray::fromStdString(*path) : QByteArray();
        if (!path || std::size_t(bytes.size()) + 1 > kPathBufferSize) {
            failure = "The upload could not be configured.";
        } else {
            auto buffer = std::make_unique<char[]>(kPathBufferSize);
            std::memcpy(buffer.get(), bytes.constData(), std::size_t(bytes.size()) + 1);
            try {
                std::thread(run, std::move(buffer), TakeConnectionSnapshot(), remoteName).detach();
            } catch (...) {
                failure = "The upload could not be configured.";
            }
        }
    }
    if (failure) {
        gTheError = LocalizedString(QString::fromLatin1(failure));
        ReportErrorAlert();
        return true;
    }

    int previous = 0;
    while (!gUploadDone.load(std::memory_order_acquire)) {
        // A 0-byte file has no percentage to show.
        if (size > 0) {
            const UInt64 written = gTotalBytesWritten.load();
            const int percent = int(double(float(written) / float(size)) * 100.0);
            if (percent != previous) {
                print_message(FillFormat(LocalizedString(QStringLiteral(
                                             "File: %@ (%@ complete, %d of %d bytes)")),
                                         {*name, QString::number(percent), QString::number(written),
                                          QString::number(size)}),
                              1);
                previous = percent;
            }
        }
        YieldToEventLoop(5);
    }
    if (gHadError) ReportErrorAlert();
    return gHadError;
}

void MyUploadCallBack(CFWriteStreamRef stream, CFStreamEventType event, void* context) {
    auto* info = static_cast<MyStreamInfo*>(context);
    char line[256];
    switch (event) {
    case kCFStreamEventOpenCompleted:
        LogEntry("Connected", true);
        break;
    case kCFStreamEventCanAcceptBytes:
        if (!MySendAvailableBytes(stream, info, [](MyStreamInfo*, CFIndex written) {
                gTotalBytesWritten += UInt64(written);
            })) {
            Fail(ReadFailureText(info->readStream)
                     .value_or(QStringLiteral("An error occurred reading data.")));
            MyFinishTransfer(info);
        }
        break;
    case kCFStreamEventErrorOccurred: {
        const CFStreamError error = CFWriteStreamGetError(stream);
        std::snprintf(line, sizeof line, "CFWriteStreamGetError returned (%d, %ld)",
                      int(error.domain), long(error.error));
        LogEntry(line, true);
        gHadError = true;
        gTheError = line;
        if (auto helpful = HelpfulErrorText(error, true)) {
            gTheError = *helpful;
            LogEntry(gTheError.c_str(), true);
        }
        MyFinishTransfer(info);
        break;
    }
    case kCFStreamEventEndEncountered:
        std::snprintf(line, sizeof line, "Upload complete (%llu bytes sent)",
                      static_cast<unsigned long long>(info->bytesWritten));
        LogEntry(line, true);
        MyFinishTransfer(info);
        break;
    default:
        std::snprintf(line, sizeof line, "Received unexpected CFStream event (%d)", int(event));
        LogEntry(line, true);
        break;
    }
}

// ---------------------------------------------------------------------------
// Listing

namespace {

void WriteEntryLine(const PlistDictionary& entry) {
    OpenConsole();
    const QByteArray line = ListingEntryLine(entry);
    LogLineGuard guard;
    // Pieces of at most 255 bytes, then the final space with the line end.
    const QByteArray body = line.left(line.size() - 1);
    for (qsizetype at = 0; at < body.size(); at += 255)
        LogEntry(body.mid(at, 255).constData(), false);
    LogEntry(" ", true);
}

void dir_run(ConnectionSnapshot settings) {
    ScopedConnectionSnapshot scope(std::move(settings));
    auto dest = ReadDestination(true);
    if (!dest) return;
    if (auto refused = RefuseDestination(*dest)) {
        Log(*refused);
        return;
    }
    MyRunListing(dest->folderURL, dest->user, dest->password, MyDirectoryListingCallBack);
}

} // namespace

void LogDirectoryListing() {
    try {
        std::thread(dir_run, TakeConnectionSnapshot()).detach();
    } catch (...) {
        // Failures to start are silent.
    }
}

void MyDirectoryListingCallBack(CFReadStreamRef stream, CFStreamEventType event, void* context) {
    MyHandleListingEvent(stream, event, static_cast<MyStreamInfo*>(context), WriteEntryLine);
}
