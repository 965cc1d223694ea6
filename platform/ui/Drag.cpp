#include "platform/ui/Drag.h"

#include <QByteArray>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPainter>
#include <QPointer>
#include <QUrl>
#include <QWidget>
#include <algorithm>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

namespace {

constexpr int kHiliteThickness = 2;
// Item reference numbers of drags made from mime data; deliberately not the
// item indexes, which callers must not confuse with them.
constexpr DragItemRef kFirstMimeItemRef = 0x1001;

struct Flavor {
    FlavorType type;
    FlavorFlags flags;
    QByteArray data;
    bool promised;
};

struct Item {
    DragItemRef ref = 0;
    std::vector<Flavor> flavors;
    // A local file whose `hfs ` flavor is made when first asked for.
    QString localPath;
    bool pendingFile = false;
};

// The frame over the window's content; it takes no mouse events, so the
// drag keeps going to the window beneath it.
class HiliteFrame : public QWidget {
public:
    explicit HiliteFrame(QWidget* parent) : QWidget(parent) {
        setObjectName(QStringLiteral("DragHilite"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QColor colour = palette().color(QPalette::Highlight);
        const int w = width(), h = height(), t = kHiliteThickness;
        p.fillRect(0, 0, w, t, colour);
        p.fillRect(0, h - t, w, t, colour);
        p.fillRect(0, t, t, h - 2 * t, colour);
        p.fillRect(w - t, t, t, h - 2 * t, colour);
    }
};

} // namespace

struct OpaqueDragRef {
    std::vector<Item> items;
    QPointer<HiliteFrame> hilite;

    OpaqueDragRef() = default;
    OpaqueDragRef(const OpaqueDragRef&) = delete;
    OpaqueDragRef& operator=(const OpaqueDragRef&) = delete;
    ~OpaqueDragRef() { delete hilite.data(); }
};

namespace {

Item* FindItem(DragRef drag, DragItemRef ref) {
    for (Item& item : drag->items)
        if (item.ref == ref) return &item;
    return nullptr;
}

// The `hfs ` flavor of a local file: the Finder's type, creator and flags
// (folders are 'fold'/'MACS'), then its FSSpec record. A path that
// names nothing gets no flavor.
void ResolveLocalFile(Item& item) {
    if (!item.pendingFile) return;
    item.pendingFile = false;
    const QByteArray utf8 = item.localPath.toUtf8();
    FSRef ref;
    Boolean isDirectory = false;
    if (FSPathMakeRef(utf8.constData(), &ref, &isDirectory) != noErr) return;
    HFSFlavor flavor{};
    FSCatalogInfo info;
    if (FSGetCatalogInfo(&ref, kFSCatInfoNodeFlags | kFSCatInfoFinderInfo, &info, nullptr,
                         &flavor.fileSpec, nullptr) != noErr)
        return;
    if (info.nodeFlags & kFSNodeIsDirectoryMask) {
        flavor.fileType = FourCC("fold");
        flavor.fileCreator = FourCC("MACS");
    } else {
        std::memcpy(&flavor.fileType, info.finderInfo, sizeof flavor.fileType);
        std::memcpy(&flavor.fileCreator, info.finderInfo + 4, sizeof flavor.fileCreator);
        std::memcpy(&flavor.fdFlags, info.finderInfo + 8, sizeof flavor.fdFlags);
    }
    const QByteArray bytes(reinterpret_cast<const char*>(&flavor), sizeof flavor);
    item.flavors.push_back(Flavor{kDragFlavorTypeHFS, 0, bytes, false});
}

OSErr FindFlavor(DragRef drag, DragItemRef itemRef, FlavorType type, const Flavor** out) {
    if (!drag) return badDragRefErr;
    Item* item = FindItem(drag, itemRef);
    if (!item) return badDragItemErr;
    if (type == kDragFlavorTypeHFS) ResolveLocalFile(*item);
    for (const Flavor& f : item->flavors) {
        if (f.type == type) {
            *out = &f;
            return noErr;
        }
    }
    return badDragFlavorErr;
}

// ---- Handlers on windows.

struct TrackingEntry {
    DragTrackingHandlerUPP proc;
    void* refCon;
};
struct ReceiveEntry {
    DragReceiveHandlerUPP proc;
    void* refCon;
};

class DragTarget;
std::map<QWidget*, DragTarget*>& Targets() {
    static auto* targets = new std::map<QWidget*, DragTarget*>;
    return *targets;
}

// Turns one window's Qt drag events into tracking messages and receive
// calls. A child of the window, so it goes with it.
class DragTarget : public QObject {
public:
    explicit DragTarget(QWidget* window)
        : QObject(window), m_window(window), m_priorAcceptDrops(window->acceptDrops()) {
        Targets()[window] = this;
        window->setAcceptDrops(true);
        window->installEventFilter(this);
    }
    ~DragTarget() override {
        forget();
        if (m_drag) DisposeDrag(m_drag);
    }

    // Ends drag handling on the window once it has no handler left.
    void releaseIfUnused() {
        if (!tracking.empty() || !receiving.empty()) return;
        forget(); // new handlers get a new target
        m_window->removeEventFilter(this);
        m_window->setAcceptDrops(m_priorAcceptDrops);
        if (m_busy)
            deleteLater(); // still inside one of its own events
        else
            delete this;
    }

    std::vector<TrackingEntry> tracking;
    std::vector<ReceiveEntry> receiving;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != m_window) return false;
        switch (event->type()) {
        case QEvent::DragEnter:
            guarded([&] { enter(static_cast<QDragEnterEvent*>(event)); });
            return true;
        case QEvent::DragMove:
            guarded([&] { move(static_cast<QDragMoveEvent*>(event)); });
            return true;
        case QEvent::DragLeave:
            guarded([&] { leave(); });
            event->accept();
            return true;
        case QEvent::Drop:
            guarded([&] { drop(static_cast<QDropEvent*>(event)); });
            return true;
        default:
            return false;
        }
    }

private:
    void forget() {
        auto& targets = Targets();
        if (auto it = targets.find(m_window); it != targets.end() && it->second == this)
            targets.erase(it);
    }

    template <class F> void guarded(F&& f) {
        const bool wasBusy = m_busy;
        m_busy = true;
        f();
        m_busy = wasBusy;
    }

    // Every tracking handler gets the message; the result is noErr when one
    // of them (or none is installed) says noErr.
    OSErr track(DragTrackingMessage message) {
        const auto handlers = tracking; // a handler may remove itself
        OSErr result = handlers.empty() ? OSErr(noErr) : OSErr(dragNotAcceptedErr);
        for (const TrackingEntry& h : handlers) {
            const OSErr err = h.proc(message, m_window, h.refCon, m_drag);
            if (err == noErr)
                result = noErr;
            else if (result != noErr)
                result = err;
        }
        return result;
    }

    // A new drag: the enter messages, and the leave messages at once when
    // it is refused.
    bool begin(const QMimeData* data) {
        if (m_drag) finish(); // the last one never left
        if (plat::NewDragFromMimeData(data, &m_drag) != noErr) return false;
        const bool accepted = track(kDragTrackingEnterHandler) == noErr;
        track(kDragTrackingEnterWindow);
        if (!accepted) finish();
        return accepted;
    }

    void finish() {
        if (!m_drag) return;
        track(kDragTrackingLeaveWindow);
        track(kDragTrackingLeaveHandler);
        DisposeDrag(std::exchange(m_drag, nullptr));
    }

    void enter(QDragEnterEvent* e) {
        if (begin(e->mimeData()))
            e->acceptProposedAction();
        else
            e->ignore();
    }

    void move(QDragMoveEvent* e) {
        if (!m_drag) {
            e->ignore();
            return;
        }
        track(kDragTrackingInWindow);
        e->acceptProposedAction();
    }

    void leave() { finish(); }

    void drop(QDropEvent* e) {
        // Qt delivers a drop only to the widget that accepted its enter.
        if (!m_drag) {
            e->setDropAction(Qt::IgnoreAction);
            e->ignore();
            return;
        }
        track(kDragTrackingLeaveWindow);
        bool accepted = false;
        const auto handlers = receiving;
        for (const ReceiveEntry& h : handlers) {
            if (h.proc(m_window, h.refCon, m_drag) == noErr) {
                accepted = true;
                break;
            }
        }
        track(kDragTrackingLeaveHandler);
        DisposeDrag(std::exchange(m_drag, nullptr));
        if (accepted) {
            e->acceptProposedAction();
        } else {
            e->setDropAction(Qt::IgnoreAction);
            e->ignore();
        }
    }

    QWidget* m_window;
    bool m_priorAcceptDrops;
    DragRef m_drag = nullptr;
    bool m_busy = false;
};

DragTarget* TargetOf(WindowRef window, bool create) {
    auto& targets = Targets();
    if (auto it = targets.find(window); it != targets.end()) return it->second;
    return create ? new DragTarget(window) : nullptr;
}

template <class Entry, class Proc>
OSErr Install(std::vector<Entry> DragTarget::*list, Proc proc, WindowRef window, void* refCon) {
    if (!proc || !window) return paramErr;
    DragTarget* target = TargetOf(window, true);
    auto& entries = target->*list;
    if (std::any_of(entries.begin(), entries.end(), [&](const Entry& e) { return e.proc == proc; }))
        return duplicateHandlerErr;
    entries.push_back(Entry{proc, refCon});
    return noErr;
}

template <class Entry, class Proc>
OSErr Remove(std::vector<Entry> DragTarget::*list, Proc proc, WindowRef window) {
    if (!proc || !window) return paramErr;
    DragTarget* target = TargetOf(window, false);
    if (!target) return handlerNotFoundErr;
    auto& entries = target->*list;
    const auto it = std::find_if(entries.begin(), entries.end(),
                                 [&](const Entry& e) { return e.proc == proc; });
    if (it == entries.end()) return handlerNotFoundErr;
    entries.erase(it);
    target->releaseIfUnused();
    return noErr;
}

} // namespace

OSErr InstallTrackingHandler(DragTrackingHandlerUPP trackingHandler, WindowRef theWindow,
                             void* handlerRefCon) {
    return Install(&DragTarget::tracking, trackingHandler, theWindow, handlerRefCon);
}

OSErr InstallReceiveHandler(DragReceiveHandlerUPP receiveHandler, WindowRef theWindow,
                            void* handlerRefCon) {
    return Install(&DragTarget::receiving, receiveHandler, theWindow, handlerRefCon);
}

OSErr RemoveTrackingHandler(DragTrackingHandlerUPP trackingHandler, WindowRef theWindow) {
    return Remove(&DragTarget::tracking, trackingHandler, theWindow);
}

OSErr RemoveReceiveHandler(DragReceiveHandlerUPP receiveHandler, WindowRef theWindow) {
    return Remove(&DragTarget::receiving, receiveHandler, theWindow);
}

OSErr NewDrag(DragRef* theDrag) {
    if (!theDrag) return paramErr;
    *theDrag = new OpaqueDragRef;
    return noErr;
}

OSErr DisposeDrag(DragRef theDrag) {
    if (!theDrag) return badDragRefErr;
    delete theDrag;
    return noErr;
}

OSErr AddDragItemFlavor(DragRef theDrag, DragItemRef theItemRef, FlavorType theType,
                        const void* dataPtr, Size dataSize, FlavorFlags theFlags) {
    if (!theDrag) return badDragRefErr;
    if (dataSize < 0) return paramErr;
    Item* item = FindItem(theDrag, theItemRef);
    if (!item) {
        theDrag->items.push_back(Item{});
        item = &theDrag->items.back();
        item->ref = theItemRef;
    }
    for (const Flavor& f : item->flavors)
        if (f.type == theType) return duplicateFlavorErr;
    Flavor flavor{theType, theFlags, {}, dataPtr == nullptr};
    if (dataPtr)
        flavor.data = QByteArray(static_cast<const char*>(dataPtr), qsizetype(dataSize));
    else
        flavor.flags |= flavorDataPromised;
    item->flavors.push_back(std::move(flavor));
    return noErr;
}

OSErr CountDragItems(DragRef theDrag, UInt16* numItems) {
    if (!theDrag) return badDragRefErr;
    if (!numItems) return paramErr;
    *numItems = UInt16(std::min<size_t>(theDrag->items.size(), 0xFFFF));
    return noErr;
}

OSErr GetDragItemReferenceNumber(DragRef theDrag, UInt16 index, DragItemRef* theItemRef) {
    if (!theDrag) return badDragRefErr;
    if (!theItemRef) return paramErr;
    if (index < 1 || index > theDrag->items.size()) return badDragItemErr;
    *theItemRef = theDrag->items[index - 1].ref;
    return noErr;
}

OSErr GetFlavorFlags(DragRef theDrag, DragItemRef theItemRef, FlavorType theType,
                     FlavorFlags* theFlags) {
    const Flavor* f = nullptr;
    if (OSErr err = FindFlavor(theDrag, theItemRef, theType, &f)) return err;
    if (theFlags) *theFlags = f->flags;
    return noErr;
}

OSErr GetFlavorDataSize(DragRef theDrag, DragItemRef theItemRef, FlavorType theType,
                        Size* dataSize) {
    const Flavor* f = nullptr;
    if (OSErr err = FindFlavor(theDrag, theItemRef, theType, &f)) return err;
    if (!dataSize) return paramErr;
    if (f->promised) return cantGetFlavorErr;
    *dataSize = Size(f->data.size());
    return noErr;
}

OSErr GetFlavorData(DragRef theDrag, DragItemRef theItemRef, FlavorType theType, void* dataPtr,
                    Size* dataSize, UInt32 dataOffset) {
    const Flavor* f = nullptr;
    if (OSErr err = FindFlavor(theDrag, theItemRef, theType, &f)) return err;
    if (!dataPtr || !dataSize || *dataSize < 0) return paramErr;
    if (f->promised) return cantGetFlavorErr;
    const Size total = Size(f->data.size());
    const Size n = dataOffset >= UInt32(total) ? 0 : std::min(*dataSize, total - Size(dataOffset));
    if (n > 0) std::memcpy(dataPtr, f->data.constData() + dataOffset, size_t(n));
    *dataSize = n;
    return noErr;
}

OSErr ShowDragHilite(DragRef theDrag, RgnHandle hiliteFrame, Boolean inside) {
    if (!theDrag) return badDragRefErr;
    GrafPtr port = nullptr;
    GetPort(&port);
    QWidget* window = GetWindowFromPort(port);
    if (!window || !hiliteFrame || EmptyRgn(hiliteFrame)) return paramErr;
    Rect bounds;
    GetRegionBounds(hiliteFrame, &bounds);
    QRect frame = plat::QRectFromRect(bounds);
    if (!inside)
        frame.adjust(-kHiliteThickness, -kHiliteThickness, kHiliteThickness, kHiliteThickness);
    if (theDrag->hilite && theDrag->hilite->parentWidget() != window) delete theDrag->hilite.data();
    if (!theDrag->hilite) theDrag->hilite = new HiliteFrame(window);
    theDrag->hilite->setGeometry(frame);
    theDrag->hilite->raise();
    theDrag->hilite->show();
    theDrag->hilite->update();
    return noErr;
}

OSErr HideDragHilite(DragRef theDrag) {
    if (!theDrag) return badDragRefErr;
    delete theDrag->hilite.data();
    return noErr;
}

namespace plat {

OSErr NewDragFromMimeData(const QMimeData* data, DragRef* theDrag) {
    if (!theDrag) return paramErr;
    auto* drag = new OpaqueDragRef;
    if (data && data->hasUrls()) {
        DragItemRef ref = kFirstMimeItemRef;
        for (const QUrl& url : data->urls()) {
            Item item;
            item.ref = ref++;
            if (url.isLocalFile()) {
                item.localPath = url.toLocalFile();
                item.pendingFile = !item.localPath.isEmpty();
            }
            drag->items.push_back(std::move(item));
        }
    } else if (data && !data->formats().isEmpty()) {
        Item item;
        item.ref = kFirstMimeItemRef;
        drag->items.push_back(std::move(item));
    }
    *theDrag = drag;
    return noErr;
}

std::optional<DragHilite> DragHiliteOf(DragRef theDrag) {
    if (!theDrag || !theDrag->hilite ||
        !theDrag->hilite->isVisibleTo(theDrag->hilite->parentWidget()))
        return std::nullopt;
    return DragHilite{theDrag->hilite->parentWidget(), theDrag->hilite->geometry()};
}

} // namespace plat
