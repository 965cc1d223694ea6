#include "app/ControlText.h"

std::optional<QString> GetEditTextAsCFString(ControlRef control) {
    QString text;
    if (!control || plat::GetControlText(control, &text) != noErr) return std::nullopt;
    return text;
}

OSStatus SetEditTextAsCFString(ControlRef control, const QString& text, Boolean redraw) {
    if (!control) return paramErr;
    OSStatus err = plat::SetControlText(control, text);
    if (err == noErr && redraw) Draw1Control(control);
    return err;
}

OSStatus SetStaticTextAsCFString(ControlRef control, const QString& text, Boolean redraw) {
    if (!control || text.isNull()) return paramErr;
    OSStatus err = plat::SetControlText(control, text);
    if (err == noErr && redraw) Draw1Control(control);
    return err;
}
