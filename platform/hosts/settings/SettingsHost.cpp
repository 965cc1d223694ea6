#include "platform/hosts/settings/SettingsHost.h"

#include "platform/Bundle.h"
#include "platform/Files.h"
#include "platform/LocalSockets.h"
#include "platform/ui/Events.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QListWidget>
#include <QSocketNotifier>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#ifdef LOFTWISE_HAVE_XCB
#include <QGuiApplication>
#include <xcb/xcb.h>
#endif

namespace {

const QString kProgram = QStringLiteral("loftwise-settings");
constexpr char kUsage[] =
    "usage: loftwise-settings [--pane ID] [--pane-path PATH]... [--snapshot FILE.png [--click "
    "BUTTON]]\n";
constexpr char kAnswerShown[] = "OK\n";
constexpr char kAnswerNoPane[] = "NOPANE\n";
constexpr char kAnswerBad[] = "BAD\n";

// Pane icons as the system's preferences window shows them.
constexpr int kIconSize = 48;
const QSize kGridCell(112, 92);
constexpr int kSnapshotDelayMs = 100;
// Long enough for what a click starts on this machine to show its outcome.
constexpr int kClickSettleMs = 2000;

void Warn(const QString& text) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

QString InfoString(CFBundleRef bundle, const QString& key) {
    const auto value = CFBundleGetValueForInfoDictionaryKey(bundle, key);
    const QString* text = value ? value->asString() : nullptr;
    return text ? *text : QString();
}

QIcon PaneIcon(CFBundleRef bundle) {
    const QString file = InfoString(bundle, QStringLiteral("NSPrefPaneIconFile"));
    if (!file.isEmpty())
        if (const auto path = CFBundleCopyResourcePath(bundle, file, QString())) {
            QIcon icon(*path);
            if (!icon.isNull()) return icon;
        }
    return QIcon::fromTheme(QStringLiteral("preferences-other"),
                            QApplication::style()->standardIcon(QStyle::SP_FileDialogDetailedView));
}

} // namespace

struct SettingsHost::Pane {
    QString id;
    QString label;
    QIcon icon;
    CFBundleRef bundle = nullptr;
    std::unique_ptr<NSPreferencePane> object;
    bool objectFailed = false; // made once: a failure is not tried again
    bool viewLoaded = false;   // loadMainView runs once per object
    QWidget* view = nullptr;   // in the window once loaded
};

SettingsHost::SettingsHost(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(plat::PlatformText("Loftwise Settings"));
    setWindowIcon(QIcon::fromTheme(QStringLiteral("preferences-system")));
    setUnifiedTitleAndToolBarOnMac(true);

    auto* bar = addToolBar(plat::PlatformText("Show All"));
    bar->setObjectName(QStringLiteral("toolbar"));
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->toggleViewAction()->setEnabled(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_showAll =
        bar->addAction(QIcon::fromTheme(QStringLiteral("view-grid"),
                                        style()->standardIcon(QStyle::SP_FileDialogListView)),
                       plat::PlatformText("Show All"));
    m_showAll->setObjectName(QStringLiteral("showAll"));
    m_showAll->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    connect(m_showAll, &QAction::triggered, this, &SettingsHost::showAll);

    auto* pages = new QWidget(this);
    m_pages = new QVBoxLayout(pages);
    m_pages->setContentsMargins(0, 0, 0, 0);
    setCentralWidget(pages);

    m_grid = new QListWidget(pages);
    m_grid->setObjectName(QStringLiteral("paneGrid"));
    m_grid->setViewMode(QListView::IconMode);
    m_grid->setIconSize(QSize(kIconSize, kIconSize));
    m_grid->setGridSize(kGridCell);
    m_grid->setMovement(QListView::Static);
    m_grid->setResizeMode(QListView::Adjust);
    m_grid->setWordWrap(true);
    m_grid->setUniformItemSizes(true);
    // Icons are buttons here: a click opens the pane, nothing stays selected.
    m_grid->setSelectionMode(QAbstractItemView::NoSelection);
    m_grid->setFrameShape(QFrame::NoFrame);
    m_grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_grid->setBackgroundRole(QPalette::Window);
    m_grid->viewport()->setBackgroundRole(QPalette::Window);
    m_grid->setMinimumSize(kGridCell.width() * 4 + 24, kGridCell.height() + 24);
    // Queued, so the grid's own mouse handling ends before the page changes.
    connect(
        m_grid, &QListWidget::itemClicked, this,
        [this](QListWidgetItem* item) { selectPane(item->data(Qt::UserRole).toString()); },
        Qt::QueuedConnection);
    connect(
        m_grid, &QListWidget::itemActivated, this,
        [this](QListWidgetItem* item) { selectPane(item->data(Qt::UserRole).toString()); },
        Qt::QueuedConnection);
    m_pages->addWidget(m_grid);
    fitTo(m_grid);
}

SettingsHost::~SettingsHost() {
    deselectCurrent();
    // Each view goes back to its pane, which outlives it as the pane's own
    // destructor (and its outlets) expect, and deletes it last.
    std::vector<QWidget*> unowned; // views a pane made without keeping them
    for (const auto& pane : m_panes) {
        if (!pane->view) continue;
        pane->view->setParent(nullptr);
        if (pane->object->mainView() != pane->view) unowned.push_back(pane->view);
    }
    m_panes.clear();
    for (QWidget* view : unowned)
        delete view;
}

void SettingsHost::addPanePath(const QString& path) {
    const QString absolute = QFileInfo(path).absoluteFilePath();
    if (!m_panePaths.contains(absolute)) m_panePaths << absolute;
}

SettingsHost::Pane* SettingsHost::findPane(const QString& id) const {
    for (const auto& pane : m_panes)
        if (pane->id == id) return pane.get();
    return nullptr;
}

void SettingsHost::discoverPanes() {
    QStringList candidates = m_panePaths;
    const int named = int(candidates.size());
    candidates << plat::InstalledBundles(kPreferencePanesFolderType, QStringLiteral("prefPane"));

    std::vector<std::unique_ptr<Pane>> found;
    auto has = [&found](const QString& id) {
        for (const auto& pane : found)
            if (pane->id == id) return true;
        return false;
    };
    for (int i = 0; i < candidates.size(); ++i) {
        const QString& path = candidates[i];
        CFBundleRef bundle = CFBundleCreate(path);
        const QString id = bundle ? CFBundleGetIdentifier(bundle) : QString();
        if (id.isEmpty()) {
            if (i < named) Warn(QStringLiteral("Not a settings pane: %1").arg(path));
            continue;
        }
        if (has(id)) continue;
        // A pane made already keeps its object and view, wherever it came from.
        auto kept = std::find_if(m_panes.begin(), m_panes.end(), [&id](const auto& pane) {
            return pane->id == id && (pane->object || pane->objectFailed);
        });
        if (kept != m_panes.end()) {
            found.push_back(std::move(*kept));
            m_panes.erase(kept);
            continue;
        }
        auto pane = std::make_unique<Pane>();
        pane->id = id;
        pane->bundle = bundle;
        pane->label = InfoString(bundle, QStringLiteral("NSPrefPaneIconLabel"));
        if (pane->label.isEmpty()) pane->label = InfoString(bundle, QStringLiteral("CFBundleName"));
        if (pane->label.isEmpty()) pane->label = id;
        pane->icon = PaneIcon(bundle);
        found.push_back(std::move(pane));
    }
    // Made panes whose bundle went away stay until the process ends.
    for (auto& pane : m_panes)
        if (pane->object || pane->objectFailed) found.push_back(std::move(pane));
    m_panes = std::move(found);
    rebuildGrid();
}

void SettingsHost::rebuildGrid() {
    m_grid->clear();
    for (const auto& pane : m_panes) {
        auto* item = new QListWidgetItem(pane->icon, pane->label, m_grid);
        item->setData(Qt::UserRole, pane->id);
        item->setToolTip(pane->id);
        item->setTextAlignment(Qt::AlignHCenter | Qt::AlignTop);
    }
}

QStringList SettingsHost::paneIDs() const {
    QStringList ids;
    for (const auto& pane : m_panes)
        ids << pane->id;
    return ids;
}

NSPreferencePane* SettingsHost::paneObject(const QString& id) {
    Pane* pane = findPane(id);
    if (!pane) return nullptr;
    if (!pane->object && !pane->objectFailed) {
        QString error;
        pane->object.reset(plat::CreatePrincipalObject(pane->bundle, &error));
        if (!pane->object) {
            pane->objectFailed = true;
            Warn(QStringLiteral("Settings pane \"%1\" does not load: %2").arg(id, error));
        }
    }
    return pane->object.get();
}

NSPreferencePane* SettingsHost::currentPane() const {
    return m_current ? m_current->object.get() : nullptr;
}

bool SettingsHost::selectPane(const QString& id) {
    if (m_current && m_current->id == id) return true;
    NSPreferencePane* object = paneObject(id);
    if (!object) return false;
    Pane* pane = findPane(id);
    if (!pane->viewLoaded) {
        pane->viewLoaded = true;
        pane->view = object->loadMainView();
        if (pane->view) {
            pane->view->hide();
            m_pages->addWidget(pane->view);
        }
    }
    if (!pane->view) {
        Warn(QStringLiteral("Settings pane \"%1\" has no view").arg(id));
        return false;
    }
    deselectCurrent();
    object->willSelect();
    m_grid->hide();
    pane->view->show();
    m_current = pane;
    setWindowTitle(pane->label);
    fitTo(pane->view);
    object->didSelect();
    return true;
}

void SettingsHost::deselectCurrent() {
    if (!m_current) return;
    Pane* leaving = m_current;
    leaving->object->willUnselect();
    leaving->view->hide();
    m_current = nullptr;
    leaving->object->didUnselect();
}

void SettingsHost::showAll() {
    deselectCurrent();
    setWindowTitle(plat::PlatformText("Loftwise Settings"));
    m_grid->show();
    fitTo(m_grid);
}

void SettingsHost::fitTo(QWidget* page) {
    // Hidden pages take no room in the layout, so the window's size hint is
    // the shown page's with the tool bar.
    centralWidget()->updateGeometry();
    m_pages->activate();
    layout()->activate();
    const QSize want = sizeHint().expandedTo(minimumSizeHint());
    resize(want.expandedTo(page->minimumSizeHint()));
}

void SettingsHost::bringToFront() {
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
#ifdef LOFTWISE_HAVE_XCB
    // The window manager may refuse a plain activation from a program the
    // user did not just click; one asked for as a pager asks is honoured.
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection()) return;
    xcb_connection_t* c = x11->connection();
    static const char kActive[] = "_NET_ACTIVE_WINDOW";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, uint16_t(sizeof kActive - 1), kActive), nullptr);
    if (!atom) return;
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = xcb_window_t(winId());
    event.type = atom->atom;
    event.data.data32[0] = 2; // source: a pager
    event.data.data32[1] = XCB_CURRENT_TIME;
    std::free(atom);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    if (!screen) return;
    xcb_send_event(c, 0, screen->root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(c);
#endif
}

void SettingsHost::closeEvent(QCloseEvent* event) {
    deselectCurrent();
    QMainWindow::closeEvent(event);
}

namespace plat::settingshost {

namespace {

// "--name value" or "--name=value".
std::variant<QString, QString> TakeValue(const QStringList& args, int& i, const QString& name) {
    const QString& arg = args[i];
    QString value;
    if (arg.startsWith(name + '=')) {
        value = arg.mid(name.size() + 1);
    } else if (i + 1 < args.size()) {
        value = args[++i];
    } else {
        return std::variant<QString, QString>(std::in_place_index<1>,
                                              QStringLiteral("%1 needs a value").arg(name));
    }
    if (value.isEmpty())
        return std::variant<QString, QString>(std::in_place_index<1>,
                                              QStringLiteral("%1 needs a value").arg(name));
    return std::variant<QString, QString>(std::in_place_index<0>, value);
}

} // namespace

std::variant<Options, QString> ParseArguments(const QStringList& args) {
    Options options;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        const QString name = arg.section('=', 0, 0);
        if (name != "--pane" && name != "--pane-path" && name != "--snapshot" &&
            name != "--click") {
            if (arg.startsWith('-')) return QStringLiteral("unknown option %1").arg(arg);
            return QStringLiteral("unexpected argument %1").arg(arg);
        }
        auto value = TakeValue(args, i, name);
        if (value.index() == 1) return std::get<1>(value);
        const QString& text = std::get<0>(value);
        if (name == "--pane")
            options.pane = text;
        else if (name == "--pane-path")
            options.panePaths << QFileInfo(text).absoluteFilePath();
        else if (name == "--click")
            options.click = text;
        else
            options.snapshot = text;
    }
    if (!options.click.isEmpty() && options.snapshot.isEmpty())
        return QStringLiteral("--click needs --snapshot");
    return options;
}

// "OPEN[ pane:ID][ path:PATH]...\n", each value percent-encoded.
QByteArray EncodeRequest(const Options& options) {
    QByteArray request = "OPEN";
    if (!options.pane.isEmpty()) request += " pane:" + QUrl::toPercentEncoding(options.pane);
    for (const QString& path : options.panePaths)
        request += " path:" + QUrl::toPercentEncoding(path);
    return request + '\n';
}

std::variant<Options, QString> DecodeRequest(const QByteArray& request) {
    if (!request.endsWith('\n')) return QStringLiteral("request not ended");
    const QList<QByteArray> words = request.chopped(1).split(' ');
    if (words.first() != "OPEN") return QStringLiteral("not a request");
    Options options;
    for (const QByteArray& word : words.mid(1)) {
        const QString value = QString::fromUtf8(QByteArray::fromPercentEncoding(word.mid(5)));
        if (value.isEmpty()) return QStringLiteral("empty value");
        if (word.startsWith("pane:"))
            options.pane = value;
        else if (word.startsWith("path:") && QDir::isAbsolutePath(value))
            options.panePaths << value;
        else
            return QStringLiteral("bad word in request");
    }
    return options;
}

} // namespace plat::settingshost

namespace {

using plat::settingshost::Options;

int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(gSignalPipe[1], &byte, 1);
    errno = saved;
}

// SIGTERM and SIGINT reach the event loop through a pipe, where the window
// is closed (leaving the pane) before the program quits.
void RouteSignalsTo(SettingsHost* host) {
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        Warn(QStringLiteral("Cannot watch for signals: %1").arg(std::strerror(errno)));
        return;
    }
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, host);
    QObject::connect(notifier, &QSocketNotifier::activated, host, [host] {
        char bytes[16];
        while (::read(gSignalPipe[0], bytes, sizeof bytes) > 0) {}
        host->close();
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// The panes named, then the one to show: the one asked for, else the only
// one there is. False when the one asked for is not there (the grid shows).
bool Apply(SettingsHost& host, const Options& options, bool starting) {
    for (const QString& path : options.panePaths)
        host.addPanePath(path);
    host.discoverPanes();
    QString id = options.pane;
    if (id.isEmpty() && starting && host.paneIDs().size() == 1) id = host.paneIDs().first();
    if (id.isEmpty()) return true;
    if (host.selectPane(id)) return true;
    Warn(QStringLiteral("No settings pane \"%1\"").arg(id));
    host.showAll();
    return false;
}

// Brings the tabs that hold widget to the front.
void RevealInTabs(QWidget* widget) {
    for (QWidget* w = widget; w && w->parentWidget(); w = w->parentWidget()) {
        // A tab widget keeps its pages in a stack of its own.
        auto* tabs = qobject_cast<QTabWidget*>(w->parentWidget()->parentWidget());
        if (tabs && tabs->indexOf(w) >= 0) tabs->setCurrentWidget(w);
    }
}

int Snapshot(SettingsHost& host, const QString& file, const QString& click) {
    host.show();
    int status = 0;
    const auto take = [&host, &file, &status] {
        if (!host.grab().save(file, "PNG")) {
            Warn(QStringLiteral("Cannot write %1").arg(file));
            status = 1;
        }
        host.showAll();
        QCoreApplication::quit();
    };
    // Once the event loop has laid out and painted the window.
    QTimer::singleShot(kSnapshotDelayMs, &host, [&host, &click, &status, take] {
        if (click.isEmpty()) return take();
        auto* button = host.findChild<QAbstractButton*>(click);
        if (!button) {
            Warn(QStringLiteral("No button \"%1\" to click").arg(click));
            status = 1;
            return take();
        }
        RevealInTabs(button);
        button->click();
        QTimer::singleShot(kClickSettleMs, &host, take);
    });
    QCoreApplication::exec();
    return status;
}

} // namespace

int RunSettingsHost(int argc, char** argv) {
    plat::QuietPlatformNoise();
    QApplication app(argc, argv);
    QApplication::setApplicationName(kProgram);
    QGuiApplication::setDesktopFileName(kProgram);
    plat::InstallQtTranslations();

    const auto parsed = plat::settingshost::ParseArguments(app.arguments().mid(1));
    if (const QString* error = std::get_if<QString>(&parsed)) {
        Warn(QStringLiteral("loftwise-settings: %1").arg(*error));
        std::fputs(kUsage, stderr);
        return 2;
    }
    const Options& options = std::get<Options>(parsed);

    SettingsHost host;
    if (!options.snapshot.isEmpty()) {
        Apply(host, options, true);
        return Snapshot(host, options.snapshot, options.click);
    }

    const QString socketPath = plat::LocalSocketPath(kProgram);
    // One that cannot have a socket still shows its panes.
    if (plat::PrepareLocalSocketFolder(socketPath)) {
        plat::StartLock lock(socketPath + ".lock");
        if (const auto answer =
                plat::AskRunningInstance(socketPath, plat::settingshost::EncodeRequest(options))) {
            if (*answer == kAnswerNoPane)
                Warn(QStringLiteral("No settings pane \"%1\"").arg(options.pane));
            if (*answer == kAnswerShown || *answer == kAnswerNoPane) return 0;
        }
        // Nobody answered: this is the running instance from now on.
        plat::ServeRunningInstance(socketPath, &host, [&host](const QByteArray& request) {
            const auto decoded = plat::settingshost::DecodeRequest(request);
            if (const QString* error = std::get_if<QString>(&decoded)) {
                Warn(QStringLiteral("Ignoring a request from another launch: %1").arg(*error));
                return QByteArray(kAnswerBad);
            }
            const bool shown = Apply(host, std::get<Options>(decoded), false);
            host.bringToFront();
            return QByteArray(shown ? kAnswerShown : kAnswerNoPane);
        });
    }
    // Signals are routed before any pane shows: one that came after the
    // pane's didSelect but before the routing would end the program without
    // its last save.
    RouteSignalsTo(&host);
    Apply(host, options, true);
    host.show();
    const int status = QApplication::exec();
    host.showAll(); // whatever ended the loop, the pane is left first
    return status;
}
