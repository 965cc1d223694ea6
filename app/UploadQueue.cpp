// The queue pass: the items of the last Open Documents event, one at a time
// on the main thread; folders zipped or expanded into their files.
#include "app/UploadQueue.h"

#include "app/AppLog.h"
#include "app/ConnectionSettings.h"
#include "app/DropIntake.h"
#include "app/Shell.h"
#include "app/Transfers.h"
#include "engine/ZipArchive.h"
#include "platform/Alias.h"
#include "platform/AppleEventDelivery.h"
#include "platform/SystemLog.h"
#include "platform/ui/Dialogs.h"
#include "toolkit/CFile.h"
#include "toolkit/Utilities.h"

#include <QSet>
#include <deque>
#include <memory>
#include <new>
#include <optional>

AEDescList gDescList = {typeNull, nullptr};

namespace {

// Drops that arrive while a pass is scheduled or running wait here, in
// order, and each gets a pass of its own afterwards: no drop is lost and no
// running pass reads a replaced list.
std::deque<AEDescList> gWaitingLists;
// Drops on a copy without a server, in order, sent once the sheet sets one.
std::deque<AEDescList> gHeldDrops;
bool gPassPending = false;
// The quit-when-done timer while it runs; a new drop cancels it.
EventLoopTimerRef gPauseTimer = nullptr;
// The server names the current pass has used.
QSet<QByteArray> gPassNames; // native bytes
std::function<void()> gBetweenWalksObserver;
// The archive of a zipped folder while it is sent.
std::optional<FSRef> gArchiveInFlight;
// What the pass could not send, reported once at its end: the failure
// that ended it (every later file would have met it too) and the files
// that failed on their own.
std::optional<TransferOutcome> gPassEnder;
long gFilesNotSent = 0; // after the pass ended: this file and those left
QStringList gFileFailures;
QStringList gPartialFiles;
constexpr UInt16 kIsInvisible = 0x4000;

// A folder that changes between its counting and its collecting walk is
// walked again, a few times, so a folder that settles is sent whole; one
// that keeps changing is reported and skipped rather than sent half-read.
constexpr int kWalkAttempts = 3;

void CancelPendingQuit() {
    if (!gPauseTimer) return;
    RemoveEventLoopTimer(gPauseTimer);
    gPauseTimer = nullptr;
}

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

// Something the pass could not send: logged now, shown at the pass's end.
void ReportSkipped(const QString& text) {
    LogLine(text);
    gFileFailures << text;
}

bool IsInvisible(const FSRef* file) {
    FSCatalogInfo catalog;
    if (FSGetCatalogInfo(file, kFSCatInfoNodeFlags | kFSCatInfoFinderInfo, &catalog, nullptr,
                         nullptr, nullptr) != noErr ||
        (catalog.nodeFlags & kFSNodeIsDirectoryMask))
        return false;
    return UInt16(catalog.finderInfo[8] << 8 | catalog.finderInfo[9]) & kIsInvisible;
}

// Item i (from 1) of the drop as a file-system reference.
OSErr NthItem(long i, FSRef* item) {
    Size size = 0;
    DescType type = 0;
    AEKeyword keyword = 0;
    return AEGetNthPtr(&gDescList, i, typeFSRef, &keyword, &type, item, sizeof *item, &size);
}

// The files at any depth of folder (the counting walk); *status gets the
// walk's status.
SInt32 CountFolderFiles(const FSRef* folder, OSErr* status = nullptr) {
    gWhichFilter = 2;
    gNbrFilesToBeProcessed = 0;
    const OSErr err = WalkFolder(folder);
    if (status) *status = err;
    return gNbrFilesToBeProcessed;
}

bool PassOver() {
    return gQuitting || gStopping || gPassEnder.has_value();
}

// The files of the items after index in the drop (a folder counts its files
// when it is expanded, else as one archive).
long CountItemsAfter(long index, long count) {
    long files = 0;
    for (long i = index + 1; i <= count; ++i) {
        FSRef item;
        if (NthItem(i, &item) != noErr) continue;
        files += !CFile::IsADirectory(&item) || ZipFolders() ? 1 : CountFolderFiles(&item);
    }
    return files;
}

// The pass's report, once: the failure that ended it with the settings
// button, or the files that failed on their own.
void ReportPass() {
    // A long list is cut: the log keeps every line.
    constexpr qsizetype kShown = 15;
    QStringList lines = gFileFailures.mid(0, kShown);
    if (gFileFailures.size() > kShown)
        lines << plat::FillFormat(
            LocalizedString(QStringLiteral("\u2026and %d more (see the log).")),
            {QString::number(gFileFailures.size() - kShown)});
    lines << gPartialFiles;
    // A setting that could not be read at all was logged; Stop was the user's.
    if (gPassEnder && gPassEnder->kind != TransferOutcome::Kind::Stopped &&
        !gPassEnder->reason.isEmpty()) {
        const auto destination = CurrentDestination();
        lines.prepend(plat::FillFormat(LocalizedString(QStringLiteral("Files not sent: %d.")),
                                       {QString::number(gFilesNotSent)}));
        lines.prepend(plat::FillFormat(
            LocalizedString(QStringLiteral("Nothing could be sent to %@. %@")),
            {destination ? destination->Describe() : QString(), gPassEnder->Explanation()}));
        ReportErrorAlert(lines.join(QLatin1Char('\n')), true);
    } else if (!lines.isEmpty()) {
        ReportErrorAlert(lines.join(QLatin1Char('\n')));
    }
    gPassEnder.reset();
    gFileFailures.clear();
    gPartialFiles.clear();
    gFilesNotSent = 0;
}

// Names a dropped item that no longer resolves by the path its alias
// stored, or by its place in the drop when even that cannot be had.
void ReportMissingItem(long i, OSErr err) {
    std::optional<std::string> path;
    AEDesc desc;
    AEInitializeDesc(&desc);
    AEKeyword keyword = 0;
    if (AEGetNthDesc(&gDescList, i, typeWildCard, &keyword, &desc) == noErr &&
        desc.descriptorType == typeAlias) {
        QByteArray bytes(AEGetDescDataSize(&desc), Qt::Uninitialized);
        if (AEGetDescData(&desc, bytes.data(), bytes.size()) == noErr) path = FSAliasPath(bytes);
    }
    AEDisposeDesc(&desc);
    if (path)
        ReportSkipped(
            plat::FillFormat(LocalizedString(QStringLiteral("\u201C%@\u201D could not be found "
                                                            "(error %d) and was not sent.")),
                             {QString::fromUtf8(*path), QString::number(err)}));
    else
        ReportSkipped(plat::FillFormat(
            LocalizedString(QStringLiteral("Item %d of the drop could not be found (error %d).")),
            {QString::number(i), QString::number(err)}));
}

// "name 1.ext", "name 2.ext"...: the number goes before the extension.
QByteArray NumberedName(const QByteArray& name, int n) {
    const qsizetype dot = name.lastIndexOf('.');
    if (dot <= 0) return name + ' ' + QByteArray::number(n);
    return name.left(dot) + ' ' + QByteArray::number(n) + name.mid(dot);
}

// Uploads one file of the pass. Every file goes to the one server folder,
// so a name this pass has already sent gets a number: no file of a drop
// replaces another of the same drop.
void UploadOne(const FSRef* file) {
    if (IsInvisible(file)) return;
    const auto path = plat::PathBytesOfRef(*file);
    const QString shownName = FSGetName(file).value_or(QString());
    if (!path) {
        ReportSkipped(plat::FillFormat(
            LocalizedString(QStringLiteral("%@ was not sent: %@")),
            {shownName, LocalizedString(QStringLiteral("The upload could not be configured."))}));
        return;
    }
    // Names are compared and numbered as the file system's bytes, which
    // need not be UTF-8.
    const QByteArray name = QByteArray::fromStdString(path->substr(path->rfind('/') + 1));
    QByteArray remote = name;
    for (int n = 1; gPassNames.contains(remote); ++n)
        remote = NumberedName(name, n);
    gPassNames.insert(remote);
    if (remote != name)
        LogLine(
            plat::FillFormat(LocalizedString(QStringLiteral("%@ sent as %@ (this drop has another "
                                                            "file of that name)")),
                             {QString::fromUtf8(name), QString::fromUtf8(remote)}));
    const TransferOutcome outcome = UploadFile(file, remote == name ? QByteArray() : remote);
    if (outcome.sent()) return;
    if (outcome.partialOnServer()) {
        UInt64 size = 0;
        plat::DataForkSize(*file, &size);
        gPartialFiles << PartialFileText(QString::fromUtf8(remote), outcome.bytes, size);
    }
    if (outcome.endsPass()) {
        gPassEnder = outcome;
        gFilesNotSent = 1;
        return;
    }
    if (outcome.reason.isEmpty()) return; // a setting that could not be read: logged
    ReportSkipped(plat::FillFormat(LocalizedString(QStringLiteral("%@ was not sent: %@")),
                                   {shownName, outcome.Explanation()}));
}

// Counts the folder's files and collects them into files; false when the
// folder kept changing between the two walks (reported, nothing to send).
bool CollectFolder(const FSRef* folder, std::unique_ptr<FSRef[]>& files, SInt32& count,
                   OSErr& status) {
    for (int attempt = 0; attempt < kWalkAttempts; ++attempt) {
        count = CountFolderFiles(folder, &status);
        if (count <= 0) return true;

        files.reset(new (std::nothrow) FSRef[std::size_t(count)]);
        if (!files) {
            count = 0;
            return true;
        }
        if (gBetweenWalksObserver) gBetweenWalksObserver();
        gFSRefArray = files.get();
        gWhichFilter = 1;
        gNbrFilesProcessed = 0;
        status = WalkFolder(folder);
        gFSRefArray = nullptr;
        if (gNbrFilesProcessed == count || gQuitting) {
            if (attempt > 0) {
                const QString text = plat::FillFormat(
                    LocalizedString(QStringLiteral("The folder %@ changed while it was read; it "
                                                   "was read again.")),
                    {FSGetName(folder).value_or(QString())});
                LogLine(text);
                print_message(text, 1);
            }
            return true;
        }
    }
    const QString name = FSGetName(folder).value_or(QString());
    ReportSkipped(plat::FillFormat(
        LocalizedString(QStringLiteral("The folder %@ kept changing while it was read and was not "
                                       "sent. Drop it again once it is complete.")),
        {name}));
    count = 0;
    return false;
}

// Expands a folder into its files and uploads each; the walk's status.
OSErr ExpandFolder(const FSRef* folder, const QString& countFormat) {
    std::unique_ptr<FSRef[]> files;
    SInt32 count = 0;
    OSErr status = noErr;
    if (!CollectFolder(folder, files, count, status) || count <= 0) return status;

    SetControl32BitMaximum(gProgress, count - 1);
    SetControl32BitMinimum(gProgress, 0);
    ShowControl(gProgress);
    ShowControl(gSmallMessage);
    gNbrFilesProcessed = 0;
    for (SInt32 j = 0; j < count && !PassOver(); ++j) {
        if (auto name = FSGetName(&files[std::size_t(j)])) {
            print_message(LocalizedString(QStringLiteral("File: ")) + *name, 1);
            UploadOne(&files[std::size_t(j)]);
            ++gNbrFilesProcessed;
            if (gPassEnder) gFilesNotSent += count - j - 1;
        }
        print_message(
            plat::FillFormat(countFormat, {QString::number(j + 1), QString::number(count)}), 2);
        SetControl32BitValue(gProgress, j);
    }
    HideControl(gProgress);
    HideControl(gSmallMessage);
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
    // New work: quitting waits until it is done too.
    CancelPendingQuit();
    if (gPassPending) {
        gWaitingLists.push_back(list);
        return noErr;
    }
    AEDisposeDesc(&gDescList);
    gDescList = list;
    SchedulePass();
    return noErr;
}

namespace {

// A copy without a server asks for one instead of failing every file; the
// drop goes once the sheet is confirmed.
bool HoldForSettings() {
    const auto host = GetHost();
    if (!host || !host->trimmed().isEmpty()) return false;
    // This drop and those behind it all wait for the server; none replaces another.
    gHeldDrops.push_back(gDescList);
    gDescList = {typeNull, nullptr};
    gHeldDrops.insert(gHeldDrops.end(), gWaitingLists.begin(), gWaitingLists.end());
    gWaitingLists.clear();
    LogLine(LocalizedString(QStringLiteral("No server is set for this copy yet.")));
    HandlePreferencesCommand(LocalizedString(
        QStringLiteral("Enter the server this copy sends to. The files you dropped are sent when "
                       "you click OK.")));
    return true;
}

} // namespace

void SendHeldDrop() {
    if (gHeldDrops.empty()) return;
    const auto host = GetHost();
    if (!host || host->trimmed().isEmpty()) return;
    gWaitingLists.insert(gWaitingLists.end(), gHeldDrops.begin(), gHeldDrops.end());
    gHeldDrops.clear();
    if (gPassPending) return;
    AEDisposeDesc(&gDescList);
    gDescList = gWaitingLists.front();
    gWaitingLists.pop_front();
    SchedulePass();
}

namespace {

void PassBody();

} // namespace

void ProcessTimerProc(EventLoopTimerRef timer, void*) {
    RemoveEventLoopTimer(timer);
    if (HoldForSettings()) {
        gPassPending = false;
        return;
    }
    PassBody();
}

namespace {

void PassBody() {
    const QString countFormat = LocalizedString(QStringLiteral("(%d of %d)"));
    gStopping = false;
    gPassNames.clear();
    gPassEnder.reset();
    ShowBusyState();

    long count = 0;
    if (AECountItems(&gDescList, &count) == noErr) {
        for (long i = 1; i <= count && !PassOver(); ++i) {
            FSRef item;
            const OSErr err = NthItem(i, &item);
            gNbrFilesToBeProcessed = 0;
            gNbrFilesProcessed = 0;
            if (err != noErr) {
                // Gone since the drop (deleted, or its volume unmounted);
                // the other items are still sent.
                ReportMissingItem(i, err);
                continue;
            }
            if (!CFile::IsADirectory(&item)) {
                ShowWithName("File: ", &item);
                UploadOne(&item);
            } else if (ZipFolders()) {
                ShowWithName("Folder: ", &item);
                FSRef archive;
                ZipArchiveCaller caller;
                caller.starting = [](const QString& name) {
                    print_message(plat::FillFormat(
                                      LocalizedString(QStringLiteral("Zip archiving: %@")), {name}),
                                  1);
                };
                caller.whileWaiting = [] { YieldToEventLoop(1); };
                if (ZipArchive(&item, &archive, &caller)) {
                    gArchiveInFlight = archive;
                    UploadOne(&archive);
                    DiscardArchiveInFlight();
                } else {
                    gFileFailures << caller.failure;
                }
            } else if (ExpandFolder(&item, countFormat) != noErr) {
                break;
            }
            if (gPassEnder) gFilesNotSent += CountItemsAfter(i, count);
        }
    }

    ShowIdleState();
    ShowIdlePrompt();
    ReportPass();
    gPassPending = false;
    if (!gWaitingLists.empty() && !gQuitting) {
        AEDisposeDesc(&gDescList);
        gDescList = gWaitingLists.front();
        gWaitingLists.pop_front();
        SchedulePass();
        return;
    }
    if (QuitWhenDone()) {
        CancelPendingQuit();
        InstallEventLoopTimer(GetCurrentEventLoop(), 1.0, 0, NewEventLoopTimerUPP(PauseTimerProc),
                              nullptr, &gPauseTimer);
    }
}

} // namespace

void PauseTimerProc(EventLoopTimerRef timer, void*) {
    if (timer == gPauseTimer) gPauseTimer = nullptr;
    RemoveEventLoopTimer(timer);
    // The timer can fire inside a pass's own event processing; the pass
    // quits when it is over.
    if (UploadPassPending()) return;
    // The pass's report stays until the user has read it.
    if (AlertShowing()) {
        InstallEventLoopTimer(GetCurrentEventLoop(), 0.5, 0, NewEventLoopTimerUPP(PauseTimerProc),
                              nullptr, &gPauseTimer);
        return;
    }
    print_message(QStringLiteral("Bye."), 1);
    TransitionWindow(gWindow, kWindowFadeTransitionEffect, kWindowHideTransitionAction, nullptr);
    // Later launches start a copy of their own from here on; a drop already
    // taken (its event may still be queued) is sent before quitting.
    plat::StopAppleEventDelivery();
    WaitNextEvent(everyEvent, nullptr, 0, nullptr);
    if (UploadPassPending()) {
        plat::StartAppleEventDelivery(QByteArrayList{});
        ShowWindow(gWindow);
        return;
    }
    ExitToShell();
}

void DiscardArchiveInFlight() {
    if (gArchiveInFlight) DiscardArchive(&*gArchiveInFlight);
    gArchiveInFlight.reset();
}

bool UploadPassPending() {
    return gPassPending || !gWaitingLists.empty();
}

void SetBetweenWalksObserver(std::function<void()> observer) {
    gBetweenWalksObserver = std::move(observer);
}
