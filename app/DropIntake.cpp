// Window drops re-sent to ourselves as Open Documents, and the folder walk
// that expands a dropped folder into its files.
#include "app/DropIntake.h"

#include "app/Shell.h"
#include "platform/Alias.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/QuickDraw.h"

#include <QByteArray>
#include <memory>
#include <new>

Boolean gHasAcceptableDrag = false;

UInt32 gWhichFilter = kWalkCount;
SInt32 gNbrFilesToBeProcessed = 0;
SInt32 gNbrFilesProcessed = 0;
FSRef* gFSRefArray = nullptr;

namespace {

DragTrackingHandlerUPP gTrackingUPP = nullptr;
DragReceiveHandlerUPP gReceiveUPP = nullptr;

constexpr SInt16 kHiliteInset = 2;

// The whole `hfs ` flavor of one item; a short one is cantGetFlavorErr.
OSErr ReadHFSFlavor(DragRef drag, DragItemRef item, HFSFlavor* flavor) {
    Size size = sizeof *flavor;
    if (OSErr err = GetFlavorData(drag, item, kDragFlavorTypeHFS, flavor, &size, 0)) return err;
    return size == Size(sizeof *flavor) ? OSErr(noErr) : OSErr(cantGetFlavorErr);
}

// Shows the highlight inside the window's content, inset by 2 pixels.
void ShowHilite(WindowRef window, DragRef drag) {
    GrafPtr savedPort = nullptr;
    GetPort(&savedPort);
    SetPort(GetWindowPort(window));
    Rect bounds;
    if (GetWindowBounds(window, kWindowContentRgn, &bounds) == noErr) {
        Point topLeft{bounds.top, bounds.left};
        Point bottomRight{bounds.bottom, bounds.right};
        GlobalToLocal(&topLeft);
        GlobalToLocal(&bottomRight);
        Rect local{topLeft.v, topLeft.h, bottomRight.v, bottomRight.h};
        InsetRect(&local, kHiliteInset, kHiliteInset);
        RgnHandle region = NewRgn();
        RectRgn(region, &local);
        ShowDragHilite(drag, region, true);
        DisposeRgn(region);
    }
    SetPort(savedPort);
}

} // namespace

OSStatus InitDragHandlers() {
    gTrackingUPP = NewDragTrackingHandlerUPP(DragTracker);
    gReceiveUPP = NewDragReceiveHandlerUPP(DragReceiver);
    return noErr;
}

OSStatus InstallDragHandlers(WindowRef window) {
    if (!gTrackingUPP || !gReceiveUPP) InitDragHandlers();
    OSStatus err = InstallTrackingHandler(gTrackingUPP, window, nullptr);
    if (err != noErr) return err;
    err = InstallReceiveHandler(gReceiveUPP, window, nullptr);
    if (err != noErr) RemoveTrackingHandler(gTrackingUPP, window);
    return err;
}

OSStatus RemoveDragHandlers(WindowRef window) {
    const OSStatus receiveErr = RemoveReceiveHandler(gReceiveUPP, window);
    const OSStatus trackingErr = RemoveTrackingHandler(gTrackingUPP, window);
    return receiveErr != noErr ? receiveErr : trackingErr;
}

OSErr DragTracker(DragTrackingMessage message, WindowRef window, void*, DragRef drag) {
    switch (message) {
    case kDragTrackingEnterHandler:
        gHasAcceptableDrag = DragItemsAreAcceptable(drag);
        return gHasAcceptableDrag ? OSErr(noErr) : OSErr(dragNotAcceptedErr);
    case kDragTrackingEnterWindow:
        if (gHasAcceptableDrag) ShowHilite(window, drag);
        return noErr;
    case kDragTrackingLeaveWindow:
        if (gHasAcceptableDrag) HideDragHilite(drag);
        return noErr;
    case kDragTrackingLeaveHandler:
        return noErr;
    default:
        return paramErr;
    }
}

Boolean DragItemsAreAcceptable(DragRef drag) {
    UInt16 count = 0;
    if (CountDragItems(drag, &count) != noErr) return false;
    for (UInt16 i = 1; i <= count; ++i) {
        DragItemRef item = 0;
        FlavorFlags flags = 0;
        HFSFlavor flavor;
        FSRef ref;
        if (GetDragItemReferenceNumber(drag, i, &item) == noErr &&
            GetFlavorFlags(drag, item, kDragFlavorTypeHFS, &flags) == noErr &&
            ReadHFSFlavor(drag, item, &flavor) == noErr &&
            FSpMakeFSRef(&flavor.fileSpec, &ref) == noErr)
            return true;
    }
    return false;
}

OSErr DragReceiver(WindowRef, void*, DragRef drag) {
    if (!DragItemsAreAcceptable(drag)) return dragNotAcceptedErr;
    UInt16 count = 0;
    if (OSErr err = CountDragItems(drag, &count)) return err;
    std::unique_ptr<FSSpec[]> specs(new (std::nothrow) FSSpec[count]);
    if (!specs) return memFullErr;

    UInt16 filled = 0;
    for (UInt16 i = 1; i <= count; ++i) {
        DragItemRef item = 0;
        FlavorFlags flags = 0;
        if (GetDragItemReferenceNumber(drag, i, &item) != noErr ||
            GetFlavorFlags(drag, item, kDragFlavorTypeHFS, &flags) != noErr)
            continue; // no file-system item: a URL, some text
        HFSFlavor flavor;
        Size size = sizeof flavor;
        if (OSErr err = GetFlavorData(drag, item, kDragFlavorTypeHFS, &flavor, &size, 0))
            return err;
        // A short flavor holds no whole FSSpec record.
        if (size != Size(sizeof flavor)) continue;
        specs[filled++] = flavor.fileSpec;
    }

    const OSErr err = SendOpenDocAppleEventToSelf(filled, specs.get());
    if (err != noErr) SysBeep(30);
    return err;
}

OSErr SendOpenDocAppleEventToSelf(UInt16 count, const FSSpec* specs) {
    if (count == 0 || !specs) return paramErr;

    const ProcessSerialNumber self{0, kCurrentProcess};
    AEAddressDesc target;
    AppleEvent event;
    AEDescList list;
    AEInitializeDesc(&target);
    AEInitializeDesc(&event);
    AEInitializeDesc(&list);

    OSErr err = AECreateDesc(typeProcessSerialNumber, &self, sizeof self, &target);
    if (err == noErr)
        err = AECreateAppleEvent(kCoreEventClass, kAEOpenDocuments, &target, kAutoGenerateReturnID,
                                 kAnyTransactionID, &event);
    if (err == noErr) err = AECreateList(nullptr, 0, false, &list);

    if (err == noErr) {
        // One alias record, made for the first item and updated for each
        // following one. An item that is gone, or whose alias cannot be made,
        // is left out; the others keep their order.
        QByteArray alias;
        bool haveAlias = false;
        long added = 0;
        OSErr firstItemErr = noErr;
        for (UInt16 i = 0; i < count && err == noErr; ++i) {
            FSRef ref;
            OSErr itemErr = FSpMakeFSRef(&specs[i], &ref);
            if (itemErr == noErr) {
                Boolean changed = false;
                itemErr = OSErr(haveAlias ? FSUpdateAlias(nullptr, &ref, &alias, &changed)
                                          : FSNewAlias(nullptr, &ref, &alias));
            }
            if (itemErr != noErr) {
                if (firstItemErr == noErr) firstItemErr = itemErr;
                continue;
            }
            haveAlias = true;
            err = AEPutPtr(&list, added + 1, typeAlias, alias.constData(), Size(alias.size()));
            if (err == noErr) ++added;
        }
        if (err == noErr && added == 0) err = firstItemErr;
    }

    if (err == noErr) err = AEPutParamDesc(&event, keyDirectObject, &list);
    if (err == noErr) {
        AppleEvent reply;
        err = AESend(&event, &reply, kAENoReply, kAENormalPriority, kAEDefaultTimeout, nullptr,
                     nullptr);
        AEDisposeDesc(&reply);
    }

    AEDisposeDesc(&list);
    AEDisposeDesc(&event);
    AEDisposeDesc(&target);
    return err;
}

Boolean MyIterateContainerFilter(Boolean, ItemCount, const FSCatalogInfo* catalogInfo,
                                 const FSRef* ref, const FSSpec*, const HFSUniStr255*,
                                 void* yourDataPtr) {
    const bool isFolder = !catalogInfo || (catalogInfo->nodeFlags & kFSNodeIsDirectoryMask);
    if (!isFolder) {
        const UInt32 mode = yourDataPtr ? *static_cast<const UInt32*>(yourDataPtr) : gWhichFilter;
        if (mode == kWalkCount) {
            ++gNbrFilesToBeProcessed;
        } else if (mode == kWalkCollect) {
            if (gFSRefArray && ref && gNbrFilesProcessed >= 0 &&
                gNbrFilesProcessed < gNbrFilesToBeProcessed)
                gFSRefArray[gNbrFilesProcessed] = *ref;
            ++gNbrFilesProcessed;
        }
    }
    return gQuitting;
}

OSErr WalkFolder(const FSRef* folder) {
    return FSIterateContainer(folder, 0, kFSCatInfoNodeFlags, false, false,
                              MyIterateContainerFilter, &gWhichFilter);
}
