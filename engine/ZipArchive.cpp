#include "engine/ZipArchive.h"

#include "platform/Bundle.h"
#include "platform/Spawn.h"

#include "engine/EngineText.h"
#include "engine/Logging.h"
#include "platform/SystemLog.h"

#include <QByteArray>
#include <QString>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Every path handed to or taken from the archiver fits this many bytes,
// terminator included.
constexpr std::size_t kMaxPathSize = 2048;

const char kSystemArchiver[] = "/usr/bin/ditto";
const char kArchiverName[] = "ditto";

std::optional<QString> FolderName(const FSRef* folder) {
    QString name;
    if (FSGetCatalogInfo(folder, kFSCatInfoNone, nullptr, &name, nullptr, nullptr) != noErr)
        return std::nullopt;
    return name;
}

std::optional<QString> NewUniqueName() {
    QString name = CFUUIDCreateString();
    if (name.isEmpty()) return std::nullopt;
    return name;
}

std::optional<std::string> PathOf(const FSRef& ref) {
    UInt8 buffer[kMaxPathSize];
    if (FSRefMakePath(&ref, buffer, sizeof buffer) != noErr) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(buffer));
}

std::string Join(std::string folder, const std::string& name) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder + name;
}

// Creates folder name in parent, mode 0700. With mustBeNew, an existing item
// of that name is a failure; otherwise it is looked up and used.
bool MakePrivateFolder(const FSRef& parent, const QString& name, bool mustBeNew, FSRef* folder) {
    if (!mustBeNew) {
        const OSStatus err = FSMakeFSRefUnicode(&parent, name, folder);
        if (err == noErr) return true;
        if (err != fnfErr) return false;
    }
    const auto parentPath = PathOf(parent);
    if (!parentPath) return false;
    const std::string path = Join(*parentPath, name.toUtf8().toStdString());
    if (::mkdir(path.c_str(), 0700) != 0 && (mustBeNew || errno != EEXIST)) return false;
    return FSPathMakeRef(path.c_str(), folder, nullptr) == noErr;
}

bool IsExecutableFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The archiver program, empty when there is none.
std::string ArchiverPath() {
    if (const char* chosen = std::getenv("LOFTWISE_DITTO"); chosen && *chosen) return chosen;
    if (IsExecutableFile(kSystemArchiver)) return kSystemArchiver;
    // The bundled copy: next to the shared object holding this code (the
    // plug-in's own), in the main bundle (the droplet's, whose libraries
    // live in Contents/Frameworks), then next to the running program.
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(&ZipArchive), &info) && info.dli_fname &&
        info.dli_fname[0] == '/') {
        const std::string candidate = Join(FolderOf(info.dli_fname), kArchiverName);
        if (IsExecutableFile(candidate)) return candidate;
    }
    if (CFBundleRef bundle = CFBundleGetMainBundle()) {
        const std::string candidate =
            Join(CFBundleGetPath(bundle).toStdString() + "/Contents/Linux", kArchiverName);
        if (IsExecutableFile(candidate)) return candidate;
    }
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        const std::string candidate =
            Join(FolderOf(std::string(exe, std::size_t(n))), kArchiverName);
        if (IsExecutableFile(candidate)) return candidate;
    }
    return {};
}

// Runs `archiver -c -k -X source destination` and waits for it. nullopt
// when it exited with status 0, else why not.
std::optional<QString> RunArchiver(const std::string& archiver, const std::string& source,
                                   const std::string& destination,
                                   const std::function<void()>& whileWaiting) {
    pid_t pid = 0;
    if (const int err =
            plat::SpawnProgram({archiver, "-c", "-k", "-X", source, destination}, {}, &pid))
        return EngineText("the archiver %1 could not be started (%2)")
            .arg(QString::fromStdString(archiver), QString::fromLocal8Bit(strerror(err)));

    int status = 0;
    for (;;) {
        // A caller that waits on its main thread keeps its window drawn meanwhile.
        const pid_t done = ::waitpid(pid, &status, whileWaiting ? WNOHANG : 0);
        if (done == 0) {
            whileWaiting();
            continue;
        }
        if (done == pid) break;
        if (errno != EINTR) return EngineText("the archiver could not be started");
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return std::nullopt;
    if (WIFSIGNALED(status))
        return EngineText("the archiver was ended by signal %1").arg(WTERMSIG(status));
    return EngineText("the archiver failed with status %1").arg(WEXITSTATUS(status));
}

// A folder that is not archived is not sent: the log and the user hear why,
// the way a failed upload is reported.
bool Refuse(ZipArchiveCaller* caller, const QString& name, const QString& reason) {
    const QString text =
        plat::FillFormat(EngineText("The folder \u201C%@\u201D could not be archived and was not "
                                    "sent: %@."),
                         {name, reason});
    LogLine(text);
    if (caller) caller->failure = text;
    return false;
}

// The archive folders' parent, <temporary items>/Loftwise; empty when unknown.
std::string ArchivesRoot() {
    FSRef temporaryItems;
    if (FSFindFolder(kUserDomain, kTemporaryFolderType, kDontCreateFolder, &temporaryItems) !=
        noErr)
        return {};
    const auto path = PathOf(temporaryItems);
    return path ? Join(*path, "Loftwise") : std::string();
}

// Symbolic links inside are removed, never followed.
void RemoveTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

// A UUID folder being filled: removed with its contents unless kept.
struct ArchiveFolder {
    std::string path;
    bool keep = false;
    ~ArchiveFolder() {
        if (!keep) RemoveTree(path);
    }
};

} // namespace

bool ZipArchive(const FSRef* folder, FSRef* archive, ZipArchiveCaller* caller) {
    if (!folder || !archive) return false;
    const std::optional<QString> name = FolderName(folder);
    if (!name) return Refuse(caller, QString(), EngineText("its name could not be read"));
    if (caller && caller->starting) caller->starting(*name);

    FSRef temporaryItems, loftwise, unique;
    const OSStatus found =
        FSFindFolder(kUserDomain, kTemporaryFolderType, kCreateFolder, &temporaryItems);
    if (found == permErr)
        return Refuse(
            caller, *name,
            EngineText("the temporary folder is not a private folder of this user, so it is "
                       "not safe to use"));
    const QString noTemporaryFolder = EngineText("the temporary folder could not be made");
    if (found != noErr) return Refuse(caller, *name, noTemporaryFolder);
    if (!MakePrivateFolder(temporaryItems, QStringLiteral("Loftwise"), false, &loftwise))
        return Refuse(caller, *name, noTemporaryFolder);
    const std::optional<QString> uuid = NewUniqueName();
    if (!uuid || !MakePrivateFolder(loftwise, *uuid, true, &unique))
        return Refuse(caller, *name, noTemporaryFolder);

    const auto uniquePath = PathOf(unique);
    if (!uniquePath) return Refuse(caller, *name, noTemporaryFolder);
    // From here on a failure takes the folder and anything half-made with it.
    ArchiveFolder made{*uniquePath};
    const auto sourcePath = PathOf(*folder);
    const QString tooLong = EngineText("its path is too long");
    if (!sourcePath) return Refuse(caller, *name, tooLong);
    // Names cannot hold "/" here, except the root folder's own; it becomes
    // ":" as the Finder shows it, so the archive stays inside its folder.
    QString archiveName = *name;
    archiveName.replace(QLatin1Char('/'), QLatin1Char(':'));
    const std::string fileName = (archiveName + QStringLiteral(".zip")).toUtf8().toStdString();
    const long nameMax = ::pathconf(uniquePath->c_str(), _PC_NAME_MAX);
    if (nameMax > 0 && fileName.size() > std::size_t(nameMax))
        return Refuse(caller, *name, EngineText("its name is too long for the archive's name"));
    const std::string destination = Join(*uniquePath, fileName);
    if (destination.size() + 1 > kMaxPathSize) return Refuse(caller, *name, tooLong);

    const std::string archiver = ArchiverPath();
    if (archiver.empty()) return Refuse(caller, *name, EngineText("no archiver (ditto) was found"));
    if (auto failed = RunArchiver(archiver, *sourcePath, destination,
                                  caller ? caller->whileWaiting : std::function<void()>()))
        return Refuse(caller, *name, *failed);
    if (FSPathMakeRef(destination.c_str(), archive, nullptr) != noErr)
        return Refuse(caller, *name, EngineText("the archive was not found where it was made"));
    made.keep = true;
    return true;
}

void DiscardArchive(const FSRef* archive) {
    if (!archive) return;
    const auto path = PathOf(*archive);
    const std::string root = ArchivesRoot();
    if (!path || root.empty()) return;
    // Only <root>/<uuid>/<name>.zip is ours to remove.
    const std::string folder = FolderOf(*path);
    if (FolderOf(folder) != root || folder.size() <= root.size() + 1) return;
    RemoveTree(folder);
}
