#include "platform/ui/Controls.h"

#include "platform/Bundle.h"
#include "platform/ui/Events.h"
#include "platform/ui/NibLoader.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QTextEdit>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

struct OpaqueIBNibRef {
    QString folder;
};

namespace {

// The menus of the MenuBar entry live in this hidden window for the life of
// the process; every main window shows them in a menu bar of its own.
QPointer<QMainWindow> gMenuBarHolder;

FourCharCode CommandOf(const QObject* o) {
    const QByteArray c = o->property("command").toString().toLatin1();
    if (c.size() != 4) return 0;
    return FourCC({c[0], c[1], c[2], c[3], 0});
}

// Windows made from nibs are laid out and painted at most once a display
// frame, as the window server coalesces updates: a label that changes a
// thousand times a second during a drop is laid out and drawn sixty times,
// and the first change of a quiet window still shows at once.
class FramePacer final : public QObject {
public:
    static void Pace(QWidget* window) {
        // One per application object; it goes with it.
        static QPointer<FramePacer> pacer;
        if (!pacer) {
            pacer = new FramePacer(qApp);
            qApp->installEventFilter(pacer);
        }
        window->setProperty(kPaced, true);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (m_delivering || (type != QEvent::UpdateRequest && type != QEvent::LayoutRequest) ||
            !watched->isWidgetType())
            return false;
        auto* widget = static_cast<QWidget*>(watched);
        if (!widget->window()->property(kPaced).toBool()) return false;
        const qint64 now = m_clock.nsecsElapsed();
        if (!m_timer.isActive() && now - m_frameStart >= kFrameNs) {
            m_frameStart = now;
            return false;
        }
        // Later in this frame: once, at its end.
        for (const auto& [target, pendingType] : m_pending)
            if (target == widget && pendingType == type) return true;
        m_pending.emplace_back(widget, type);
        if (!m_timer.isActive())
            m_timer.start(int((kFrameNs - (now - m_frameStart) + 999'999) / 1'000'000));
        return true;
    }

private:
    static constexpr const char* kPaced = "loftwisePacedUpdates";
    static constexpr qint64 kFrameNs = 16'666'667;

    explicit FramePacer(QObject* parent) : QObject(parent), m_timer(this) {
        m_clock.start();
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &FramePacer::deliver);
    }

    // Layouts first, so the paint shows the new geometry.
    void deliver() {
        m_frameStart = m_clock.nsecsElapsed();
        auto pending = std::exchange(m_pending, {});
        m_delivering = true;
        for (QEvent::Type type : {QEvent::LayoutRequest, QEvent::UpdateRequest})
            for (const auto& [target, pendingType] : pending)
                if (target && pendingType == type) {
                    QEvent event(type);
                    QCoreApplication::sendEvent(target, &event);
                }
        m_delivering = false;
    }

    QElapsedTimer m_clock;
    qint64 m_frameStart = -kFrameNs;
    QTimer m_timer;
    bool m_delivering = false;
    std::vector<std::pair<QPointer<QWidget>, QEvent::Type>> m_pending;
};

// Closing the main window with its title-bar button quits like the Quit command.
class CloseToQuit : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close && watched->isWidgetType() &&
            !static_cast<QWidget*>(watched)->parentWidget()) {
            event->ignore();
            HICommand cmd{kHICommandFromMenu, kHICommandQuit, {nullptr, 0}};
            ProcessHICommand(&cmd);
            return true;
        }
        return false;
    }
};

// Escape and the close button of a dialog send Cancel through the command
// handlers, like its Cancel button, instead of closing it behind their back.
class DialogCancel : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        const bool escape = event->type() == QEvent::KeyPress &&
                            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape;
        if (!escape && event->type() != QEvent::Close) return false;
        auto* w = static_cast<QWidget*>(watched);
        event->ignore();
        if (ProcessHICommandForWindow(w, kHICommandCancel) == eventNotHandledErr) w->hide();
        return true;
    }
};

void ConnectCommandSources(QWidget* window) {
    for (QAbstractButton* b : window->findChildren<QAbstractButton*>()) {
        if (FourCharCode cmd = CommandOf(b)) {
            QObject::connect(b, &QAbstractButton::clicked, b,
                             [window, cmd] { ProcessHICommandForWindow(window, cmd); });
        }
    }
}

void ConnectMenuActions(QObject* root) {
    for (QAction* a : root->findChildren<QAction*>()) {
        if (FourCharCode cmd = CommandOf(a)) {
            QObject::connect(a, &QAction::triggered, a, [cmd] {
                HICommand hc{kHICommandFromMenu, cmd, {plat::ApplicationMenuBar(), 0}};
                ProcessHICommand(&hc);
            });
        }
    }
}

QWidget* LoadEntry(IBNibRef nib, const QString& name) {
    const QString path = nib->folder + "/" + name + ".ui";
    if (!QFileInfo::exists(path)) return nullptr;
    QString error;
    // A nib's texts are keys of the application's string table, as a
    // localized nib would hold them.
    QWidget* w = plat::nib::LoadUiFile(
        path,
        [](const QString& text) {
            return CFBundleCopyLocalizedString(CFBundleGetMainBundle(), text, text,
                                               QStringLiteral("LocalizedStrings"));
        },
        &error);
    if (!w) std::fprintf(stderr, "Cannot load %s: %s\n", qPrintable(path), qPrintable(error));
    return w;
}

void AttachMenuBar(QMainWindow* window) {
    if (!gMenuBarHolder || window == gMenuBarHolder) return;
    QMenuBar* bar = window->menuBar();
    if (!bar->actions().isEmpty()) return;
    for (QAction* a : gMenuBarHolder->menuBar()->actions())
        bar->addAction(a);
}

} // namespace

OSStatus CreateNibReference(const QString& nibName, IBNibRef* outNibRef) {
    if (!outNibRef) return paramErr;
    *outNibRef = nullptr;
    CFBundleRef bundle = CFBundleGetMainBundle();
    if (!bundle) return kIBCarbonRuntimeCantFindNibFile;
    auto path = CFBundleCopyResourcePath(bundle, nibName, QStringLiteral("nib"));
    if (!path || !QFileInfo(*path).isDir()) return kIBCarbonRuntimeCantFindNibFile;
    *outNibRef = new OpaqueIBNibRef{*path};
    return noErr;
}

void DisposeNibReference(IBNibRef nibRef) {
    delete nibRef;
}

OSStatus SetMenuBarFromNib(IBNibRef nibRef, const QString& name) {
    if (!nibRef) return paramErr;
    QWidget* w = LoadEntry(nibRef, name);
    if (!w) return kIBCarbonRuntimeCantFindObject;
    auto* holder = qobject_cast<QMainWindow*>(w);
    if (!holder) {
        delete w;
        return kIBCarbonRuntimeObjectNotOfRequestedType;
    }
    delete gMenuBarHolder;
    gMenuBarHolder = holder;
    ConnectMenuActions(holder);
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* mw = qobject_cast<QMainWindow*>(top)) AttachMenuBar(mw);
    return noErr;
}

OSStatus CreateWindowFromNib(IBNibRef nibRef, const QString& name, WindowRef* outWindow) {
    if (!nibRef || !outWindow) return paramErr;
    *outWindow = nullptr;
    QWidget* w = LoadEntry(nibRef, name);
    if (!w) return kIBCarbonRuntimeCantFindObject;
    ConnectCommandSources(w);
    FramePacer::Pace(w);
    if (auto* mw = qobject_cast<QMainWindow*>(w)) {
        AttachMenuBar(mw);
        mw->installEventFilter(new CloseToQuit(mw));
    } else if (auto* dialog = qobject_cast<QDialog*>(w)) {
        dialog->installEventFilter(new DialogCancel(dialog));
    }
    *outWindow = w;
    return noErr;
}

void ShowWindow(WindowRef window) {
    if (window) window->show();
}

void HideWindow(WindowRef window) {
    if (window) window->hide();
}

void SelectWindow(WindowRef window) {
    if (!window) return;
    window->raise();
    window->activateWindow();
}

Boolean IsWindowVisible(WindowRef window) {
    return window && window->isVisible();
}

OSStatus SetWindowTitleWithCFString(WindowRef window, const QString& title) {
    if (!window) return paramErr;
    window->setWindowTitle(title);
    return noErr;
}

OSStatus GetControlByID(WindowRef window, const ControlID* id, ControlRef* outControl) {
    if (!window || !id || !outControl) return paramErr;
    *outControl = nullptr;
    const QString sig = QString::fromLatin1(FourCCString(id->signature));
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (w->property("signature").toString() == sig &&
            w->property("controlID").toInt() == id->id) {
            *outControl = w;
            return noErr;
        }
    }
    return errUnknownControl;
}

void ShowControl(ControlRef control) {
    if (control) control->setVisible(true);
}

void HideControl(ControlRef control) {
    if (control) control->setVisible(false);
}

OSStatus EnableControl(ControlRef control) {
    if (!control) return paramErr;
    control->setEnabled(true);
    return noErr;
}

OSStatus DisableControl(ControlRef control) {
    if (!control) return paramErr;
    control->setEnabled(false);
    return noErr;
}

Boolean IsControlVisible(ControlRef control) {
    return control && !control->isHidden() && control->isVisibleTo(control->window());
}

Boolean IsControlEnabled(ControlRef control) {
    return control && control->isEnabled();
}

void SetControl32BitValue(ControlRef control, SInt32 value) {
    if (auto* p = qobject_cast<QProgressBar*>(control))
        p->setValue(value);
    else if (auto* b = qobject_cast<QAbstractButton*>(control))
        b->setChecked(value != 0);
    else if (auto* s = qobject_cast<QAbstractSlider*>(control))
        s->setValue(value);
}

SInt32 GetControl32BitValue(ControlRef control) {
    if (auto* p = qobject_cast<QProgressBar*>(control)) return p->value();
    if (auto* b = qobject_cast<QAbstractButton*>(control)) return b->isChecked() ? 1 : 0;
    if (auto* s = qobject_cast<QAbstractSlider*>(control)) return s->value();
    return 0;
}

void SetControl32BitMinimum(ControlRef control, SInt32 value) {
    if (auto* p = qobject_cast<QProgressBar*>(control))
        p->setMinimum(value);
    else if (auto* s = qobject_cast<QAbstractSlider*>(control))
        s->setMinimum(value);
}

SInt32 GetControl32BitMinimum(ControlRef control) {
    if (auto* p = qobject_cast<QProgressBar*>(control)) return p->minimum();
    if (auto* s = qobject_cast<QAbstractSlider*>(control)) return s->minimum();
    return 0;
}

void SetControl32BitMaximum(ControlRef control, SInt32 value) {
    if (auto* p = qobject_cast<QProgressBar*>(control))
        p->setMaximum(value);
    else if (auto* s = qobject_cast<QAbstractSlider*>(control))
        s->setMaximum(value);
}

SInt32 GetControl32BitMaximum(ControlRef control) {
    if (auto* p = qobject_cast<QProgressBar*>(control)) return p->maximum();
    if (auto* s = qobject_cast<QAbstractSlider*>(control)) return s->maximum();
    return 0;
}

void Draw1Control(ControlRef control) {
    if (control && control->isVisible()) control->repaint();
}

static void SetMenuCommandEnabled(MenuRef menu, MenuCommand command, bool enabled) {
    for (QAction* a : plat::MenuCommandActions(menu, command))
        a->setEnabled(enabled);
}

void EnableMenuCommand(MenuRef menu, MenuCommand command) {
    SetMenuCommandEnabled(menu, command, true);
}

void DisableMenuCommand(MenuRef menu, MenuCommand command) {
    SetMenuCommandEnabled(menu, command, false);
}

namespace plat {

QString WindowTitle(WindowRef window) {
    return window ? window->windowTitle() : QString();
}

OSStatus GetControlText(ControlRef control, QString* text) {
    if (!control || !text) return paramErr;
    if (auto* l = qobject_cast<QLabel*>(control))
        *text = l->text();
    else if (auto* e = qobject_cast<QLineEdit*>(control))
        *text = e->text();
    else if (auto* t = qobject_cast<QTextEdit*>(control))
        *text = t->toPlainText();
    else if (auto* p = qobject_cast<QPlainTextEdit*>(control))
        *text = p->toPlainText();
    else if (auto* b = qobject_cast<QAbstractButton*>(control))
        *text = b->text();
    else
        return paramErr;
    return noErr;
}

OSStatus SetControlText(ControlRef control, const QString& text) {
    if (!control) return paramErr;
    if (auto* l = qobject_cast<QLabel*>(control))
        l->setText(text);
    else if (auto* e = qobject_cast<QLineEdit*>(control))
        e->setText(text);
    else if (auto* t = qobject_cast<QTextEdit*>(control))
        t->setPlainText(text);
    else if (auto* p = qobject_cast<QPlainTextEdit*>(control))
        p->setPlainText(text);
    else if (auto* b = qobject_cast<QAbstractButton*>(control))
        b->setText(text);
    else
        return paramErr;
    return noErr;
}

QList<QAction*> MenuCommandActions(MenuRef menu, MenuCommand command) {
    if (!menu) menu = ApplicationMenuBar();
    QList<QAction*> found;
    if (!menu) return found;
    std::function<void(const QList<QAction*>&)> visit = [&](const QList<QAction*>& actions) {
        for (QAction* a : actions) {
            if (CommandOf(a) == command) found << a;
            if (a->menu()) visit(a->menu()->actions());
        }
    };
    visit(menu->actions());
    return found;
}

MenuRef ApplicationMenuBar() {
    return gMenuBarHolder ? gMenuBarHolder->menuBar() : nullptr;
}

} // namespace plat
