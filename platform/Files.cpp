#include "platform/Files.h"

#include "platform/UniqueFd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr UInt32 kRefMagic = FourCC("LWfr");
constexpr SInt32 kSpecMagic = SInt32(FourCC("LWfs"));
constexpr SInt16 kSpecVolume = -100;

// What an FSRef carries; the rest of its 80 bytes stays zero, so a zeroed
// FSRef is no reference.
struct RefBits {
    UInt32 magic = 0;
    UInt32 reserved = 0;
    UInt64 device = 0;
    UInt64 inode = 0;
    UInt64 pathId = 0;
};
static_assert(sizeof(RefBits) <= sizeof(FSRef));

struct SpecBits {
    UInt64 device = 0;
    UInt64 inode = 0;
    UInt64 pathId = 0;
};
static_assert(sizeof(SpecBits) <= sizeof(FSSpec::name));

// Every path a reference was made from, interned once. Ids are index + 1.
// A folder walk interns one path per item, so this is an open-addressing
// table whose slots carry a tag of the hash (most probes touch no string),
// and the paths sit back to back in chunks that never move (a walk looks them
// up again in the order it made them).
class PathTable {
public:
    UInt64 intern(std::string_view path) {
        const size_t hash = std::hash<std::string_view>{}(path);
        const auto tag = UInt32(UInt64(hash) >> 32);
        std::lock_guard lock(m_mutex);
        if ((m_entries.size() + 1) * 2 > m_slots.size()) grow();
        const size_t mask = m_slots.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& slot = m_slots[i];
            if (slot.id == 0) {
                m_entries.push_back(Entry{store(path), path.size(), hash});
                slot = Slot{UInt32(m_entries.size()), tag};
                return slot.id;
            }
            if (slot.tag == tag) {
                const Entry& e = m_entries[slot.id - 1];
                if (std::string_view(e.data, e.length) == path) return slot.id;
            }
        }
    }

    std::optional<std::string> lookup(UInt64 id) {
        std::lock_guard lock(m_mutex);
        if (id == 0 || id > m_entries.size()) return std::nullopt;
        const Entry& e = m_entries[id - 1];
        return std::string(e.data, e.length);
    }

private:
    struct Entry {
        const char* data;
        size_t length;
        size_t hash;
    };
    struct Slot {
        UInt32 id = 0; // 0: empty
        UInt32 tag = 0;
    };
    static constexpr size_t kChunkSize = 256 * 1024;

    const char* store(std::string_view path) {
        if (m_chunks.empty() || kChunkSize - m_chunkUsed < path.size()) {
            m_chunks.push_back(std::make_unique<char[]>(std::max(kChunkSize, path.size())));
            m_chunkUsed = 0;
        }
        char* at = m_chunks.back().get() + m_chunkUsed;
        std::memcpy(at, path.data(), path.size());
        m_chunkUsed += path.size();
        return at;
    }

    void grow() {
        std::vector<Slot> table(std::max<size_t>(1024, m_slots.size() * 2));
        const size_t mask = table.size() - 1;
        for (size_t id = 1; id <= m_entries.size(); ++id) {
            const size_t hash = m_entries[id - 1].hash;
            size_t i = hash & mask;
            while (table[i].id != 0)
                i = (i + 1) & mask;
            table[i] = Slot{UInt32(id), UInt32(UInt64(hash) >> 32)};
        }
        m_slots = std::move(table);
    }

    std::mutex m_mutex;
    std::vector<Entry> m_entries;
    std::vector<Slot> m_slots;
    std::vector<std::unique_ptr<char[]>> m_chunks;
    size_t m_chunkUsed = 0;
};

PathTable& Paths() {
    // Never destroyed: references may still be read while the process exits.
    static PathTable* table = new PathTable;
    return *table;
}

std::optional<RefBits> Decode(const FSRef* ref) {
    if (!ref) return std::nullopt;
    RefBits bits;
    std::memcpy(&bits, ref->hidden, sizeof bits);
    if (bits.magic != kRefMagic || bits.pathId == 0) return std::nullopt;
    return bits;
}

void Encode(std::string_view path, UInt64 device, UInt64 inode, FSRef* ref) {
    RefBits bits;
    bits.magic = kRefMagic;
    bits.device = device;
    bits.inode = inode;
    bits.pathId = Paths().intern(path);
    std::memset(ref->hidden, 0, sizeof ref->hidden);
    std::memcpy(ref->hidden, &bits, sizeof bits);
}

void Encode(std::string_view path, const struct stat& st, FSRef* ref) {
    Encode(path, UInt64(st.st_dev), UInt64(st.st_ino), ref);
}

bool SameObject(const struct stat& st, const RefBits& bits) {
    return UInt64(st.st_dev) == bits.device && UInt64(st.st_ino) == bits.inode;
}

std::string ParentOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

std::string LastComponent(const std::string& path) {
    if (path == "/") return path;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Join(const std::string& folder, std::string_view name) {
    std::string path = folder;
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    return path;
}

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// An object renamed inside its folder keeps its inode: look for it there by
// the directory entries' inode numbers, which costs a readdir and no stat per
// entry. Only a bounded number of entries is read.
std::optional<std::string> FindRenamed(const std::string& oldPath, const RefBits& bits,
                                       struct stat* st) {
    constexpr int kScanLimit = 4096;
    const std::string folder = ParentOf(oldPath);
    DirHandle dir(opendir(folder.c_str()));
    if (!dir) return std::nullopt;
    int seen = 0;
    while (dirent* entry = readdir(dir.get())) {
        if (++seen > kScanLimit) break;
        if (UInt64(entry->d_ino) != bits.inode) continue;
        if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, "..")) continue;
        std::string candidate = Join(folder, entry->d_name);
        if (::lstat(candidate.c_str(), st) == 0 && SameObject(*st, bits)) return candidate;
    }
    return std::nullopt;
}

// The object's current path and its lstat, or the status why it is not there.
OSStatus Locate(const FSRef* ref, std::string* path, struct stat* st) {
    const auto bits = Decode(ref);
    if (!bits) return paramErr;
    auto stored = Paths().lookup(bits->pathId);
    if (!stored) return errFSBadFSRef;
    const bool present = ::lstat(stored->c_str(), st) == 0;
    const int error = present ? 0 : errno;
    if (present && SameObject(*st, *bits)) {
        *path = std::move(*stored);
        return noErr;
    }
    if (auto renamed = FindRenamed(*stored, *bits, st)) {
        *path = std::move(*renamed);
        return noErr;
    }
    // Another object in its place, or gone; a folder we may no longer
    // enter says so.
    return present ? fnfErr : plat::StatusFromErrno(error);
}

// A lookup name: a single component, not "." or "..", no NUL.
std::optional<std::string> ComponentName(const QString& name) {
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QChar(0)) ||
        name == QLatin1String(".") || name == QLatin1String(".."))
        return std::nullopt;
    const QByteArray utf8 = name.toUtf8();
    return std::string(utf8.constData(), size_t(utf8.size()));
}

// The path of a folder reference, checked to be a folder still.
OSStatus FolderOf(const FSRef* parent, std::string* path) {
    struct stat st;
    if (OSStatus err = Locate(parent, path, &st)) return err;
    return S_ISDIR(st.st_mode) ? noErr : dirNFErr;
}

// An absolute path with symbolic links resolved in every folder above the
// last component; the last component itself is kept as it is (lstat
// semantics), unless the path ends in "/" or the last component is "." or "..".
OSStatus CanonicalPath(const char* input, std::string* out) {
    std::string path(input);
    if (path.empty()) return fnfErr;
    if (path.front() != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return plat::StatusFromErrno(errno);
        path = Join(cwd, path);
    }
    const bool trailingSlash = path.size() > 1 && path.back() == '/';
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::string last = LastComponent(path);
    auto resolve = [](const std::string& p, std::string* r) -> OSStatus {
        char* real = realpath(p.c_str(), nullptr);
        if (!real) return plat::StatusFromErrno(errno);
        *r = real;
        std::free(real);
        return noErr;
    };
    if (trailingSlash || path == "/" || last == "." || last == "..") return resolve(path, out);
    std::string folder;
    if (OSStatus err = resolve(ParentOf(path), &folder)) return err;
    *out = Join(folder, last);
    return noErr;
}

QString HomeDir() {
    if (const char* home = getenv("HOME"); home && home[0] == '/') return QString::fromUtf8(home);
    struct passwd pw;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
        return QString::fromUtf8(found->pw_dir);
    return {};
}

// An XDG base folder: the variable when it holds an absolute path, else the
// default under the home folder.
QString XdgFolder(const char* variable, const char* underHome) {
    if (const char* value = getenv(variable); value && value[0] == '/')
        return QString::fromUtf8(value);
    const QString home = HomeDir();
    return home.isEmpty() ? QString() : home + QLatin1Char('/') + QLatin1String(underHome);
}

bool IsTemporaryType(OSType type) {
    return type == kTemporaryFolderType || type == kChewableItemsFolderType;
}

bool IsPrivateType(OSType type) {
    return type == kPreferencesFolderType || type == kLogsFolderType || IsTemporaryType(type);
}

// mkdir -p; missing parents are made 0700 (as XDG asks of its base folders),
// the folder itself with finalMode.
OSStatus MakeFolders(const std::string& path, mode_t finalMode) {
    size_t pos = 1;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        const std::string prefix = path.substr(0, next);
        const bool isLast = next == path.size();
        if (!prefix.empty() && prefix.back() != '/' &&
            ::mkdir(prefix.c_str(), isLast ? finalMode : 0700) != 0 && errno != EEXIST)
            return plat::StatusFromErrno(errno);
        pos = next + 1;
    }
    return noErr;
}

} // namespace

namespace plat {

OSStatus StatusFromErrno(int error) {
    switch (error) {
    case 0:
        return noErr;
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
        return fnfErr;
    case EACCES:
    case EPERM:
        return afpAccessDenied;
    case EEXIST:
        return dupFNErr;
    case EROFS:
        return wPrErr;
    case ENAMETOOLONG:
    case EINVAL:
        return paramErr;
    case ENOMEM:
        return memFullErr;
    default:
        return ioErr;
    }
}

std::optional<FileIdentity> IdentityOfRef(const FSRef& ref) {
    const auto bits = Decode(&ref);
    if (!bits) return std::nullopt;
    return FileIdentity{bits->device, bits->inode};
}

std::optional<std::string> PathBytesOfRef(const FSRef& ref) {
    std::string path;
    struct stat st;
    if (Locate(&ref, &path, &st) != noErr) return std::nullopt;
    return path;
}

QUrl FileURLOfPathBytes(std::string_view path) {
    QUrl url;
    url.setScheme(QStringLiteral("file"));
    const QByteArray bytes(path.data(), qsizetype(path.size()));
    url.setPath(QString::fromLatin1(bytes.toPercentEncoding("/")), QUrl::StrictMode);
    return url;
}

std::optional<std::string> PathBytesOfFileURL(const QUrl& url) {
    if (!url.isLocalFile()) return std::nullopt;
    const QByteArray bytes =
        QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    return bytes.toStdString();
}

std::optional<QString> PathOfRef(const FSRef& ref) {
    auto path = PathBytesOfRef(ref);
    if (!path) return std::nullopt;
    return QString::fromUtf8(path->data(), qsizetype(path->size()));
}

void MakeRefFromIdentity(std::string_view absolutePath, FileIdentity identity, FSRef* ref) {
    if (ref) Encode(absolutePath, identity.device, identity.inode, ref);
}

std::optional<QString> FolderPath(OSType folderType) {
    QString path;
    switch (folderType) {
    case kPreferencesFolderType:
        path = XdgFolder("XDG_CONFIG_HOME", ".config");
        if (!path.isEmpty()) path += QLatin1String("/Preferences");
        break;
    case kLogsFolderType:
        path = XdgFolder("XDG_STATE_HOME", ".local/state");
        if (!path.isEmpty()) path += QLatin1String("/Logs");
        break;
    case kTemporaryFolderType:
    case kChewableItemsFolderType: {
        const char* tmp = getenv("TMPDIR");
        const QString base = tmp && tmp[0] == '/' ? QString::fromUtf8(tmp) : QStringLiteral("/tmp");
        path = base + QStringLiteral("/TemporaryItems-%1").arg(getuid());
        break;
    }
    case kDesktopFolderType:
        path = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        if (path.isEmpty() && !HomeDir().isEmpty()) path = HomeDir() + QLatin1String("/Desktop");
        break;
    case kApplicationsFolderType:
        path = HomeDir();
        if (!path.isEmpty()) path += QLatin1String("/Applications");
        break;
    case kContextualMenuItemsFolderType:
        path = XdgFolder("XDG_DATA_HOME", ".local/share");
        if (!path.isEmpty()) path += QLatin1String("/Contextual Menu Items");
        break;
    case kPreferencePanesFolderType:
        path = XdgFolder("XDG_DATA_HOME", ".local/share");
        if (!path.isEmpty()) path += QLatin1String("/PreferencePanes");
        break;
    default:
        return std::nullopt;
    }
    if (path.isEmpty()) return std::nullopt;
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

QStringList InstalledBundles(OSType folderType, const QString& extension) {
    QStringList folders;
    const std::optional<QString> user = FolderPath(folderType);
    if (user) folders << *user;
    const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    if (user && !exe.isEmpty())
        folders << QFileInfo(exe).absolutePath() + QLatin1String("/../lib/loftwise/") +
                       QFileInfo(*user).fileName();
    QStringList bundles, names;
    for (const QString& folder : folders) {
        const QDir dir(folder);
        for (const QString& name : dir.entryList({QStringLiteral("*.") + extension},
                                                 QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
            if (names.contains(name)) continue;
            names << name;
            bundles << QDir::cleanPath(dir.filePath(name));
        }
    }
    return bundles;
}

std::optional<QByteArray> ReadWholeFile(const FSRef& ref) {
    std::string path;
    struct stat st;
    if (Locate(&ref, &path, &st) != noErr) return std::nullopt;
    // O_NONBLOCK so that a FIFO put in the file's place cannot hang the open.
    plat::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) return std::nullopt;
    struct stat opened;
    if (fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return std::nullopt;
    if (!S_ISLNK(st.st_mode) && (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino))
        return std::nullopt;
    try {
        QByteArray data;
        constexpr qsizetype kChunk = 1 << 16;
        data.reserve(qsizetype(opened.st_size) + 1);
        qsizetype used = 0;
        for (;;) {
            if (data.size() < used + kChunk) data.resize(used + kChunk);
            const ssize_t n = ::read(file.get(), data.data() + used, size_t(kChunk));
            if (n < 0) {
                if (errno == EINTR) continue;
                return std::nullopt;
            }
            if (n == 0) break;
            used += n;
        }
        data.resize(used);
        return data;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

OSStatus DataForkSize(const FSRef& ref, UInt64* size) {
    if (!size) return paramErr;
    *size = 0;
    std::string path;
    struct stat st;
    if (OSStatus err = Locate(&ref, &path, &st)) return err;
    if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0) return StatusFromErrno(errno);
    if (!S_ISDIR(st.st_mode)) *size = UInt64(st.st_size);
    return noErr;
}

bool FileReplacement::open(const QByteArray& path, unsigned mode) {
    discard();
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? path.left(slash) : QByteArray("/");
    QByteArray temp = folder + "/." + path.mid(slash + 1) + ".XXXXXX";
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) return false;
    m_path = path;
    m_temp = temp;
    m_fd = std::move(fd);
    if (::fchmod(m_fd.get(), mode_t(mode)) != 0) {
        const int saved = errno;
        discard();
        errno = saved;
        return false;
    }
    return true;
}

bool FileReplacement::commit() {
    if (m_fd.get() < 0) {
        errno = EBADF;
        return false;
    }
    const bool ok = ::fsync(m_fd.get()) == 0 && ::close(m_fd.release()) == 0 &&
                    ::rename(m_temp.constData(), m_path.constData()) == 0;
    const int saved = errno;
    if (ok) {
        m_temp.clear();
        const qsizetype slash = m_path.lastIndexOf('/');
        UniqueFd dir(::open(slash > 0 ? m_path.left(slash).constData() : "/",
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.get() >= 0) ::fsync(dir.get());
    }
    discard();
    errno = saved;
    return ok;
}

void FileReplacement::discard() {
    m_fd.reset();
    if (!m_temp.isEmpty()) ::unlink(m_temp.constData());
    m_temp.clear();
}

bool ReplaceFileAtomically(const QString& path, const QByteArray& bytes, unsigned mode) {
    FileReplacement file;
    if (!file.open(QFile::encodeName(path), mode)) return false;
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n =
            ::write(file.fd(), bytes.constData() + done, std::size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false; // the temporary file goes with file
        done += n;
    }
    return file.commit();
}

} // namespace plat

OSStatus FSPathMakeRef(const char* utf8Path, FSRef* ref, Boolean* isDirectory) {
    if (!utf8Path || !ref) return paramErr;
    std::string path;
    if (OSStatus err = CanonicalPath(utf8Path, &path)) return err;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return plat::StatusFromErrno(errno);
    Encode(path, st, ref);
    if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
    return noErr;
}

OSStatus FSRefMakePath(const FSRef* ref, UInt8* utf8Path, UInt32 maxPathSize) {
    if (!ref || !utf8Path || maxPathSize == 0) return paramErr;
    std::string path;
    struct stat st;
    if (OSStatus err = Locate(ref, &path, &st)) return err;
    if (path.size() + 1 > maxPathSize) return paramErr;
    std::memcpy(utf8Path, path.c_str(), path.size() + 1);
    return noErr;
}

// The path of name inside the folder parent; paramErr for a name that is
// not one path component.
static OSStatus ChildPath(const FSRef* parent, const QString& name, std::string* path) {
    const auto component = ComponentName(name);
    if (!component) return paramErr;
    std::string folder;
    if (OSStatus err = FolderOf(parent, &folder)) return err;
    *path = Join(folder, *component);
    return noErr;
}

OSStatus FSMakeFSRefUnicode(const FSRef* parent, const QString& name, FSRef* newRef) {
    if (!newRef) return paramErr;
    std::string path;
    if (OSStatus err = ChildPath(parent, name, &path)) return err;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return plat::StatusFromErrno(errno);
    Encode(path, st, newRef);
    return noErr;
}

OSStatus FSCreateDirectoryUnicode(const FSRef* parent, const QString& name, FSCatalogInfoBitmap,
                                  const FSCatalogInfo*, FSRef* newRef) {
    std::string path;
    if (OSStatus err = ChildPath(parent, name, &path)) return err;
    if (::mkdir(path.c_str(), 0777) != 0) return plat::StatusFromErrno(errno);
    if (newRef) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) return plat::StatusFromErrno(errno);
        Encode(path, st, newRef);
    }
    return noErr;
}

OSStatus FSCreateFileUnicode(const FSRef* parent, const QString& name, FSCatalogInfoBitmap,
                             const FSCatalogInfo*, FSRef* newRef) {
    std::string path;
    if (OSStatus err = ChildPath(parent, name, &path)) return err;
    plat::UniqueFd file(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
    if (file.get() < 0) return plat::StatusFromErrno(errno);
    if (newRef) {
        struct stat st;
        if (fstat(file.get(), &st) != 0) return plat::StatusFromErrno(errno);
        Encode(path, st, newRef);
    }
    return noErr;
}

OSStatus FSGetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap, FSCatalogInfo* info,
                          QString* outName, FSSpec* fsSpec, FSRef* parentRef) {
    std::string path;
    struct stat st;
    if (OSStatus err = Locate(ref, &path, &st)) return err;
    if (info) {
        *info = FSCatalogInfo{};
        if (S_ISDIR(st.st_mode)) {
            info->nodeFlags |= kFSNodeIsDirectoryMask;
        } else {
            info->dataLogicalSize = UInt64(st.st_size);
            info->dataPhysicalSize = UInt64(st.st_blocks) * 512;
        }
        if (S_ISLNK(st.st_mode)) {
            // The Finder's type and creator for a symbolic link.
            const OSType type = FourCC("slnk"), creator = FourCC("rhap");
            std::memcpy(info->finderInfo, &type, sizeof type);
            std::memcpy(info->finderInfo + 4, &creator, sizeof creator);
        }
    }
    if (outName) {
        const std::string name = LastComponent(path);
        *outName = QString::fromUtf8(name.data(), qsizetype(name.size()));
    }
    FSRef self;
    Encode(path, st, &self);
    if (fsSpec) FSRefMakeFSSpec(&self, fsSpec);
    if (parentRef) {
        std::memset(parentRef->hidden, 0, sizeof parentRef->hidden);
        if (path != "/") {
            const std::string folder = ParentOf(path);
            struct stat pst;
            if (::lstat(folder.c_str(), &pst) != 0) return plat::StatusFromErrno(errno);
            Encode(folder, pst, parentRef);
        }
    }
    return noErr;
}

OSStatus FSCompareFSRefs(const FSRef* ref1, const FSRef* ref2) {
    const auto a = Decode(ref1), b = Decode(ref2);
    if (!a || !b) return paramErr;
    if (a->device != b->device) return diffVolErr;
    return a->inode == b->inode ? noErr : paramErr;
}

OSStatus FSpMakeFSRef(const FSSpec* spec, FSRef* ref) {
    if (!spec || !ref) return paramErr;
    if (spec->vRefNum != kSpecVolume || spec->parID != kSpecMagic) return paramErr;
    SpecBits bits;
    std::memcpy(&bits, spec->name, sizeof bits);
    RefBits refBits;
    refBits.magic = kRefMagic;
    refBits.device = bits.device;
    refBits.inode = bits.inode;
    refBits.pathId = bits.pathId;
    FSRef candidate;
    std::memset(candidate.hidden, 0, sizeof candidate.hidden);
    std::memcpy(candidate.hidden, &refBits, sizeof refBits);
    // An FSSpec may name an object that is gone; a reference may not.
    std::string path;
    struct stat st;
    if (OSStatus err = Locate(&candidate, &path, &st)) return err;
    Encode(path, st, ref);
    return noErr;
}

OSStatus FSRefMakeFSSpec(const FSRef* ref, FSSpec* spec) {
    const auto bits = Decode(ref);
    if (!bits || !spec) return paramErr;
    SpecBits specBits{bits->device, bits->inode, bits->pathId};
    std::memset(spec, 0, sizeof *spec);
    spec->vRefNum = kSpecVolume;
    spec->parID = kSpecMagic;
    std::memcpy(spec->name, &specBits, sizeof specBits);
    return noErr;
}

OSStatus FNNotify(const FSRef*) {
    return noErr;
}

OSStatus FSFindFolder(SInt16, OSType folderType, Boolean createFolder, FSRef* foundRef) {
    if (!foundRef) return paramErr;
    const auto folder = plat::FolderPath(folderType);
    if (!folder) return paramErr;
    const QByteArray utf8 = folder->toUtf8();
    const std::string path(utf8.constData(), size_t(utf8.size()));
    if (createFolder) {
        if (OSStatus err = MakeFolders(path, IsPrivateType(folderType) ? 0700 : 0777)) return err;
    }
    struct stat st;
    if (IsTemporaryType(folderType)) {
        // A shared /tmp: only a real folder of our own will do.
        if (::lstat(path.c_str(), &st) != 0) return plat::StatusFromErrno(errno);
        if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) return permErr;
        if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0)
            return plat::StatusFromErrno(errno);
        Encode(path, st, foundRef);
        return noErr;
    }
    std::string real;
    if (OSStatus err = CanonicalPath((path + "/").c_str(), &real)) return err;
    if (::lstat(real.c_str(), &st) != 0) return plat::StatusFromErrno(errno);
    if (!S_ISDIR(st.st_mode)) return dirNFErr;
    Encode(real, st, foundRef);
    return noErr;
}
