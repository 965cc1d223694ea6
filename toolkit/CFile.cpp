#include "toolkit/CFile.h"

#include "platform/TextEncoding.h"
#include "toolkit/Utilities.h"

namespace {

QString NameFromMacRoman(const CString256& name) {
    return plat::MacRomanToQString(name.c_str());
}

} // namespace

Boolean CFile::FSObjectExists(const FSRef* parent, const CString256& name, FSRef* ref) {
    return ::FSObjectExists(parent, NameFromMacRoman(name), ref);
}

OSStatus CFile::FSCreateDirectory(const FSRef* parent, const CString256& name, FSRef* ref) {
    return ::FSCreateDirectory(parent, NameFromMacRoman(name), ref);
}

OSStatus CFile::FSCreateFile(const FSRef* parent, const CString256& name, FSRef* ref) {
    const QString unicodeName = NameFromMacRoman(name);
    FSRef found;
    OSStatus err = FSMakeFSRefUnicode(parent, unicodeName, &found);
    if (err == fnfErr) {
        err = FSCreateFileUnicode(parent, unicodeName, kFSCatInfoNone, nullptr, &found);
        if (err == noErr)
            FNNotify(&found);
        else if (err == dupFNErr) // made by someone else since the lookup
            err = FSMakeFSRefUnicode(parent, unicodeName, &found);
    }
    if (err == noErr && ref) *ref = found;
    return err;
}

std::optional<QByteArray> CFile::ReadFile(const FSRef* ref) {
    if (!ref) return std::nullopt;
    auto data = plat::ReadWholeFile(*ref);
    // A non-const data() owns its bytes, and owned QByteArray bytes are
    // always followed by a zero byte.
    if (data) data->data();
    return data;
}

bool CFile::IsADirectory(const FSRef* ref) {
    if (!ref) return false;
    FSCatalogInfo info;
    if (FSGetCatalogInfo(ref, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr) != noErr)
        return false;
    return (info.nodeFlags & kFSNodeIsDirectoryMask) != 0;
}

OSStatus CFile::FSGetDataSize(const FSRef* ref, UInt64* size) {
    UInt64 value = 0;
    const OSStatus err = ref ? plat::DataForkSize(*ref, &value) : OSStatus(paramErr);
    if (size) *size = err == noErr ? value : 0;
    return err;
}
