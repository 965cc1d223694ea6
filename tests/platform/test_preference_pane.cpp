// Pane bundles made at run time around the test module (FakePreferencePane.cpp):
// making the principal object, loading the main view with its outlets,
// translated texts, custom classes and actions, and the droplet's nib
// loader making the same custom classes.
#include "platform/Bundle.h"
#include "platform/ui/Controls.h"
#include "platform/ui/OutlineView.h"
#include "platform/ui/PreferencePane.h"
#include "tests/support/TestSupport.h"

#include <QCheckBox>
#include <QFile>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <gtest/gtest.h>

namespace {

using testing_support::MakeTempDir;
using testing_support::ReadFile;
using testing_support::WriteFile;

const QByteArray kMainView = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>MainView</class>
 <widget class="QWidget" name="MainView">
  <layout class="QVBoxLayout" name="layout">
   <item><widget class="QLabel" name="greeting">
    <property name="text"><string>Hello</string></property></widget></item>
   <item><widget class="QCheckBox" name="showHelp">
    <property name="text"><string>Show help</string></property>
    <property name="toolTip"><string>Hello</string></property>
    <property name="action" stdset="0"><string>checkboxButtonClicked:</string></property>
   </widget></item>
   <item><widget class="QLineEdit" name="urlEditor">
    <property name="placeholderText"><string>Hello</string></property>
    <property name="action" stdset="0"><string>getTextFieldText:</string></property>
   </widget></item>
   <item><widget class="NSOutlineView" name="outlineView">
    <property name="tableColumns" stdset="0"><stringlist>
     <string>NameColumn</string><string>NodeURLColumn</string></stringlist></property>
    <property name="columnTitles" stdset="0"><stringlist>
     <string>Name</string><string>URL</string></stringlist></property>
   </widget></item>
   <item><widget class="ToyBox" name="toy"/></item>
  </layout>
 </widget>
 <customwidgets>
  <customwidget><class>NSOutlineView</class><extends>QTreeView</extends>
   <header>platform/ui/OutlineView.h</header></customwidget>
  <customwidget><class>ToyBox</class><extends>QFrame</extends><header>toybox.h</header>
  </customwidget>
 </customwidgets>
</ui>
)";

struct PaneSpec {
    QString principal = "FakePane";
    QString nib = "Fake";
    bool module = true;         // false: no executable file at all
    QByteArray executable = {}; // bytes instead of the test module
};

CFBundleRef MakePane(const PaneSpec& spec = {}) {
    const QString bundle = MakeTempDir("pane") + "/Fake.prefPane";
    QByteArray keys = "<key>CFBundleIdentifier</key><string>com.example.FakePane</string>"
                      "<key>CFBundleExecutable</key><string>FakePane</string>"
                      "<key>CFBundleDevelopmentRegion</key><string>en</string>";
    if (!spec.principal.isEmpty())
        keys += "<key>NSPrincipalClass</key><string>" + spec.principal.toUtf8() + "</string>";
    if (!spec.nib.isEmpty())
        keys += "<key>NSMainNibFile</key><string>" + spec.nib.toUtf8() + "</string>";
    WriteFile(bundle + "/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + keys +
                  "</dict></plist>\n");
    if (spec.module) {
        const QString exe = bundle + "/Contents/Linux/FakePane";
        WriteFile(exe, spec.executable.isEmpty() ? ReadFile(FAKE_PANE_MODULE) : spec.executable);
        QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    WriteFile(bundle + "/Contents/Resources/Fake.nib/MainView.ui", kMainView);
    WriteFile(bundle + "/Contents/Resources/en.lproj/LocalizedStrings.strings",
              "\"Hello\" = \"Hallo\";\n\"Show help\" = \"Hilfe zeigen\";\n\"Name\" = \"Titel\";\n");
    return CFBundleCreate(bundle);
}

QStringList Calls(const NSPreferencePane* pane) {
    return pane->property("calls").toStringList();
}

class PaneTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        plat::RegisterNibClass("ToyBox", [](QWidget* parent) {
            auto* f = new QFrame(parent);
            f->setProperty("madeByFactory", true);
            return f;
        });
    }
};

TEST_F(PaneTest, PrincipalObjectFailuresSayWhy) {
    struct Case {
        const char* what;
        PaneSpec spec;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"no principal class", {.principal = ""}, "names no NSPrincipalClass"},
        {"a principal class that is no name", {.principal = "Fake Pane"}, "no class name"},
        {"no module", {.module = false}, "has no executable"},
        {"a module that does not load", {.executable = "not an ELF file"}, "does not load"},
        {"no initializer", {.principal = "OtherPane"}, "exports no OtherPane_initWithBundle"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QString error;
        EXPECT_EQ(plat::CreatePrincipalObject(MakePane(c.spec), &error), nullptr);
        EXPECT_TRUE(error.contains(c.reason)) << error.toStdString();
    }
    QString error = "stale";
    EXPECT_EQ(plat::CreatePrincipalObject(nullptr, &error), nullptr);
    EXPECT_NE(error, "stale");
}

TEST_F(PaneTest, MainViewLoadsInLifeCycleOrder) {
    QString error;
    std::unique_ptr<NSPreferencePane> pane(plat::CreatePrincipalObject(MakePane(), &error));
    ASSERT_TRUE(pane) << error.toStdString();
    EXPECT_TRUE(error.isEmpty());
    EXPECT_EQ(Calls(pane.get()), QStringList{"init"});
    EXPECT_EQ(pane->mainView(), nullptr);
    QWidget* view = pane->loadMainView();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(pane->mainView(), view);
    // awakeFromNib already saw the outlets and the translated texts.
    EXPECT_EQ(Calls(pane.get()), (QStringList{"init", "awakeFromNib Hallo", "mainViewDidLoad"}));
    EXPECT_EQ(pane->loadMainView(), view);
    EXPECT_EQ(Calls(pane.get()).size(), 3);
}

TEST_F(PaneTest, NibTextsClassesAndColumns) {
    std::unique_ptr<NSPreferencePane> pane(plat::CreatePrincipalObject(MakePane()));
    ASSERT_TRUE(pane);
    QWidget* view = pane->loadMainView();
    ASSERT_TRUE(view);
    EXPECT_EQ(plat::Outlet<QLabel>(view, "greeting")->text(), "Hallo");
    auto* box = plat::Outlet<QCheckBox>(view, "showHelp");
    EXPECT_EQ(box->text(), "Hilfe zeigen");
    EXPECT_EQ(box->toolTip(), "Hallo");
    EXPECT_EQ(plat::Outlet<QLineEdit>(view, "urlEditor")->placeholderText(), "Hallo");
    EXPECT_TRUE(plat::FindOutlet(view, "toy")->property("madeByFactory").toBool());
    EXPECT_EQ(plat::FindOutlet(view, "missing"), nullptr);
    EXPECT_EQ(plat::Outlet<QLabel>(view, "showHelp"), nullptr); // wrong class

    auto* outline = plat::Outlet<NSOutlineView>(view, "outlineView");
    ASSERT_TRUE(outline);
    QStringList ids, titles;
    for (const auto& c : outline->tableColumns()) {
        ids << c->identifier();
        titles << c->title();
    }
    EXPECT_EQ(ids, (QStringList{"NameColumn", "NodeURLColumn"}));
    EXPECT_EQ(titles, (QStringList{"Titel", "URL"}));
    EXPECT_EQ(outline->model()->headerData(0, Qt::Horizontal).toString(), "Titel");
    EXPECT_NE(outline->tableColumnWithIdentifier("NodeURLColumn"), nullptr);
}

TEST_F(PaneTest, ActionsCallTheOwnersSlotsWithTheSender) {
    std::unique_ptr<NSPreferencePane> pane(plat::CreatePrincipalObject(MakePane()));
    ASSERT_TRUE(pane);
    QWidget* view = pane->loadMainView();
    ASSERT_TRUE(view);
    struct Case {
        const char* what;
        std::function<void()> act;
        QString call;
    };
    const std::vector<Case> cases = {
        {"button click", [&] { plat::Outlet<QCheckBox>(view, "showHelp")->click(); },
         "clicked showHelp"},
        {"end of editing",
         [&] { emit plat::Outlet<QLineEdit>(view, "urlEditor")->editingFinished(); },
         "text urlEditor"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int before = int(Calls(pane.get()).size());
        c.act();
        ASSERT_EQ(Calls(pane.get()).size(), before + 1);
        EXPECT_EQ(Calls(pane.get()).last(), c.call);
    }
}

TEST_F(PaneTest, MissingNibsAndEntriesLoadNothing) {
    CFBundleRef bundle = MakePane();
    QObject owner;
    EXPECT_EQ(plat::LoadNibEntry(bundle, "Fake", "NoSuchEntry", &owner), nullptr);
    EXPECT_EQ(plat::LoadNibEntry(bundle, "NoSuchNib", "MainView", &owner), nullptr);
    EXPECT_EQ(plat::LoadNibEntry(nullptr, "Fake", "MainView", &owner), nullptr);
    std::unique_ptr<QWidget> plain(plat::LoadNibEntry(bundle, "Fake", "MainView", &owner));
    EXPECT_NE(plain, nullptr);
    std::unique_ptr<NSPreferencePane> noNib(plat::CreatePrincipalObject(MakePane({.nib = ""})));
    ASSERT_TRUE(noNib);
    EXPECT_EQ(noNib->loadMainView(), nullptr);
    EXPECT_EQ(Calls(noNib.get()), QStringList{"init"});
}

// The droplet's loader makes registered classes too.
TEST_F(PaneTest, WindowNibsMakeRegisteredClasses) {
    CFBundleRef bundle = MakePane();
    plat::SetMainBundlePath(CFBundleGetPath(bundle));
    IBNibRef nib = nullptr;
    ASSERT_EQ(CreateNibReference("Fake", &nib), noErr);
    WindowRef window = nullptr;
    ASSERT_EQ(CreateWindowFromNib(nib, "MainView", &window), noErr);
    DisposeNibReference(nib);
    std::unique_ptr<QWidget> owned(window);
    EXPECT_NE(window->findChild<NSOutlineView*>("outlineView"), nullptr);
    EXPECT_TRUE(window->findChild<QWidget*>("toy")->property("madeByFactory").toBool());
    // The nib's texts are keys of the application's string table.
    EXPECT_EQ(window->findChild<QLabel*>("greeting")->text(), "Hallo");
}

} // namespace
