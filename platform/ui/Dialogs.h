// Standard alerts, the beep, sheets and the fade transition. Alerts go
// through a responder hook first, so tests and headless runs answer them
// without a person.
#pragma once

#include "platform/ui/Controls.h"

#include <QString>
#include <QStringList>
#include <functional>

using AlertType = SInt16;
constexpr AlertType kAlertStopAlert = 0;
constexpr AlertType kAlertNoteAlert = 1;
constexpr AlertType kAlertCautionAlert = 2;
constexpr AlertType kAlertPlainAlert = 3;

using DialogItemIndex = SInt16;
constexpr DialogItemIndex kAlertStdAlertOKButton = 1;
constexpr DialogItemIndex kAlertStdAlertCancelButton = 2;
constexpr DialogItemIndex kAlertStdAlertOtherButton = 3;

constexpr UInt32 kStdCFStringAlertVersionOne = 1;
constexpr UInt32 kWindowModalityAppModal = 2;
constexpr UInt32 kWindowModalityWindowModal = 3;

// Button texts: an empty string is no button; kAlertDefaultText asks for the
// platform's default caption.
extern const QString kAlertDefaultOKText;
extern const QString kAlertDefaultCancelText;

struct AlertStdCFStringAlertParamRec {
    UInt32 version = kStdCFStringAlertVersionOne;
    Boolean movable = true;
    Boolean helpButton = false;
    QString defaultText = kAlertDefaultOKText;
    QString cancelText;
    QString otherText;
    DialogItemIndex defaultButton = kAlertStdAlertOKButton;
    DialogItemIndex cancelButton = 0;
    UInt32 flags = 0;
};

OSStatus GetStandardAlertDefaultParams(AlertStdCFStringAlertParamRec* params, UInt32 version);

struct OpaqueDialogRef;
using DialogRef = OpaqueDialogRef*;
OSStatus CreateStandardAlert(AlertType type, const QString& error, const QString& explanation,
                             const AlertStdCFStringAlertParamRec* params, DialogRef* outAlert);
// Runs it modally and disposes of it; *outItemHit is the button chosen.
OSStatus RunStandardAlert(DialogRef alert, void* filterProc, DialogItemIndex* outItemHit);
// Shows it without blocking anything (the program's windows and menus stay
// usable) and disposes of it; done gets the button chosen, if any is.
OSStatus ShowStandardAlertModeless(DialogRef alert, std::function<void(DialogItemIndex)> done);

void SysBeep(short duration);
void NSBeep(); // a SysBeep of the usual length

// A sheet: the window shown window-modal on its parent.
OSStatus ShowSheetWindow(WindowRef sheet, WindowRef parentWindow);
OSStatus HideSheetWindow(WindowRef sheet);

using WindowTransitionEffect = UInt32;
using WindowTransitionAction = UInt32;
constexpr WindowTransitionEffect kWindowFadeTransitionEffect = 4;
constexpr WindowTransitionAction kWindowShowTransitionAction = 1;
constexpr WindowTransitionAction kWindowHideTransitionAction = 2;
// Runs the transition to its end (the window keeps processing events).
OSStatus TransitionWindow(WindowRef window, WindowTransitionEffect effect,
                          WindowTransitionAction action, const void* bounds);

namespace plat {

struct AlertRequest {
    AlertType type;
    QString message;
    QString explanation;
    QStringList buttons; // captions in item order: OK/default, cancel, other
};

// Answers alerts instead of a person: returns the item hit. Without a
// responder, alerts are shown (and answered with the default button, with a
// line on standard error, when Qt runs offscreen).
using AlertResponder = std::function<DialogItemIndex(const AlertRequest&)>;
void SetAlertResponder(AlertResponder responder);

// Called for each SysBeep (tests count beeps).
void SetBeepObserver(std::function<void(short)> observer);

} // namespace plat
