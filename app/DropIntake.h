// Work arrives as Open Documents events: from the icon, from a second launch,
// or re-sent to self by a window drop.
#pragma once

#include "platform/AppleEvents.h"
#include "platform/ui/Controls.h"

OSErr OpenDocsAppleEventHandler(const AppleEvent* event, AppleEvent* reply, SRefCon refcon);
OSStatus InitDragHandlers();
OSStatus InstallDragHandlers(WindowRef window);
