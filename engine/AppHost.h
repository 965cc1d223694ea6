// What the droplet gives its copy of the engine from the user-interface side,
// so the engine itself links no Qt Widgets.
#pragma once

#include "platform/MacTypes.h"

#include <QString>

// Shows the localised form of text on the main line (where = 1) or the
// secondary line (where = 2), then lets the window redraw at once.
void print_message(const QString& text, int where);
// Lets the window redraw and commands arrive for up to ticks sixtieths of a
// second; returns early when a worker wakes the main thread.
void YieldToEventLoop(UInt32 ticks);
// Beeps and shows a modal stop alert with a single default OK button.
void ShowStopAlert(const QString& message, const QString& informativeText);
