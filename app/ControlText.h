// Text of edit-text and static-text controls as platform strings.
#pragma once

#include "platform/ui/Controls.h"

#include <QString>
#include <optional>

// A copy of the control's text; none for a null control.
std::optional<QString> GetEditTextAsCFString(ControlRef control);
// Sets the text and, when asked and the set succeeded, redraws the control.
// paramErr for a null control (and, for static text, a null string).
OSStatus SetEditTextAsCFString(ControlRef control, const QString& text, Boolean redraw);
OSStatus SetStaticTextAsCFString(ControlRef control, const QString& text, Boolean redraw);
