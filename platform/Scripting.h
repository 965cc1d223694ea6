// The scripting component: compiles and runs the few AppleScript statements
// this system sends. Understood, one per line (CR or LF), blanks around them
// ignored:
//   tell application "System Preferences"   the settings host
//   activate                                bring it to the front
//   set current pane to pane "ID"           show that pane
//   end tell
// "System Preferences" is the settings host loftwise-settings, found next to
// the running program, else on PATH; running the script starts it (detached,
// "--pane ID" when a pane was named); it keeps one instance, so a running one
// comes to the front. Anything else does not compile.
#pragma once

#include "platform/AppleEvents.h"

struct ComponentInstanceRecord;
using ComponentInstance = ComponentInstanceRecord*;
using OSAID = UInt32;
using OSAError = OSStatus;

constexpr OSType kOSAComponentType = FourCC("osa ");
constexpr OSType kAppleScriptSubtype = FourCC("ascr");
constexpr OSAID kOSANullScript = 0;
constexpr SInt32 kOSANullMode = 0;

enum : OSStatus {
    procNotFound = -600, // the application a script tells is not installed
    errOSASystemError = -1750,
    errOSAInvalidID = -1751,
    errOSAScriptError = -1753,
    errOSASyntaxError = -2740, // a statement the component does not know
};

// The component for the type and subtype; null for any other than AppleScript.
// Lives for the process.
ComponentInstance OpenDefaultComponent(OSType componentType, OSType componentSubType);
// The component's name ("AppleScript") as a 'TEXT' descriptor.
OSAError OSAScriptingComponentName(ComponentInstance scriptingComponent,
                                   AEDesc* resultingScriptingComponentName);
// Compiles 'TEXT' (Mac Roman) or 'utxt' source into *previousAndResultingScriptID.
OSAError OSACompile(ComponentInstance scriptingComponent, const AEDesc* sourceData,
                    SInt32 modeFlags, OSAID* previousAndResultingScriptID);
// Runs a compiled script; *resultingScriptValueID names its (empty) result.
OSAError OSAExecute(ComponentInstance scriptingComponent, OSAID compiledScriptID, OSAID contextID,
                    SInt32 modeFlags, OSAID* resultingScriptValueID);
OSAError OSADispose(ComponentInstance scriptingComponent, OSAID scriptID);
