// The user-interface side the droplet gives its engine.
#include "engine/AppHost.h"

#include "platform/ui/Dialogs.h"
#include "platform/ui/Events.h"

void YieldToEventLoop(UInt32 ticks) {
    EventRecord event;
    WaitNextEvent(0, &event, ticks, nullptr);
}

void ShowStopAlert(const QString& message, const QString& informativeText) {
    SysBeep(30);
    AlertStdCFStringAlertParamRec params;
    GetStandardAlertDefaultParams(&params, kStdCFStringAlertVersionOne);
    DialogRef alert = nullptr;
    if (CreateStandardAlert(kAlertStopAlert, message, informativeText, &params, &alert) != noErr)
        return;
    DialogItemIndex hit = 0;
    RunStandardAlert(alert, nullptr, &hit);
}
