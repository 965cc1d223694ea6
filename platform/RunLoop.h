// Per-thread run loops on which streams deliver their events.
//
// Each thread gets its run loop on first use. CFRunLoopRun sleeps in poll(2)
// on what the scheduled streams wait for (sockets, timers) and delivers
// their events, until CFRunLoopStop is called for the loop or no stream is
// scheduled on it any more. Modes are accepted and not told apart.
#pragma once

#include "platform/CFBase.h"

#include <QString>

class CFRunLoop;
using CFRunLoopRef = CFRunLoop*;

extern const QString kCFRunLoopCommonModes;
extern const QString kCFRunLoopDefaultMode;

// This thread's run loop; it belongs to the thread (do not release it).
CFRunLoopRef CFRunLoopGetCurrent();

// Runs this thread's loop until it is stopped or has nothing scheduled.
void CFRunLoopRun();

// Makes the loop's current CFRunLoopRun return after the event being
// delivered; safe from any thread (it wakes the loop). No effect on a loop
// that is not running.
void CFRunLoopStop(CFRunLoopRef loop);

// CFRunLoopGetTypeID() == kCFTypeIDRunLoop.
CFTypeID CFRunLoopGetTypeID();
