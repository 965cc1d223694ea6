#include "engine/LoggingCM.h"

#include "engine/FTPUpload.h"
#include "engine/LogSupport.h"
#include "platform/Files.h"
#include "platform/LaunchServices.h"
#include "platform/TextEncoding.h"

#include <QUrl>
#include <cstring>
#include <mutex>
#include <shared_mutex>

int fileRefNum = 0;

namespace {

// Writers hold it shared while they use fileRefNum, so StopLogging
// (exclusive) never closes the descriptor under a worker's write.
LogLock gLogLock;

const QString kLogFileName = QStringLiteral("LoftwiseCM.log");

// Mac Roman into a 256-byte buffer: false when it does not convert or does
// not fit in 255 bytes.
bool ToEntryBuffer(const QString& text, char (&buffer)[256]) {
    return CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingMacRoman);
}

void WriteFramingLine(const char* verb) {
    const QDateTime now = QDateTime::currentDateTime();
    const QString line = QStringLiteral("LoftwiseCM %1 logging at %2 on %3.\r")
                             .arg(QLatin1String(verb), LogTimeString(now), LogDateString(now));
    char buffer[256];
    if (ToEntryBuffer(line, buffer)) AppendWhole(fileRefNum, buffer);
}

// Closes the open log with its stop line; the caller holds the lock.
OSStatus CloseLocked() {
    if (fileRefNum <= 0) return noErr;
    WriteFramingLine("stopping");
    const OSStatus err = CloseLog(fileRefNum);
    fileRefNum = 0;
    return err;
}

} // namespace

void StartLogging() {
    std::unique_lock lock(gLogLock);
    // A second start without a stop closes the first period properly.
    CloseLocked();
    // Unlike the Mac's, this logs folder is ours and may not exist yet.
    FSRef logs, file;
    if (FSFindFolder(kUserDomain, kLogsFolderType, kCreateFolder, &logs) != noErr) return;
    bool created = false;
    OSStatus err = FindOrCreateLogItem(logs, kLogFileName, false, &file, &created);
    if (err != noErr) return;
    if (created) FNNotify(&logs);
    const auto path = plat::PathBytesOfRef(file);
    if (!path) return;
    fileRefNum = OpenLogForAppend(*path, &err);
    if (fileRefNum <= 0) return;
    WriteFramingLine("starting");
}

OSStatus StopLogging() {
    std::unique_lock lock(gLogLock);
    return CloseLocked();
}

OSStatus Write_Entry(const char* text) {
    if (!text) return paramErr;
    std::shared_lock lock(gLogLock);
    if (fileRefNum <= 0) return noErr;
    return AppendWhole(fileRefNum, text);
}

void LogEntry(const char* text, bool addLineEnd) {
    if (!text) return;
    // A control character in a name must not start a line of its own.
    QString entry = plat::MacRomanToQString(EscapeControlCharacters(std::string_view(text)));
    if (addLineEnd) entry += QLatin1Char('\r');
    char buffer[256];
    if (ToEntryBuffer(entry, buffer)) Write_Entry(buffer);
}

void LogEntryCFString(const QString& text) {
    char buffer[256];
    if (ToEntryBuffer(EscapeControlCharacters(text) + QLatin1Char('\r'), buffer))
        Write_Entry(buffer);
}

void LogEntryFormat(const QString& format, const QStringList& values) {
    QStringList shown;
    for (const QString& value : values)
        shown << EscapeControlCharacters(value);
    // Characters Mac Roman lacks become '?' and a long line is cut, so that
    // the values still show rather than the whole entry being dropped.
    std::string bytes = MacRomanOrQuestionMarks(FillFormat(format, shown));
    if (bytes.size() > 254) bytes.resize(254);
    bytes += '\r';
    Write_Entry(bytes.c_str());
}

void OpenConsole(const QString& fileName) {
    FSRef logs, file;
    if (FSFindFolder(kUserDomain, kLogsFolderType, kDontCreateFolder, &logs) != noErr) return;
    if (FSMakeFSRefUnicode(&logs, fileName, &file) != noErr) return;
    const auto path = plat::PathOfRef(file);
    if (!path) return;
    LSOpenCFURLRef(QUrl::fromLocalFile(*path), nullptr);
}
