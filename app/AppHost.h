// The window's side of the droplet's transfers: messages, waiting with the
// window alive, and alerts.
#pragma once

#include "platform/MacTypes.h"

#include <QString>

// Shows the localised form of text on the main line (where = 1) or the
// secondary line (where = 2), then lets the window redraw at once.
void print_message(const QString& text, int where);
// Lets the window redraw and commands arrive for up to ticks sixtieths of a
// second; returns early when a worker wakes the main thread.
void YieldToEventLoop(UInt32 ticks);
// Beeps and shows a modal stop alert with a default OK button and, when
// otherButton is given, a second button; true when that one was chosen.
bool ShowStopAlert(const QString& message, const QString& informativeText,
                   const QString& otherButton = {});
