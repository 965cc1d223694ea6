#include "platform/FileIteration.h"

#include "platform/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

enum class Kind : UInt8 { File, Folder, Link, Other };

// One directory entry as read, packed into the walk's arena: this head, then
// the name's bytes, padded to a multiple of 8. A folder's entries are read in
// one go and its descriptor closed before any of them is offered, so a walk
// holds one descriptor at a time whatever the depth, and the arena is a stack
// of the entries still to visit on the way down.
struct EntryHead {
    UInt64 device;
    UInt64 inode;
    UInt64 dataSize;
    UInt64 physicalSize;
    UInt16 nameLength;
    Kind kind;
    bool stated; // identity and sizes come from a stat, not from readdir
};

constexpr size_t Padded(size_t n) {
    return (n + 7) & ~size_t(7);
}

struct Arena {
    std::vector<unsigned char> bytes;

    void push(const EntryHead& head, const char* name) {
        const size_t at = bytes.size();
        bytes.resize(at + sizeof head + Padded(head.nameLength));
        std::memcpy(bytes.data() + at, &head, sizeof head);
        std::memcpy(bytes.data() + at + sizeof head, name, head.nameLength);
    }
    EntryHead head(size_t at) const {
        EntryHead h;
        std::memcpy(&h, bytes.data() + at, sizeof h);
        return h;
    }
    void setHead(size_t at, const EntryHead& h) { std::memcpy(bytes.data() + at, &h, sizeof h); }
    std::string_view name(size_t at, const EntryHead& h) const {
        return {reinterpret_cast<const char*>(bytes.data() + at + sizeof h), h.nameLength};
    }
    static size_t next(size_t at, const EntryHead& h) {
        return at + sizeof h + Padded(h.nameLength);
    }
};

Kind KindOfMode(mode_t mode) {
    if (S_ISDIR(mode)) return Kind::Folder;
    if (S_ISLNK(mode)) return Kind::Link;
    if (S_ISREG(mode)) return Kind::File;
    return Kind::Other;
}

void TakeStat(const struct stat& st, EntryHead* h) {
    h->device = UInt64(st.st_dev);
    h->inode = UInt64(st.st_ino);
    h->kind = KindOfMode(st.st_mode);
    h->dataSize = h->kind == Kind::Folder ? 0 : UInt64(st.st_size);
    h->physicalSize = h->kind == Kind::Folder ? 0 : UInt64(st.st_blocks) * 512;
    h->stated = true;
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

struct Folder {
    plat::UniqueFd fd;
    struct stat st {};
};

struct Frame {
    size_t begin;      // arena offset of this folder's entries, freed on the way up
    size_t cursor;     // next entry to offer
    size_t end;        // one past the last entry
    size_t pathLength; // the folder's path length in the walk's path buffer
    ItemCount level;   // the level of this folder's entries
    bool changed;
};

class Walk {
public:
    Walk(ItemCount maxLevels, FSCatalogInfoBitmap whichInfo, Boolean wantSpec, Boolean wantName,
         IterateContainerFilterProcPtr filter, void* data)
        : m_maxLevels(maxLevels), m_wantSizes((whichInfo & kFSCatInfoDataSizes) != 0),
          m_wantFinderInfo((whichInfo & kFSCatInfoFinderInfo) != 0), m_wantSpec(wantSpec),
          m_wantName(wantName), m_filter(filter), m_data(data) {}

    OSErr run(std::string containerPath);

private:
    OSStatus read(Folder& folder, Frame* frame);
    void restat(int dirFd, size_t from);
    bool descends(ItemCount level) const { return m_maxLevels == 0 || level < m_maxLevels; }
    void fillName(std::string_view utf8);

    const ItemCount m_maxLevels;
    const bool m_wantSizes;
    const bool m_wantFinderInfo;
    const bool m_wantSpec;
    const bool m_wantName;
    const IterateContainerFilterProcPtr m_filter;
    void* const m_data;

    Arena m_arena;
    std::vector<Frame> m_stack;
    std::string m_path;
    FSCatalogInfo m_info;
    FSRef m_ref;
    FSSpec m_spec;
    HFSUniStr255 m_name;
};

// Reads a folder's entries into the arena. Types and inode numbers come from
// readdir; a stat is made only when the type is unknown, when sizes are
// wanted, and once per folder to check that readdir's inode numbers and the
// folder's device are what stat reports for its files (on some layered file
// systems they are not, and then every entry is stat-ed).
OSStatus Walk::read(Folder& folder, Frame* frame) {
    const int dirFd = folder.fd.get();
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(dirFd));
    if (!dir) return plat::StatusFromErrno(errno);
    folder.fd.release();

    frame->begin = frame->cursor = m_arena.bytes.size();
    bool statAll = m_wantSizes;
    bool checked = false;
    for (;;) {
        errno = 0;
        const dirent* e = readdir(dir.get());
        if (!e) break;
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;

        EntryHead h{};
        h.device = UInt64(folder.st.st_dev);
        h.inode = UInt64(e->d_ino);
        h.nameLength = UInt16(std::strlen(name));
        bool known = true;
        switch (e->d_type) {
        case DT_DIR:
            h.kind = Kind::Folder;
            break;
        case DT_REG:
            h.kind = Kind::File;
            break;
        case DT_LNK:
            h.kind = Kind::Link;
            break;
        case DT_UNKNOWN:
            known = false;
            break;
        default:
            h.kind = Kind::Other;
            break;
        }
        const bool check = !checked && known && h.kind == Kind::File;
        if (statAll || !known || check) {
            struct stat st;
            if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                if (check && (UInt64(st.st_ino) != h.inode || st.st_dev != folder.st.st_dev)) {
                    statAll = true;
                    restat(dirFd, frame->begin);
                }
                TakeStat(st, &h);
            } else if (errno == ENOENT || !known) {
                continue; // gone since it was listed, or nothing we can name
            }
            checked = checked || check;
        }
        m_arena.push(h, name);
    }
    const int readError = errno;
    frame->end = m_arena.bytes.size();
    struct stat after;
    frame->changed = ::fstat(dirFd, &after) == 0 && (!SameTime(after.st_mtim, folder.st.st_mtim) ||
                                                     !SameTime(after.st_ctim, folder.st.st_ctim));
    if (readError == EACCES || readError == EPERM) return noErr;
    return readError ? plat::StatusFromErrno(readError) : noErr;
}

// Stats the entries already read from this folder, once readdir's numbers
// turned out not to be stat's.
void Walk::restat(int dirFd, size_t from) {
    for (size_t at = from; at < m_arena.bytes.size();) {
        EntryHead h = m_arena.head(at);
        if (!h.stated) {
            const std::string name(m_arena.name(at, h));
            struct stat st;
            if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                TakeStat(st, &h);
                m_arena.setHead(at, h);
            }
        }
        at = Arena::next(at, h);
    }
}

// UTF-8 to UTF-16 without allocating; malformed bytes become U+FFFD. A name
// of at most 255 bytes never needs more than 255 units.
void Walk::fillName(std::string_view s) {
    UInt16 n = 0;
    auto put = [&](char32_t c) {
        if (c >= 0x10000) {
            if (n + 2 > 255) return;
            c -= 0x10000;
            m_name.unicode[n++] = UniChar(0xD800 + (c >> 10));
            m_name.unicode[n++] = UniChar(0xDC00 + (c & 0x3FF));
        } else if (n < 255) {
            m_name.unicode[n++] = UniChar(c);
        }
    };
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            put(b);
            ++i;
            continue;
        }
        size_t extra = 0;
        char32_t c = 0;
        if ((b & 0xE0) == 0xC0) {
            extra = 1;
            c = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2;
            c = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3;
            c = b & 0x07;
        }
        bool ok = extra != 0 && s.size() - i > extra;
        for (size_t k = 1; ok && k <= extra; ++k) {
            const auto cb = static_cast<unsigned char>(s[i + k]);
            ok = (cb & 0xC0) == 0x80;
            c = (c << 6) | (cb & 0x3F);
        }
        static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            put(0xFFFD);
            ++i;
            continue;
        }
        put(c);
        i += extra + 1;
    }
    m_name.length = n;
}

OSErr Walk::run(std::string containerPath) {
    m_path = std::move(containerPath);
    m_path.reserve(4096);
    Folder top;
    top.fd.reset(::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (top.fd.get() < 0) {
        if (errno == EACCES || errno == EPERM) return noErr;
        if (errno == ENOTDIR || errno == ELOOP) return dirNFErr;
        return OSErr(plat::StatusFromErrno(errno));
    }
    if (::fstat(top.fd.get(), &top.st) != 0) return OSErr(plat::StatusFromErrno(errno));
    Frame frame{};
    frame.level = 1;
    frame.pathLength = m_path.size();
    if (OSStatus err = read(top, &frame)) return OSErr(err);
    m_stack.push_back(frame);

    while (!m_stack.empty()) {
        Frame& f = m_stack.back();
        if (f.cursor == f.end) {
            m_arena.bytes.resize(f.begin);
            m_stack.pop_back();
            continue;
        }
        const size_t at = f.cursor;
        EntryHead h = m_arena.head(at);
        f.cursor = Arena::next(at, h);
        const ItemCount level = f.level;
        const bool changed = f.changed;
        m_path.resize(f.pathLength);
        if (m_path.empty() || m_path.back() != '/') m_path += '/';
        m_path += m_arena.name(at, h);

        // A folder is opened before it is offered: its descriptor gives the
        // identity of what will be walked (a mount point's root, not the
        // directory beneath it).
        Folder child;
        OSStatus pending = noErr;
        if (h.kind == Kind::Folder) {
            const bool enter = descends(level);
            if (enter)
                child.fd.reset(
                    ::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child.fd.get() >= 0 && ::fstat(child.fd.get(), &child.st) == 0) {
                TakeStat(child.st, &h);
            } else {
                const int openError = child.fd.get() >= 0 || !enter ? 0 : errno;
                child.fd.reset();
                struct stat st;
                if (::lstat(m_path.c_str(), &st) != 0) {
                    if (errno == ENOENT || errno == ENOTDIR) continue; // gone meanwhile
                    return OSErr(plat::StatusFromErrno(errno));
                }
                TakeStat(st, &h); // possibly replaced by a file or a link meanwhile
                // Unreadable or replaced meanwhile: offered as it is now, not
                // entered. Anything else ends the walk after this item.
                const bool expected = openError == 0 || openError == EACCES || openError == EPERM ||
                                      openError == ENOENT || openError == ENOTDIR ||
                                      openError == ELOOP;
                if (h.kind == Kind::Folder && !expected) pending = plat::StatusFromErrno(openError);
            }
        }

        m_info.nodeFlags = h.kind == Kind::Folder ? kFSNodeIsDirectoryMask : 0;
        m_info.dataLogicalSize = h.dataSize;
        m_info.dataPhysicalSize = h.physicalSize;
        std::memset(m_info.finderInfo, 0, sizeof m_info.finderInfo);
        if (m_wantFinderInfo && h.kind == Kind::Link) {
            // The Finder's type and creator for a symbolic link.
            const OSType type = FourCC("slnk"), creator = FourCC("rhap");
            std::memcpy(m_info.finderInfo, &type, sizeof type);
            std::memcpy(m_info.finderInfo + 4, &creator, sizeof creator);
        }
        plat::MakeRefFromIdentity(m_path, plat::FileIdentity{h.device, h.inode}, &m_ref);
        if (m_wantSpec) FSRefMakeFSSpec(&m_ref, &m_spec);
        if (m_wantName) fillName(m_arena.name(at, h));

        if (m_filter(changed, level, &m_info, &m_ref, m_wantSpec ? &m_spec : nullptr,
                     m_wantName ? &m_name : nullptr, m_data))
            return noErr;
        if (pending) return OSErr(pending);
        if (child.fd.get() < 0) continue;

        Frame next{};
        next.level = level + 1;
        next.pathLength = m_path.size();
        if (OSStatus err = read(child, &next)) return OSErr(err);
        m_stack.push_back(next);
    }
    return noErr;
}

} // namespace

OSErr FSIterateContainer(const FSRef* container, ItemCount maxLevels, FSCatalogInfoBitmap whichInfo,
                         Boolean wantFSSpec, Boolean wantName,
                         IterateContainerFilterProcPtr iterateFilter, void* yourDataPtr) {
    if (!container || !iterateFilter) return paramErr;
    if (!plat::IdentityOfRef(*container)) return paramErr;
    auto path = plat::PathBytesOfRef(*container);
    if (!path) return fnfErr;
    Walk walk(maxLevels, whichInfo, wantFSSpec, wantName, iterateFilter, yourDataPtr);
    return walk.run(std::move(*path));
}
