#include "cmplugin/PluginLog.h"

#include "engine/LogSupport.h"
#include "platform/Files.h"
#include "platform/LaunchServices.h"

#include <QUrl>

void StartLogging() {
    // A second start without a stop closes the first period properly.
    StopLogging();
    auto log = std::make_unique<CLog>(QStringLiteral("LoftwiseCM"), QStringLiteral("starting"),
                                      QStringLiteral("stopping"));
    // Unlike the Mac's, this logs folder is ours and may not exist yet.
    FSRef logs, file;
    bool created = false;
    if (FSFindFolder(kUserDomain, kLogsFolderType, kCreateFolder, &logs) == noErr &&
        FindOrCreateLogItem(logs, QStringLiteral("LoftwiseCM.log"), false, &file, &created) ==
            noErr) {
        if (created) FNNotify(&logs);
        if (const auto path = plat::PathBytesOfRef(file)) log->OpenLogFile(*path);
    }
    SetCurrentLog(std::move(log));
}

void StopLogging() {
    SetCurrentLog(nullptr);
}

void OpenConsole(const QString& fileName) {
    FSRef logs, file;
    if (FSFindFolder(kUserDomain, kLogsFolderType, kDontCreateFolder, &logs) != noErr) return;
    if (FSMakeFSRefUnicode(&logs, fileName, &file) != noErr) return;
    const auto path = plat::PathOfRef(file);
    if (!path) return;
    LSOpenCFURLRef(QUrl::fromLocalFile(*path), nullptr);
}
