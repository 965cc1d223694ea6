// Every text a deliverable shows must be in its English and German string
// tables: the texts of its interface files, and every literal key its code
// hands to the lookup. A missing key shows English in a German session.
#include "platform/Bundle.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <map>
#include <set>

namespace {

const QString kSource = QStringLiteral(LOFTWISE_SOURCE_DIR);

struct Component {
    const char* name;
    const char* tables;       // folder holding en.lproj and de.lproj
    const char* tableFile;    // the .strings file in each
    QStringList sources;      // folders scanned for code, relative to the source tree
    const char* sourceFilter; // file names taken from those folders
    QStringList lookups;      // calls whose literal first argument is a key
    QStringList interfaceFolders;
};

const std::vector<Component>& Components() {
    static const std::vector<Component> all = {
        {"droplet",
         "resources/Loftwise/Resources",
         "LocalizedStrings.strings",
         {"app", "toolkit"},
         R"(\.(cpp|h)$)",
         {"LocalizedString", "print_message", "Fail", "ShowWithName", "KeychainTroubleText",
          "failure ="},
         {"resources/Loftwise/Resources/main.nib"}},
        {"context menu",
         "resources/LoftwiseCM/Resources",
         "LocalizedStrings.strings",
         {"cmplugin"},
         R"(\.(cpp|h)$)",
         {"LocalizedString"},
         {}},
        {"settings pane",
         "resources/LoftwisePrefPane/Resources",
         "LocalizedStrings.strings",
         {"prefpane"},
         R"(\.(cpp|h)$)",
         {"LocalizedString"},
         {"resources/LoftwisePrefPane/Resources/LoftwisePrefPane.nib"}},
        {"platform",
         "resources/platform",
         "Platform.strings",
         {"platform", "engine"},
         R"(\.(cpp|h)$)",
         {"PlatformText", "EngineText"},
         {}},
    };
    return all;
}

QString ReadAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

// The text of adjacent C++ string literals, escapes decoded.
QString DecodeLiterals(const QString& literals) {
    static const QRegularExpression literal(R"lit("((?:[^"\\]|\\.)*)")lit");
    QString out;
    for (auto it = literal.globalMatch(literals); it.hasNext();) {
        const QString body = it.next().captured(1);
        for (qsizetype i = 0; i < body.size(); ++i) {
            if (body[i] != u'\\' || i + 1 == body.size()) {
                out += body[i];
                continue;
            }
            const QChar c = body[++i];
            if (c == u'n')
                out += u'\n';
            else if (c == u't')
                out += u'\t';
            else if (c == u'u' && i + 4 < body.size()) {
                out += QChar(body.mid(i + 1, 4).toUShort(nullptr, 16));
                i += 4;
            } else
                out += c;
        }
    }
    return out;
}

// (file:line, key) for each literal key the component's code looks up.
std::map<QString, QString> CodeKeys(const Component& c) {
    std::map<QString, QString> keys;
    const QRegularExpression filter(QString::fromLatin1(c.sourceFilter));
    for (const QString& lookup : c.lookups) {
        // name( or name =, an optional wrapper, then one or more literals.
        const QString call = lookup.endsWith(u'=') ? QRegularExpression::escape(lookup)
                                                   : QRegularExpression::escape(lookup) + "\\(";
        const QRegularExpression use(
            "\\b" + call +
            R"(\s*(?:(?:QStringLiteral|QString::fromLatin1|QString::fromUtf8|QLatin1String)\(\s*)?)"
            R"re(((?:"(?:[^"\\]|\\.)*"\s*)+))re");
        for (const QString& folder : c.sources) {
            QDirIterator it(kSource + '/' + folder, {"*.cpp", "*.h"}, QDir::Files,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString path = it.next();
                const QString relative = QDir(kSource).relativeFilePath(path);
                if (!filter.match(relative).hasMatch()) continue;
                const QString text = ReadAll(path);
                for (auto m = use.globalMatch(text); m.hasNext();) {
                    const auto found = m.next();
                    const int line = int(text.left(found.capturedStart()).count(u'\n')) + 1;
                    keys.emplace(DecodeLiterals(found.captured(1)),
                                 relative + ':' + QString::number(line));
                }
            }
        }
    }
    return keys;
}

QString XmlText(QString s) {
    s.replace("&lt;", "<").replace("&gt;", ">").replace("&quot;", "\"").replace("&apos;", "'");
    return s.replace("&amp;", "&");
}

// (file, text) for every shown text of the component's interface files.
std::map<QString, QString> InterfaceKeys(const Component& c) {
    std::map<QString, QString> keys;
    static const QRegularExpression shown(
        R"re(<(?:property|attribute) name="(?:text|title|toolTip|placeholderText|windowTitle|)re"
        R"re(statusTip|whatsThis|columnTitles)"(?:\s+stdset="0")?>\s*)re"
        R"re((<string>[^<]*</string>|<stringlist>(?:\s*<string>[^<]*</string>)*\s*</stringlist>))re");
    static const QRegularExpression item(R"(<string>([^<]*)</string>)");
    for (const QString& folder : c.interfaceFolders) {
        for (const QString& name : QDir(kSource + '/' + folder).entryList({"*.ui"})) {
            const QString text = ReadAll(kSource + '/' + folder + '/' + name);
            for (auto m = shown.globalMatch(text); m.hasNext();) {
                const QString value = m.next().captured(1);
                for (auto s = item.globalMatch(value); s.hasNext();) {
                    const QString key = XmlText(s.next().captured(1));
                    if (!key.isEmpty()) keys.emplace(key, name);
                }
            }
        }
    }
    return keys;
}

std::map<QString, QString> Table(const Component& c, const char* language) {
    const QString path = kSource + '/' + c.tables + '/' + language + ".lproj/" + c.tableFile;
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << qPrintable(path);
    const auto table = plat::ParseStringsFile(file.readAll());
    EXPECT_TRUE(table.has_value()) << qPrintable(path) << " does not parse";
    return table.value_or(std::map<QString, QString>{});
}

// The placeholders a text fills, in order: a translation must keep them.
QStringList Placeholders(const QString& text) {
    static const QRegularExpression placeholder(R"(%(?:@|d|f|\d|%))");
    QStringList out;
    for (auto it = placeholder.globalMatch(text); it.hasNext();)
        out << it.next().captured(0);
    return out;
}

TEST(StringTables, EveryShownTextIsInBothLanguages) {
    for (const Component& c : Components()) {
        SCOPED_TRACE(c.name);
        const auto english = Table(c, "en");
        const auto german = Table(c, "de");
        std::map<QString, QString> needed = CodeKeys(c);
        needed.merge(InterfaceKeys(c));
        EXPECT_GE(needed.size(), 5u) << "the scan found almost nothing; are the patterns right?";
        QStringList missing;
        for (const auto& [key, where] : needed) {
            if (!english.count(key)) missing << where + ": en: \"" + key + '"';
            if (!german.count(key)) missing << where + ": de: \"" + key + '"';
        }
        EXPECT_TRUE(missing.isEmpty()) << qPrintable(missing.join('\n'));

        // Both tables hold the same keys, and each text keeps its placeholders.
        std::set<QString> englishKeys, germanKeys;
        for (const auto& [key, text] : english) {
            englishKeys.insert(key);
            EXPECT_EQ(Placeholders(text), Placeholders(key)) << "en: " << qPrintable(key);
        }
        for (const auto& [key, text] : german) {
            germanKeys.insert(key);
            QStringList have = Placeholders(text), want = Placeholders(key);
            // Numbered ones may move with the sentence.
            if (want.join(QString()).contains(QRegularExpression("%\\d"))) {
                have.sort();
                want.sort();
            }
            EXPECT_EQ(have, want) << "de: " << qPrintable(key);
        }
        EXPECT_EQ(englishKeys, germanKeys);
    }
}

} // namespace
