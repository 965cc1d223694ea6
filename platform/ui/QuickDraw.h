// The little of QuickDraw that drag tracking needs: rectangles, points,
// rectangular regions, a window's port and the current port, and the
// conversions between global (screen) and local (window) coordinates.
#pragma once

#include "platform/ui/Controls.h"

#include <QRect>

// Bottom and right are exclusive, as on the original platform.
struct Rect {
    SInt16 top;
    SInt16 left;
    SInt16 bottom;
    SInt16 right;
};

struct Point {
    SInt16 v;
    SInt16 h;
};

// A region is its bounding rectangle here: only rectangular regions are made.
struct OpaqueRgnHandle;
using RgnHandle = OpaqueRgnHandle*;

// A window's port: the window whose coordinates are "local".
struct OpaqueGrafPtr;
using GrafPtr = OpaqueGrafPtr*;
using CGrafPtr = GrafPtr;

using WindowRegionCode = UInt16;
constexpr WindowRegionCode kWindowStructureRgn = 32;
constexpr WindowRegionCode kWindowContentRgn = 33;

RgnHandle NewRgn();
void DisposeRgn(RgnHandle rgn);
void RectRgn(RgnHandle rgn, const Rect* r);
Rect* GetRegionBounds(RgnHandle rgn, Rect* bounds);
Boolean EmptyRgn(RgnHandle rgn);

void InsetRect(Rect* r, SInt16 dh, SInt16 dv);

// The port of a window lives as long as the window; null for no window.
CGrafPtr GetWindowPort(WindowRef window);
WindowRef GetWindowFromPort(CGrafPtr port);
// The current port of the main thread (null until one is set).
void GetPort(GrafPtr* port);
void SetPort(GrafPtr port);

// Structure (with the frame) or content bounds in global coordinates.
OSStatus GetWindowBounds(WindowRef window, WindowRegionCode regionCode, Rect* globalBounds);
// Between global coordinates and those of the current port's window; no
// change without a current port.
void GlobalToLocal(Point* pt);
void LocalToGlobal(Point* pt);

namespace plat {

QRect QRectFromRect(const Rect& r);
Rect RectFromQRect(const QRect& r);

} // namespace plat
