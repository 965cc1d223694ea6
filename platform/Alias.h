// Alias records: bytes that find a file-system object again after it was
// renamed or moved. They hold the object's device, inode, birth time and
// path. Resolving checks the stored path, then the same folder for a renamed
// entry, then whether the relative base itself is the object. A copy is a
// new object and matches nothing.
#pragma once

#include "platform/Files.h"

#include <QByteArray>
#include <optional>
#include <string>

// Makes alias bytes for target; fromFile (may be null) is the relative base.
OSStatus FSNewAlias(const FSRef* fromFile, const FSRef* target, QByteArray* alias);

// Updates alias bytes in place for target; *wasChanged tells whether they changed.
OSStatus FSUpdateAlias(const FSRef* fromFile, const FSRef* target, QByteArray* alias,
                       Boolean* wasChanged);

// Resolves alias bytes to the object they name; fnfErr when it is gone,
// paramErr when the bytes are no alias record. *wasChanged (may be null) is
// true when the object was found somewhere other than the stored path.
OSStatus FSResolveAlias(const FSRef* fromFile, const QByteArray& alias, FSRef* target,
                        Boolean* wasChanged);

// The path the alias bytes last stored (the file system's bytes), whether or
// not the object is still there: what to name when it cannot be found.
std::optional<std::string> FSAliasPath(const QByteArray& alias);
