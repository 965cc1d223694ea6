#include "platform/PlugIn.h"

#include "platform/BackgroundWork.h"
#include "platform/Bundle.h"

#include <QFile>
#include <QUuid>
#include <array>
#include <cstring>
#include <dlfcn.h>
#include <map>
#include <mutex>

class CFUUID final : public CFType {
public:
    explicit CFUUID(const CFUUIDBytes& b, bool constant = false) : bytes(b) {
        if (constant) makeImmortal();
    }
    CFTypeID typeID() const override { return kCFTypeIDUUID; }
    const CFUUIDBytes bytes;
};

namespace {

using Key = std::array<UInt8, 16>;

Key KeyOf(const CFUUIDBytes& b) {
    Key k;
    std::memcpy(k.data(), &b, 16);
    return k;
}

CFUUIDBytes BytesOf(const Key& k) {
    CFUUIDBytes b;
    std::memcpy(&b, k.data(), 16);
    return b;
}

std::optional<Key> KeyFromText(const QString& text) {
    const QUuid uuid = QUuid::fromString(text.trimmed());
    if (uuid.isNull() && text.trimmed() != QLatin1String("00000000-0000-0000-0000-000000000000"))
        return std::nullopt;
    const QByteArray raw = uuid.toRfc4122();
    Key k;
    std::memcpy(k.data(), raw.constData(), 16);
    return k;
}

} // namespace

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3,
                                         UInt8 b4, UInt8 b5, UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9,
                                         UInt8 b10, UInt8 b11, UInt8 b12, UInt8 b13, UInt8 b14,
                                         UInt8 b15) {
    static std::mutex mutex;
    static auto* constants = new std::map<Key, const CFUUID*>; // live for the process
    const Key key{b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15};
    std::lock_guard lock(mutex);
    auto& slot = (*constants)[key];
    if (!slot) slot = new CFUUID(BytesOf(key), true);
    return slot;
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes) {
    return new CFUUID(bytes);
}

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef, const QString& text) {
    const auto key = KeyFromText(text);
    return key ? new CFUUID(BytesOf(*key)) : nullptr;
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
    return uuid ? uuid->bytes : CFUUIDBytes{};
}

QString CFUUIDCreateString(CFAllocatorRef, CFUUIDRef uuid) {
    if (!uuid) return {};
    const Key k = KeyOf(uuid->bytes);
    return QUuid::fromRfc4122(QByteArrayView(k.data(), 16))
        .toString(QUuid::WithoutBraces)
        .toUpper();
}

Boolean CFUUIDEqual(CFUUIDRef a, CFUUIDRef b) {
    return a && b && std::memcmp(&a->bytes, &b->bytes, 16) == 0;
}

CFUUIDRef CFRetain(CFUUIDRef uuid) {
    CFRetain(static_cast<CFTypeRef>(uuid));
    return uuid;
}

void CFRelease(CFUUIDRef uuid) {
    CFRelease(static_cast<CFTypeRef>(uuid));
}

// ---------------------------------------------------------------------------
// Plug-ins

class CFPlugIn final : public CFType {
public:
    CFTypeID typeID() const override { return kCFTypeIDPlugIn; }
    ~CFPlugIn() override;

    QString path;
    QString executable;
    std::map<Key, QString> factories;      // factory -> function name
    std::map<Key, std::vector<Key>> types; // type -> factories
    void* handle = nullptr;
};

namespace {

struct Registry {
    std::mutex mutex;
    std::map<QString, CFPlugIn*> byPath;
    std::map<Key, int> instances;
    std::vector<void*> unloadable; // libraries of plug-ins released since
    QString lastError;
};

Registry& PlugIns() {
    static auto* registry = new Registry; // lives for the process
    return *registry;
}

CFPlugIn* OwnerLocked(Registry& r, const Key& factory) {
    for (auto& [path, plugIn] : r.byPath)
        if (plugIn->factories.count(factory)) return plugIn;
    return nullptr;
}

} // namespace

CFPlugIn::~CFPlugIn() {
    Registry& r = PlugIns();
    std::lock_guard lock(r.mutex);
    if (auto it = r.byPath.find(path); it != r.byPath.end() && it->second == this)
        r.byPath.erase(it);
    // The last release may come from inside the library itself (an instance
    // unregistering on its way out), so the library is closed later.
    if (handle) r.unloadable.push_back(handle);
}

CFPlugInRef CFRetain(CFPlugInRef plugIn) {
    CFRetain(static_cast<CFTypeRef>(plugIn));
    return plugIn;
}

void CFRelease(CFPlugInRef plugIn) {
    CFRelease(static_cast<CFTypeRef>(plugIn));
}

CFPlugInRef CFPlugInCreate(CFAllocatorRef, const QString& bundlePath) {
    CFBundleRef bundle = CFBundleCreate(bundlePath);
    if (!bundle) return nullptr;
    const QString canonical = CFBundleGetPath(bundle);
    Registry& r = PlugIns();
    {
        std::lock_guard lock(r.mutex);
        if (auto it = r.byPath.find(canonical); it != r.byPath.end()) {
            CFRetain(it->second);
            return it->second;
        }
    }
    auto plugIn = std::make_unique<CFPlugIn>();
    plugIn->path = canonical;
    if (auto exe = CFBundleCopyExecutablePath(bundle)) plugIn->executable = *exe;
    const auto factories =
        CFBundleGetValueForInfoDictionaryKey(bundle, QStringLiteral("CFPlugInFactories"));
    if (const PlistDictionary* dict = factories ? factories->asDictionary() : nullptr) {
        for (const auto& [uuidText, function] : *dict) {
            const auto key = KeyFromText(uuidText);
            const QString* name = function.asString();
            if (key && name && !name->isEmpty()) plugIn->factories[*key] = *name;
        }
    }
    const auto types =
        CFBundleGetValueForInfoDictionaryKey(bundle, QStringLiteral("CFPlugInTypes"));
    if (const PlistDictionary* dict = types ? types->asDictionary() : nullptr) {
        for (const auto& [uuidText, list] : *dict) {
            const auto type = KeyFromText(uuidText);
            const PlistArray* array = list.asArray();
            if (!type || !array) continue;
            for (const PlistValue& item : *array) {
                const QString* text = item.asString();
                const auto factory = text ? KeyFromText(*text) : std::nullopt;
                if (factory && plugIn->factories.count(*factory))
                    plugIn->types[*type].push_back(*factory);
            }
        }
    }
    if (plugIn->factories.empty()) return nullptr;
    std::lock_guard lock(r.mutex);
    CFPlugIn* raw = plugIn.release();
    r.byPath[canonical] = raw;
    return raw;
}

QString CFPlugInGetBundlePath(CFPlugInRef plugIn) {
    return plugIn ? plugIn->path : QString();
}

std::vector<CFUUIDRef> CFPlugInFindFactoriesForPlugInType(CFUUIDRef typeUUID) {
    std::vector<CFUUIDRef> found;
    if (!typeUUID) return found;
    Registry& r = PlugIns();
    std::lock_guard lock(r.mutex);
    const Key type = KeyOf(typeUUID->bytes);
    for (auto& [path, plugIn] : r.byPath) {
        auto it = plugIn->types.find(type);
        if (it == plugIn->types.end()) continue;
        for (const Key& factory : it->second)
            found.push_back(new CFUUID(BytesOf(factory)));
    }
    return found;
}

void* CFPlugInInstanceCreate(CFAllocatorRef alloc, CFUUIDRef factoryUUID, CFUUIDRef typeUUID) {
    if (!factoryUUID || !typeUUID) return nullptr;
    using Factory = void* (*)(CFAllocatorRef, CFUUIDRef);
    Factory factory = nullptr;
    {
        Registry& r = PlugIns();
        std::lock_guard lock(r.mutex);
        CFPlugIn* plugIn = OwnerLocked(r, KeyOf(factoryUUID->bytes));
        if (!plugIn) return nullptr;
        if (!plugIn->handle) {
            if (plugIn->executable.isEmpty()) {
                r.lastError = QStringLiteral("%1: no executable").arg(plugIn->path);
                return nullptr;
            }
            plugIn->handle =
                ::dlopen(QFile::encodeName(plugIn->executable).constData(), RTLD_NOW | RTLD_LOCAL);
            if (!plugIn->handle) {
                r.lastError = QString::fromLocal8Bit(::dlerror());
                return nullptr;
            }
        }
        const QString& name = plugIn->factories[KeyOf(factoryUUID->bytes)];
        factory = reinterpret_cast<Factory>(::dlsym(plugIn->handle, name.toUtf8().constData()));
        if (!factory) {
            r.lastError = QStringLiteral("%1: no function %2").arg(plugIn->executable, name);
            return nullptr;
        }
    }
    // Called unlocked: the factory registers its instance.
    return factory(alloc, typeUUID);
}

void CFPlugInAddInstanceForFactory(CFUUIDRef factoryID) {
    if (!factoryID) return;
    Registry& r = PlugIns();
    std::lock_guard lock(r.mutex);
    const Key key = KeyOf(factoryID->bytes);
    ++r.instances[key];
    // Each live instance holds its plug-in, so the library stays loaded.
    if (CFPlugIn* owner = OwnerLocked(r, key)) CFRetain(owner);
}

void CFPlugInRemoveInstanceForFactory(CFUUIDRef factoryID) {
    if (!factoryID) return;
    Registry& r = PlugIns();
    CFPlugIn* owner = nullptr;
    {
        std::lock_guard lock(r.mutex);
        const Key key = KeyOf(factoryID->bytes);
        auto it = r.instances.find(key);
        if (it == r.instances.end() || it->second == 0) return;
        if (--it->second == 0) r.instances.erase(it);
        owner = OwnerLocked(r, key);
    }
    CFRelease(owner);
}

namespace plat {

int PlugInInstanceCount(CFUUIDRef factoryID) {
    if (!factoryID) return 0;
    Registry& r = PlugIns();
    std::lock_guard lock(r.mutex);
    auto it = r.instances.find(KeyOf(factoryID->bytes));
    return it == r.instances.end() ? 0 : it->second;
}

QString LastPlugInLoadError() {
    Registry& r = PlugIns();
    std::lock_guard lock(r.mutex);
    return r.lastError;
}

int UnloadReleasedPlugIns() {
    // Code of a plug-in may still run on a thread it left behind.
    if (!WaitForBackgroundWork(0)) return 0;
    std::vector<void*> handles;
    {
        Registry& r = PlugIns();
        std::lock_guard lock(r.mutex);
        handles.swap(r.unloadable);
    }
    for (void* h : handles)
        ::dlclose(h);
    return int(handles.size());
}

} // namespace plat
