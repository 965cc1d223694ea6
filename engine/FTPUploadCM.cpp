// The plug-in's transfers: one file uploaded from a joinable worker while the
// Finder's thread waits for it, and after a completed upload the destination
// folder listed into the log by a detached worker. The destination is the
// chosen menu item's ftp URL; progress goes to the log, never to a dialog.
#include "engine/FTPUpload.h"

#include "cmplugin/LocalizedStrings.h"
#include "cmplugin/Preferences.h"
#include "cmplugin/Utils.h"
#include "engine/LogSupport.h"
#include "engine/LoggingCM.h"
#include "platform/BackgroundWork.h"

#include <QFileInfo>
#include <cstdio>
#include <cstring>
#include <memory>
#include <pthread.h>
#include <thread>

UInt64 gFileSize = 0;
char gRunData[kRunDataSize];
QUrl gDestination;

namespace {

const QString kLogFileName = QStringLiteral("LoftwiseCM.log");

// A line from a platform string. Characters Mac Roman lacks become '?' and a
// long line is cut, so that a file's name still shows instead of the whole
// line being dropped.
QString DateText() {
    return CurrentDateString().value_or(QString());
}

// The URL's path as written (escapes kept); "/" when it has none.
QString FolderPathOf(const QUrl& url) {
    const QString folder = url.path(QUrl::FullyEncoded);
    return folder.isEmpty() ? QStringLiteral("/") : folder;
}

// What the workers take from an item URL.
struct Destination {
    QString text; // "ftp://" + host (and port) + folder path as written
    QString user, password;
};

// Host, user name, password and folder of an item URL; nullopt when one of
// them is missing. The port is kept: a server on another port than 21 is
// otherwise unreachable (and would be sent the credentials meant for it).
std::optional<Destination> ReadDestination(const QUrl& url, bool forListing) {
    const QString host = url.host(QUrl::FullyEncoded);
    Destination d;
    d.user = url.userName(QUrl::FullyDecoded);
    d.password = url.password(QUrl::FullyDecoded);
    if (host.isEmpty() || d.user.isEmpty() || d.password.isEmpty()) return std::nullopt;
    const QString folder = FolderPathOf(url);
    d.text = QStringLiteral("ftp://") + (host.contains(':') ? '[' + host + ']' : host);
    if (url.port() >= 0) d.text += ':' + QString::number(url.port());
    d.text += folder;
    if (forListing && !d.text.endsWith('/')) d.text += '/';
    return d;
}

void* run(void* argument) {
    // The path's bytes, as they are on disk, also when they are not UTF-8.
    const std::string_view path(static_cast<const char*>(argument));
    const auto dest = ReadDestination(gDestination, false);
    if (!dest) return nullptr;
    LogLine(LocalizedString("Starting upload..."));
    const QUrl folderURL(dest->text, QUrl::StrictMode);
    if (auto refused = RefuseDestination(folderURL, dest->user, dest->password)) {
        LogLine(*refused);
        return nullptr;
    }
    const QUrl fileURL = plat::FileURLOfPathBytes(path);
    const QUrl uploadURL = AppendFileName(folderURL, path);
    const MyUploadStart started =
        MyStartUpload(fileURL, uploadURL, dest->user, dest->password, MyUploadCallBack);
    if (started == MyUploadStart::NotConfigured)
        LogEntry("The upload could not be configured.", true);
    if (started == MyUploadStart::Started) CFRunLoopRun();
    return nullptr;
}

// Logs the whole percentage sent when it has changed since the last line.
void LogProgress(MyStreamInfo* info) {
    if (gFileSize == 0) return; // an empty file has no percentage
    const auto percent = SInt32(double(float(info->bytesWritten) / float(gFileSize)) * 100.0);
    if (percent == info->lastPercent) return;
    info->lastPercent = percent;
    LogLine(QString::number(percent) + LocalizedString("% complete"));
}

} // namespace

QString GetFolderPath() {
    return FolderPathOf(gDestination);
}

int FTPUpload(const FSRef* file, const QUrl& destination) {
    gFileSize = 0;
    if (!file) return -1;
    UInt64 size = 0;
    if (plat::DataForkSize(*file, &size) != noErr) return -1;
    QString name;
    if (FSGetCatalogInfo(file, kFSCatInfoNone, nullptr, &name, nullptr, nullptr) != noErr)
        return -1;
    gFileSize = size;
    gDestination = destination;

    if (OpenConsoleLog()) OpenConsole(kLogFileName);
    LogEntryFormat(LocalizedString("%@\nUploading File: %@"), {DateText(), name});

    const std::optional<std::string> path = plat::PathBytesOfRef(*file);
    const QByteArray bytes = path ? QByteArray::fromStdString(*path) : QByteArray();
    if (!path || bytes.contains('\0')) {
        LogEntry("The upload could not be configured.", true);
        return -1;
    }
    if (std::size_t(bytes.size()) + 1 > kRunDataSize) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "The upload could not be configured: the file's path is longer than %d "
                      "bytes.",
                      int(kRunDataSize - 1));
        LogEntry(line, true);
        return -1;
    }
    std::memcpy(gRunData, bytes.constData(), std::size_t(bytes.size()) + 1);

    pthread_attr_t attributes;
    int err = pthread_attr_init(&attributes);
    if (err) return err;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_JOINABLE);
    pthread_t worker;
    err = pthread_create(&worker, &attributes, run, gRunData);
    pthread_attr_destroy(&attributes);
    if (err) {
        LogEntry("The upload could not be configured.", true);
        return err;
    }
    return pthread_join(worker, nullptr);
}

void MyUploadCallBack(CFWriteStreamRef stream, CFStreamEventType event, void* context) {
    auto* info = static_cast<MyStreamInfo*>(context);
    char line[256];
    switch (event) {
    case kCFStreamEventOpenCompleted:
        LogEntry("Connected", true);
        break;
    case kCFStreamEventCanAcceptBytes:
        if (!MySendAvailableBytes(stream, info, [](MyStreamInfo* i, CFIndex) { LogProgress(i); }))
            MyFinishTransfer(info);
        break;
    case kCFStreamEventErrorOccurred: {
        const CFStreamError error = CFWriteStreamGetError(stream);
        std::snprintf(line, sizeof line, "CFWriteStreamGetError returned (%d, %ld)",
                      int(error.domain), long(error.error));
        LogEntry(line, true);
        // No server texts here: the plug-in shows no alert to explain.
        if (auto helpful = HelpfulErrorText(error, false)) LogLine(*helpful);
        MyFinishTransfer(info);
        break;
    }
    case kCFStreamEventEndEncountered:
        std::snprintf(line, sizeof line, "Upload complete (%llu bytes sent)",
                      static_cast<unsigned long long>(info->bytesWritten));
        LogEntry(line, true);
        // Closed first, so that the listing can reuse the logged-in connection.
        MyFinishTransfer(info);
        if (ShouldLogDirectoryListing()) LogDirectoryListing(gDestination);
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

// The whole line in one append: the listing runs beside the next upload,
// whose lines must not land inside an entry.
void WriteEntryLine(const PlistDictionary& entry) {
    QByteArray line = ListingEntryLine(entry);
    line += '\r';
    Write_Entry(line.constData());
}

void dir_run(const QUrl& destination) {
    const auto dest = ReadDestination(destination, true);
    if (!dest) return;
    LogEntryFormat(LocalizedString("%@\nDirectory Listing: %@"), {DateText(), dest->text});
    const QUrl folderURL(dest->text, QUrl::StrictMode);
    if (auto refused = RefuseDestination(folderURL, dest->user, dest->password)) {
        LogLine(*refused);
        return;
    }
    MyRunListing(folderURL, dest->user, dest->password, MyDirectoryListingCallBack);
}

} // namespace

void LogDirectoryListing(const QUrl& destination) {
    try {
        // The thread gets its own copy now: the next upload replaces
        // gDestination. It counts as background work, so a host waits for it
        // before it ends or closes this library.
        plat::StartBackgroundWork([destination = QUrl(destination)] { dir_run(destination); });
    } catch (...) {
        // Failures to start are silent.
    }
}

void MyDirectoryListingCallBack(CFReadStreamRef stream, CFStreamEventType event, void* context) {
    MyHandleListingEvent(stream, event, static_cast<MyStreamInfo*>(context), WriteEntryLine);
}
