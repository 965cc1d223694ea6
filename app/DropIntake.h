// Work arrives as Open Documents events: from the icon, from a second launch,
// or re-sent to self by a window drop. A dropped folder is expanded with the
// folder walk below.
#pragma once

#include "platform/AppleEvents.h"
#include "platform/FileIteration.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Drag.h"

OSErr OpenDocsAppleEventHandler(const AppleEvent* event, AppleEvent* reply, SRefCon refcon);

// ---- Window drops.

// Whether the drag now over the window carries a usable file-system item;
// set when it enters the window's handler.
extern Boolean gHasAcceptableDrag;

OSStatus InitDragHandlers();
// Tracking handler, then receive handler; the first failing status (the
// tracking handler is removed again when the receive handler fails), or noErr.
OSStatus InstallDragHandlers(WindowRef window);
OSStatus RemoveDragHandlers(WindowRef window);

OSErr DragTracker(DragTrackingMessage message, WindowRef window, void* refCon, DragRef drag);
OSErr DragReceiver(WindowRef window, void* refCon, DragRef drag);

// True when at least one item has a readable `hfs ` flavor that converts to
// an FSRef.
Boolean DragItemsAreAcceptable(DragRef drag);

// Sends Open Documents for the items to this application: paramErr for no
// items; an item whose alias cannot be made is left out, and when none is
// left the status of the first that failed is returned.
OSErr SendOpenDocAppleEventToSelf(UInt16 count, const FSSpec* specs);

// ---- The folder walk.

// Walk modes for gWhichFilter.
constexpr UInt32 kWalkCollect = 1;
constexpr UInt32 kWalkCount = 2;

extern UInt32 gWhichFilter;
// Files found by the counting walk.
extern SInt32 gNbrFilesToBeProcessed;
// Files seen by the collecting walk (later the queue pass's upload counter).
extern SInt32 gNbrFilesProcessed;
// gNbrFilesToBeProcessed references, filled in walk order by the collecting
// walk; allocated and released by the queue pass.
extern FSRef* gFSRefArray;

// Counts (mode 2) or collects (mode 1) every item that is not a folder;
// yourDataPtr points at the mode. Returns gQuitting, so Quit stops a walk at
// the next item.
Boolean MyIterateContainerFilter(Boolean containerChanged, ItemCount currentLevel,
                                 const FSCatalogInfo* catalogInfo, const FSRef* ref,
                                 const FSSpec* spec, const HFSUniStr255* name, void* yourDataPtr);

// Walks every level below folder with MyIterateContainerFilter in the mode
// of gWhichFilter; the walk's status.
OSErr WalkFolder(const FSRef* folder);
