// File operations on items named by a CString256 (Mac Roman) inside a
// parent folder, and on items given by reference.
#pragma once

#include "platform/Files.h"
#include "platform/MacTypes.h"
#include "toolkit/CString256.h"

#include <QByteArray>
#include <optional>

class CFile {
public:
    // As ::FSObjectExists, with the name converted from Mac Roman.
    static Boolean FSObjectExists(const FSRef* parent, const CString256& name, FSRef* ref);

    // As ::FSCreateDirectory, with the name converted from Mac Roman.
    static OSStatus FSCreateDirectory(const FSRef* parent, const CString256& name, FSRef* ref);

    // The existing item's reference when the name exists (its contents left
    // alone), else a new empty file, announced to file managers. Returns the
    // platform status; a failed lookup other than fnfErr is not a success.
    static OSStatus FSCreateFile(const FSRef* parent, const CString256& name, FSRef* ref);

    // The whole data fork. The QByteArray's data() is always followed by a
    // zero byte, so the result may be read as a C string. None when the file
    // cannot be opened, sized or read.
    static std::optional<QByteArray> ReadFile(const FSRef* ref);

    // True when the item is a folder.
    static bool IsADirectory(const FSRef* ref);

    // The data fork's length in bytes; 0 and the status when it cannot be read.
    static OSStatus FSGetDataSize(const FSRef* ref, UInt64* size);
};
