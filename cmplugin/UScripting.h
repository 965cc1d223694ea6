// Running an AppleScript through the default scripting component, which is
// opened on first use and kept for the life of the process.
#pragma once

#include "platform/Scripting.h"

// The component instance, null until the first RunScript.
extern ComponentInstance sComponent;
// Receives the component's name when it is opened; nothing reads it.
extern AEDesc componentName;

// Compiles and runs terminated Mac Roman script text; 0 when it compiled
// and ran, else the component's status.
OSAError RunScript(const char* script);
// Opens the AppleScript component once.
OSAError Initialize();
// Compiles the text into a new script, *scriptID (kOSANullScript on entry).
OSAError CompileScriptText(const char* text, OSAID* scriptID);
