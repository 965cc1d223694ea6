#include "cmplugin/LocalizedStrings.h"

#include "cmplugin/Utils.h"
#include "platform/Bundle.h"
#include "platform/TextEncoding.h"

#include <map>
#include <mutex>

namespace {

// Never destroyed: worker threads may still hold results while the process
// exits. Both maps are node-based, so handed-out references never move.
struct Store {
    std::mutex mutex;
    std::map<QString, QString> localizedStrings;
    // Keys handed back while the bundle was not found. They are not the
    // cache (the next call looks the bundle up again) but must outlive the
    // callers' references; one copy per key keeps this bounded.
    std::map<QString, QString> fallbacks;
    const QString space = QStringLiteral(" ");
};

Store& TheStore() {
    static auto* store = new Store;
    return *store;
}

} // namespace

const QString& LocalizedString(const char* key) {
    Store& store = TheStore();
    const std::optional<QString> made =
        key ? CFStringCreateWithCString(key, kCFStringEncodingUTF8) : std::nullopt;
    if (!made) return store.space;
    std::lock_guard lock(store.mutex);
    if (auto found = store.localizedStrings.find(*made); found != store.localizedStrings.end())
        return found->second;
    if (CFBundleRef bundle =
            CFBundleGetBundleWithIdentifier(QString::fromLatin1(kLoftwiseCMIdentifier))) {
        QString value =
            CFBundleCopyLocalizedString(bundle, *made, *made, QStringLiteral("LocalizedStrings"));
        return store.localizedStrings.emplace(*made, std::move(value)).first->second;
    }
    return store.fallbacks.try_emplace(*made, *made).first->second;
}
