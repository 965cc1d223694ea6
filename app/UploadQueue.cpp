// The queue pass: the items of the last Open Documents event, one at a time
// on the main thread; folders zipped or expanded into their files.
#include "app/UploadQueue.h"

#include "app/ConnectionSettings.h"
#include "app/DropIntake.h"
#include "app/Shell.h"
#include "engine/FTPUpload.h"
#include "engine/ZipArchive.h"
#include "platform/ui/Dialogs.h"
#include "toolkit/CFile.h"
#include "toolkit/Utilities.h"

#include <deque>
#include <memory>
#include <new>

AEDescList gDescList = {typeNull, nullptr};

namespace {

// Drops that arrive while a pass is scheduled or running wait here, in
// order, and each gets a pass of its own afterwards: no drop is lost and no
// running pass reads a replaced list.
std::deque<AEDescList> gWaitingLists;
bool gPassPending = false;

void SchedulePass() {
    gPassPending = true;
    EventLoopTimerRef timer = nullptr;
    InstallEventLoopTimer(GetCurrentEventLoop(), 0.001, 0, NewEventLoopTimerUPP(ProcessTimerProc),
                          nullptr, &timer);
}

void ShowBusyState() {
    ShowControl(gSpin);
    HideControl(gEditButton);
    HideControl(gDirectoryListingButton);
    HideControl(gConsoleLogButton);
    EnableControl(gStopButton);
    ShowControl(gStopButton);
}

void ShowIdleState() {
    HideControl(gSpin);
    ShowControl(gEditButton);
    ShowControl(gDirectoryListingButton);
    ShowControl(gConsoleLogButton);
    HideControl(gStopButton);
    DisableControl(gStopButton);
}

void ShowWithName(const char* prefix, const FSRef* ref) {
    if (auto name = FSGetName(ref))
        print_message(LocalizedString(QString::fromLatin1(prefix)) + *name, 1);
}

// Expands a folder into its files and uploads each; the walk's status.
OSErr ExpandFolder(const FSRef* folder, const QString& countFormat) {
    gWhichFilter = 2;
    OSErr status = WalkFolder(folder);
    const SInt32 count = gNbrFilesToBeProcessed;
    if (count <= 0) return status;

    std::unique_ptr<FSRef[]> files(new (std::nothrow) FSRef[std::size_t(count)]);
    if (!files) return status;
    gFSRefArray = files.get();
    gWhichFilter = 1;
    status = WalkFolder(folder);
    if (gNbrFilesProcessed != count) {
        // The folder changed between the two walks.
        gFSRefArray = nullptr;
        return status;
    }

    SetControl32BitMaximum(gProgress, count - 1);
    SetControl32BitMinimum(gProgress, 0);
    ShowControl(gProgress);
    ShowControl(gSmallMessage);
    gNbrFilesProcessed = 0;
    for (SInt32 j = 0; j < count && !gQuitting && !gStopping; ++j) {
        if (auto name = FSGetName(&files[std::size_t(j)])) {
            print_message(LocalizedString(QStringLiteral("File: ")) + *name, 1);
            FTPUpload(&files[std::size_t(j)]);
            ++gNbrFilesProcessed;
        }
        print_message(FillFormat(countFormat, {QString::number(j + 1), QString::number(count)}), 2);
        SetControl32BitValue(gProgress, j);
    }
    HideControl(gProgress);
    HideControl(gSmallMessage);
    gFSRefArray = nullptr;
    return status;
}

} // namespace

OSErr OpenDocsAppleEventHandler(const AppleEvent* event, AppleEvent*, SRefCon) {
    // A running pass still counts its files.
    if (!gPassPending) gNbrFilesProcessed = 0;
    ProcessSerialNumber self;
    GetCurrentProcess(&self);
    SetFrontProcess(&self);

    AEDescList list;
    AEInitializeDesc(&list);
    OSErr err = AEGetParamDesc(event, keyDirectObject, typeAEList, &list);
    if (err != noErr) return err;
    if (gPassPending) {
        gWaitingLists.push_back(list);
        return noErr;
    }
    AEDisposeDesc(&gDescList);
    gDescList = list;
    SchedulePass();
    return noErr;
}

void ProcessTimerProc(EventLoopTimerRef timer, void*) {
    RemoveEventLoopTimer(timer);
    const QString countFormat = LocalizedString(QStringLiteral("(%d of %d)"));
    gStopping = false;
    ShowBusyState();

    long count = 0;
    if (AECountItems(&gDescList, &count) == noErr) {
        for (long i = 1; i <= count && !gQuitting && !gStopping; ++i) {
            FSRef item;
            Size size = 0;
            DescType type = 0;
            AEKeyword keyword = 0;
            const OSErr err =
                AEGetNthPtr(&gDescList, i, typeFSRef, &keyword, &type, &item, sizeof item, &size);
            gNbrFilesToBeProcessed = 0;
            gNbrFilesProcessed = 0;
            if (err != noErr) break;
            if (!CFile::IsADirectory(&item)) {
                ShowWithName("File: ", &item);
                FTPUpload(&item);
            } else if (ZipFolders()) {
                ShowWithName("Folder: ", &item);
                FSRef archive;
                if (ZipArchive(&item, &archive)) FTPUpload(&archive);
            } else if (ExpandFolder(&item, countFormat) != noErr) {
                break;
            }
        }
    }

    ShowIdleState();
    ShowIdlePrompt();
    gPassPending = false;
    if (!gWaitingLists.empty() && !gQuitting) {
        AEDisposeDesc(&gDescList);
        gDescList = gWaitingLists.front();
        gWaitingLists.pop_front();
        SchedulePass();
        return;
    }
    if (QuitWhenDone()) {
        EventLoopTimerRef pause = nullptr;
        InstallEventLoopTimer(GetCurrentEventLoop(), 1.0, 0, NewEventLoopTimerUPP(PauseTimerProc),
                              nullptr, &pause);
    }
}

void PauseTimerProc(EventLoopTimerRef, void*) {
    print_message(QStringLiteral("Bye."), 1);
    TransitionWindow(gWindow, kWindowFadeTransitionEffect, kWindowHideTransitionAction, nullptr);
    ExitToShell();
}

bool UploadPassPending() {
    return gPassPending || !gWaitingLists.empty();
}
