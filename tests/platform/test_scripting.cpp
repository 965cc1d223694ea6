// The scripting component: the statements the plug-in sends compile and run
// the settings host; another application, a missing host and anything the
// component does not know give the platform's status codes.
#include "platform/Scripting.h"
#include "tests/support/TestSupport.h"

#include <QFile>
#include <gtest/gtest.h>

using namespace testing_support;

namespace {

const char kPaneScript[] = "tell application \"System Preferences\" \r activate \r set current "
                           "pane to pane \"com.brisk-alder.LoftwiseCM\" \r end tell";

struct ScriptCase {
    const char* name;
    QString source;
    bool asUnicode;
    bool hostOnPath;
    OSAError compiled;
    OSAError executed;    // when it compiled
    const char* recorded; // null: nothing started
};

class Scripts : public ::testing::TestWithParam<ScriptCase> {
protected:
    QString dir = MakeTempDir("script");
    QString record = dir + "/record.txt";
};

TEST_P(Scripts, CompileAndRun) {
    const auto& c = GetParam();
    // The settings host is looked for on PATH: a recorder of its arguments.
    const QString bin = MakeTempDir("bin");
    if (c.hostOnPath) {
        WriteFile(bin + "/loftwise-settings",
                  "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + record.toUtf8() + "'\n");
        QFile::setPermissions(bin + "/loftwise-settings",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    ScopedEnv path("PATH", bin.toUtf8().constData());

    ComponentInstance as = OpenDefaultComponent(kOSAComponentType, kAppleScriptSubtype);
    ASSERT_NE(as, nullptr);
    AEDesc source;
    const QByteArray bytes =
        c.asUnicode
            ? QByteArray(reinterpret_cast<const char*>(c.source.utf16()), c.source.size() * 2)
            : c.source.toLatin1();
    ASSERT_EQ(AECreateDesc(c.asUnicode ? typeUnicodeText : typeChar, bytes.constData(),
                           bytes.size(), &source),
              noErr);
    OSAID script = kOSANullScript;
    EXPECT_EQ(OSACompile(as, &source, kOSANullMode, &script), c.compiled);
    AEDisposeDesc(&source);
    if (c.compiled == noErr) {
        OSAID result = kOSANullScript;
        EXPECT_EQ(OSAExecute(as, script, kOSANullScript, kOSANullMode, &result), c.executed);
        EXPECT_EQ(OSADispose(as, script), noErr);
        EXPECT_EQ(OSADispose(as, script), errOSAInvalidID); // gone now
        if (c.executed == noErr) {
            EXPECT_EQ(OSADispose(as, result), noErr);
        }
    }
    const QStringList expected = c.recorded ? QStringList{c.recorded} : QStringList{};
    EXPECT_EQ(c.recorded ? WaitForRecord(record, 1) : RecordAfterQuietTime(record), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Scripting, Scripts,
    ::testing::Values(
        ScriptCase{"PaneScript", kPaneScript, false, true, noErr, noErr,
                   "--pane com.brisk-alder.LoftwiseCM"},
        ScriptCase{"PaneScriptAsUnicode", kPaneScript, true, true, noErr, noErr,
                   "--pane com.brisk-alder.LoftwiseCM"},
        ScriptCase{"AnotherApplication", "tell application \"Finder\"\ractivate\rend tell", false,
                   true, noErr, procNotFound, nullptr},
        ScriptCase{"NoSettingsHost", kPaneScript, false, false, noErr, procNotFound, nullptr},
        ScriptCase{"UnknownStatement",
                   "tell application \"System Preferences\"\rdelete every pane\rend tell", false,
                   true, errOSASyntaxError, noErr, nullptr},
        ScriptCase{"UnbalancedTell", "tell application \"System Preferences\"\ractivate", false,
                   true, errOSASyntaxError, noErr, nullptr},
        ScriptCase{"StatementOutsideTell", "activate", false, true, errOSASyntaxError, noErr,
                   nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Scripting, OnlyAppleScriptAndKnownIDs) {
    EXPECT_EQ(OpenDefaultComponent(kOSAComponentType, FourCC("java")), nullptr);
    ComponentInstance as = OpenDefaultComponent(kOSAComponentType, kAppleScriptSubtype);
    AEDesc name;
    ASSERT_EQ(OSAScriptingComponentName(as, &name), noErr);
    char text[32] = {};
    ASSERT_EQ(AEGetDescData(&name, text, sizeof text - 1), noErr);
    EXPECT_STREQ(text, "AppleScript");
    AEDisposeDesc(&name);
    EXPECT_EQ(OSADispose(as, 987654), errOSAInvalidID);
    OSAID result = 0;
    EXPECT_EQ(OSAExecute(as, 987654, kOSANullScript, kOSANullMode, &result), errOSAInvalidID);
}

} // namespace
