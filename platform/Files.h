// File-system references, FSSpec records, catalog information, folder
// lookup and whole-file reads.
//
// An FSRef is an 80-byte trivially copyable value naming an existing object
// by device and inode, plus an id into a process-wide table of the paths it
// was made from. FSCompareFSRefs compares identity (device and inode).
#pragma once

#include "platform/MacTypes.h"
#include "platform/UniqueFd.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

struct FSRef {
    UInt8 hidden[80];
};
static_assert(sizeof(FSRef) == 80 && std::is_trivially_copyable_v<FSRef>);

// The 70-byte FSSpec record carried by the `hfs ` drag flavour and by
// `fss ` descriptors. On this platform it holds the same identity as an FSRef
// (device, inode, path-table id), so it is valid within this process only.
#pragma pack(push, 2)
struct FSSpec {
    SInt16 vRefNum;
    SInt32 parID;
    UInt8 name[64];
};
#pragma pack(pop)
static_assert(sizeof(FSSpec) == 70 && std::is_trivially_copyable_v<FSSpec>);

constexpr UInt16 kFSNodeIsDirectoryMask = 0x0010;
constexpr UInt16 kFSNodeLockedMask = 0x0001;

using FSCatalogInfoBitmap = UInt32;
constexpr FSCatalogInfoBitmap kFSCatInfoNone = 0;
constexpr FSCatalogInfoBitmap kFSCatInfoNodeFlags = 0x00000002;
constexpr FSCatalogInfoBitmap kFSCatInfoDataSizes = 0x00004000;
constexpr FSCatalogInfoBitmap kFSCatInfoFinderInfo = 0x00000800;

struct FSCatalogInfo {
    UInt16 nodeFlags = 0;
    UInt64 dataLogicalSize = 0;
    UInt64 dataPhysicalSize = 0;
    UInt8 finderInfo[16] = {};
};

// Path <-> reference. FSPathMakeRef fails with fnfErr when nothing is there.
OSStatus FSPathMakeRef(const char* utf8Path, FSRef* ref, Boolean* isDirectory);
OSStatus FSRefMakePath(const FSRef* ref, UInt8* utf8Path, UInt32 maxPathSize);

// Looks a name up in a parent folder: fnfErr when absent.
OSStatus FSMakeFSRefUnicode(const FSRef* parent, const QString& name, FSRef* newRef);

// Creates a folder or an empty file in a parent folder; dupFNErr when the
// name exists.
OSStatus FSCreateDirectoryUnicode(const FSRef* parent, const QString& name,
                                  FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* info,
                                  FSRef* newRef);
OSStatus FSCreateFileUnicode(const FSRef* parent, const QString& name,
                             FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* info,
                             FSRef* newRef);

// Catalog information, the name on disk and the parent folder; any of the
// out arguments may be null.
OSStatus FSGetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* info,
                          QString* outName, FSSpec* fsSpec, FSRef* parentRef);

// noErr when both name the same object, diffVolErr/paramErr otherwise.
OSStatus FSCompareFSRefs(const FSRef* ref1, const FSRef* ref2);

// FSSpec <-> reference.
OSStatus FSpMakeFSRef(const FSSpec* spec, FSRef* ref);
OSStatus FSRefMakeFSSpec(const FSRef* ref, FSSpec* spec);

// Asks file managers to refresh their view of an item (no-op where none listens).
OSStatus FNNotify(const FSRef* ref);

// Folder lookup (FSFindFolder). Domains and folder types:
constexpr SInt16 kUserDomain = -32763;
constexpr SInt16 kOnAppropriateDisk = -32767;
constexpr OSType kPreferencesFolderType = FourCC("pref");
constexpr OSType kLogsFolderType = FourCC("logs");
constexpr OSType kTemporaryFolderType = FourCC("temp");
constexpr OSType kChewableItemsFolderType = FourCC("flnt");
constexpr OSType kDesktopFolderType = FourCC("desk");
constexpr OSType kApplicationsFolderType = FourCC("apps");
constexpr OSType kContextualMenuItemsFolderType = FourCC("cmnu");
constexpr OSType kPreferencePanesFolderType = FourCC("ppan");
constexpr Boolean kCreateFolder = true;
constexpr Boolean kDontCreateFolder = false;

// Preferences: ${XDG_CONFIG_HOME:-~/.config}/Preferences
// Logs: ${XDG_STATE_HOME:-~/.local/state}/Logs
// Temporary items: ${TMPDIR:-/tmp}/TemporaryItems-<uid>, created 0700; refused
//   (permErr) when it is a symbolic link or not owned by the user
// Desktop: the XDG desktop folder
// Applications: ~/Applications
// Contextual menu items / preference panes: ${XDG_DATA_HOME:-~/.local/share}/
//   "Contextual Menu Items" and "PreferencePanes"
OSStatus FSFindFolder(SInt16 vRefNum, OSType folderType, Boolean createFolder, FSRef* foundRef);

namespace plat {

// The absolute path of a reference as text, bytes that are not UTF-8 shown
// as U+FFFD (PathBytesOfRef has them as they are) (the stored path when the object is
// still there, else found again by device and inode when possible).
std::optional<QString> PathOfRef(const FSRef& ref);

// The folder's path for FSFindFolder's types, without creating it.
std::optional<QString> FolderPath(OSType folderType);

// The bundles (folders named *.<extension>) of a plug-in or pane folder:
// the user's own (FolderPath) first, then those of a system-wide install
// beside the running program (<program's folder>/../lib/loftwise/<folder's
// name>, e.g. /usr/lib/loftwise/PreferencePanes). A user's bundle hides an
// installed one of the same name. Sorted by name within each folder.
QStringList InstalledBundles(OSType folderType, const QString& extension);

// The whole data fork; nullopt when the file cannot be opened, sized or read.
// Content operations read through a symbolic link, as opening the file does.
std::optional<QByteArray> ReadWholeFile(const FSRef& ref);

// The data fork's length; the status when it cannot be read.
OSStatus DataForkSize(const FSRef& ref, UInt64* size);

// The identity a reference carries; nullopt when the bytes are no reference.
// Reads nothing from disk.
struct FileIdentity {
    UInt64 device = 0;
    UInt64 inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentityOfRef(const FSRef& ref);

// The stored path's bytes when the object there still has the reference's
// identity (the byte-exact form of PathOfRef).
std::optional<std::string> PathBytesOfRef(const FSRef& ref);

// A file URL for a path's bytes. Bytes that are not UTF-8 (a name from
// another system) stay percent-encoded, so no byte of the name is lost.
QUrl FileURLOfPathBytes(std::string_view path);

// The path bytes of a file URL, its percent-encoded path decoded byte for
// byte; nullopt for a URL that is not a local file's.
std::optional<std::string> PathBytesOfFileURL(const QUrl& url);

// A reference for an object whose absolute path and identity the caller has
// just read (a folder walk that stat-ed the entry), without touching the disk.
void MakeRefFromIdentity(std::string_view absolutePath, FileIdentity identity, FSRef* ref);

// The status code for an errno value: ENOENT/ENOTDIR -> fnfErr,
// EACCES/EPERM -> afpAccessDenied, EEXIST -> dupFNErr, EROFS -> wPrErr,
// ENAMETOOLONG/EINVAL -> paramErr, ENOMEM -> memFullErr, others ioErr.
OSStatus StatusFromErrno(int error);

// A file replaced in one step: writes go to a hidden temporary file in the
// same folder, which commit flushes to disk, renames over the file and
// follows with a flush of the folder, so the rename itself survives a crash.
// Dropped without a commit, the temporary file goes and the old file is
// untouched.
class FileReplacement {
public:
    FileReplacement() = default;
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;
    ~FileReplacement() { discard(); }

    // Makes the temporary file for the file at path (native bytes) with the
    // mode; false with errno set.
    bool open(const QByteArray& path, unsigned mode);
    // The temporary file's descriptor; -1 when none is open.
    int fd() const { return m_fd.get(); }
    // False with errno set; the temporary file is gone either way.
    bool commit();
    void discard();

private:
    QByteArray m_path;
    QByteArray m_temp;
    UniqueFd m_fd;
};

// Replaces the file with bytes in one step (FileReplacement). False with
// errno set when it failed; the old file is then untouched.
bool ReplaceFileAtomically(const QString& path, const QByteArray& bytes, unsigned mode);

} // namespace plat
