// The window's side of the droplet's transfers.
#include "app/AppHost.h"

#include "platform/ui/Dialogs.h"
#include "platform/ui/Events.h"

void YieldToEventLoop(UInt32 ticks) {
    EventRecord event;
    WaitNextEvent(0, &event, ticks, nullptr);
}

bool ShowStopAlert(const QString& message, const QString& informativeText,
                   const QString& otherButton) {
    SysBeep(30);
    AlertStdCFStringAlertParamRec params;
    GetStandardAlertDefaultParams(&params, kStdCFStringAlertVersionOne);
    params.otherText = otherButton;
    DialogRef alert = nullptr;
    if (CreateStandardAlert(kAlertStopAlert, message, informativeText, &params, &alert) != noErr)
        return false;
    DialogItemIndex hit = 0;
    RunStandardAlert(alert, nullptr, &hit);
    // Without a cancel button the other one is the second.
    return !otherButton.isEmpty() && hit == 2;
}
