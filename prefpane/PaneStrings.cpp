#include "prefpane/PaneStrings.h"

#include "prefpane/TreeNode.h" // OurBundle

#include "platform/Bundle.h"

#include <map>
#include <mutex>

namespace {

const QString kTable = QStringLiteral("LocalizedStrings");

// Never destroyed: references handed out stay valid until the process ends.
struct Cache {
    std::mutex mutex;
    std::map<QString, QString> localizedStrings;
};

Cache& TheCache() {
    static auto* cache = new Cache;
    return *cache;
}

// The table's text for key, or nullopt when the bundle's table has none.
std::optional<QString> Lookup(CFBundleRef bundle, const QString& key) {
    if (!bundle) return std::nullopt;
    // A noncharacter no table holds tells "absent" apart from a text equal
    // to its key.
    static const QString absent = QString(QChar(0xFDD0));
    QString text = CFBundleCopyLocalizedString(bundle, key, absent, kTable);
    if (text == absent) return std::nullopt;
    return text;
}

} // namespace

const QString& LocalizedString(const QString& key) {
    Cache& cache = TheCache();
    std::lock_guard lock(cache.mutex);
    if (auto found = cache.localizedStrings.find(key); found != cache.localizedStrings.end())
        return found->second;
    std::optional<QString> text = Lookup(CFBundleGetMainBundle(), key);
    if (!text && OurBundle() != CFBundleGetMainBundle()) text = Lookup(OurBundle(), key);
    return cache.localizedStrings.emplace(key, text.value_or(key)).first->second;
}

const QString& LocalizedString(const char* key) {
    return LocalizedString(key ? QString::fromUtf8(key) : QString());
}
