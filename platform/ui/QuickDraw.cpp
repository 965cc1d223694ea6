#include "platform/ui/QuickDraw.h"

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <algorithm>
#include <limits>
#include <map>
#include <memory>

struct OpaqueRgnHandle {
    QRect bounds;
};

struct OpaqueGrafPtr {
    QPointer<QWidget> window;
};

namespace {

// One port per window, dropped when the window goes.
std::map<QWidget*, std::unique_ptr<OpaqueGrafPtr>>& Ports() {
    static auto* ports = new std::map<QWidget*, std::unique_ptr<OpaqueGrafPtr>>;
    return *ports;
}

GrafPtr gCurrentPort = nullptr;

SInt16 Clamp16(int v) {
    return SInt16(
        std::clamp<int>(v, std::numeric_limits<SInt16>::min(), std::numeric_limits<SInt16>::max()));
}

QWidget* CurrentWindow() {
    return gCurrentPort ? gCurrentPort->window.data() : nullptr;
}

} // namespace

RgnHandle NewRgn() {
    return new OpaqueRgnHandle;
}

void DisposeRgn(RgnHandle rgn) {
    delete rgn;
}

void RectRgn(RgnHandle rgn, const Rect* r) {
    if (!rgn || !r) return;
    rgn->bounds = r->right > r->left && r->bottom > r->top ? plat::QRectFromRect(*r) : QRect();
}

Rect* GetRegionBounds(RgnHandle rgn, Rect* bounds) {
    if (!bounds) return nullptr;
    *bounds = rgn && !rgn->bounds.isEmpty() ? plat::RectFromQRect(rgn->bounds) : Rect{0, 0, 0, 0};
    return bounds;
}

Boolean EmptyRgn(RgnHandle rgn) {
    return !rgn || rgn->bounds.isEmpty();
}

void InsetRect(Rect* r, SInt16 dh, SInt16 dv) {
    if (!r) return;
    r->left = Clamp16(r->left + dh);
    r->right = Clamp16(r->right - dh);
    r->top = Clamp16(r->top + dv);
    r->bottom = Clamp16(r->bottom - dv);
    // An inset past the middle leaves an empty rectangle, not an inverted one.
    if (r->right <= r->left || r->bottom <= r->top) *r = Rect{0, 0, 0, 0};
}

CGrafPtr GetWindowPort(WindowRef window) {
    if (!window) return nullptr;
    auto& ports = Ports();
    auto& port = ports[window];
    if (!port) {
        port = std::make_unique<OpaqueGrafPtr>();
        port->window = window;
        QObject::connect(window, &QObject::destroyed, [window] {
            auto& all = Ports();
            if (auto it = all.find(window); it != all.end()) {
                if (gCurrentPort == it->second.get()) gCurrentPort = nullptr;
                all.erase(it);
            }
        });
    }
    return port.get();
}

WindowRef GetWindowFromPort(CGrafPtr port) {
    return port ? port->window.data() : nullptr;
}

void GetPort(GrafPtr* port) {
    if (port) *port = gCurrentPort;
}

void SetPort(GrafPtr port) {
    gCurrentPort = port;
}

OSStatus GetWindowBounds(WindowRef window, WindowRegionCode regionCode, Rect* globalBounds) {
    if (!window || !globalBounds) return paramErr;
    QRect r;
    switch (regionCode) {
    case kWindowContentRgn:
        r = QRect(window->mapToGlobal(QPoint(0, 0)), window->size());
        break;
    case kWindowStructureRgn:
        r = window->frameGeometry();
        break;
    default:
        return paramErr;
    }
    *globalBounds = plat::RectFromQRect(r);
    return noErr;
}

void GlobalToLocal(Point* pt) {
    QWidget* w = CurrentWindow();
    if (!pt || !w) return;
    const QPoint local = w->mapFromGlobal(QPoint(pt->h, pt->v));
    *pt = Point{Clamp16(local.y()), Clamp16(local.x())};
}

void LocalToGlobal(Point* pt) {
    QWidget* w = CurrentWindow();
    if (!pt || !w) return;
    const QPoint global = w->mapToGlobal(QPoint(pt->h, pt->v));
    *pt = Point{Clamp16(global.y()), Clamp16(global.x())};
}

namespace plat {

QRect QRectFromRect(const Rect& r) {
    return QRect(QPoint(r.left, r.top), QSize(r.right - r.left, r.bottom - r.top));
}

Rect RectFromQRect(const QRect& r) {
    return Rect{Clamp16(r.top()), Clamp16(r.left()), Clamp16(r.top() + r.height()),
                Clamp16(r.left() + r.width())};
}

} // namespace plat
