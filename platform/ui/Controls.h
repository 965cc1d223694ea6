// Interface resources ("nib" folders of Qt Designer files), windows and
// controls. A nib "main" is Resources/main.nib/ with one <Entry>.ui per
// entry; controls carry the dynamic properties "signature" (four characters)
// and "controlID"; command sources (buttons, menu actions) carry "command".
#pragma once

#include "platform/MacTypes.h"

#include <QList>
#include <QString>

class QWidget;
class QMenuBar;
class QAction;


using WindowRef = QWidget*;
using ControlRef = QWidget*;
using MenuRef = QMenuBar*;
using MenuCommand = UInt32;

struct OpaqueIBNibRef;
using IBNibRef = OpaqueIBNibRef*;

struct ControlID {
    OSType signature;
    SInt32 id;
};
using HIViewID = ControlID;

enum : OSStatus {
    errUnknownControl = -30584,
    kIBCarbonRuntimeCantFindNibFile = -10960,
    kIBCarbonRuntimeObjectNotOfRequestedType = -10961,
    kIBCarbonRuntimeCantFindObject = -10962,
};

// Opens the nib of the main bundle (localised folders first, as resources are).
OSStatus CreateNibReference(const QString& nibName, IBNibRef* outNibRef);
void DisposeNibReference(IBNibRef nibRef);
// The entry must hold a QMainWindow whose menu bar becomes the application's.
OSStatus SetMenuBarFromNib(IBNibRef nibRef, const QString& name);
// A top-level window (QMainWindow, QWidget or QDialog) made from the entry;
// it lives until the process ends. The application's menu bar is attached to
// a QMainWindow that has none.
OSStatus CreateWindowFromNib(IBNibRef nibRef, const QString& name, WindowRef* outWindow);

void ShowWindow(WindowRef window);
void HideWindow(WindowRef window);
void SelectWindow(WindowRef window);
Boolean IsWindowVisible(WindowRef window);
OSStatus SetWindowTitleWithCFString(WindowRef window, const QString& title);


OSStatus GetControlByID(WindowRef window, const ControlID* id, ControlRef* outControl);
void ShowControl(ControlRef control);
void HideControl(ControlRef control);
OSStatus EnableControl(ControlRef control);
OSStatus DisableControl(ControlRef control);
Boolean IsControlVisible(ControlRef control);
Boolean IsControlEnabled(ControlRef control);
// Value of a progress bar, check box or slider; minimum and maximum of a
// progress bar or slider.
void SetControl32BitValue(ControlRef control, SInt32 value);
SInt32 GetControl32BitValue(ControlRef control);
void SetControl32BitMinimum(ControlRef control, SInt32 value);
SInt32 GetControl32BitMinimum(ControlRef control);
void SetControl32BitMaximum(ControlRef control, SInt32 value);
SInt32 GetControl32BitMaximum(ControlRef control);
// Paints the control now, even inside a long synchronous loop.
void Draw1Control(ControlRef control);

// Enables or disables every menu action of this command (menu may be null:
// the application's menu bar).
void EnableMenuCommand(MenuRef menu, MenuCommand command);
void DisableMenuCommand(MenuRef menu, MenuCommand command);

namespace plat {

// Text of a label, line edit, text edit, button or check box; paramErr for
// other widgets.
OSStatus GetControlText(ControlRef control, QString* text);
OSStatus SetControlText(ControlRef control, const QString& text);

// The window's title.
QString WindowTitle(WindowRef window);

// The menu actions (at any depth) of a command; menu null: the application's.
QList<QAction*> MenuCommandActions(MenuRef menu, MenuCommand command);

// The application's menu bar, once SetMenuBarFromNib ran.
MenuRef ApplicationMenuBar();

} // namespace plat
