// Launch Services: open a file or URL with the user's default handler, and
// item information for the container test.
//
// Opening starts a program, detached, with the URL as its only argument (a
// file URL as its local path) and never waits for it:
// - LOFTWISE_OPENER, when set, names that program (tests record with it);
// - a local ".log" file goes to the log viewer LoftwiseConsole when one is
//   found (see plat::FindLogViewer);
// - everything else goes to xdg-open.
#pragma once

#include "platform/Files.h"
#include "platform/MacTypes.h"

#include <QString>
#include <QUrl>
#include <optional>

enum : OSStatus {
    kLSUnknownErr = -10810,             // the program was found but could not be started
    kLSApplicationNotFoundErr = -10814, // no program to open the item with
};

using LSInitializeFlags = UInt32;
constexpr LSInitializeFlags kLSInitializeDefaults = 0x00000001;

// Nothing to set up on this platform; kept for callers that bracket their
// opens with them.
OSStatus LSInit(LSInitializeFlags flags);
OSStatus LSTerm();

// Opens the URL; launched (optional) receives the file URL of the program
// started. fnfErr for a file URL whose file is missing, paramErr for an
// empty or relative URL.
OSStatus LSOpenCFURLRef(const QUrl& url, QUrl* launched);
// Opens the item; launchedRef (optional) receives the program started.
OSStatus LSOpenFSRef(const FSRef* ref, FSRef* launchedRef);

using LSRequestedInfo = UInt32;
constexpr LSRequestedInfo kLSRequestExtension = 0x00000001;
constexpr LSRequestedInfo kLSRequestTypeCreator = 0x00000002;
constexpr LSRequestedInfo kLSRequestBasicFlagsOnly = 0x00000004;
constexpr LSRequestedInfo kLSRequestAppTypeFlags = 0x00000008;
constexpr LSRequestedInfo kLSRequestAllFlags = 0x00000010;
constexpr LSRequestedInfo kLSRequestAllInfo = 0xFFFFFFFF;

using LSItemInfoFlags = UInt32;
constexpr LSItemInfoFlags kLSItemInfoIsPlainFile = 0x00000001;
constexpr LSItemInfoFlags kLSItemInfoIsPackage = 0x00000002;
constexpr LSItemInfoFlags kLSItemInfoIsApplication = 0x00000004;
constexpr LSItemInfoFlags kLSItemInfoIsContainer = 0x00000008;
constexpr LSItemInfoFlags kLSItemInfoIsAliasFile = 0x00000010;
constexpr LSItemInfoFlags kLSItemInfoIsSymlink = 0x00000020;
constexpr LSItemInfoFlags kLSItemInfoIsInvisible = 0x00000040;
constexpr LSItemInfoFlags kLSItemInfoIsVolume = 0x00001000;

struct LSItemInfoRecord {
    LSItemInfoFlags flags = 0;
    OSType filetype = 0;
    OSType creator = 0;
    // The name's extension without the dot; empty when it has none (or when
    // it was not requested).
    QString extension;
};

// Folders, volumes and bundles (a folder named *.app, *.plugin or *.prefPane,
// or one holding Contents/Info.plist) are containers; a symbolic link is an
// alias file, whatever it points to. fnfErr when the item is gone.
OSStatus LSCopyItemInfoForRef(const FSRef* ref, LSRequestedInfo which, LSItemInfoRecord* info);

namespace plat {

// The log viewer: LoftwiseConsole next to the running executable, then in
// the main bundle's Contents/Linux, then on PATH.
std::optional<QString> FindLogViewer();

} // namespace plat
