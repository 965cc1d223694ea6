// Carbon-style events over the Qt event loop: command events dispatched to
// the window's handlers, then the application's, then standard handling
// (which quits on "quit"); one-shot and repeating event-loop timers;
// WaitNextEvent as a yield that returns early when a worker thread posts
// something to the main thread.
#pragma once

#include "platform/AppleEventDelivery.h"
#include "platform/AppleEvents.h"
#include "platform/MainThread.h"
#include "platform/ui/Controls.h"

using EventClass = UInt32;
using EventKind = UInt32;
using EventParamName = OSType;
using EventParamType = OSType;
using EventTimerInterval = double;

constexpr EventClass kEventClassCommand = FourCC("cmds");
constexpr EventKind kEventCommandProcess = 1;
constexpr EventParamName kEventParamDirectObject = FourCC("----");
constexpr EventParamType typeHICommand = FourCC("hcmd");
constexpr EventTimerInterval kEventDurationSecond = 1.0;
constexpr EventTimerInterval kEventDurationMillisecond = 0.001;
constexpr EventTimerInterval kEventDurationNoWait = 0.0;
constexpr EventMask everyEvent = 0xFFFF;

constexpr UInt32 kHICommandOK = FourCC("ok  ");
constexpr UInt32 kHICommandCancel = FourCC("not!");
constexpr UInt32 kHICommandQuit = FourCC("quit");
constexpr UInt32 kHICommandPreferences = FourCC("pref");
constexpr UInt32 kHICommandFromMenu = 1;
constexpr UInt32 kHICommandFromControl = 2;

struct EventTypeSpec {
    EventClass eventClass;
    EventKind eventKind;
};

struct HICommand {
    UInt32 attributes;
    UInt32 commandID;
    struct {
        MenuRef menuRef;
        UInt16 menuItemIndex;
    } menu;
};

struct OpaqueEventRef;
using EventRef = OpaqueEventRef*;
struct OpaqueEventHandlerCallRef;
using EventHandlerCallRef = OpaqueEventHandlerCallRef*;
struct OpaqueEventHandlerRef;
using EventHandlerRef = OpaqueEventHandlerRef*;
struct OpaqueEventTargetRef;
using EventTargetRef = OpaqueEventTargetRef*;
struct OpaqueEventLoopRef;
using EventLoopRef = OpaqueEventLoopRef*;
struct OpaqueEventLoopTimerRef;
using EventLoopTimerRef = OpaqueEventLoopTimerRef*;

using EventHandlerProcPtr = OSStatus (*)(EventHandlerCallRef, EventRef, void* userData);
using EventHandlerUPP = EventHandlerProcPtr;
inline EventHandlerUPP NewEventHandlerUPP(EventHandlerProcPtr p) {
    return p;
}
using EventLoopTimerProcPtr = void (*)(EventLoopTimerRef, void* userData);
using EventLoopTimerUPP = EventLoopTimerProcPtr;
inline EventLoopTimerUPP NewEventLoopTimerUPP(EventLoopTimerProcPtr p) {
    return p;
}

EventTargetRef GetApplicationEventTarget();
EventTargetRef GetWindowEventTarget(WindowRef window);
OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, UInt32 numTypes,
                             const EventTypeSpec* list, void* userData, EventHandlerRef* outRef);
OSStatus RemoveEventHandler(EventHandlerRef handlerRef);
EventClass GetEventClass(EventRef event);
EventKind GetEventKind(EventRef event);
// kEventParamDirectObject as typeHICommand of a command event.
OSStatus GetEventParameter(EventRef event, EventParamName name, EventParamType desiredType,
                           EventParamType* actualType, ByteCount bufferSize, ByteCount* actualSize,
                           void* outData);

// Dispatches a command: handlers of the key (or main) window, then of the
// application, then standard handling. Returns the status of the handler
// that took it, or eventNotHandledErr.
OSStatus ProcessHICommand(const HICommand* command);
// The same, starting at a given window's handlers.
OSStatus ProcessHICommandForWindow(WindowRef window, UInt32 commandID);

void RunApplicationEventLoop();
void QuitApplicationEventLoop();
EventLoopRef GetCurrentEventLoop();
EventLoopRef GetMainEventLoop();

// Timers fire from the event loop of the main thread. interval 0 = one shot
// (the timer stays installed until removed, as the platform's do).
OSStatus InstallEventLoopTimer(EventLoopRef loop, EventTimerInterval fireDelay,
                               EventTimerInterval interval, EventLoopTimerUPP proc, void* userData,
                               EventLoopTimerRef* outTimer);
OSStatus RemoveEventLoopTimer(EventLoopTimerRef timer);

struct EventRecord {
    UInt16 what;
    UInt32 message;
    UInt32 when;
    struct {
        SInt16 v, h;
    } where;
    UInt16 modifiers;
};
constexpr UInt16 nullEvent = 0;

// Processes pending events, then sleeps up to sleepTicks sixtieths of a
// second unless something is posted to the main thread first. Always
// reports a null event (false): all events go to their handlers.
Boolean WaitNextEvent(EventMask eventMask, EventRecord* theEvent, UInt32 sleepTicks,
                      void* mouseRgn);

OSErr GetCurrentProcess(ProcessSerialNumber* psn);
// Brings the application's windows to the front.
OSErr SetFrontProcess(const ProcessSerialNumber* psn);
// Ends the process at once (standard streams flushed).
[[noreturn]] void ExitToShell();

namespace plat {

// Creates the application object, makes SIGINT and SIGTERM act like the Quit
// command (a second signal, or ten seconds without the quit done, ends the
// process at once), and starts Open Documents delivery for the launch files
// (the arguments that are not options). Forwarded: another instance of this
// bundle took the files, the caller exits with 0.
LaunchRole InitApplication(int& argc, char** argv);

// The main bundle's icon (CFBundleIconFile) on every window, and its name as
// the application's: the copy's own, after the product's when renamed.
void UseBundleIdentity();

// Keeps Qt's known-harmless platform warnings off the terminal: a platform
// plug-in without raise() or size hints (offscreen), a missing
// XDG_RUNTIME_DIR that Qt replaces itself, a Wayland plug-in that is absent
// where Qt falls back to X11. Every other message goes to the handler that
// was installed before, unchanged. Call it before the application object is
// made (the platform plug-in speaks while it loads); later calls do nothing.
void QuietPlatformNoise();

} // namespace plat
