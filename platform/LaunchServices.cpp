#include "platform/LaunchServices.h"

#include "platform/Bundle.h"

#include "platform/Spawn.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <sys/stat.h>

namespace {

const QString kViewerName = QStringLiteral("LoftwiseConsole");

bool IsBundleName(const QString& name) {
    return name.endsWith(QLatin1String(".app"), Qt::CaseInsensitive) ||
           name.endsWith(QLatin1String(".plugin"), Qt::CaseInsensitive) ||
           name.endsWith(QLatin1String(".prefPane"), Qt::CaseInsensitive);
}

// A mount point: the root, or a folder on another device than its parent.
bool IsVolume(const QByteArray& path, const struct stat& st) {
    if (path == "/") return true;
    struct stat parent;
    return ::stat((path + "/..").constData(), &parent) == 0 &&
           (parent.st_dev != st.st_dev || parent.st_ino == st.st_ino);
}

} // namespace

namespace plat {

std::optional<QString> FindLogViewer() {
    const QFileInfo exe(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
    if (const QString beside = exe.dir().filePath(kViewerName); plat::IsExecutableFile(beside))
        return beside;
    if (CFBundleRef bundle = CFBundleGetMainBundle()) {
        const QString inBundle =
            CFBundleGetPath(bundle) + QLatin1String("/Contents/Linux/") + kViewerName;
        if (plat::IsExecutableFile(inBundle)) return inBundle;
    }
    return plat::ResolveProgram(kViewerName);
}

} // namespace plat

OSStatus LSInit(LSInitializeFlags) {
    return noErr;
}

OSStatus LSTerm() {
    return noErr;
}

OSStatus LSOpenCFURLRef(const QUrl& url, QUrl* launched) {
    if (!url.isValid() || url.isRelative()) return paramErr;
    QString argument;
    bool isLog = false;
    if (url.isLocalFile()) {
        argument = QFileInfo(url.toLocalFile()).absoluteFilePath();
        struct stat st;
        if (argument.isEmpty() || ::lstat(argument.toUtf8().constData(), &st) != 0) return fnfErr;
        isLog = argument.endsWith(QLatin1String(".log"));
    } else {
        argument = url.toString(QUrl::FullyEncoded);
    }

    std::optional<QString> program;
    if (const QString opener = qEnvironmentVariable("LOFTWISE_OPENER"); !opener.isEmpty())
        program = plat::ResolveProgram(opener);
    else {
        if (isLog) program = plat::FindLogViewer();
        if (!program) program = plat::ResolveProgram(QStringLiteral("xdg-open"));
    }
    if (!program) return kLSApplicationNotFoundErr;

    if (!plat::StartDetached({*program, argument})) return kLSUnknownErr;
    if (launched) *launched = QUrl::fromLocalFile(*program);
    return noErr;
}

OSStatus LSOpenFSRef(const FSRef* ref, FSRef* launchedRef) {
    if (!ref) return paramErr;
    const auto path = plat::PathOfRef(*ref);
    if (!path) return fnfErr;
    QUrl launched;
    if (OSStatus err = LSOpenCFURLRef(QUrl::fromLocalFile(*path), &launched)) return err;
    if (launchedRef) {
        const QByteArray program = launched.toLocalFile().toUtf8();
        if (FSPathMakeRef(program.constData(), launchedRef, nullptr) != noErr)
            *launchedRef = FSRef{};
    }
    return noErr;
}

OSStatus LSCopyItemInfoForRef(const FSRef* ref, LSRequestedInfo which, LSItemInfoRecord* info) {
    if (!ref || !info) return paramErr;
    *info = LSItemInfoRecord{};
    const auto bytes = plat::PathBytesOfRef(*ref);
    if (!bytes) return fnfErr;
    const QByteArray path(bytes->data(), qsizetype(bytes->size()));
    struct stat st;
    if (::lstat(path.constData(), &st) != 0) return plat::StatusFromErrno(errno);

    const QString name = QFileInfo(QString::fromUtf8(path)).fileName();
    LSItemInfoFlags flags = 0;
    if (S_ISLNK(st.st_mode)) {
        flags |= kLSItemInfoIsAliasFile | kLSItemInfoIsSymlink;
    } else if (S_ISDIR(st.st_mode)) {
        flags |= kLSItemInfoIsContainer;
        const bool bundle = IsBundleName(name) ||
                            QFileInfo(QString::fromUtf8(path + "/Contents/Info.plist")).isFile();
        if (bundle) flags |= kLSItemInfoIsPackage;
        if (bundle && name.endsWith(QLatin1String(".app"), Qt::CaseInsensitive))
            flags |= kLSItemInfoIsApplication;
        if (IsVolume(path, st)) flags |= kLSItemInfoIsVolume;
    } else {
        flags |= kLSItemInfoIsPlainFile;
    }
    if (name.startsWith(QLatin1Char('.'))) flags |= kLSItemInfoIsInvisible;
    if (which & (kLSRequestBasicFlagsOnly | kLSRequestAppTypeFlags | kLSRequestAllFlags))
        info->flags = flags;
    if (which & kLSRequestExtension) {
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        if (dot > 0 && dot + 1 < name.size()) info->extension = name.mid(dot + 1);
    }
    return noErr;
}
