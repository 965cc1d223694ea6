// The settings file's raw bytes: found in the user's Preferences folder,
// read and written through file streams.
#include "prefpane/SettingsFile.h"

#include "platform/Streams.h"
#include "platform/SystemLog.h"
#include "platform/TextEncoding.h"

#include <cstring>

namespace {

QString (*gLocalizer)(const QString&) = nullptr;

QString Localized(const QString& text) {
    return gLocalizer ? gLocalizer(text) : text;
}

constexpr CFIndex kReadChunk = 1024;

// The file's URL for the streams, by its path's bytes.
std::optional<QUrl> FileURL(const FSRef* file) {
    if (!file) return std::nullopt;
    const auto path = plat::PathBytesOfRef(*file);
    if (!path) return std::nullopt;
    return plat::FileURLOfPathBytes(*path);
}

// The settings file in the Preferences folder (never created); false when
// the folder or the file is not there, or could not be looked up: a file
// that was not found is never read or written.
bool FindPreferencesFile(FSRef* file) {
    FSRef folder;
    if (FSFindFolder(kUserDomain, kPreferencesFolderType, kDontCreateFolder, &folder) != noErr)
        return false;
    const QByteArray name = QByteArray(kLoftwiseCMDomain) + ".plist";
    if (!FSObjectExists(&folder, name.constData(), file)) return false;
    // FSObjectExists also says yes for a lookup that failed otherwise; the
    // reference is then no file's.
    return plat::PathBytesOfRef(*file).has_value();
}

} // namespace

void SetSettingsFileLocalizer(QString (*localizer)(const QString&)) {
    gLocalizer = localizer;
}

std::optional<QByteArray> GetPreferencesFile() {
    FSRef file;
    if (!FindPreferencesFile(&file)) return std::nullopt;
    return DoReadFile(&file);
}

OSStatus SetPreferencesFile(const QByteArray& data) {
    FSRef file;
    if (!FindPreferencesFile(&file)) return fnfErr;
    DoFileWrite(data, &file);
    return noErr;
}

std::optional<QByteArray> DoReadFile(const FSRef* file) {
    QByteArray buffer;
    const auto url = FileURL(file);
    CFReadStreamRef stream = url ? CFReadStreamCreateWithFile(*url) : nullptr;
    if (!stream) return buffer;
    if (CFReadStreamOpen(stream)) {
        UInt8 chunk[kReadChunk];
        for (;;) {
            const CFIndex n = CFReadStreamRead(stream, chunk, kReadChunk);
            if (n <= 0) break;
            buffer.append(reinterpret_cast<const char*>(chunk), qsizetype(n));
        }
    }
    CFReadStreamClose(stream);
    CFRelease(stream);
    return buffer;
}

void DoFileWrite(const QByteArray& data, const FSRef* file) {
    qsizetype written = 0;
    const auto url = FileURL(file);
    if (CFWriteStreamRef stream = url ? CFWriteStreamCreateWithFile(*url) : nullptr) {
        if (CFWriteStreamOpen(stream)) {
            const auto* bytes = reinterpret_cast<const UInt8*>(data.constData());
            while (written < data.size()) {
                const CFIndex n =
                    CFWriteStreamWrite(stream, bytes + written, data.size() - written);
                if (n <= 0) break;
                written += n;
            }
        }
        CFWriteStreamClose(stream);
        CFRelease(stream);
    }
    NSLog(plat::FillFormat(Localized(QStringLiteral("Total bytes written = %d")),
                           {QString::number(written)}));
}

bool FSObjectExists(const FSRef* folder, const char* name, FSRef* file) {
    if (!name) return false;
    UniChar* characters = nullptr;
    UniCharCount count = 0;
    SetUnicodeTextFromASCII_C_Chars(name, &characters, &count);
    const QString unicode(reinterpret_cast<const QChar*>(characters), qsizetype(count));
    delete[] characters;
    FSRef found;
    const OSStatus err = FSMakeFSRefUnicode(folder, unicode, &found);
    if (file && err == noErr) *file = found;
    if (file && err != noErr) std::memset(file, 0, sizeof *file);
    return err != fnfErr;
}

UniCharCount SetUnicodeTextFromASCII_C_Chars(const char* text, UniChar** characters,
                                             UniCharCount* count) {
    const size_t length = text ? std::strlen(text) : 0;
    // Every Mac OS Roman byte is exactly one UTF-16 unit.
    auto* units = new UniChar[length];
    for (size_t i = 0; i < length; ++i)
        units[i] = plat::MacRomanToUnicode(uint8_t(text[i]));
    if (characters)
        *characters = units;
    else
        delete[] units;
    if (count) *count = length;
    return length;
}
