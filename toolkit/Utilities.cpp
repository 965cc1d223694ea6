#include "toolkit/Utilities.h"

#include "platform/Bundle.h"
#include "platform/TextEncoding.h"
#include "toolkit/CFile.h"
#include "toolkit/Decimal.h"

#include <cstring>
#include <map>
#include <mutex>

namespace {

// The texts handed out by LocalizedString. Never destroyed: callers keep
// references for the life of the process, worker threads included.
struct LocalizedStringCache {
    std::mutex mutex;
    std::map<QString, QString> localizedStrings; // node-based: entries never move
};

LocalizedStringCache& Cache() {
    static auto* cache = new LocalizedStringCache;
    return *cache;
}

// Guards ReplaceEveryOccurrance against rewrites that keep making new
// occurrences out of the surrounding text.
constexpr int kMaxReplacements = 1 << 20;

} // namespace

const QString& LocalizedString(const QString& key) {
    LocalizedStringCache& cache = Cache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    auto found = cache.localizedStrings.find(key);
    if (found != cache.localizedStrings.end()) return found->second;
    return cache.localizedStrings.emplace(key, CopyLocalizedString(key)).first->second;
}

QString CopyLocalizedString(const QString& key) {
    CFBundleRef bundle = CFBundleGetMainBundle();
    return bundle
               ? CFBundleCopyLocalizedString(bundle, key, key, QStringLiteral("LocalizedStrings"))
               : key;
}

std::unique_ptr<UniChar[]> GetUnicodeString(const QString& text, UniCharCount* length) {
    const auto n = std::size_t(text.size());
    auto units = std::make_unique<UniChar[]>(n + 1);
    std::memcpy(units.get(), text.utf16(), n * sizeof(UniChar));
    units[n] = 0;
    if (length) *length = n;
    return units;
}

UniCharCount SetUnicodeTextFromASCII_C_Chars(const char* text, std::unique_ptr<UniChar[]>* unicode,
                                             UniCharCount* length) {
    const std::size_t n = text ? std::strlen(text) : 0;
    auto units = std::make_unique<UniChar[]>(n + 1);
    for (std::size_t i = 0; i < n; ++i)
        units[i] = plat::MacRomanToUnicode(uint8_t(text[i]));
    units[n] = 0;
    if (unicode) *unicode = std::move(units);
    if (length) *length = n;
    return n;
}

bool SetASCII_C_CharsFromUnicodeText(std::unique_ptr<char[]>* text, const UniChar* unicode,
                                     UniCharCount length) {
    if (!text) return false;
    text->reset();
    if (!unicode && length) return false;
    auto bytes = std::make_unique<char[]>(length + 1);
    for (std::size_t i = 0; i < length; ++i) {
        auto b = plat::UnicodeToMacRoman(unicode[i]);
        if (!b) return false;
        bytes[i] = char(*b);
    }
    bytes[length] = 0;
    *text = std::move(bytes);
    return true;
}

void ReplaceEveryOccurrance(QString& text, const QString& search, const QString& replacement) {
    if (search.isEmpty() || search == replacement) return;
    if (replacement.contains(search)) {
        text.replace(search, replacement);
        return;
    }
    for (int i = 0; i < kMaxReplacements; ++i) {
        const qsizetype at = text.indexOf(search);
        if (at < 0) return;
        text.replace(at, search.size(), replacement);
    }
}

std::optional<QString> GenerateUniqueName() {
    QString name = CFUUIDCreateString();
    if (name.isEmpty()) return std::nullopt;
    return name;
}

char* itoa(char* buffer, std::size_t size, SInt64 value) {
    return WriteDecimal(buffer, size, value, size ? size - 1 : 0);
}

Boolean FSObjectExists(const FSRef* parent, const QString& name, FSRef* ref) {
    FSRef found;
    const OSStatus err = FSMakeFSRefUnicode(parent, name, &found);
    if (err == noErr && ref) *ref = found;
    return err != fnfErr;
}

OSStatus FSCreateDirectory(const FSRef* parent, const QString& name, FSRef* ref) {
    FSRef found;
    OSStatus err = FSMakeFSRefUnicode(parent, name, &found);
    if (err == fnfErr) {
        err = FSCreateDirectoryUnicode(parent, name, kFSCatInfoNone, nullptr, &found);
        // Someone else made it between the lookup and the creation.
        if (err == dupFNErr) err = FSMakeFSRefUnicode(parent, name, &found);
    }
    if (err == noErr && ref) *ref = found;
    return err;
}

std::optional<QString> GetObjectName(const FSRef* ref) {
    if (!ref) return std::nullopt;
    QString name;
    if (FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, &name, nullptr, nullptr) != noErr)
        return std::nullopt;
    return name;
}

std::optional<QString> FSGetName(const FSRef* ref) {
    return GetObjectName(ref);
}

Boolean MakeFSRefForBundleResource(const char* name, const char* type, FSRef* ref) {
    if (!name) return false;
    CFBundleRef bundle = CFBundleGetMainBundle();
    if (!bundle) return false;
    const auto path = CFBundleCopyResourcePath(bundle, plat::MacRomanToQString(name),
                                               plat::MacRomanToQString(type ? type : ""));
    if (!path) return false;
    FSRef found;
    if (FSPathMakeRef(path->toUtf8().constData(), &found, nullptr) != noErr) return false;
    if (ref) *ref = found;
    return true;
}

std::optional<QByteArray> ReadTextResource(const char* name) {
    FSRef ref;
    if (!MakeFSRefForBundleResource(name, "txt", &ref)) return std::nullopt;
    return CFile::ReadFile(&ref);
}
