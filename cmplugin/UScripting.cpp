#include "cmplugin/UScripting.h"

#include <cstring>

ComponentInstance sComponent = nullptr;
AEDesc componentName = {typeNull, nullptr};

OSAError Initialize() {
    if (sComponent) return noErr;
    sComponent = OpenDefaultComponent(kOSAComponentType, kAppleScriptSubtype);
    if (!sComponent) return errOSASystemError;
    return OSAScriptingComponentName(sComponent, &componentName);
}

OSAError CompileScriptText(const char* text, OSAID* scriptID) {
    if (!text || !scriptID) return paramErr;
    AEDesc source;
    OSAError err = AECreateDesc(typeChar, text, Size(std::strlen(text)), &source);
    if (err != noErr) return err;
    err = OSACompile(sComponent, &source, kOSANullMode, scriptID);
    AEDisposeDesc(&source);
    return err;
}

OSAError RunScript(const char* script) {
    Initialize();
    if (!sComponent) return errOSASystemError;
    OSAID compiled = kOSANullScript;
    OSAError err = CompileScriptText(script, &compiled);
    if (err != noErr) return err;
    OSAID result = kOSANullScript;
    err = OSAExecute(sComponent, compiled, kOSANullScript, kOSANullMode, &result);
    OSADispose(sComponent, compiled);
    if (err != noErr) return err;
    OSADispose(sComponent, result);
    return noErr;
}
