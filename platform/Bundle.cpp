#include "platform/Bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QStringDecoder>
#include <QTranslator>
#include <QUrl>
#include <QUuid>
#include <cstdlib>
#include <memory>
#include <mutex>

class CFBundle {
public:
    QString path; // the bundle folder, canonical
    PlistDictionary info;
    QString identifier;
    QString developmentRegion;

    // Parsed string tables by table name: the preferred localisation's and
    // the development region's.
    struct Tables {
        std::map<QString, QString> preferred;
        std::map<QString, QString> development;
    };
    std::mutex tablesMutex;
    std::map<QString, std::shared_ptr<const Tables>> tables;

    QString resourcesPath() const { return path + QLatin1String("/Contents/Resources"); }
};

namespace {

struct Registry {
    std::mutex mutex;
    std::map<QString, std::unique_ptr<CFBundle>> byPath;
    std::map<QString, CFBundle*> byIdentifier; // the first bundle opened with it
    bool mainKnown = false;
    CFBundle* main = nullptr;
};

Registry& Bundles() {
    static Registry* registry = new Registry; // bundles live as long as the process
    return *registry;
}

CFBundle* OpenLocked(Registry& r, const QString& bundlePath) {
    if (bundlePath.isEmpty()) return nullptr;
    const QString canonical = QFileInfo(bundlePath).canonicalFilePath();
    if (canonical.isEmpty() || !QFileInfo(canonical + QLatin1String("/Contents")).isDir())
        return nullptr;
    if (auto it = r.byPath.find(canonical); it != r.byPath.end()) return it->second.get();

    auto bundle = std::make_unique<CFBundle>();
    bundle->path = canonical;
    QFile plist(canonical + QLatin1String("/Contents/Info.plist"));
    if (plist.open(QIODevice::ReadOnly)) {
        if (auto value = plat::PlistFromBytes(plist.readAll())) {
            if (auto* dict = value->asDictionary()) bundle->info = std::move(*dict);
        }
    }
    auto text = [&](const char* key) {
        const auto it = bundle->info.find(QLatin1String(key));
        const QString* s = it == bundle->info.end() ? nullptr : it->second.asString();
        return s ? *s : QString();
    };
    bundle->identifier = text("CFBundleIdentifier");
    bundle->developmentRegion = text("CFBundleDevelopmentRegion");
    if (bundle->developmentRegion.isEmpty()) bundle->developmentRegion = QStringLiteral("en");

    CFBundle* raw = bundle.get();
    r.byPath.emplace(canonical, std::move(bundle));
    if (!raw->identifier.isEmpty()) r.byIdentifier.emplace(raw->identifier, raw);
    return raw;
}

// The bundle around the running executable: .../Name.app/Contents/Linux/exe.
QString BundleOfExecutable() {
    const QFileInfo exe(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
    QDir dir = exe.dir();
    if (dir.dirName() != QLatin1String("Linux") || !dir.cdUp() ||
        dir.dirName() != QLatin1String("Contents") || !dir.cdUp())
        return {};
    return dir.path();
}

// A relative path inside Resources: no absolute path, no "..", no NUL.
bool IsSafeRelative(const QString& p, bool allowSlash) {
    if (p.contains(QChar(0)) || p.startsWith(QLatin1Char('/'))) return false;
    if (!allowSlash && p.contains(QLatin1Char('/'))) return false;
    for (const QString& part : p.split(QLatin1Char('/')))
        if (part == QLatin1String("..")) return false;
    return true;
}

const std::map<QString, QString>& LegacyNames() {
    static const std::map<QString, QString> names = {
        {QStringLiteral("english"), QStringLiteral("en")},
        {QStringLiteral("german"), QStringLiteral("de")},
        {QStringLiteral("french"), QStringLiteral("fr")},
        {QStringLiteral("japanese"), QStringLiteral("ja")},
        {QStringLiteral("spanish"), QStringLiteral("es")},
        {QStringLiteral("italian"), QStringLiteral("it")},
        {QStringLiteral("dutch"), QStringLiteral("nl")},
    };
    return names;
}

// A language as a comparable code: "German" -> "de", "pt-BR" -> "pt_br".
QString CanonicalLanguage(QString name) {
    if (name.endsWith(QLatin1String(".lproj"))) name.chop(6);
    name = name.toLower().replace(QLatin1Char('-'), QLatin1Char('_'));
    if (auto it = LegacyNames().find(name); it != LegacyNames().end()) return it->second;
    return name;
}

QString LanguagePart(const QString& canonical) {
    return canonical.section(QLatin1Char('_'), 0, 0);
}

QStringList LocalizationFolders(const QString& resources) {
    return QDir(resources).entryList(QStringList{QStringLiteral("*.lproj")},
                                     QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

// The .lproj folders to search, in order: the user's preferences (exact,
// then by language alone), the development region, then any other.
QStringList LocalizationOrder(const CFBundle& bundle) {
    const QStringList available = LocalizationFolders(bundle.resourcesPath());
    QStringList order;
    auto take = [&](const QString& language, bool languageOnly) {
        const QString wanted = CanonicalLanguage(language);
        for (const QString& folder : available) {
            const QString have = CanonicalLanguage(folder);
            const bool match =
                languageOnly ? LanguagePart(have) == LanguagePart(wanted) : have == wanted;
            if (match && !order.contains(folder)) order.append(folder);
        }
    };
    const QStringList preferred = plat::PreferredLanguages();
    for (const QString& language : preferred)
        take(language, false);
    for (const QString& language : preferred)
        take(language, true);
    take(bundle.developmentRegion, false);
    for (const QString& folder : available)
        if (!order.contains(folder)) order.append(folder);
    return order;
}

std::optional<QString> Existing(const QString& folder, const QString& subDir, const QString& file) {
    QString path = folder;
    if (!subDir.isEmpty()) path += QLatin1Char('/') + subDir;
    path += QLatin1Char('/') + file;
    if (QFileInfo::exists(path)) return QDir::cleanPath(path);
    return std::nullopt;
}

std::map<QString, QString> ReadTable(const std::optional<QString>& path) {
    if (!path) return {};
    QFile file(*path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return plat::ParseStringsFile(file.readAll()).value_or(std::map<QString, QString>{});
}

std::shared_ptr<const CFBundle::Tables> TablesFor(CFBundle& bundle, const QString& table) {
    std::lock_guard lock(bundle.tablesMutex);
    if (auto it = bundle.tables.find(table); it != bundle.tables.end()) return it->second;
    auto tables = std::make_shared<CFBundle::Tables>();
    const QString file = table + QLatin1String(".strings");
    tables->preferred =
        ReadTable(CFBundleCopyResourcePath(&bundle, table, QStringLiteral("strings")));
    const QString development = CanonicalLanguage(bundle.developmentRegion);
    for (const QString& folder : LocalizationFolders(bundle.resourcesPath())) {
        if (CanonicalLanguage(folder) != development) continue;
        if (auto path = Existing(bundle.resourcesPath() + QLatin1Char('/') + folder, {}, file)) {
            tables->development = ReadTable(path);
            break;
        }
    }
    bundle.tables.emplace(table, tables);
    return tables;
}

// .strings text: UTF-16 with a byte-order mark (or, without one, recognised
// by the zero bytes of ASCII text), else UTF-8 with or without a mark.
std::optional<QString> DecodeStrings(const QByteArray& bytes) {
    auto decode = [&](QStringConverter::Encoding encoding) -> std::optional<QString> {
        QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless);
        QString text = decoder(bytes);
        if (decoder.hasError()) return std::nullopt;
        return text;
    };
    const auto b = [&](int i) { return uchar(bytes.at(i)); };
    if (bytes.size() >= 2) {
        const bool le = b(0) == 0xFF && b(1) == 0xFE, be = b(0) == 0xFE && b(1) == 0xFF;
        const bool guessBe = !le && !be && b(0) == 0 && b(1) != 0;
        const bool guessLe = !le && !be && b(0) != 0 && b(1) == 0;
        if (le || be || guessBe || guessLe) {
            if (bytes.size() % 2) return std::nullopt;
            return decode(le || guessLe ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
        }
    }
    return decode(QStringConverter::Utf8);
}

// The old-style property-list syntax of string tables:
//   "key" = "value";   key = value;   "key";   with /* */ and // comments,
// optionally wrapped in { }.
class StringsParser {
public:
    explicit StringsParser(const QString& text) : m_s(text) {}

    std::optional<std::map<QString, QString>> parse() {
        std::map<QString, QString> table;
        if (!skip()) return std::nullopt;
        const bool braced = more() && peek() == QLatin1Char('{');
        if (braced) ++m_i;
        for (;;) {
            if (!skip()) return std::nullopt;
            if (!more()) {
                if (braced) return std::nullopt;
                return table;
            }
            if (braced && peek() == QLatin1Char('}')) {
                ++m_i;
                if (!skip() || more()) return std::nullopt;
                return table;
            }
            auto key = token();
            if (!key || !skip() || !more()) return std::nullopt;
            QString value = *key;
            if (peek() == QLatin1Char('=')) {
                ++m_i;
                auto v = skip() ? token() : std::nullopt;
                if (!v || !skip() || !more()) return std::nullopt;
                value = std::move(*v);
            }
            if (peek() != QLatin1Char(';')) return std::nullopt;
            ++m_i;
            table[*key] = std::move(value);
        }
    }

private:
    bool more() const { return m_i < m_s.size(); }
    QChar peek() const { return m_s.at(m_i); }
    bool at(const char* two) const {
        return m_i + 1 < m_s.size() && m_s.at(m_i) == QLatin1Char(two[0]) &&
               m_s.at(m_i + 1) == QLatin1Char(two[1]);
    }

    // Skips white space and comments; false on an unterminated comment.
    bool skip() {
        while (more()) {
            if (peek().isSpace()) {
                ++m_i;
            } else if (at("/*")) {
                const qsizetype end = m_s.indexOf(QLatin1String("*/"), m_i + 2);
                if (end < 0) return false;
                m_i = end + 2;
            } else if (at("//")) {
                while (more() && peek() != QLatin1Char('\n') && peek() != QLatin1Char('\r'))
                    ++m_i;
            } else {
                break;
            }
        }
        return true;
    }

    static bool isBare(QChar c) {
        const char16_t u = c.unicode();
        return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
               u == '_' || u == '$' || u == '+' || u == '/' || u == ':' || u == '.' || u == '-';
    }

    std::optional<QString> token() {
        if (!more()) return std::nullopt;
        if (peek() == QLatin1Char('"')) return quoted();
        const qsizetype start = m_i;
        while (more() && isBare(peek()) && !at("//") && !at("/*"))
            ++m_i;
        if (m_i == start) return std::nullopt;
        return m_s.mid(start, m_i - start);
    }

    static int hexValue(QChar c) {
        const char16_t u = c.unicode();
        if (u >= '0' && u <= '9') return u - '0';
        if (u >= 'a' && u <= 'f') return u - 'a' + 10;
        if (u >= 'A' && u <= 'F') return u - 'A' + 10;
        return -1;
    }

    std::optional<QString> quoted() {
        QString out;
        ++m_i; // the opening quote
        while (more()) {
            const QChar c = m_s.at(m_i++);
            if (c == QLatin1Char('"')) return out;
            if (c != QLatin1Char('\\')) {
                out.append(c);
                continue;
            }
            if (!more()) return std::nullopt;
            const QChar e = m_s.at(m_i++);
            switch (e.unicode()) {
            case 'n':
                out.append(QLatin1Char('\n'));
                break;
            case 't':
                out.append(QLatin1Char('\t'));
                break;
            case 'r':
                out.append(QLatin1Char('\r'));
                break;
            case 'a':
                out.append(QChar(7));
                break;
            case 'b':
                out.append(QChar(8));
                break;
            case 'f':
                out.append(QChar(12));
                break;
            case 'v':
                out.append(QChar(11));
                break;
            case 'U':
            case 'u': {
                int value = 0, digits = 0;
                while (digits < 4 && more() && hexValue(peek()) >= 0) {
                    value = value * 16 + hexValue(m_s.at(m_i++));
                    ++digits;
                }
                if (digits == 0) return std::nullopt;
                // Surrogate halves arrive as two escapes and pair up in UTF-16.
                out.append(QChar(char16_t(value)));
                break;
            }
            default:
                if (e >= QLatin1Char('0') && e <= QLatin1Char('7')) {
                    int value = e.unicode() - '0', digits = 1;
                    while (digits < 3 && more() && peek() >= QLatin1Char('0') &&
                           peek() <= QLatin1Char('7')) {
                        value = value * 8 + (m_s.at(m_i++).unicode() - '0');
                        ++digits;
                    }
                    out.append(QChar(char16_t(value)));
                } else {
                    out.append(e); // \" \\ \' and any other character stand for themselves
                }
            }
        }
        return std::nullopt; // no closing quote
    }

    const QString& m_s;
    qsizetype m_i = 0;
};

} // namespace

CFBundleRef CFBundleGetMainBundle() {
    Registry& r = Bundles();
    std::lock_guard lock(r.mutex);
    if (!r.mainKnown) {
        r.main = OpenLocked(r, BundleOfExecutable());
        r.mainKnown = true;
    }
    return r.main;
}

CFBundleRef CFBundleCreate(const QString& bundlePath) {
    Registry& r = Bundles();
    std::lock_guard lock(r.mutex);
    return OpenLocked(r, bundlePath);
}

CFBundleRef CFBundleGetBundleWithIdentifier(const QString& identifier) {
    if (identifier.isEmpty()) return nullptr;
    CFBundleRef main = CFBundleGetMainBundle();
    if (main && main->identifier == identifier) return main;
    Registry& r = Bundles();
    std::lock_guard lock(r.mutex);
    const auto it = r.byIdentifier.find(identifier);
    return it == r.byIdentifier.end() ? nullptr : it->second;
}

QString CFBundleGetIdentifier(CFBundleRef bundle) {
    return bundle ? bundle->identifier : QString();
}

QString CFBundleGetPath(CFBundleRef bundle) {
    return bundle ? bundle->path : QString();
}

std::optional<QString> CFBundleCopyExecutablePath(CFBundleRef bundle) {
    if (!bundle) return std::nullopt;
    const auto it = bundle->info.find(QStringLiteral("CFBundleExecutable"));
    const QString* name = it == bundle->info.end() ? nullptr : it->second.asString();
    if (!name || name->isEmpty() || !IsSafeRelative(*name, false)) return std::nullopt;
    const QString path = bundle->path + QLatin1String("/Contents/Linux/") + *name;
    if (!QFileInfo(path).isFile()) return std::nullopt;
    return path;
}

std::optional<PlistValue> CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle,
                                                               const QString& key) {
    if (!bundle) return std::nullopt;
    const auto it = bundle->info.find(key);
    if (it == bundle->info.end()) return std::nullopt;
    return it->second;
}

std::optional<QString> CFBundleCopyResourcePath(CFBundleRef bundle, const QString& name,
                                                const QString& type, const QString& subDir) {
    if (!bundle || name.isEmpty() || !IsSafeRelative(name, false) || !IsSafeRelative(type, false) ||
        !IsSafeRelative(subDir, true))
        return std::nullopt;
    QString file = name;
    if (!type.isEmpty()) file += type.startsWith(QLatin1Char('.')) ? type : QLatin1Char('.') + type;
    if (file == QLatin1String(".") || file == QLatin1String("..")) return std::nullopt;
    const QString resources = bundle->resourcesPath();
    if (auto path = Existing(resources, subDir, file)) return path;
    for (const QString& folder : LocalizationOrder(*bundle)) {
        if (auto path = Existing(resources + QLatin1Char('/') + folder, subDir, file)) return path;
    }
    return std::nullopt;
}

QString CFBundleCopyLocalizedString(CFBundleRef bundle, const QString& key, const QString& value,
                                    const QString& tableName) {
    const QString fallback = value.isEmpty() ? key : value;
    if (!bundle) return fallback;
    const QString table = tableName.isEmpty() ? QStringLiteral("Localizable") : tableName;
    if (!IsSafeRelative(table, false)) return fallback;
    const auto tables = TablesFor(*bundle, table);
    if (auto it = tables->preferred.find(key); it != tables->preferred.end()) return it->second;
    if (auto it = tables->development.find(key); it != tables->development.end()) return it->second;
    return fallback;
}

namespace plat {

QStringList PreferredLanguages() {
    QStringList out;
    auto add = [&](QString entry) {
        entry = entry.section(QLatin1Char('.'), 0, 0).section(QLatin1Char('@'), 0, 0).trimmed();
        if (entry.isEmpty() || entry == QLatin1String("C") || entry == QLatin1String("POSIX"))
            return;
        entry.replace(QLatin1Char('-'), QLatin1Char('_'));
        if (auto it = LegacyNames().find(entry.toLower()); it != LegacyNames().end())
            entry = it->second;
        if (!out.contains(entry)) out.append(entry);
        const QString language = entry.section(QLatin1Char('_'), 0, 0);
        if (language != entry && !language.isEmpty() && !out.contains(language))
            out.append(language);
    };
    for (const QString& entry : qEnvironmentVariable("LANGUAGE").split(QLatin1Char(':')))
        add(entry);
    // The locale in force for messages: LC_ALL overrides LC_MESSAGES overrides LANG.
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QString locale = qEnvironmentVariable(variable);
        if (!locale.isEmpty()) {
            add(locale);
            break;
        }
    }
    return out;
}

void SetMainBundlePath(const QString& bundlePath) {
    Registry& r = Bundles();
    std::lock_guard lock(r.mutex);
    r.main = bundlePath.isEmpty() ? OpenLocked(r, BundleOfExecutable()) : OpenLocked(r, bundlePath);
    r.mainKnown = true;
}

QString PlatformText(const QString& key) {
    // Tables are compiled in (resources/platform), read once per language.
    static std::mutex mutex;
    static std::map<QString, std::map<QString, QString>> tables;
    QStringList languages = PreferredLanguages();
    languages << QStringLiteral("en");
    std::lock_guard lock(mutex);
    for (const QString& language : languages) {
        auto it = tables.find(language);
        if (it == tables.end()) {
            QFile file(QLatin1String(":/loftwise/platform/") + language +
                       QLatin1String(".lproj/Platform.strings"));
            if (!file.open(QIODevice::ReadOnly)) continue;
            it = tables
                     .emplace(
                         language,
                         ParseStringsFile(file.readAll()).value_or(std::map<QString, QString>{}))
                     .first;
        }
        const auto entry = it->second.find(key);
        return entry == it->second.end() ? key : entry->second;
    }
    return key;
}

QString PlatformText(const char* key) {
    return PlatformText(QString::fromUtf8(key));
}

void InstallQtTranslations() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    for (const QString& language : PreferredLanguages()) {
        if (language == QLatin1String("en") || language.startsWith(QLatin1String("en_"))) return;
        auto* translator = new QTranslator(app);
        if (translator->load(QLatin1String("qtbase_") + language, folder)) {
            app->installTranslator(translator);
            return;
        }
        delete translator;
    }
}

std::optional<std::map<QString, QString>> ParseStringsFile(const QByteArray& bytes) {
    if (bytes.startsWith("bplist") || bytes.trimmed().startsWith("<?xml") ||
        bytes.trimmed().startsWith("<plist")) {
        const auto plist = PlistFromBytes(bytes);
        const PlistDictionary* dict = plist ? plist->asDictionary() : nullptr;
        if (!dict) return std::nullopt;
        std::map<QString, QString> table;
        for (const auto& [key, value] : *dict)
            if (const QString* s = value.asString()) table[key] = *s;
        return table;
    }
    const auto text = DecodeStrings(bytes);
    if (!text) return std::nullopt;
    return StringsParser(*text).parse();
}

std::optional<QString> MakerWebSite(CFBundleRef bundle) {
    QString base = qEnvironmentVariable("LOFTWISE_WEB_SITE");
    if (base.isEmpty() && bundle) {
        const auto value =
            CFBundleGetValueForInfoDictionaryKey(bundle, QStringLiteral("LoftwiseWebSite"));
        if (value && value->asString()) base = *value->asString();
    }
    const QUrl url(base, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() ||
        (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
        return std::nullopt;
    while (base.endsWith('/'))
        base.chop(1);
    return base;
}

} // namespace plat

QString CFUUIDCreateString() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}
