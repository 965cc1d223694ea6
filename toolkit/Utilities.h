// The application's toolkit: localized texts, text conversions, name-based
// file-system operations inside a folder, and bundle resources.
#pragma once

#include "platform/Files.h"
#include "platform/MacTypes.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

using UniChar = char16_t;
using UniCharCount = std::size_t;

// The text for key in the main bundle's table "LocalizedStrings", or the key
// itself when the table has no entry or there is no bundle. Each key is
// looked up once per process: the result is kept in a process-wide cache
// (safe from any thread) and the same key always gives the same object.
const QString& LocalizedString(const QString& key);
// The same lookup, not kept: for texts that are seldom keys, such as
// messages that carry a file name.
QString CopyLocalizedString(const QString& key);

// The string's UTF-16 code units (terminated for convenience); their count
// in *length when length is not null.
std::unique_ptr<UniChar[]> GetUnicodeString(const QString& text, UniCharCount* length);

// Mac Roman bytes to UTF-16: a new buffer in *unicode and its count of units,
// which is also returned. A null text gives an empty buffer and 0.
UniCharCount SetUnicodeTextFromASCII_C_Chars(const char* text, std::unique_ptr<UniChar[]>* unicode,
                                             UniCharCount* length);

// UTF-16 to Mac Roman: a new terminated buffer in *text. False, and a null
// buffer, when a unit has no Mac Roman form.
bool SetASCII_C_CharsFromUnicodeText(std::unique_ptr<char[]>* text, const UniChar* unicode,
                                     UniCharCount length);

// Replaces the first occurrence of search, looks again from the start, and
// so on until none is left. Equal texts, or an empty search, change nothing.
// A replacement that contains search would never finish that way; it gets
// one left-to-right pass instead.
void ReplaceEveryOccurrance(QString& text, const QString& search, const QString& replacement);

// A new UUID in the platform's text form (8-4-4-4-12 upper-case hex digits).
std::optional<QString> GenerateUniqueName();

// The decimal form of value into buffer (size bytes in all, always
// terminated when size > 0): at most size - 1 characters, the lowest digits
// that fit and "-" in front of a negative value. Room for the sign is kept;
// when not even one digit fits with it, only the terminator is written.
// Returns buffer.
char* itoa(char* buffer, std::size_t size, SInt64 value);

// Whether name exists in parent: any lookup result but fnfErr counts as
// present. *ref (when not null) is filled when the lookup succeeds.
Boolean FSObjectExists(const FSRef* parent, const QString& name, FSRef* ref);

// The folder name in parent: the existing item's reference when there is
// one, else a new folder. Returns the platform status; a lookup that fails
// with anything but fnfErr is returned as it is, never as success.
OSStatus FSCreateDirectory(const FSRef* parent, const QString& name, FSRef* ref);

// The item's name on disk, as the file system stores it; none on error.
std::optional<QString> GetObjectName(const FSRef* ref);
std::optional<QString> FSGetName(const FSRef* ref);

// Resource name.type (Mac Roman texts) in the main bundle's resources, with
// the platform's localisation rules; true, and *ref filled, when found.
Boolean MakeFSRefForBundleResource(const char* name, const char* type, FSRef* ref);

// The whole text of resource name.txt of the main bundle, as CFile::ReadFile
// gives it; none when there is no such resource or it cannot be read.
std::optional<QByteArray> ReadTextResource(const char* name);
