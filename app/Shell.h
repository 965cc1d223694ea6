// The droplet's start-up, event loop, command dispatch and status display.
#pragma once

#include "app/AppHost.h"
#include "platform/ui/Events.h"

#include <QString>
#include <atomic>
#include <functional>

// The main window and its controls (signature 'CNTL'); a control whose
// lookup failed stays null.
extern WindowRef gWindow;
extern ControlRef gMessage;                // 1: main status line
extern ControlRef gSpin;                   // 2: busy indicator
extern ControlRef gEditButton;             // 4: opens the settings sheet ('pref')
extern ControlRef gProgress;               // 5: progress through one folder
extern ControlRef gSmallMessage;           // 6: secondary line, "(%d of %d)"
extern ControlRef gStopButton;             // 7: Stop ('not!')
extern ControlRef gDirectoryListingButton; // 8: remote listing ('DLIS')
extern ControlRef gConsoleLogButton;       // 9: activity log ('cLog')

// Set by Stop, cleared at the start of every queue pass.
extern std::atomic<bool> gStopping;
// Set by Quit and never cleared: passes and folder walks end at their next check.
extern std::atomic<bool> gQuitting;

// The whole program: 0 after a normal quit, or the status of the first
// interface-loading step that failed.
int LoftwiseMain(int argc, char** argv);

// Loads the interface and installs every handler (start-up steps 1 to 13);
// noErr or the status of the interface-loading step that failed.
OSStatus StartApplication();
// Runs the event loop until quit, then stops the activity log.
void RunApplication();

OSStatus ApplicationCommandHandler(EventHandlerCallRef handler, EventRef event, void* userData);

// Shows the prompt of an idle window (drop files here) on the main line.
void ShowIdlePrompt();

// Sees every text print_message shows (tests follow the window with it).
void SetMessageObserver(std::function<void(int where, const QString& text)> observer);
