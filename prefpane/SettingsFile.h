// The settings file's raw bytes, for the pane's snapshot and revert: the
// file "com.brisk-alder.LoftwiseCM.plist" in the user's Preferences folder.
#pragma once

#include "platform/FileIteration.h" // UniChar
#include "platform/Files.h"
#include "platform/MacTypes.h"

#include <QByteArray>
#include <QString>
#include <optional>

using UniCharCount = unsigned long;

inline constexpr char kLoftwiseCMDomain[] = "com.brisk-alder.LoftwiseCM";

// The file's whole contents; nullopt when the folder or the file is missing.
std::optional<QByteArray> GetPreferencesFile();
// Overwrites the file when it exists; writes nothing when the folder or the
// file is missing (fnfErr).
OSStatus SetPreferencesFile(const QByteArray& data);
// Reads through a file read stream in chunks of 1024 bytes; what was read
// before a failure is kept. nullopt only when no buffer could be made.
std::optional<QByteArray> DoReadFile(const FSRef* file);
// Replaces the file's contents through a file write stream and logs
// "Total bytes written = %d" to the system log.
void DoFileWrite(const QByteArray& data, const FSRef* file);
// The translation of the texts these functions log (the pane plugs in its
// string table); null: the English text as it is.
void SetSettingsFileLocalizer(QString (*localizer)(const QString&));
// True when the 8-bit (Mac OS Roman) name exists in the folder, or looking
// it up failed with any error other than fnfErr.
bool FSObjectExists(const FSRef* folder, const char* name, FSRef* file);
// Mac OS Roman to UTF-16: the unit count, and a new buffer of exactly that
// size in *characters (the caller frees it with delete[]).
UniCharCount SetUnicodeTextFromASCII_C_Chars(const char* text, UniChar** characters,
                                             UniCharCount* count);
