#include "platform/Alias.h"

#include <QDir>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>

// Record layout, little-endian, kept stable because records are stored in
// preference files:
//   "LWAL", u16 version, u16 flags, u64 device, u64 inode, i64 birth seconds,
//   u32 birth nanoseconds, u32 file type (S_IFMT bits),
//   u32 length + bytes of the target's absolute path,
//   u32 length + bytes of the relative base's absolute path (may be empty).

namespace {

constexpr char kMagic[4] = {'L', 'W', 'A', 'L'};
constexpr UInt16 kVersion = 1;
constexpr UInt16 kHasBirthTime = 0x0001;
constexpr UInt32 kMaxPath = 1 << 16;

// What identifies an object beyond its path.
struct Stamp {
    UInt64 device = 0;
    UInt64 inode = 0;
    bool hasBirthTime = false;
    SInt64 birthSeconds = 0;
    UInt32 birthNanoseconds = 0;
    UInt32 type = 0;
};

struct Record {
    Stamp stamp;
    std::string path;
    std::string basePath;
};

std::optional<Stamp> StampAt(int dirFd, const char* path) {
    struct statx sx;
    if (statx(dirFd, path, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        return std::nullopt;
    Stamp s;
    s.device = UInt64(makedev(sx.stx_dev_major, sx.stx_dev_minor));
    s.inode = UInt64(sx.stx_ino);
    s.type = UInt32(sx.stx_mode & S_IFMT);
    if (sx.stx_mask & STATX_BTIME) {
        s.hasBirthTime = true;
        s.birthSeconds = SInt64(sx.stx_btime.tv_sec);
        s.birthNanoseconds = UInt32(sx.stx_btime.tv_nsec);
    }
    return s;
}

std::optional<Stamp> StampOf(const std::string& path) {
    return StampAt(AT_FDCWD, path.c_str());
}

// Same device and inode and kind of object; the birth time too when both
// sides know it, which tells a new file apart from an old one whose inode
// number it reused.
bool SameObject(const Stamp& stored, const Stamp& now) {
    if (stored.device != now.device || stored.inode != now.inode || stored.type != now.type)
        return false;
    if (stored.hasBirthTime && now.hasBirthTime)
        return stored.birthSeconds == now.birthSeconds &&
               stored.birthNanoseconds == now.birthNanoseconds;
    return true;
}

class Writer {
public:
    void bytes(const void* p, size_t n) { m_out.append(static_cast<const char*>(p), qsizetype(n)); }
    template <typename T> void number(T value) {
        for (size_t i = 0; i < sizeof(T); ++i)
            m_out.append(char(UInt64(value) >> (8 * i)));
    }
    void string(const std::string& s) {
        number(UInt32(s.size()));
        bytes(s.data(), s.size());
    }
    QByteArray take() { return std::move(m_out); }

private:
    QByteArray m_out;
};

class Reader {
public:
    explicit Reader(const QByteArray& in) : m_in(in) {}
    bool bytes(void* p, size_t n) {
        if (m_in.size() - m_pos < qsizetype(n)) return false;
        std::memcpy(p, m_in.constData() + m_pos, n);
        m_pos += qsizetype(n);
        return true;
    }
    template <typename T> bool number(T* value) {
        unsigned char raw[sizeof(T)];
        if (!bytes(raw, sizeof raw)) return false;
        UInt64 v = 0;
        for (size_t i = 0; i < sizeof(T); ++i)
            v |= UInt64(raw[i]) << (8 * i);
        *value = T(v);
        return true;
    }
    bool string(std::string* s) {
        UInt32 n = 0;
        if (!number(&n) || n > kMaxPath || m_in.size() - m_pos < qsizetype(n)) return false;
        s->assign(m_in.constData() + m_pos, n);
        m_pos += qsizetype(n);
        return true;
    }
    bool atEnd() const { return m_pos == m_in.size(); }

private:
    const QByteArray& m_in;
    qsizetype m_pos = 0;
};

QByteArray Encode(const Record& r) {
    Writer w;
    w.bytes(kMagic, sizeof kMagic);
    w.number(kVersion);
    w.number(UInt16(r.stamp.hasBirthTime ? kHasBirthTime : 0));
    w.number(r.stamp.device);
    w.number(r.stamp.inode);
    w.number(r.stamp.hasBirthTime ? r.stamp.birthSeconds : SInt64(0));
    w.number(r.stamp.hasBirthTime ? r.stamp.birthNanoseconds : UInt32(0));
    w.number(r.stamp.type);
    w.string(r.path);
    w.string(r.basePath);
    return w.take();
}

bool IsAbsolutePath(const std::string& p) {
    return !p.empty() && p.front() == '/' && p.find('\0') == std::string::npos;
}

std::optional<Record> Decode(const QByteArray& bytes) {
    Reader in(bytes);
    char magic[4];
    UInt16 version = 0, flags = 0;
    Record r;
    if (!in.bytes(magic, sizeof magic) || std::memcmp(magic, kMagic, sizeof kMagic) != 0)
        return std::nullopt;
    if (!in.number(&version) || version != kVersion || !in.number(&flags)) return std::nullopt;
    if (!in.number(&r.stamp.device) || !in.number(&r.stamp.inode) ||
        !in.number(&r.stamp.birthSeconds) || !in.number(&r.stamp.birthNanoseconds) ||
        !in.number(&r.stamp.type) || !in.string(&r.path) || !in.string(&r.basePath) || !in.atEnd())
        return std::nullopt;
    r.stamp.hasBirthTime = (flags & kHasBirthTime) != 0;
    if (!IsAbsolutePath(r.path)) return std::nullopt;
    if (!r.basePath.empty() && !IsAbsolutePath(r.basePath)) return std::nullopt;
    return r;
}

std::string ParentOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

QString FromBytes(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

std::string ToBytes(const QString& s) {
    const QByteArray utf8 = s.toUtf8();
    return std::string(utf8.constData(), size_t(utf8.size()));
}

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

// The entry of folder that is the recorded object under another name. The
// entries' inode numbers find it without a stat each; the first entry is
// stat-ed to check that this file system's directory inode numbers agree
// with stat's, and when they do not, every entry is stat-ed.
std::optional<std::string> FindInFolder(const std::string& folder, const Stamp& stored) {
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
    if (!dir) return std::nullopt;
    bool sampled = false, trustInodes = true;
    while (dirent* entry = readdir(dir.get())) {
        if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, "..")) continue;
        if (sampled && trustInodes && UInt64(entry->d_ino) != stored.inode) continue;
        const auto now = StampAt(dirfd(dir.get()), entry->d_name);
        if (!now) continue;
        if (!sampled) {
            sampled = true;
            trustInodes = now->inode == UInt64(entry->d_ino);
        }
        if (SameObject(stored, *now))
            return (folder == "/" ? std::string("/") : folder + "/") + entry->d_name;
    }
    return std::nullopt;
}

OSStatus MakeRecord(const FSRef* fromFile, const FSRef* target, QByteArray* alias) {
    if (!target || !alias) return paramErr;
    const auto identity = plat::IdentityOfRef(*target);
    if (!identity) return paramErr;
    auto path = plat::PathBytesOfRef(*target);
    if (!path) return fnfErr;
    const auto stamp = StampOf(*path);
    if (!stamp) return plat::StatusFromErrno(errno);
    if (stamp->device != identity->device || stamp->inode != identity->inode) return fnfErr;
    Record r{*stamp, std::move(*path), {}};
    if (fromFile) {
        if (auto base = plat::PathBytesOfRef(*fromFile)) r.basePath = std::move(*base);
    }
    *alias = Encode(r);
    return noErr;
}

OSStatus Found(const std::string& path, const Stamp& stamp, bool changed, FSRef* target,
               Boolean* wasChanged) {
    plat::MakeRefFromIdentity(path, plat::FileIdentity{stamp.device, stamp.inode}, target);
    if (wasChanged) *wasChanged = changed;
    return noErr;
}

} // namespace

OSStatus FSNewAlias(const FSRef* fromFile, const FSRef* target, QByteArray* alias) {
    return MakeRecord(fromFile, target, alias);
}

OSStatus FSUpdateAlias(const FSRef* fromFile, const FSRef* target, QByteArray* alias,
                       Boolean* wasChanged) {
    if (!alias) return paramErr;
    QByteArray fresh;
    if (OSStatus err = MakeRecord(fromFile, target, &fresh)) return err;
    if (wasChanged) *wasChanged = fresh != *alias;
    *alias = std::move(fresh);
    return noErr;
}

std::optional<std::string> FSAliasPath(const QByteArray& alias) {
    auto record = Decode(alias);
    if (!record) return std::nullopt;
    return std::move(record->path);
}

OSStatus FSResolveAlias(const FSRef* fromFile, const QByteArray& alias, FSRef* target,
                        Boolean* wasChanged) {
    if (!target) return paramErr;
    const auto record = Decode(alias);
    if (!record) return paramErr;
    const Stamp& stored = record->stamp;

    // Where it was.
    if (const auto now = StampOf(record->path); now && SameObject(stored, *now))
        return Found(record->path, *now, false, target, wasChanged);

    // Renamed inside the same folder.
    if (auto renamed = FindInFolder(ParentOf(record->path), stored)) {
        if (const auto now = StampOf(*renamed))
            return Found(*renamed, *now, true, target, wasChanged);
    }

    std::optional<std::string> basePath;
    if (fromFile) basePath = plat::PathBytesOfRef(*fromFile);

    // Moved together with the relative base: the same relative path from
    // the base's new folder.
    if (basePath && !record->basePath.empty()) {
        const QDir oldBaseFolder(FromBytes(ParentOf(record->basePath)));
        const QString relative = oldBaseFolder.relativeFilePath(FromBytes(record->path));
        const std::string candidate =
            ToBytes(QDir::cleanPath(FromBytes(ParentOf(*basePath)) + QLatin1Char('/') + relative));
        if (candidate != record->path) {
            if (const auto now = StampOf(candidate); now && SameObject(stored, *now))
                return Found(candidate, *now, true, target, wasChanged);
        }
    }

    // The relative base is the object itself (a moved application bundle
    // resolving its own record).
    if (basePath) {
        if (const auto now = StampOf(*basePath); now && SameObject(stored, *now))
            return Found(*basePath, *now, true, target, wasChanged);
    }
    return fnfErr;
}
