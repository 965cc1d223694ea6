// The window's side of the droplet's transfers.
#include "app/AppHost.h"

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

namespace {
int gAlertsShowing = 0;
}

void ShowStopAlertModeless(const QString& message, const QString& informativeText,
                           const QString& otherButton, std::function<void()> onOther) {
    SysBeep(30);
    AlertStdCFStringAlertParamRec params;
    GetStandardAlertDefaultParams(&params, kStdCFStringAlertVersionOne);
    params.otherText = otherButton;
    DialogRef alert = nullptr;
    if (CreateStandardAlert(kAlertStopAlert, message, informativeText, &params, &alert) != noErr)
        return;
    ++gAlertsShowing;
    ShowStandardAlertModeless(alert, [onOther = std::move(onOther)](DialogItemIndex hit) {
        --gAlertsShowing;
        // Without a cancel button the other one is the second.
        if (hit == 2 && onOther) onOther();
    });
}

bool AlertShowing() {
    return gAlertsShowing > 0;
}
