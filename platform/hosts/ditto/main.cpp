// ditto, the part of the system's copy tool that Loftwise runs to zip a folder:
//
//   ditto -c -k [-X] [--sequesterRsrc] FOLDER ARCHIVE
//
// writes a PKZip archive of FOLDER's contents (not the folder itself) to
// ARCHIVE. Folders become entries of their own, files are
// deflated, symbolic links are stored as links and never followed, names are
// UTF-8 and flagged so, modification times are kept; Zip64 records appear
// when a member or the archive outgrows the classic format. -X keeps the walk
// on FOLDER's device: what is mounted inside is left out, mount point and
// all. --sequesterRsrc is accepted and does nothing: there are no resource
// forks here.
//
// Fifos, sockets and device files have no contents to archive; they are
// skipped with a warning. Anything that cannot be read (a file, a folder, a
// link) is reported on standard error; the walk goes on so every problem is
// reported, but no archive is made and the exit status is 1. The archive is
// written to a hidden temporary file next to ARCHIVE and renamed into place
// only when it is complete, so ARCHIVE never names a partial archive.
//
// Exit status: 0 success, 1 failure, 2 bad arguments.
#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Files are read and handed to the compressor in blocks of this size, and
// the archive is written out in blocks of kOutputBlockSize.
constexpr std::size_t kReadBlockSize = 256 * 1024;
constexpr int kOutputBlockSize = 128 * 1024;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The temporary archive, removed when a signal ends the run.
char gTemporaryPath[8192];

void RemoveTemporaryAndDie(int sig) {
    if (gTemporaryPath[0]) ::unlink(gTemporaryPath);
    std::signal(sig, SIG_DFL);
    ::raise(sig);
}

int Usage() {
    std::fputs("usage: ditto -c -k [-X] [--sequesterRsrc] folder archive\n", stderr);
    return kExitUsage;
}

struct Options {
    bool create = false;
    bool pkzip = false;
    bool stayOnDevice = false;
    std::string source;
    std::string archive;
};

bool ParseArguments(int argc, char** argv, Options* options) {
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--sequesterRsrc") {
            // No resource forks or extended Finder data to set aside.
        } else if (arg[1] == '-') {
            return false;
        } else {
            for (char c : arg.substr(1)) {
                if (c == 'c')
                    options->create = true;
                else if (c == 'k')
                    options->pkzip = true;
                else if (c == 'X')
                    options->stayOnDevice = true;
                else
                    return false;
            }
        }
    }
    if (!options->create || !options->pkzip || operands.size() != 2) return false;
    if (operands[0].empty() || operands[1].empty()) return false;
    options->source = operands[0];
    options->archive = operands[1];
    return true;
}

void ReportErrno(const std::string& path, int error) {
    std::fprintf(stderr, "ditto: %s: %s\n", path.c_str(), std::strerror(error));
}

// A descriptor closed when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

struct ArchiveDeleter {
    void operator()(struct archive* a) const { archive_write_free(a); }
};
struct EntryDeleter {
    void operator()(struct archive_entry* e) const { archive_entry_free(e); }
};
using ArchivePtr = std::unique_ptr<struct archive, ArchiveDeleter>;
using EntryPtr = std::unique_ptr<struct archive_entry, EntryDeleter>;

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

class ZipWriter {
public:
    ZipWriter(std::string archivePath, dev_t rootDevice, bool stayOnDevice)
        : archivePath_(std::move(archivePath)), rootDevice_(rootDevice),
          stayOnDevice_(stayOnDevice), buffer_(kReadBlockSize) {}

    // Takes over fd (the temporary archive file).
    bool Open(int fd) {
        struct stat st;
        if (::fstat(fd, &st) == 0) {
            outputDevice_ = st.st_dev;
            outputInode_ = st.st_ino;
        }
        archive_.reset(archive_write_new());
        struct archive* a = archive_.get();
        if (!a || archive_write_set_format_zip(a) != ARCHIVE_OK ||
            archive_write_set_format_option(a, "zip", "compression", "deflate") != ARCHIVE_OK ||
            archive_write_set_format_option(a, "zip", "compression-level", "6") != ARCHIVE_OK ||
            archive_write_set_format_option(a, "zip", "hdrcharset", "UTF-8") != ARCHIVE_OK ||
            archive_write_set_bytes_per_block(a, kOutputBlockSize) != ARCHIVE_OK ||
            // A regular file: the last block is not padded.
            archive_write_set_bytes_in_last_block(a, 1) != ARCHIVE_OK ||
            archive_write_open_fd(a, fd) != ARCHIVE_OK) {
            ReportArchiveError();
            ::close(fd);
            return false;
        }
        fd_ = fd;
        return true;
    }

    // Writes the central directory and closes the file; true when the
    // archive is complete and nothing went wrong on the way.
    bool Finish() {
        bool ok = !broken_ && !hadProblem_;
        if (archive_) {
            if (!ok) {
                // Nothing more is written to an archive that is thrown away.
                archive_write_fail(archive_.get());
            } else if (archive_write_close(archive_.get()) != ARCHIVE_OK) {
                ReportArchiveError();
                ok = false;
            }
        }
        archive_.reset();
        if (fd_ >= 0 && ::close(fd_) != 0) {
            ReportErrno(archivePath_, errno);
            ok = false;
        }
        fd_ = -1;
        return ok;
    }

    // The contents of the folder open as dirFd; entries are named prefix +
    // their relative path.
    void AddFolderContents(int dirFd, const std::string& diskPath, const std::string& prefix) {
        const int listFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
        if (listFd < 0) return Problem(diskPath, errno);
        DirPtr dir(::fdopendir(listFd));
        if (!dir) {
            ::close(listFd);
            return Problem(diskPath, errno);
        }
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* e = ::readdir(dir.get())) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
            errno = 0;
        }
        if (errno != 0) Problem(diskPath, errno);
        dir.reset();
        // A stable order makes the same folder give the same archive.
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (broken_) return;
            AddChild(dirFd, name, diskPath + "/" + name, prefix + name);
        }
    }

private:
    void AddChild(int dirFd, const std::string& name, const std::string& diskPath,
                  const std::string& entryName) {
        struct stat st;
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return Problem(diskPath, errno);
        // -X: what is mounted here belongs to another device and stays out,
        // mount point included.
        if (stayOnDevice_ && st.st_dev != rootDevice_) return;
        // The archive being written, when it lies inside the source.
        if (st.st_dev == outputDevice_ && st.st_ino == outputInode_) return;

        if (S_ISLNK(st.st_mode)) return AddLink(dirFd, name, diskPath, entryName, st);
        if (S_ISDIR(st.st_mode)) {
            Descriptor fd(
                ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (fd.get() < 0) return Problem(diskPath, errno);
            if (!SameObject(fd.get(), st, diskPath)) return;
            if (!WriteHeader(diskPath, entryName, st, AE_IFDIR, nullptr) && broken_) return;
            return AddFolderContents(fd.get(), diskPath, entryName + "/");
        }
        if (S_ISREG(st.st_mode)) {
            // Non-blocking so that a fifo swapped in after the stat cannot
            // hang the open; the identity check below then refuses it.
            Descriptor fd(::openat(dirFd, name.c_str(),
                                   O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
            if (fd.get() < 0) return Problem(diskPath, errno);
            if (!SameObject(fd.get(), st, diskPath)) return;
            return AddFile(fd.get(), diskPath, entryName, st);
        }
        std::fprintf(stderr, "ditto: %s: skipped, not a file, folder or symbolic link\n",
                     diskPath.c_str());
    }

    void AddLink(int dirFd, const std::string& name, const std::string& diskPath,
                 const std::string& entryName, const struct stat& st) {
        std::string target(std::size_t(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
        for (;;) {
            const ssize_t n = ::readlinkat(dirFd, name.c_str(), target.data(), target.size());
            if (n < 0) return Problem(diskPath, errno);
            if (std::size_t(n) < target.size()) {
                target.resize(std::size_t(n));
                break;
            }
            target.resize(target.size() * 2);
        }
        if (WriteHeader(diskPath, entryName, st, AE_IFLNK, target.c_str())) FinishEntry();
    }

    void AddFile(int fd, const std::string& diskPath, const std::string& entryName,
                 const struct stat& st) {
        // Once the run has failed only readability is checked, so that every
        // problem is reported without compressing data that is thrown away.
        if (hadProblem_) return;
        if (!WriteHeader(diskPath, entryName, st, AE_IFREG, nullptr)) return;
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        // Only the size the header announced is taken; a file that shrinks
        // meanwhile gives what was there.
        std::int64_t left = st.st_size;
        while (left > 0) {
            const std::size_t want = std::size_t(std::min<std::int64_t>(left, kReadBlockSize));
            const ssize_t got = ::read(fd, buffer_.data(), want);
            if (got < 0) {
                if (errno == EINTR) continue;
                return Problem(diskPath, errno);
            }
            if (got == 0) break;
            if (archive_write_data(archive_.get(), buffer_.data(), std::size_t(got)) != got)
                return Broken();
            left -= got;
        }
        FinishEntry();
    }

    // The object opened is the one that was examined (not replaced meanwhile).
    bool SameObject(int fd, const struct stat& expected, const std::string& diskPath) {
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            Problem(diskPath, errno);
            return false;
        }
        if (st.st_dev != expected.st_dev || st.st_ino != expected.st_ino ||
            (st.st_mode & S_IFMT) != (expected.st_mode & S_IFMT)) {
            std::fprintf(stderr, "ditto: %s: changed while being archived\n", diskPath.c_str());
            hadProblem_ = true;
            return false;
        }
        return true;
    }

    bool WriteHeader(const std::string& diskPath, const std::string& entryName,
                     const struct stat& st, unsigned type, const char* linkTarget) {
        if (hadProblem_ || broken_) return false;
        EntryPtr entry(archive_entry_new());
        if (!entry) {
            Broken();
            return false;
        }
        archive_entry_set_pathname(entry.get(), entryName.c_str());
        archive_entry_set_filetype(entry.get(), type);
        archive_entry_set_perm(entry.get(), st.st_mode & 07777);
        archive_entry_set_mtime(entry.get(), st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        archive_entry_set_uid(entry.get(), st.st_uid);
        archive_entry_set_gid(entry.get(), st.st_gid);
        archive_entry_set_size(entry.get(), type == AE_IFREG ? st.st_size : 0);
        if (linkTarget) archive_entry_set_symlink(entry.get(), linkTarget);
        const int status = archive_write_header(archive_.get(), entry.get());
        if (status == ARCHIVE_WARN) {
            std::fprintf(stderr, "ditto: %s: %s\n", diskPath.c_str(),
                         archive_error_string(archive_.get()));
        } else if (status == ARCHIVE_FAILED) {
            std::fprintf(stderr, "ditto: %s: %s\n", diskPath.c_str(),
                         archive_error_string(archive_.get()));
            hadProblem_ = true;
            return false;
        } else if (status != ARCHIVE_OK) {
            Broken();
            return false;
        }
        return true;
    }

    void FinishEntry() {
        if (archive_write_finish_entry(archive_.get()) != ARCHIVE_OK) Broken();
    }

    void Problem(const std::string& diskPath, int error) {
        ReportErrno(diskPath, error);
        hadProblem_ = true;
    }

    // The archive itself cannot be written (disk full, I/O error): stop.
    void Broken() {
        ReportArchiveError();
        broken_ = true;
    }

    void ReportArchiveError() {
        const char* text = archive_ ? archive_error_string(archive_.get()) : nullptr;
        const int error = archive_ ? archive_errno(archive_.get()) : 0;
        std::fprintf(stderr, "ditto: %s: %s%s%s%s\n", archivePath_.c_str(),
                     text ? text : "cannot write the archive", error > 0 ? " (" : "",
                     error > 0 ? std::strerror(error) : "", error > 0 ? ")" : "");
    }

    std::string archivePath_;
    dev_t rootDevice_;
    bool stayOnDevice_;
    dev_t outputDevice_ = 0;
    ino_t outputInode_ = 0;
    ArchivePtr archive_;
    int fd_ = -1;
    bool hadProblem_ = false;
    bool broken_ = false;
    std::vector<char> buffer_;
};

std::string StripTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string LastComponent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Each folder level of the walk holds a descriptor; deep trees need more
// than the usual soft limit.
void RaiseDescriptorLimit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// A new hidden file next to the archive, with the mode a newly created file
// gets; its path in *path.
int CreateTemporary(const std::string& archive, std::string* path) {
    const std::string folder = FolderOf(archive);
    std::string name = folder + "/." + LastComponent(archive) + ".XXXXXX";
    if (name.size() >= sizeof gTemporaryPath) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    std::memcpy(gTemporaryPath, name.c_str(), name.size() + 1);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    *path = name;
    return fd;
}

int Run(const Options& options) {
    const std::string source = StripTrailingSlashes(options.source);
    Descriptor sourceFd(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (sourceFd.get() < 0) {
        ReportErrno(options.source, errno);
        return kExitFailure;
    }
    struct stat sourceStat;
    if (::fstat(sourceFd.get(), &sourceStat) != 0) {
        ReportErrno(options.source, errno);
        return kExitFailure;
    }

    std::string temporary;
    const int outFd = CreateTemporary(options.archive, &temporary);
    if (outFd < 0) {
        ReportErrno(options.archive, errno);
        return kExitFailure;
    }
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGPIPE})
        std::signal(sig, RemoveTemporaryAndDie);

    ZipWriter writer(options.archive, sourceStat.st_dev, options.stayOnDevice);
    bool ok = writer.Open(outFd);
    if (ok) {
        writer.AddFolderContents(sourceFd.get(), source, std::string());
        ok = writer.Finish();
    }
    if (ok && ::rename(temporary.c_str(), options.archive.c_str()) != 0) {
        ReportErrno(options.archive, errno);
        ok = false;
    }
    if (!ok) ::unlink(temporary.c_str());
    gTemporaryPath[0] = '\0';
    return ok ? 0 : kExitFailure;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArguments(argc, argv, &options)) return Usage();
    // Names on this system are UTF-8; the archive flags them so.
    if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "");
    RaiseDescriptorLimit();
    // Every member sets up and tears down a compressor of a few hundred
    // KiB; keeping freed memory avoids returning it to the system and
    // faulting it in again once per file.
    ::mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
    return Run(options);
}
