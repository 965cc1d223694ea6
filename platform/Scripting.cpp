#include "platform/Scripting.h"

#include "platform/Spawn.h"
#include "platform/TextEncoding.h"

#include <QRegularExpression>
#include <map>
#include <mutex>

struct ComponentInstanceRecord {};

namespace {

const QString kSettingsHostApplication = QStringLiteral("System Preferences");
const QString kSettingsHost = QStringLiteral("loftwise-settings");

// What one tell block asks of its application.
struct TellBlock {
    QString application;
    bool activate = false;
    QString pane; // empty: no pane named
};

struct Script {
    std::vector<TellBlock> blocks; // empty for a result value
};

struct Component {
    std::mutex mutex;
    std::map<OSAID, Script> scripts;
    OSAID next = 1;
};

Component& TheComponent() {
    static auto* component = new Component; // lives for the process
    return *component;
}

ComponentInstanceRecord gAppleScript;

std::optional<Script> Parse(const QString& text) {
    static const QRegularExpression tell(QStringLiteral(R"re(^tell application "([^"]+)"$)re"));
    static const QRegularExpression pane(
        QStringLiteral(R"re(^set current pane to pane (?:id )?"([^"]+)"$)re"));
    Script script;
    bool inTell = false;
    for (QString line : text.split(QRegularExpression(QStringLiteral("[\r\n]")))) {
        line = line.simplified();
        if (line.isEmpty()) continue;
        if (auto m = tell.match(line); m.hasMatch() && !inTell) {
            script.blocks.push_back({m.captured(1), false, {}});
            inTell = true;
        } else if (line == QLatin1String("activate") && inTell) {
            script.blocks.back().activate = true;
        } else if (auto p = pane.match(line); p.hasMatch() && inTell) {
            script.blocks.back().pane = p.captured(1);
        } else if ((line == QLatin1String("end tell") || line == QLatin1String("end")) && inTell) {
            inTell = false;
        } else {
            return std::nullopt;
        }
    }
    if (inTell || script.blocks.empty()) return std::nullopt;
    return script;
}

OSAError Run(const TellBlock& block) {
    if (block.application != kSettingsHostApplication) return procNotFound;
    if (!block.activate && block.pane.isEmpty()) return noErr;
    const auto host = plat::FindCompanionProgram(kSettingsHost);
    if (!host) return procNotFound;
    QStringList argv{*host};
    if (!block.pane.isEmpty()) argv << QStringLiteral("--pane") << block.pane;
    return plat::StartDetached(argv) ? OSAError(noErr) : OSAError(procNotFound);
}

} // namespace

ComponentInstance OpenDefaultComponent(OSType componentType, OSType componentSubType) {
    if (componentType != kOSAComponentType || componentSubType != kAppleScriptSubtype)
        return nullptr;
    return &gAppleScript;
}

OSAError OSAScriptingComponentName(ComponentInstance component, AEDesc* name) {
    if (component != &gAppleScript || !name) return paramErr;
    static const char kName[] = "AppleScript";
    return AECreateDesc(typeChar, kName, Size(sizeof kName - 1), name);
}

OSAError OSACompile(ComponentInstance component, const AEDesc* sourceData, SInt32,
                    OSAID* previousAndResultingScriptID) {
    if (component != &gAppleScript || !previousAndResultingScriptID) return paramErr;
    const auto text = sourceData ? plat::TextOfDesc(*sourceData) : std::nullopt;
    if (!text) return errAEWrongDataType;
    auto script = Parse(*text);
    if (!script) return errOSASyntaxError;
    Component& c = TheComponent();
    std::lock_guard lock(c.mutex);
    OSAID id = *previousAndResultingScriptID;
    if (id == kOSANullScript || !c.scripts.count(id)) id = c.next++;
    c.scripts[id] = std::move(*script);
    *previousAndResultingScriptID = id;
    return noErr;
}

OSAError OSAExecute(ComponentInstance component, OSAID compiledScriptID, OSAID, SInt32,
                    OSAID* resultingScriptValueID) {
    if (component != &gAppleScript) return paramErr;
    Script script;
    Component& c = TheComponent();
    {
        std::lock_guard lock(c.mutex);
        auto it = c.scripts.find(compiledScriptID);
        if (it == c.scripts.end()) return errOSAInvalidID;
        script = it->second;
    }
    for (const TellBlock& block : script.blocks)
        if (const OSAError err = Run(block)) return err;
    if (resultingScriptValueID) {
        std::lock_guard lock(c.mutex);
        *resultingScriptValueID = c.next++;
        c.scripts[*resultingScriptValueID] = Script{};
    }
    return noErr;
}

OSAError OSADispose(ComponentInstance component, OSAID scriptID) {
    if (component != &gAppleScript) return paramErr;
    if (scriptID == kOSANullScript) return noErr;
    Component& c = TheComponent();
    std::lock_guard lock(c.mutex);
    return c.scripts.erase(scriptID) ? OSAError(noErr) : OSAError(errOSAInvalidID);
}
