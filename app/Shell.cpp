#include "app/Shell.h"

#include "app/AppLog.h"
#include "app/ConnectionSettings.h"
#include "app/ControlText.h"
#include "app/DropIntake.h"
#include "app/Transfers.h"
#include "app/UploadQueue.h"
#include "app/WicketList.h"
#include "toolkit/Utilities.h"

WindowRef gWindow = nullptr;
ControlRef gMessage = nullptr;
ControlRef gSpin = nullptr;
ControlRef gEditButton = nullptr;
ControlRef gProgress = nullptr;
ControlRef gSmallMessage = nullptr;
ControlRef gStopButton = nullptr;
ControlRef gDirectoryListingButton = nullptr;
ControlRef gConsoleLogButton = nullptr;

std::atomic<bool> gStopping{false};
std::atomic<bool> gQuitting{false};

namespace {

constexpr OSType kControlSignature = FourCC("CNTL");

void FindControl(SInt32 id, ControlRef* global) {
    ControlID cid{kControlSignature, id};
    GetControlByID(gWindow, &cid, global);
}

} // namespace

OSStatus StartApplication() {
    IBNibRef nib = nullptr;
    OSStatus err = CreateNibReference(QStringLiteral("main"), &nib);
    if (err != noErr) return err;
    err = SetMenuBarFromNib(nib, QStringLiteral("MenuBar"));
    if (err == noErr) err = CreateWindowFromNib(nib, QStringLiteral("MainWindow"), &gWindow);
    if (err != noErr) {
        DisposeNibReference(nib);
        return err;
    }

    FindControl(1, &gMessage);
    FindControl(2, &gSpin);
    FindControl(4, &gEditButton);
    FindControl(5, &gProgress);
    FindControl(6, &gSmallMessage);
    FindControl(7, &gStopButton);
    FindControl(8, &gDirectoryListingButton);
    FindControl(9, &gConsoleLogButton);

    SetSettingsSheetOwner(gWindow, [] {
        StopLogging();
        if (auto title = GetFolderPath(false)) SetWindowTitleWithCFString(gWindow, *title);
        StartLogging();
        SendHeldDrop();
    });
    InitPreferences();
    ShowIdlePrompt();
    DisposeNibReference(nib);

    InitDragHandlers();
    InstallDragHandlers(gWindow);
    ShowWindow(gWindow);

    AEInstallEventHandler(kCoreEventClass, kAEOpenDocuments,
                          NewAEEventHandlerUPP(OpenDocsAppleEventHandler), nullptr, false);
    EnableMenuCommand(nullptr, kHICommandPreferences);

    const EventTypeSpec commands[] = {{kEventClassCommand, kEventCommandProcess}};
    InstallEventHandler(GetApplicationEventTarget(), NewEventHandlerUPP(ApplicationCommandHandler),
                        1, commands, nullptr, nullptr);

    if (auto title = GetFolderPath(false)) SetWindowTitleWithCFString(gWindow, *title);
    StartLogging();
    return noErr;
}

void RunApplication() {
    RunApplicationEventLoop();
    StopLogging();
}

int LoftwiseMain(int argc, char** argv) {
    if (plat::InitApplication(argc, argv) == plat::LaunchRole::Forwarded) return 0;
    if (OSStatus err = StartApplication(); err != noErr) return err;
    RunApplication();
    return 0;
}

OSStatus ApplicationCommandHandler(EventHandlerCallRef, EventRef event, void*) {
    HICommand command{};
    if (GetEventParameter(event, kEventParamDirectObject, typeHICommand, nullptr, sizeof command,
                          nullptr, &command) != noErr)
        return eventNotHandledErr;

    switch (command.commandID) {
    case FourCC("ClrP"):
        ClearWickets();
        return noErr;
    case FourCC("ShwP"):
        ShowWickets();
        return noErr;
    case FourCC("DLIS"):
        OpenConsole();
        LogDirectoryListing();
        return noErr;
    case FourCC("cLog"):
        OpenConsole();
        return noErr;
    case FourCC("not!"):
        gStopping = true;
        return noErr;
    case FourCC("pref"):
        HandlePreferencesCommand();
        return noErr;
    case FourCC("quit"):
        // Quit lets the file being sent finish; asked again while it is
        // still going (a slow or stalled server), the user chose not to wait.
        if (gQuitting && UploadPassPending()) {
            LogEntry("Quit again: the file being sent was stopped.", true);
            StopUploadInFlight();
            DiscardArchiveInFlight();
            ExitToShell();
        }
        if (UploadPassPending())
            print_message(QStringLiteral("Quitting after the current file. Choose Quit again to "
                                         "stop at once."),
                          1);
        // Not handled, so that the standard quit processing still runs.
        gQuitting = true;
        return eventNotHandledErr;
    default:
        return eventNotHandledErr;
    }
}

namespace {
std::function<void(int, const QString&)> gMessageObserver;
}

void SetMessageObserver(std::function<void(int where, const QString& text)> observer) {
    gMessageObserver = std::move(observer);
}

void ShowIdlePrompt() {
    print_message(QStringLiteral("Drop one or more files, folders or volumes on the application "
                                 "or this window to upload them."),
                  1);
}

void print_message(const QString& text, int where) {
    if (text.isNull()) return;
    // Looked up, not cached: most messages carry a file name or a count,
    // and a cache of every one would grow for as long as the program runs.
    const QString shown = CopyLocalizedString(text);
    if (gMessageObserver && (where == 1 || where == 2)) gMessageObserver(where, shown);
    if (where == 1)
        SetStaticTextAsCFString(gMessage, shown, true);
    else if (where == 2)
        SetStaticTextAsCFString(gSmallMessage, shown, true);
    EventRecord event;
    WaitNextEvent(0, &event, 0, nullptr);
}
