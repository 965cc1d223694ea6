// The queue pass over the items of the last Open Documents event.
#pragma once

#include "platform/AppleEvents.h"
#include "platform/ui/Events.h"

#include <functional>

// The pending work list: the direct parameter of the last Open Documents
// event, exactly as it came.
extern AEDescList gDescList;

// The pass: the action of the one-shot timer installed for each drop.
void ProcessTimerProc(EventLoopTimerRef timer, void* userData);
// Ends the application a second after a pass when "QuitWhenDone" is on.
void PauseTimerProc(EventLoopTimerRef timer, void* userData);
// A pass is scheduled, running, or waiting behind another.
bool UploadPassPending();
// Sends the drop held for want of a server once the settings name one.
void SendHeldDrop();
// Removes the archive of the zipped folder being sent: when its upload has
// ended, or for a quit that does not wait for it.
void DiscardArchiveInFlight();
// Called between the counting and the collecting walk of a dropped folder
// (tests change the folder there).
void SetBetweenWalksObserver(std::function<void()> observer);
