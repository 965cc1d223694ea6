#include "platform/Preferences.h"

#include "platform/Bundle.h"
#include "platform/Files.h"
#include "platform/UniqueFd.h"

#include <QDateTime>
#include <QFile>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

const QString kCFPreferencesCurrentApplication = QStringLiteral("kCFPreferencesCurrentApplication");

namespace {

using namespace std::chrono_literals;

// A writer that holds the domain's lock longer than this is taken to be stuck;
// the synchronise then fails (and keeps its staged changes) instead of hanging.
constexpr auto kLockTimeout = 10s;
// A file that does not parse is read again after this pause, in case a writer
// that does not take the lock (the pane's revert) is part-way through it.
constexpr auto kSettlePause = 100ms;
constexpr int kSettleReads = 5;

struct Domain {
    bool loaded = false;
    PlistDictionary values; // the file as merged at the last synchronise
    std::map<QString, std::optional<PlistValue>> staged;
};

std::mutex gMutex;
std::map<QString, Domain> gDomains;

QByteArray Native(const QString& path) {
    return QFile::encodeName(path);
}

QString ExecutableName() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    const std::string name = ec ? std::string() : exe.filename().string();
    return name.empty() ? QStringLiteral("unknown") : QString::fromLocal8Bit(name.c_str());
}

// The domain name an application identifier stands for; empty when it cannot
// name a file of the Preferences folder.
QString ResolveDomain(const QString& appID) {
    QString domain = appID;
    if (appID == kCFPreferencesCurrentApplication) {
        CFBundleRef bundle = CFBundleGetMainBundle();
        domain = bundle ? CFBundleGetIdentifier(bundle) : QString();
        // Outside a bundle (tools, tests) the executable's name keeps the
        // domain apart from every application's.
        if (domain.isEmpty()) domain = ExecutableName();
    }
    if (domain.isEmpty() || domain == "." || domain == ".." || domain.contains('/') ||
        domain.contains(QChar(0)))
        return QString();
    return domain;
}

QString DomainPath(const QString& domain) {
    if (domain.isEmpty()) return QString();
    const std::optional<QString> folder = plat::FolderPath(kPreferencesFolderType);
    if (!folder || folder->isEmpty()) return QString();
    return *folder + '/' + domain + ".plist";
}

QString FolderOf(const QString& path) {
    return path.left(path.lastIndexOf('/'));
}

// Creates the folder and any missing parents, private to the user.
bool MakeFolder(const QString& folder) {
    const QByteArray native = Native(folder);
    struct stat st;
    if (stat(native.constData(), &st) == 0) return S_ISDIR(st.st_mode);
    const qsizetype slash = folder.lastIndexOf('/');
    if (slash > 0 && !MakeFolder(folder.left(slash))) return false;
    return mkdir(native.constData(), 0700) == 0 || errno == EEXIST;
}

// The exclusive cross-process lock of a domain: flock on "<domain>.plist.lock"
// beside the file, released when the descriptor closes (also when the
// process dies, so a crashed writer leaves no stale lock).
class DomainLock {
public:
    explicit DomainLock(const QString& path) {
        plat::UniqueFd fd(::open(Native(path + ".lock").constData(),
                                 O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (fd.get() < 0) return;
        const auto deadline = std::chrono::steady_clock::now() + kLockTimeout;
        auto pause = 100us;
        while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) ||
                std::chrono::steady_clock::now() > deadline)
                return;
            std::this_thread::sleep_for(pause);
            pause = std::min<std::chrono::microseconds>(pause * 2, 5ms);
        }
        m_fd = fd.release();
    }
    ~DomainLock() {
        if (m_fd >= 0) ::close(m_fd);
    }
    DomainLock(const DomainLock&) = delete;
    DomainLock& operator=(const DomainLock&) = delete;
    explicit operator bool() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

enum class FileState { Missing, Loaded, Corrupt, Unreadable };

struct DiskRead {
    FileState state = FileState::Missing;
    QByteArray bytes;
    PlistDictionary values;
};

DiskRead ReadOnce(const QString& path) {
    DiskRead r;
    plat::UniqueFd fd(::open(Native(path).constData(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        r.state = errno == ENOENT ? FileState::Missing : FileState::Unreadable;
        return r;
    }
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            r.state = FileState::Unreadable;
            return r;
        }
        r.bytes.append(buffer, qsizetype(n));
    }
    r.state = FileState::Corrupt;
    if (r.bytes.isEmpty()) {
        // An empty file holds an empty domain.
        r.state = FileState::Loaded;
    } else if (auto value = plat::PlistFromBytes(r.bytes); value && value->asDictionary()) {
        r.values = std::move(*value->asDictionary());
        r.state = FileState::Loaded;
    }
    return r;
}

// Reads the file; a file that does not parse (or is empty) counts only once
// two reads a moment apart agree, so a file being written in place is not
// mistaken for a corrupt one.
DiskRead ReadSettled(const QString& path) {
    DiskRead r = ReadOnce(path);
    for (int i = 0; i < kSettleReads; ++i) {
        const bool suspect =
            r.state == FileState::Corrupt || (r.state == FileState::Loaded && r.bytes.isEmpty());
        if (!suspect) return r;
        std::this_thread::sleep_for(kSettlePause);
        DiskRead again = ReadOnce(path);
        if (again.state == r.state && again.bytes == r.bytes) return again;
        r = std::move(again);
    }
    // Still changing: neither trust it nor move it aside.
    if (r.state == FileState::Corrupt) r.state = FileState::Unreadable;
    return r;
}

// Keeps a file that does not parse beside the domain under a new name, so the
// next write cannot destroy what the user may still want. Under the lock.
bool MoveAside(const QString& path) {
    const QString stamp = QDateTime::currentDateTimeUtc().toString("yyyyMMdd'T'HHmmss'Z'");
    for (int n = 1; n < 1000; ++n) {
        const QString aside = path + ".corrupt-" + stamp +
                              (n > 1 ? QStringLiteral("-") + QString::number(n) : QString());
        const QByteArray from = Native(path), to = Native(aside);
        int rc =
            ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
        if (rc != 0 && errno == EINVAL) {
            // A file system without no-replace renames; the lock keeps our own writers out.
            struct stat st;
            if (::lstat(to.constData(), &st) == 0) continue;
            rc = ::rename(from.constData(), to.constData());
        }
        if (rc == 0) {
            std::fprintf(
                stderr,
                "Preferences: %s holds no property-list dictionary; kept as %s, starting empty\n",
                from.constData(), to.constData());
            return true;
        }
        if (errno != EEXIST) break;
    }
    std::fprintf(
        stderr,
        "Preferences: %s holds no property-list dictionary and could not be moved aside: %s\n",
        Native(path).constData(), std::strerror(errno));
    return false;
}

// The file's values for a reader; nullopt when the file is there but cannot
// be read now. Files are only ever replaced whole, so reading needs no lock;
// only moving a corrupt file aside takes it.
std::optional<PlistDictionary> LoadValues(const QString& path) {
    DiskRead r = ReadSettled(path);
    if (r.state == FileState::Corrupt) {
        DomainLock lock(path);
        if (!lock) return std::nullopt;
        r = ReadSettled(path);
        if (r.state == FileState::Corrupt && !MoveAside(path)) return std::nullopt;
    }
    if (r.state == FileState::Unreadable) return std::nullopt;
    return std::move(r.values); // empty when missing or moved aside
}

Domain& LoadedDomain(const QString& domain) {
    Domain& d = gDomains[domain];
    if (!d.loaded) {
        d.values = LoadValues(DomainPath(domain)).value_or(PlistDictionary());
        d.loaded = true;
    }
    return d;
}

// Drops the staged changes that no file could hold (a string with a character
// XML cannot carry); they would fail every later write. True when none was.
bool DropUnwritable(Domain& d) {
    bool all = true;
    for (auto it = d.staged.begin(); it != d.staged.end();) {
        if (it->second && !plat::PlistFitsXml(*it->second)) {
            std::fprintf(stderr, "Preferences: the value of \"%s\" cannot be written; not stored\n",
                         it->first.toUtf8().constData());
            it = d.staged.erase(it);
            all = false;
        } else {
            ++it;
        }
    }
    return all;
}

// Merges the staged changes (and then update, when given, applied to its key)
// into the file as it is now, under the domain's lock, and writes the result.
bool Synchronize(Domain& d, const QString& path, const QString& updateKey = QString(),
                 const PreferencesUpdate* update = nullptr) {
    const bool allWritable = DropUnwritable(d);
    if (d.staged.empty() && !update) {
        // A file that cannot be read now leaves the values as they were.
        std::optional<PlistDictionary> values = LoadValues(path);
        if (!values) {
            d.loaded = true;
            return false;
        }
        d.values = std::move(*values);
        d.loaded = true;
        return allWritable;
    }
    if (!MakeFolder(FolderOf(path))) return false;
    DomainLock lock(path);
    if (!lock) return false;
    DiskRead base = ReadSettled(path);
    if (base.state == FileState::Unreadable) return false; // never overwrite what we could not read
    if (base.state == FileState::Corrupt) {
        if (!MoveAside(path)) return false;
        base = DiskRead{};
    }
    PlistDictionary merged = base.values;
    for (const auto& [key, value] : d.staged) {
        if (value)
            merged.insert_or_assign(key, *value);
        else
            merged.erase(key);
    }
    if (update) {
        auto it = merged.find(updateKey);
        std::optional<PlistValue> value =
            (*update)(it == merged.end() ? std::nullopt : std::optional<PlistValue>(it->second));
        if (value)
            merged.insert_or_assign(updateKey, std::move(*value));
        else
            merged.erase(updateKey);
    }
    const bool needsWrite =
        base.state == FileState::Missing ? !merged.empty() : merged != base.values;
    std::optional<QByteArray> xml;
    if (needsWrite) xml = plat::PlistToXml(PlistValue(merged));
    if (needsWrite && (!xml || !plat::ReplaceFileAtomically(path, *xml, 0600))) {
        // The old file stays. Staged changes stay for the next attempt (reads
        // show them meanwhile); an update is not kept.
        d.values = std::move(base.values);
        d.loaded = true;
        return false;
    }
    d.values = std::move(merged);
    d.staged.clear();
    d.loaded = true;
    return allWritable;
}

} // namespace

std::optional<PlistValue> CFPreferencesCopyAppValue(const QString& key, const QString& appID) {
    const QString domain = ResolveDomain(appID);
    if (domain.isEmpty()) return std::nullopt;
    std::lock_guard guard(gMutex);
    Domain& d = LoadedDomain(domain);
    if (auto staged = d.staged.find(key); staged != d.staged.end()) return staged->second;
    auto it = d.values.find(key);
    if (it == d.values.end()) return std::nullopt;
    return it->second;
}

void CFPreferencesSetAppValue(const QString& key, const std::optional<PlistValue>& value,
                              const QString& appID) {
    const QString domain = ResolveDomain(appID);
    if (domain.isEmpty()) return;
    std::lock_guard guard(gMutex);
    gDomains[domain].staged.insert_or_assign(key, value);
}

bool CFPreferencesAppSynchronize(const QString& appID) {
    const QString domain = ResolveDomain(appID);
    const QString path = DomainPath(domain);
    if (path.isEmpty()) return false;
    std::lock_guard guard(gMutex);
    return Synchronize(gDomains[domain], path);
}

bool CFPreferencesUpdateAppValue(const QString& key, const PreferencesUpdate& update,
                                 const QString& appID) {
    const QString domain = ResolveDomain(appID);
    const QString path = DomainPath(domain);
    if (path.isEmpty() || !update) return false;
    std::lock_guard guard(gMutex);
    return Synchronize(gDomains[domain], path, key, &update);
}

namespace plat {

QString PreferencesFilePath(const QString& appID) {
    return DomainPath(ResolveDomain(appID));
}

void ResetPreferencesCache() {
    std::lock_guard guard(gMutex);
    gDomains.clear();
}

} // namespace plat

bool plat::ReadSwitch(const QString& appID, const QString& key, bool whenAbsent) {
    CFPreferencesAppSynchronize(appID);
    const std::optional<PlistValue> value = CFPreferencesCopyAppValue(key, appID);
    const bool* b = value ? value->asBoolean() : nullptr;
    return b ? *b : whenAbsent;
}
