// The Drag Manager over Qt drag and drop: tracking and receive handlers on a
// window, drag items and their flavors, and the drag highlight.
//
// A window with handlers gets its Qt drag events turned into tracking
// messages: drag enter -> enter handler, enter window; drag move -> in
// window; drag leave -> leave window, leave handler; drop -> leave window,
// the receive handlers, leave handler. The enter-handler results decide
// whether Qt is told the drag is accepted, the receive handlers' whether the
// drop is. A drag that is refused on entry gets its leave messages at once
// (Qt reports nothing more about it).
//
// Items come from the drag's `text/uri-list`, one per URL, in order; a local
// file or folder that exists carries the `hfs ` flavor (HFSFlavor: file type,
// creator, Finder flags, FSSpec record). Other URLs, and a drag of only
// text or other data (one item), carry no `hfs ` flavor.
#pragma once

#include "platform/Files.h"
#include "platform/ui/QuickDraw.h"

#include <QRect>
#include <optional>

class QMimeData;

struct OpaqueDragRef;
using DragRef = OpaqueDragRef*;
using DragItemRef = UInt32;
using FlavorType = OSType;
using FlavorFlags = UInt32;
using DragTrackingMessage = SInt16;

constexpr FlavorType kDragFlavorTypeHFS = FourCC("hfs ");
constexpr FlavorType flavorTypeHFS = kDragFlavorTypeHFS;

constexpr FlavorFlags flavorSenderOnly = 0x00000001;
constexpr FlavorFlags flavorSenderTranslated = 0x00000002;
constexpr FlavorFlags flavorNotSaved = 0x00000004;
constexpr FlavorFlags flavorSystemTranslated = 0x00000100;
constexpr FlavorFlags flavorDataPromised = 0x00000200;

enum : DragTrackingMessage {
    kDragTrackingEnterHandler = 1,
    kDragTrackingEnterWindow = 2,
    kDragTrackingInWindow = 3,
    kDragTrackingLeaveWindow = 4,
    kDragTrackingLeaveHandler = 5,
};

enum : OSStatus {
    badDragRefErr = -1850,
    badDragItemErr = -1851,
    badDragFlavorErr = -1852,
    duplicateFlavorErr = -1853,
    cantGetFlavorErr = -1854,
    duplicateHandlerErr = -1855,
    handlerNotFoundErr = -1856,
};

// The `hfs ` flavor's 80 bytes.
#pragma pack(push, 2)
struct HFSFlavor {
    OSType fileType;
    OSType fileCreator;
    UInt16 fdFlags;
    FSSpec fileSpec;
};
#pragma pack(pop)
static_assert(sizeof(HFSFlavor) == 80);

using DragTrackingHandlerProcPtr = OSErr (*)(DragTrackingMessage message, WindowRef theWindow,
                                             void* handlerRefCon, DragRef theDrag);
using DragReceiveHandlerProcPtr = OSErr (*)(WindowRef theWindow, void* handlerRefCon,
                                            DragRef theDrag);
using DragTrackingHandlerUPP = DragTrackingHandlerProcPtr;
using DragReceiveHandlerUPP = DragReceiveHandlerProcPtr;
inline DragTrackingHandlerUPP NewDragTrackingHandlerUPP(DragTrackingHandlerProcPtr p) {
    return p;
}
inline DragReceiveHandlerUPP NewDragReceiveHandlerUPP(DragReceiveHandlerProcPtr p) {
    return p;
}
inline void DisposeDragTrackingHandlerUPP(DragTrackingHandlerUPP) {}
inline void DisposeDragReceiveHandlerUPP(DragReceiveHandlerUPP) {}

// Handlers are called in the order they were installed; the same handler
// twice on a window is duplicateHandlerErr, removing one that is not there
// handlerNotFoundErr. A window is needed (paramErr without one).
OSErr InstallTrackingHandler(DragTrackingHandlerUPP trackingHandler, WindowRef theWindow,
                             void* handlerRefCon);
OSErr InstallReceiveHandler(DragReceiveHandlerUPP receiveHandler, WindowRef theWindow,
                            void* handlerRefCon);
OSErr RemoveTrackingHandler(DragTrackingHandlerUPP trackingHandler, WindowRef theWindow);
OSErr RemoveReceiveHandler(DragReceiveHandlerUPP receiveHandler, WindowRef theWindow);

// A drag built by its sender: items are made by adding their first flavor.
// A flavor added without data is promised; reading it fails with
// cantGetFlavorErr (no send procedures here).
OSErr NewDrag(DragRef* theDrag);
OSErr DisposeDrag(DragRef theDrag);
OSErr AddDragItemFlavor(DragRef theDrag, DragItemRef theItemRef, FlavorType theType,
                        const void* dataPtr, Size dataSize, FlavorFlags theFlags);

OSErr CountDragItems(DragRef theDrag, UInt16* numItems);
// index counts from 1.
OSErr GetDragItemReferenceNumber(DragRef theDrag, UInt16 index, DragItemRef* theItemRef);
// badDragItemErr for an unknown item, badDragFlavorErr for a flavor the item
// does not have.
OSErr GetFlavorFlags(DragRef theDrag, DragItemRef theItemRef, FlavorType theType,
                     FlavorFlags* theFlags);
OSErr GetFlavorDataSize(DragRef theDrag, DragItemRef theItemRef, FlavorType theType,
                        Size* dataSize);
// Copies at most *dataSize bytes from dataOffset on; *dataSize becomes the
// number copied.
OSErr GetFlavorData(DragRef theDrag, DragItemRef theItemRef, FlavorType theType, void* dataPtr,
                    Size* dataSize, UInt32 dataOffset);

// The highlight: a 2-pixel frame in the highlight colour, drawn in the
// current port's window inside (or around) the region's bounds, on top of
// the window's content, until HideDragHilite or the end of the drag.
OSErr ShowDragHilite(DragRef theDrag, RgnHandle hiliteFrame, Boolean inside);
OSErr HideDragHilite(DragRef theDrag);

namespace plat {

// A drag of what the mime data holds (see above), as the window's drag
// events make it. The caller disposes of it with DisposeDrag.
OSErr NewDragFromMimeData(const QMimeData* data, DragRef* theDrag);

// Where the drag's highlight is drawn (the frame's outer bounds, in its
// window's coordinates), and in which window; nullopt when none is shown.
struct DragHilite {
    WindowRef window;
    QRect frame;
};
std::optional<DragHilite> DragHiliteOf(DragRef theDrag);

} // namespace plat
