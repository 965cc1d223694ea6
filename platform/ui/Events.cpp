#include "platform/ui/Events.h"

#include "platform/Bundle.h"
#include "platform/MainThread.h"
#include "platform/ui/Snapshot.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

struct OpaqueEventRef {
    EventClass eventClass;
    EventKind eventKind;
    HICommand command;
};

struct OpaqueEventHandlerRef {
    EventTargetRef target;
    EventHandlerUPP proc;
    std::vector<EventTypeSpec> types;
    void* userData;
};

struct OpaqueEventTargetRef {
    QPointer<QWidget> window;              // null for the application target
    std::vector<EventHandlerRef> handlers; // most recently installed first
};

struct OpaqueEventLoopRef {};

struct OpaqueEventLoopTimerRef {
    QTimer* timer;
    EventLoopTimerUPP proc;
    void* userData;
};

namespace {

OpaqueEventTargetRef gApplicationTarget;
std::map<QWidget*, std::unique_ptr<OpaqueEventTargetRef>> gWindowTargets;
OpaqueEventLoopRef gMainLoop;
bool gQuitRequested = false;
int gSignalPipe[2] = {-1, -1};
// Termination signals since the last quit the application refused.
std::atomic<int> gSignalsSeen{0};
volatile sig_atomic_t gFirstSignal = SIGTERM;
// A signal asks for the graceful quit, which lets the file being sent finish;
// a second signal, or this many seconds without the quit done, ends the
// process at once (the server keeps a partial file).
constexpr unsigned kQuitGraceSeconds = 10;

bool Wants(EventHandlerRef h, EventClass cls, EventKind kind) {
    for (const EventTypeSpec& t : h->types)
        if (t.eventClass == cls && t.eventKind == kind) return true;
    return false;
}

// Offers the event to a target's handlers in order; the first that does not
// answer eventNotHandledErr takes it.
OSStatus DispatchToTarget(EventTargetRef target, EventRef event) {
    if (!target) return eventNotHandledErr;
    // Handlers may install or remove handlers while they run.
    const std::vector<EventHandlerRef> handlers = target->handlers;
    for (EventHandlerRef h : handlers) {
        auto& live = target->handlers;
        if (std::find(live.begin(), live.end(), h) == live.end()) continue;
        if (!Wants(h, event->eventClass, event->eventKind)) continue;
        OSStatus st = h->proc(nullptr, event, h->userData);
        if (st != eventNotHandledErr) return st;
    }
    return eventNotHandledErr;
}

EventTargetRef TargetIfAny(QWidget* window) {
    auto it = gWindowTargets.find(window);
    return it == gWindowTargets.end() ? nullptr : it->second.get();
}

OSStatus DispatchCommand(QWidget* window, const HICommand& cmd) {
    OpaqueEventRef event{kEventClassCommand, kEventCommandProcess, cmd};
    // A sheet's command goes to the sheet, then the window it hangs on.
    for (QWidget* w = window; w; w = w->parentWidget() ? w->parentWidget()->window() : nullptr) {
        OSStatus st = DispatchToTarget(TargetIfAny(w), &event);
        if (st != eventNotHandledErr) return st;
    }
    OSStatus st = DispatchToTarget(&gApplicationTarget, &event);
    if (st != eventNotHandledErr) return st;
    if (cmd.commandID == kHICommandQuit) {
        QuitApplicationEventLoop();
        return noErr;
    }
    return eventNotHandledErr;
}

// Ends the process as the signal's default action does; async-signal-safe.
void EndBySignal(int sig) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);
}

void OnSignal(int sig) {
    if (gSignalsSeen.fetch_add(1) > 0) EndBySignal(sig);
    gFirstSignal = sig;
    alarm(kQuitGraceSeconds);
    const char b = 'q';
    [[maybe_unused]] ssize_t n = write(gSignalPipe[1], &b, 1);
}

void OnQuitGraceOver(int) {
    EndBySignal(gFirstSignal);
}

void InstallQuitSignals() {
    if (gSignalPipe[0] >= 0) return;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char buf[16];
        [[maybe_unused]] ssize_t n = read(gSignalPipe[0], buf, sizeof buf);
        HICommand cmd{kHICommandFromMenu, kHICommandQuit, {nullptr, 0}};
        ProcessHICommand(&cmd);
        if (!gQuitRequested) {
            // A handler kept the application running: nothing to bound.
            alarm(0);
            gSignalsSeen = 0;
        }
    });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGINT);
    sigaddset(&sa.sa_mask, SIGTERM);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = OnQuitGraceOver;
    sigaction(SIGALRM, &sa, nullptr);
}

struct PlatformNoise {
    const char* category;
    const char* text;
    bool wholeText; // else the text's start
};
// Warnings only. Not every "does not support": a plug-in that cannot open a
// URL or make a GL context has failed at something that was asked for.
constexpr PlatformNoise kPlatformNoise[] = {
    // QPlatformWindow's defaults, for plug-ins (offscreen) without them.
    {"default", "This plugin does not support raise()", true},
    {"default", "This plugin does not support lower()", true},
    {"default", "This plugin does not support propagateSizeHints()", true},
    {"default", "QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to ", false},
    // Tried first in a Wayland session; Qt goes on to the next plug-in.
    {"qt.qpa.plugin", "Could not find the Qt platform plugin \"wayland\"", false},
};

std::atomic<QtMessageHandler> previousMessageHandler{nullptr};

void DropPlatformNoise(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtWarningMsg) {
        const char* category = context.category ? context.category : "default";
        for (const PlatformNoise& noise : kPlatformNoise) {
            const QLatin1String known(noise.text);
            if (std::strcmp(category, noise.category) == 0 &&
                (noise.wholeText ? text == known : text.startsWith(known)))
                return;
        }
    }
    // Unset only while the handler is being installed.
    if (const QtMessageHandler previous = previousMessageHandler.load())
        previous(type, context, text);
}

} // namespace

EventTargetRef GetApplicationEventTarget() {
    return &gApplicationTarget;
}

EventTargetRef GetWindowEventTarget(WindowRef window) {
    if (!window) return nullptr;
    auto& slot = gWindowTargets[window];
    if (!slot) {
        slot = std::make_unique<OpaqueEventTargetRef>();
        slot->window = window;
        QObject::connect(window, &QObject::destroyed, [window] {
            auto it = gWindowTargets.find(window);
            if (it == gWindowTargets.end()) return;
            for (EventHandlerRef h : it->second->handlers)
                delete h;
            gWindowTargets.erase(it);
        });
    }
    return slot.get();
}

OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, UInt32 numTypes,
                             const EventTypeSpec* list, void* userData, EventHandlerRef* outRef) {
    if (!target || !handler || (numTypes && !list)) return paramErr;
    auto* h = new OpaqueEventHandlerRef{target, handler, {list, list + numTypes}, userData};
    target->handlers.insert(target->handlers.begin(), h);
    if (outRef) *outRef = h;
    return noErr;
}

OSStatus RemoveEventHandler(EventHandlerRef handlerRef) {
    if (!handlerRef) return paramErr;
    auto& hs = handlerRef->target->handlers;
    auto it = std::find(hs.begin(), hs.end(), handlerRef);
    if (it == hs.end()) return paramErr;
    hs.erase(it);
    delete handlerRef;
    return noErr;
}

EventClass GetEventClass(EventRef event) {
    return event ? event->eventClass : 0;
}
EventKind GetEventKind(EventRef event) {
    return event ? event->eventKind : 0;
}

OSStatus GetEventParameter(EventRef event, EventParamName name, EventParamType desiredType,
                           EventParamType* actualType, ByteCount bufferSize, ByteCount* actualSize,
                           void* outData) {
    if (!event) return paramErr;
    if (event->eventClass != kEventClassCommand || name != kEventParamDirectObject ||
        (desiredType != typeHICommand && desiredType != typeWildCard))
        return eventNotHandledErr;
    if (actualType) *actualType = typeHICommand;
    if (actualSize) *actualSize = sizeof(HICommand);
    if (!outData || bufferSize < sizeof(HICommand)) return paramErr;
    std::memcpy(outData, &event->command, sizeof(HICommand));
    return noErr;
}

OSStatus ProcessHICommand(const HICommand* command) {
    if (!command) return paramErr;
    QWidget* window = QApplication::activeWindow();
    if (!window) {
        // No focus (offscreen, or a menu command from a signal): the first
        // visible window that has handlers takes the window's turn.
        for (auto& [w, t] : gWindowTargets)
            if (w->isVisible() && !w->parentWidget()) {
                window = w;
                break;
            }
    }
    return DispatchCommand(window, *command);
}

OSStatus ProcessHICommandForWindow(WindowRef window, UInt32 commandID) {
    HICommand cmd{kHICommandFromControl, commandID, {nullptr, 0}};
    return DispatchCommand(window, cmd);
}

void RunApplicationEventLoop() {
    if (gQuitRequested) return;
    plat::ScheduleSnapshotFromEnvironment();
    QApplication::exec();
}

void QuitApplicationEventLoop() {
    gQuitRequested = true;
    QCoreApplication::exit(0);
}

EventLoopRef GetCurrentEventLoop() {
    return &gMainLoop;
}
EventLoopRef GetMainEventLoop() {
    return &gMainLoop;
}

OSStatus InstallEventLoopTimer(EventLoopRef loop, EventTimerInterval fireDelay,
                               EventTimerInterval interval, EventLoopTimerUPP proc, void* userData,
                               EventLoopTimerRef* outTimer) {
    if (!loop || !proc || fireDelay < 0 || interval < 0) return paramErr;
    auto* ref = new OpaqueEventLoopTimerRef{new QTimer(qApp), proc, userData};
    ref->timer->setTimerType(Qt::PreciseTimer);
    ref->timer->setSingleShot(true);
    ref->timer->start(int(fireDelay * 1000 + 0.5));
    QObject::connect(ref->timer, &QTimer::timeout, ref->timer, [ref, interval] {
        if (interval > 0) ref->timer->start(int(interval * 1000 + 0.5));
        ref->proc(ref, ref->userData);
    });
    if (outTimer) *outTimer = ref;
    return noErr;
}

OSStatus RemoveEventLoopTimer(EventLoopTimerRef timer) {
    if (!timer) return paramErr;
    timer->timer->stop();
    // The timer may be removed from inside its own callback.
    timer->timer->deleteLater();
    delete timer;
    return noErr;
}

Boolean WaitNextEvent(EventMask, EventRecord* theEvent, UInt32 sleepTicks, void*) {
    if (theEvent) *theEvent = EventRecord{nullEvent, 0, 0, {0, 0}, 0};
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (sleepTicks > 0 && !plat::TakeWakeRequest()) {
        // Sleep the whole time unless a worker wakes us; events that arrive
        // meanwhile are dispatched to their handlers.
        bool slept = false;
        QTimer sleeper;
        sleeper.setSingleShot(true);
        sleeper.setTimerType(Qt::PreciseTimer);
        QObject::connect(&sleeper, &QTimer::timeout, [&slept] { slept = true; });
        sleeper.start(int(sleepTicks * 1000 / 60));
        while (!slept && !plat::TakeWakeRequest())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return false;
}

OSErr GetCurrentProcess(ProcessSerialNumber* psn) {
    if (!psn) return paramErr;
    *psn = {0, kCurrentProcess};
    return noErr;
}

OSErr SetFrontProcess(const ProcessSerialNumber* psn) {
    if (!psn) return paramErr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && !w->parentWidget()) {
            w->raise();
            w->activateWindow();
        }
    }
    return noErr;
}

void ExitToShell() {
    std::fflush(nullptr);
    _exit(0);
}

namespace plat {

void UseBundleIdentity() {
    CFBundleRef bundle = CFBundleGetMainBundle();
    if (!bundle) return;
    const auto icon =
        CFBundleGetValueForInfoDictionaryKey(bundle, QStringLiteral("CFBundleIconFile"));
    if (icon && icon->asString() && !icon->asString()->isEmpty()) {
        if (auto path = CFBundleCopyResourcePath(bundle, *icon->asString(), QString()))
            QApplication::setWindowIcon(QIcon(*path));
    }
    // A renamed copy says whose it is: "Loftwise – Clients".
    const auto name = CFBundleGetValueForInfoDictionaryKey(bundle, QStringLiteral("CFBundleName"));
    const QString product = name && name->asString() ? *name->asString() : QString();
    const QString copy = QFileInfo(CFBundleGetPath(bundle)).completeBaseName();
    if (copy.isEmpty()) return;
    QGuiApplication::setApplicationDisplayName(product.isEmpty() || copy.startsWith(product)
                                                   ? copy
                                                   : product + QStringLiteral(" \u2013 ") + copy);
}

void QuietPlatformNoise() {
    static std::once_flag once;
    std::call_once(once,
                   [] { previousMessageHandler = qInstallMessageHandler(DropPlatformNoise); });
}

LaunchRole InitApplication(int& argc, char** argv) {
    QuietPlatformNoise();
    if (!QCoreApplication::instance()) {
        // Qt would abort with a list of its plug-ins; say what is missing.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") &&
            qEnvironmentVariableIsEmpty("DISPLAY") &&
            qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
            std::fprintf(stderr,
                         "%s: no display to show a window on (neither DISPLAY nor "
                         "WAYLAND_DISPLAY is set); start it from the desktop\n",
                         argc > 0 ? argv[0] : "Loftwise");
            std::exit(1);
        }
        new QApplication(argc, argv);
    }
    QApplication::setQuitOnLastWindowClosed(false);
    InstallQtTranslations();
    UseBundleIdentity();
    InstallQuitSignals();
    // argv as the file system's bytes (Qt has taken its own options out):
    // a name that is not UTF-8 must reach the file system unchanged.
    QByteArrayList files;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (!optionsDone && a == "--") {
            optionsDone = true;
            continue;
        }
        if (!optionsDone && a.startsWith('-')) continue;
        files << a;
    }
    return StartAppleEventDelivery(files);
}

} // namespace plat
