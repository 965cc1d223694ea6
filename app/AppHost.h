// The window's side of the droplet's transfers: messages, waiting with the
// window alive, and alerts.
#pragma once

#include "platform/MacTypes.h"

#include <QString>
#include <functional>

// Shows the localised form of text on the main line (where = 1) or the
// secondary line (where = 2), then lets the window redraw at once.
void print_message(const QString& text, int where);
// Lets the window redraw and commands arrive for up to ticks sixtieths of a
// second; returns early when a worker wakes the main thread.
void YieldToEventLoop(UInt32 ticks);
// Beeps and shows a modal stop alert with a single default OK button.
void ShowStopAlert(const QString& message, const QString& informativeText);
// Beeps and shows a stop alert that blocks nothing (Stop and Quit still
// work while it is up), with OK and, when otherButton is given, a second
// button that runs onOther.
void ShowStopAlertModeless(const QString& message, const QString& informativeText,
                           const QString& otherButton, std::function<void()> onOther);
// A modeless alert is on screen.
bool AlertShowing();
