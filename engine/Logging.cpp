#include "engine/Logging.h"

#include "engine/LogSupport.h"
#include "engine/Settings.h"
#include "platform/Files.h"
#include "platform/LaunchServices.h"
#include "platform/TextEncoding.h"

#include <QUrl>
#include <mutex>
#include <shared_mutex>

CLog* gLogger = nullptr;

namespace {

// Writers hold it shared while they use gLogger, so StopLogging (exclusive)
// never closes or deletes a logger under a worker's write.
LogLock gLoggerLock;

// Taken by every entry, and across the entries of one multi-part line.
std::recursive_mutex gLineLock;

const QString kLogFolderName = QStringLiteral("Loftwise");

CString256 BuildName(const std::optional<QString>& host, const std::optional<QString>& folder) {
    CString256 name("Loftwise-");
    if (host) name += *host;
    if (folder) name += *folder;
    name += ".log";
    return name;
}

std::string FramingLine(const char* verb) {
    const QDateTime now = QDateTime::currentDateTime();
    const QString line = QStringLiteral("Loftwise %1 logging at %2 on %3.\r")
                             .arg(QLatin1String(verb), LogTimeString(now), LogDateString(now));
    return MacRomanOrQuestionMarks(line);
}

} // namespace

CString256 AppLogFileName(bool* hostExists) {
    const auto host = GetHost();
    if (hostExists) *hostExists = host.has_value();
    return BuildName(host, GetFolderPath(false));
}

QString AppLogDiskName(const CString256& fileName) {
    // "/" is a character of the name, not a separator; it is stored as ":"
    // as the file system shows it.
    QString name = plat::MacRomanToQString(fileName.c_str());
    name.replace(QLatin1Char('/'), QLatin1Char(':'));
    // Mac Roman letters beyond ASCII take two or three bytes on disk.
    while (name.toUtf8().size() > 255)
        name.chop(1);
    return name;
}

CLog::~CLog() {
    if (m_refNum > 0) CloseLog(m_refNum);
}

OSStatus CLog::OpenLogFile(const CString256& fileName) {
    if (m_refNum > 0) return noErr;
    FSRef logs, folder, file;
    if (OSStatus err = FSFindFolder(kUserDomain, kLogsFolderType, kCreateFolder, &logs)) return err;
    if (OSStatus err = FindOrCreateLogItem(logs, kLogFolderName, true, &folder)) return err;
    bool created = false;
    if (OSStatus err =
            FindOrCreateLogItem(folder, AppLogDiskName(fileName), false, &file, &created))
        return err;
    if (created) FNNotify(&folder);
    const auto path = plat::PathBytesOfRef(file);
    if (!path) return fnfErr;
    OSStatus err = noErr;
    m_refNum = OpenLogForAppend(*path, &err);
    if (err) return err;
    return AppendWhole(m_refNum, FramingLine("started"));
}

OSStatus CLog::Write_Entry(const CString256& text) {
    if (m_refNum <= 0) return noErr;
    return AppendWhole(m_refNum, std::string_view(text.c_str(), text.length()));
}

OSStatus CLog::CloseLogFile() {
    if (m_refNum <= 0) return noErr;
    AppendWhole(m_refNum, FramingLine("stopped"));
    const OSStatus err = CloseLog(m_refNum);
    m_refNum = 0;
    return err;
}

void StartLogging() {
    // Callers stop the earlier logger first; one left running is closed
    // properly rather than leaked with its file open.
    StopLogging();
    const auto host = GetHost();
    if (!host) return;
    const auto folder = GetFolderPath(false);
    if (!folder) return;
    auto* logger = new CLog;
    logger->OpenLogFile(BuildName(host, folder));
    std::unique_lock lock(gLoggerLock);
    gLogger = logger;
}

void StopLogging() {
    CLog* logger;
    {
        std::unique_lock lock(gLoggerLock);
        logger = gLogger;
        gLogger = nullptr;
    }
    if (!logger) return;
    logger->CloseLogFile();
    delete logger;
}

LogLineGuard::LogLineGuard() {
    gLineLock.lock();
}
LogLineGuard::~LogLineGuard() {
    gLineLock.unlock();
}

void LogEntry(const char* text, bool addLineEnd) {
    std::lock_guard line(gLineLock);
    std::shared_lock lock(gLoggerLock);
    if (!gLogger) return;
    // A control character in a name must not start a line of its own.
    CString256 entry(EscapeControlCharacters(text, 255).c_str());
    // A text that fills all 255 bytes has no room left for its CR.
    if (addLineEnd) entry += "\r";
    gLogger->Write_Entry(entry);
}

void OpenConsole() {
    const CString256 name = AppLogFileName();
    FSRef logs, folder, file;
    if (FSFindFolder(kUserDomain, kLogsFolderType, kDontCreateFolder, &logs) != noErr) return;
    if (FindOrCreateLogItem(logs, kLogFolderName, true, &folder) != noErr) return;
    if (FSMakeFSRefUnicode(&folder, AppLogDiskName(name), &file) != noErr) return;
    const auto path = plat::PathOfRef(file);
    if (!path) return;
    LSOpenCFURLRef(QUrl::fromLocalFile(*path), nullptr);
}
