#include "app/AppLog.h"

#include "app/Settings.h"
#include "engine/LogSupport.h"
#include "platform/Files.h"
#include "platform/LaunchServices.h"
#include "platform/TextEncoding.h"

#include <QUrl>

namespace {

const QString kLogFolderName = QStringLiteral("Loftwise");

CString256 BuildName(const std::optional<QString>& host, const std::optional<QString>& folder) {
    CString256 name("Loftwise-");
    if (host) name += *host;
    if (folder) name += *folder;
    name += ".log";
    return name;
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

void StartLogging() {
    // One left running is closed properly rather than leaked with its file open.
    StopLogging();
    const auto host = GetHost();
    if (!host) return;
    const auto folder = GetFolderPath(false);
    if (!folder) return;
    auto log = std::make_unique<CLog>(QStringLiteral("Loftwise"), QStringLiteral("started"),
                                      QStringLiteral("stopped"));
    FSRef logs, logFolder, file;
    bool created = false;
    if (FSFindFolder(kUserDomain, kLogsFolderType, kCreateFolder, &logs) == noErr &&
        FindOrCreateLogItem(logs, kLogFolderName, true, &logFolder) == noErr &&
        FindOrCreateLogItem(logFolder, AppLogDiskName(BuildName(host, folder)), false, &file,
                            &created) == noErr) {
        if (created) FNNotify(&logFolder);
        if (const auto path = plat::PathBytesOfRef(file)) log->OpenLogFile(*path);
    }
    SetCurrentLog(std::move(log));
}

void StopLogging() {
    SetCurrentLog(nullptr);
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
