#include "platform/hosts/context-menu/ContextMenuHost.h"

#include "platform/Alias.h"
#include "platform/BackgroundWork.h"
#include "platform/Bundle.h"
#include "platform/Files.h"
#include "platform/TextEncoding.h"
#include "platform/hosts/context-menu/MenuView.h"
#include "platform/ui/Events.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QSet>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

namespace plat::cmhost {

namespace {

const char kProgram[] = "loftwise-context-menu";
const char kUsage[] = "usage: loftwise-context-menu [--plugin PATH]... [--list [--json] | --choose "
                      "TITLE | --service-menu] [--text STRING | FILE...]";

void Complain(const QString& text) {
    std::fprintf(stderr, "%s: %s\n", kProgram, text.toUtf8().constData());
}

QString TitleOf(const AERecord& record) {
    AEDesc name;
    AEInitializeDesc(&name);
    if (AEGetParamDesc(&record, keyContextualMenuName, typeWildCard, &name) != noErr) return {};
    std::optional<QString> title = TextOfDesc(name);
    if (!title) {
        AEDesc text;
        AEInitializeDesc(&text);
        if (AECoerceDesc(&name, typeUnicodeText, &text) == noErr) title = TextOfDesc(text);
        AEDisposeDesc(&text);
    }
    AEDisposeDesc(&name);
    return title.value_or(QString());
}

SInt32 LongOf(const AERecord& record, AEKeyword key) {
    SInt32 value = 0;
    DescType type = 0;
    Size size = 0;
    if (AEGetParamPtr(&record, key, typeSInt32, &type, &value, sizeof value, &size) != noErr ||
        size != sizeof value)
        return 0;
    return value;
}

void AppendLines(QByteArray& out, const Menu& menu, int depth) {
    for (const MenuEntry& e : menu) {
        // One line per entry: a line end or tab inside a title would forge
        // entries (the JSON form carries titles exactly).
        QString title = e.title;
        for (QChar& c : title)
            if (c == u'\n' || c == u'\r' || c == u'\t') c = u' ';
        out += QByteArray(2 * depth, ' ');
        out += e.isSubmenu ? QByteArray(">") : QByteArray::number(e.commandID);
        out += '\t' + QByteArray::number(e.attributes) + '\t' + title.toUtf8() + '\n';
        if (e.isSubmenu) AppendLines(out, e.submenu, depth + 1);
    }
}

QByteArray JsonString(const QString& text) {
    QByteArray out = "\"";
    for (const char c : text.toUtf8()) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (uchar(c) < 0x20)
                out += "\\u" + QByteArray::number(uchar(c), 16).rightJustified(4, '0');
            else
                out += c;
        }
    }
    return out + '"';
}

void AppendJson(QByteArray& out, const Menu& menu) {
    out += '[';
    for (std::size_t i = 0; i < menu.size(); ++i) {
        const MenuEntry& e = menu[i];
        if (i) out += ',';
        out += "{\"title\":" + JsonString(e.title) + ",\"id\":";
        out += e.isSubmenu ? QByteArray("null") : QByteArray::number(e.commandID);
        out += ",\"attributes\":" + QByteArray::number(e.attributes);
        if (e.isSubmenu) {
            out += ",\"submenu\":";
            AppendJson(out, e.submenu);
        }
        out += '}';
    }
    out += ']';
}

void CollectCommands(const Menu& menu, std::vector<const MenuEntry*>& out) {
    for (const MenuEntry& e : menu) {
        if (e.isSubmenu)
            CollectCommands(e.submenu, out);
        else if (e.isCommand())
            out.push_back(&e);
    }
}

// A value's own escapes (desktop-entry "string" and "localestring" values).
QString DesktopValue(const QString& text) {
    QString out;
    for (const QChar c : text) {
        if (c == u'\\')
            out += QLatin1String("\\\\");
        else if (c == u'\n')
            out += QLatin1String("\\n");
        else if (c == u'\t')
            out += QLatin1String("\\t");
        else if (c == u'\r')
            out += QLatin1String("\\r");
        else
            out += c;
    }
    if (out.startsWith(u' ')) out.replace(0, 1, QLatin1String("\\s"));
    return out;
}

// ---------------------------------------------------------------------------
// The plug-ins and their instances, in the Contextual Menu Manager's order.

class PlugInSession {
public:
    PlugInSession() = default;
    PlugInSession(const PlugInSession&) = delete;
    PlugInSession& operator=(const PlugInSession&) = delete;
    ~PlugInSession() { finish(); }

    void load(const QStringList& bundles) {
        std::set<QString> seenPaths;
        for (const QString& path : bundles) {
            CFPlugInRef plugIn = CFPlugInCreate(kCFAllocatorDefault, path);
            if (!plugIn) {
                Complain(QStringLiteral("%1: not a plug-in bundle").arg(path));
                continue;
            }
            m_plugIns.push_back(plugIn);
            if (!seenPaths.insert(CFPlugInGetBundlePath(plugIn)).second) continue;
            // The factories this bundle brought: those not seen before.
            for (CFUUIDRef factory : CFPlugInFindFactoriesForPlugInType(kContextualMenuTypeID)) {
                const CFUUIDBytes b = CFUUIDGetUUIDBytes(factory);
                const QByteArray key(reinterpret_cast<const char*>(&b), sizeof b);
                if (!m_factories.contains(key)) {
                    m_factories.insert(key);
                    createInstance(factory, path);
                }
                CFRelease(factory);
            }
        }
    }

    bool empty() const { return m_instances.empty(); }

    // Each instance examines the context into a command list of its own.
    Menu examine(const AEDesc& context) {
        Menu menu;
        for (std::size_t i = 0; i < m_instances.size(); ++i) {
            AEDescList commands;
            if (AECreateList(nullptr, 0, false, &commands) != noErr) continue;
            ContextualMenuInterfaceStruct** cm = m_instances[i];
            (*cm)->ExamineContext(cm, &context, &commands);
            Menu added = ReadCommandList(commands, int(i));
            AEDisposeDesc(&commands);
            for (MenuEntry& e : added)
                menu.push_back(std::move(e));
        }
        return menu;
    }

    OSStatus handle(const MenuEntry& entry, AEDesc* context) {
        if (entry.owner < 0 || std::size_t(entry.owner) >= m_instances.size()) return paramErr;
        ContextualMenuInterfaceStruct** cm = m_instances[entry.owner];
        return (*cm)->HandleSelection(cm, context, entry.commandID);
    }

    void cleanup() {
        for (ContextualMenuInterfaceStruct** cm : m_instances)
            (*cm)->PostMenuCleanup(cm);
    }

    // Work a command left running (a listing after an upload) ends first;
    // then the references go and the libraries are closed.
    void finish() {
        if (m_instances.empty() && m_plugIns.empty()) return;
        WaitForBackgroundWork(-1);
        for (ContextualMenuInterfaceStruct** cm : m_instances)
            (*cm)->Release(cm);
        m_instances.clear();
        for (CFPlugInRef plugIn : m_plugIns)
            CFRelease(plugIn);
        m_plugIns.clear();
        UnloadReleasedPlugIns();
    }

private:
    void createInstance(CFUUIDRef factory, const QString& bundle) {
        const QString errorBefore = LastPlugInLoadError();
        void* made = CFPlugInInstanceCreate(kCFAllocatorDefault, factory, kContextualMenuTypeID);
        if (!made) {
            const QString error = LastPlugInLoadError();
            Complain(QStringLiteral("%1: did not load: %2")
                         .arg(bundle, error != errorBefore && !error.isEmpty()
                                          ? error
                                          : QStringLiteral("its factory made no instance")));
            return;
        }
        auto** unknown = static_cast<IUnknownVTbl**>(made);
        void* cm = nullptr;
        const HRESULT result = (*unknown)->QueryInterface(
            unknown, CFUUIDGetUUIDBytes(kContextualMenuInterfaceID), &cm);
        // The factory's reference: the interface holds its own now.
        (*unknown)->Release(unknown);
        if (result != S_OK || !cm) {
            Complain(QStringLiteral("%1: no contextual menu interface").arg(bundle));
            return;
        }
        m_instances.push_back(static_cast<ContextualMenuInterfaceStruct**>(cm));
    }

    std::vector<CFPlugInRef> m_plugIns;
    QSet<QByteArray> m_factories;
    std::vector<ContextualMenuInterfaceStruct**> m_instances;
};

// ---------------------------------------------------------------------------
// The context

void PutText(AEDescList* list, const std::string& bytes) {
    const QString text = QString::fromUtf8(bytes);
    // 'TEXT' is Mac Roman; a text it cannot carry goes whole as 'utxt'.
    if (const auto roman = QStringToMacRoman(text))
        AEPutPtr(list, 0, typeChar, roman->data(), Size(roman->size()));
    else
        AEPutPtr(list, 0, typeUnicodeText, text.utf16(), Size(text.size() * 2));
}

// One alias item per file argument; an argument naming no file is text.
void MakeFileList(const std::vector<std::string>& files, AEDescList* list) {
    AECreateList(nullptr, 0, false, list);
    const std::string cwd = QFile::encodeName(QDir::currentPath()).toStdString();
    for (const std::string& file : files) {
        const std::string path = !file.empty() && file[0] == '/' ? file : cwd + "/" + file;
        FSRef ref;
        QByteArray alias;
        if (FSPathMakeRef(path.c_str(), &ref, nullptr) == noErr &&
            FSNewAlias(nullptr, &ref, &alias) == noErr)
            AEPutPtr(list, 0, typeAlias, alias.constData(), Size(alias.size()));
        else
            PutText(list, file);
    }
}

void MakeContext(const Options& options, AEDesc* context) {
    if (options.text) {
        AEDescList holder;
        AECreateList(nullptr, 0, false, &holder);
        PutText(&holder, *options.text);
        AEGetNthDesc(&holder, 1, typeWildCard, nullptr, context);
        AEDisposeDesc(&holder);
    } else {
        MakeFileList(options.files, context);
    }
}

QString RunningHostPath() {
    return QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
}

// Whether the context's first item names a file-system object: the menu the
// plug-ins give for it is the one a file manager shows for files.
bool FirstItemIsFile(const AEDesc& context) {
    AEDesc first;
    AEInitializeDesc(&first);
    const bool isFile = context.descriptorType == typeAEList &&
                        AEGetNthDesc(&context, 1, typeWildCard, nullptr, &first) == noErr &&
                        first.descriptorType == typeAlias;
    AEDisposeDesc(&first);
    return isFile;
}

// The service menu: the menu already built for files when there is one, else
// the one the plug-ins give for the user's home folder.
WriteResult RefreshServiceMenu(PlugInSession& session, const Menu* forFiles, bool create) {
    const QString path = ServiceMenuPath();
    if (!create && !QFileInfo::exists(path)) return WriteResult::Unchanged;
    Menu examined;
    if (!forFiles) {
        AEDescList home;
        MakeFileList({QFile::encodeName(QDir::homePath()).toStdString()}, &home);
        examined = session.examine(home);
        session.cleanup();
        AEDisposeDesc(&home);
        forFiles = &examined;
    }
    if (create) QDir().mkpath(QFileInfo(path).absolutePath());
    const WriteResult result =
        WriteFileIfChanged(path, ServiceMenuText(*forFiles, RunningHostPath()), 0755);
    if (result == WriteResult::Failed)
        Complain(QStringLiteral("%1: could not write: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    return result;
}

bool HaveDisplay() {
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
           !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace

Menu ReadCommandList(const AEDescList& list, int owner) {
    Menu menu;
    long count = 0;
    if (AECountItems(&list, &count) != noErr) return menu;
    for (long i = 1; i <= count; ++i) {
        AERecord record;
        AEInitializeDesc(&record);
        if (AEGetNthDesc(&list, i, typeWildCard, nullptr, &record) != noErr) continue;
        if (record.descriptorType == typeAERecord) {
            MenuEntry e;
            e.owner = owner;
            e.title = TitleOf(record);
            e.commandID = LongOf(record, keyContextualMenuCommandID);
            e.attributes = MenuItemAttributes(LongOf(record, keyContextualMenuAttributes));
            AEDescList sub;
            AEInitializeDesc(&sub);
            if (AEGetParamDesc(&record, keyContextualMenuSubmenu, typeAEList, &sub) == noErr) {
                e.isSubmenu = true;
                e.submenu = ReadCommandList(sub, owner);
                AEDisposeDesc(&sub);
            }
            menu.push_back(std::move(e));
        }
        AEDisposeDesc(&record);
    }
    return menu;
}

QByteArray ListText(const Menu& menu) {
    QByteArray out;
    AppendLines(out, menu, 0);
    return out;
}

QByteArray ListJson(const Menu& menu) {
    QByteArray out;
    AppendJson(out, menu);
    return out + '\n';
}

const MenuEntry* FindCommand(const Menu& menu, const QString& title) {
    for (const MenuEntry& e : menu) {
        if (e.isSubmenu) {
            if (const MenuEntry* found = FindCommand(e.submenu, title)) return found;
        } else if (e.isCommand() && e.title == title) {
            return &e;
        }
    }
    return nullptr;
}

QString DesktopExecArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\r\"'\\><~|&;$*?#()`");
    QString escaped;
    bool quote = argument.isEmpty();
    for (const QChar c : argument) {
        if (reserved.contains(c)) quote = true;
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') escaped += u'\\';
        escaped += c;
    }
    // A literal percent sign is doubled, or it would be taken for a field code.
    escaped.replace(u'%', QLatin1String("%%"));
    return quote ? u'"' + escaped + u'"' : escaped;
}

QByteArray ServiceMenuText(const Menu& menu, const QString& hostPath) {
    std::vector<const MenuEntry*> commands;
    CollectCommands(menu, commands);
    QStringList titles;
    for (const MenuEntry* e : commands)
        if (!e->title.isEmpty() && !titles.contains(e->title)) titles << e->title;
    QString actions;
    for (int i = 1; i <= titles.size(); ++i)
        actions += QStringLiteral("loftwise%1;").arg(i);
    QString out = QStringLiteral("[Desktop Entry]\n"
                                 "Type=Service\n"
                                 "X-KDE-ServiceTypes=KonqPopupMenu/Plugin\n"
                                 "MimeType=all/all;\n"
                                 "Actions=%1\n"
                                 "X-KDE-Submenu=LoftwiseCM\n")
                      .arg(actions);
    const QString exec = DesktopExecArgument(hostPath) + QLatin1String(" --choose ");
    for (int i = 0; i < titles.size(); ++i) {
        out += QStringLiteral("\n[Desktop Action loftwise%1]\nName=%2\nExec=%3\n")
                   .arg(i + 1)
                   .arg(DesktopValue(titles[i]),
                        DesktopValue(exec + DesktopExecArgument(titles[i]) + QLatin1String(" %F")));
    }
    return out.toUtf8();
}

QString ServiceMenuPath() {
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (data.isEmpty() || !data.startsWith(u'/')) data = QDir::homePath() + "/.local/share";
    return data + QLatin1String("/kio/servicemenus/loftwise-cm.desktop");
}

WriteResult WriteFileIfChanged(const QString& path, const QByteArray& bytes, unsigned mode) {
    {
        QFile existing(path);
        if (existing.open(QIODevice::ReadOnly) && existing.readAll() == bytes)
            return WriteResult::Unchanged;
    }
    return plat::ReplaceFileAtomically(path, bytes, mode) ? WriteResult::Written
                                                          : WriteResult::Failed;
}

std::variant<Options, QString> ParseArguments(const std::vector<std::string>& args) {
    Options o;
    bool modeGiven = false, json = false, endOfOptions = false;
    auto setMode = [&](Mode m) {
        if (modeGiven) return false;
        modeGiven = true;
        o.mode = m;
        return true;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (endOfOptions || a.empty() || a[0] != '-' || a == "-") {
            o.files.push_back(a);
        } else if (a == "--") {
            endOfOptions = true;
        } else if (a == "--plugin" && hasValue) {
            o.plugIns << QFile::decodeName(QByteArray::fromStdString(args[++i]));
        } else if (a == "--list") {
            if (!setMode(Mode::List))
                return QStringLiteral("only one of --list, --choose and --service-menu");
        } else if (a == "--json") {
            json = true;
        } else if (a == "--choose" && hasValue) {
            if (!setMode(Mode::Choose))
                return QStringLiteral("only one of --list, --choose and --service-menu");
            o.title = QString::fromUtf8(args[++i]);
        } else if (a == "--service-menu") {
            if (!setMode(Mode::ServiceMenu))
                return QStringLiteral("only one of --list, --choose and --service-menu");
        } else if (a == "--text" && hasValue) {
            if (o.text) return QStringLiteral("--text given twice");
            o.text = args[++i];
        } else if (a == "--plugin" || a == "--choose" || a == "--text") {
            return QStringLiteral("%1 needs a value").arg(QString::fromStdString(a));
        } else {
            return QStringLiteral("unknown option %1").arg(QString::fromUtf8(a));
        }
    }
    if (json) {
        if (o.mode != Mode::List) return QStringLiteral("--json goes with --list");
        o.mode = Mode::ListJson;
    }
    if (o.text && !o.files.empty()) return QStringLiteral("--text or files, not both");
    if (o.mode == Mode::ServiceMenu && (o.text || !o.files.empty()))
        return QStringLiteral("--service-menu takes no files");
    return o;
}

int RunContextMenuHost(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    auto parsed = ParseArguments(args);
    if (auto* error = std::get_if<QString>(&parsed)) {
        Complain(*error);
        std::fprintf(stderr, "%s\n", kUsage);
        return 2;
    }
    const Options& options = std::get<Options>(parsed);

    // Qt sees no arguments of ours: a file named like one of its own options
    // (-style, -display) stays a file.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    plat::QuietPlatformNoise();
    std::unique_ptr<QCoreApplication> app;
    if (options.mode == Mode::Show) {
        const bool snapshot = !qEnvironmentVariableIsEmpty("LOFTWISE_MENU_SNAPSHOT");
        if (!HaveDisplay()) {
            if (!snapshot) {
                Complain(QStringLiteral("no display to show the menu on (--list and --choose need "
                                        "none)"));
                return 1;
            }
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        app = std::make_unique<QApplication>(qtArgc, qtArgv);
    } else {
        app = std::make_unique<QCoreApplication>(qtArgc, qtArgv);
    }
    QCoreApplication::setApplicationName(QString::fromLatin1(kProgram));
    plat::InstallQtTranslations();

    const QStringList bundles =
        options.plugIns +
        plat::InstalledBundles(kContextualMenuItemsFolderType, QStringLiteral("plugin"));
    PlugInSession session;
    session.load(bundles);
    if (session.empty()) {
        Complain(QStringLiteral("no plug-in loaded"));
        return 1;
    }

    if (options.mode == Mode::ServiceMenu)
        return RefreshServiceMenu(session, nullptr, true) == WriteResult::Failed ? 1 : 0;

    AEDesc context;
    AEInitializeDesc(&context);
    MakeContext(options, &context);
    const Menu menu = session.examine(context);
    // Dolphin's copy follows whatever menu was just built for files, so it
    // costs no second pass over the settings.
    RefreshServiceMenu(session, FirstItemIsFile(context) ? &menu : nullptr, false);
    int status = 0;
    const MenuEntry* chosen = nullptr;
    switch (options.mode) {
    case Mode::List:
    case Mode::ListJson: {
        const QByteArray out = options.mode == Mode::List ? ListText(menu) : ListJson(menu);
        std::fwrite(out.constData(), 1, std::size_t(out.size()), stdout);
        break;
    }
    case Mode::Choose:
        chosen = FindCommand(menu, options.title);
        if (!chosen) {
            Complain(QStringLiteral("no entry titled \"%1\"").arg(options.title));
            status = 1;
        }
        break;
    case Mode::Show: {
        const ViewResult view = ShowMenu(menu, qEnvironmentVariable("LOFTWISE_MENU_SNAPSHOT"));
        chosen = view.chosen;
        if (view.snapshotFailed) {
            Complain(QStringLiteral("could not save the picture"));
            status = 1;
        }
        break;
    }
    case Mode::ServiceMenu:
        break;
    }
    std::fflush(stdout);
    if (chosen) session.handle(*chosen, &context);
    session.cleanup();
    session.finish();
    AEDisposeDesc(&context);
    return status;
}

} // namespace plat::cmhost
