// The real pane bundle shown in the settings host, which makes its object,
// loads its view and drives willSelect, didSelect ... willUnselect,
// didUnselect. Each test has settings of its own; what the pane saved is
// read from the file.
#include "tests/cmplugin/MenuSettings.h"
#include "tests/support/TestSupport.h"

#include "platform/Bundle.h"
#include "platform/Preferences.h"
#include "platform/hosts/settings/SettingsHost.h"
#include "platform/ui/OutlineView.h"
#include "platform/ui/PreferencePane.h"

#include <QApplication>
#include <QCheckBox>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTabWidget>
#include <QUrl>
#include <gtest/gtest.h>

using namespace testing_support;

// Readable failures.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

const QString kPane = QStringLiteral(LOFTWISE_BUNDLES_DIR "/LoftwisePrefPane.prefPane");
const QString kPrivateType = QStringLiteral("MyCustomOutlineViewPboardType");

// Every key the pane writes on a save.
const QStringList kSavedKeys{"MenuItems",          "ShowPreferences", "ShowHelp",
                             "ShowGroupNames",     "OpenConsoleLog",  "DisplayDirectoryListing",
                             "ZipCompressFolders", "ShowFavicon",     "ReplacementPattern"};

QString SettingsPath() {
    return plat::PreferencesFilePath(kCMDomain);
}

// The settings file as it is on disk now.
PlistDictionary SavedSettings() {
    const std::optional<PlistValue> file = plat::PlistFromBytes(ReadFile(SettingsPath()));
    const PlistDictionary* d = file ? file->asDictionary() : nullptr;
    return d ? *d : PlistDictionary{};
}

// A tree in one line: items by name (with "=url" when asked), groups as
// name(children).
QString TreeText(const PlistValue& group, bool urls = false) {
    QStringList parts;
    const PlistValue* entries = group.find("Entries");
    if (!entries || !entries->asArray()) return "<no entries>";
    for (const PlistValue& e : *entries->asArray()) {
        if (const PlistArray* item = e.asArray())
            parts << *item->at(0).asString() + (urls ? "=" + *item->at(1).asString() : QString());
        else if (e.asDictionary())
            parts << *e.find("Group")->asString() + "(" + TreeText(e, urls) + ")";
        else
            parts << "<other>";
    }
    return parts.join(',');
}

QString SavedTree(bool urls = false) {
    const PlistDictionary saved = SavedSettings();
    auto it = saved.find("MenuItems");
    return it == saved.end() ? "<none>" : TreeText(it->second, urls);
}

// Tree used by the editing tests.
PlistValue EditingTree() {
    return Root(
        {Group("G1", {Item("a1", "ftp://h/a1"), Item("a2", "ftp://h/a2"), Item("a3", "ftp://h/a3"),
                      Item("a4", "ftp://h/a4"), Item("a5", "ftp://h/a5")}),
         Group("G2", {Item("b1", "ftp://h/b1")}), Item("top1", "ftp://h/top1"),
         Item("top2", "http://h/top2")});
}
const QString kEditingTree = "G1(a1,a2,a3,a4,a5),G2(b1),top1,top2";

class PrefPane : public ::testing::Test {
protected:
    void SetUp() override {
        m_config = MakeTempDir("config").toLocal8Bit();
        m_env.emplace("XDG_CONFIG_HOME", m_config.constData());
        plat::ResetPreferencesCache();
    }
    void TearDown() override {
        if (m_host) Close();
        plat::ResetPreferencesCache();
    }

    // Opens the pane in a new settings host, which makes a new pane object.
    void Open() {
        m_host = std::make_unique<SettingsHost>();
        m_host->addPanePath(kPane);
        m_host->discoverPanes();
        ASSERT_TRUE(m_host->selectPane(kCMDomain));
        m_host->show();
        m_pane = m_host->currentPane();
        ASSERT_TRUE(m_pane);
        m_view = m_pane->mainView();
        ASSERT_TRUE(m_view);
        m_outline = plat::Outlet<NSOutlineView>(m_view, "outlineView");
        ASSERT_TRUE(m_outline);
    }
    // Leaves the pane (willUnselect, didUnselect) and ends the host.
    void Close() {
        m_host->showAll();
        m_host.reset();
        m_pane = nullptr;
        m_view = nullptr;
        m_outline = nullptr;
    }

    template <typename T> T* Control(const char* name) {
        T* control = plat::Outlet<T>(m_view, name);
        EXPECT_TRUE(control) << name;
        return control;
    }
    // A line edit's action, as on Return.
    void Enter(const char* field, const QString& text) {
        QLineEdit* edit = Control<QLineEdit>(field);
        edit->setText(text);
        emit edit->editingFinished();
    }

    NSTableColumn* Column(const char* identifier) {
        return m_outline->tableColumnWithIdentifier(identifier);
    }
    QString Value(OutlineItem item, const char* column = "NameColumn") {
        return m_outline->dataSource()
            ->outlineViewObjectValueForTableColumnByItem(m_outline, Column(column), item)
            .toString();
    }
    // The item at a path of names ("G1/a3"); null (and a failure) when none.
    OutlineItem Find(const QString& path) {
        NSOutlineViewDataSource* source = m_outline->dataSource();
        OutlineItem item = nullptr;
        for (const QString& name : path.split('/')) {
            OutlineItem found = nullptr;
            const int n = source->outlineViewNumberOfChildrenOfItem(m_outline, item);
            for (int i = 0; i < n && !found; ++i) {
                OutlineItem child = source->outlineViewChildOfItem(m_outline, i, item);
                if (Value(child) == name) found = child;
            }
            EXPECT_TRUE(found) << path.toStdString();
            item = found;
        }
        return item;
    }
    // What the view's data source shows, in the form of TreeText.
    QString ShownTree(OutlineItem item = nullptr) {
        NSOutlineViewDataSource* source = m_outline->dataSource();
        QStringList parts;
        const int n = source->outlineViewNumberOfChildrenOfItem(m_outline, item);
        for (int i = 0; i < n; ++i) {
            OutlineItem child = source->outlineViewChildOfItem(m_outline, i, item);
            parts << (source->outlineViewIsItemExpandable(m_outline, child)
                          ? Value(child) + "(" + ShownTree(child) + ")"
                          : Value(child));
        }
        return parts.join(',');
    }
    void ExpandAll() {
        for (int row = 0; row < m_outline->numberOfRows(); ++row)
            if (m_outline->dataSource()->outlineViewIsItemExpandable(m_outline,
                                                                     m_outline->itemAtRow(row)))
                m_outline->expandItem(m_outline->itemAtRow(row));
    }
    void Select(const QStringList& paths) {
        ExpandAll();
        m_outline->deselectAll();
        for (const QString& path : paths) {
            const int row = m_outline->rowForItem(Find(path));
            ASSERT_GE(row, 0) << path.toStdString();
            m_outline->selectRowByExtendingSelection(row, true);
        }
    }
    QStringList SelectedNames() {
        QStringList names;
        for (int row : m_outline->selectedRowIndexes())
            names << Value(m_outline->itemAtRow(row));
        return names;
    }

    QByteArray m_config;
    std::optional<ScopedEnv> m_env;
    std::unique_ptr<SettingsHost> m_host;
    NSPreferencePane* m_pane = nullptr;
    QWidget* m_view = nullptr;
    NSOutlineView* m_outline = nullptr;
};

TEST_F(PrefPane, FirstOpeningWritesEveryKeyAndTheDefaultTree) {
    ASSERT_FALSE(QFile::exists(SettingsPath()));
    Open();
    const PlistDictionary saved = SavedSettings();
    for (const QString& key : kSavedKeys)
        EXPECT_TRUE(saved.count(key)) << key.toStdString();
    EXPECT_FALSE(saved.count("LastTabIndex"));
    for (const char* key : {"ShowPreferences", "ShowHelp", "ShowGroupNames", "OpenConsoleLog",
                            "DisplayDirectoryListing", "ShowFavicon"})
        EXPECT_EQ(saved.at(key), PlistValue::boolean(true)) << key;
    EXPECT_EQ(saved.at("ZipCompressFolders"), PlistValue::boolean(false));
    EXPECT_EQ(saved.at("ReplacementPattern"), PlistValue("<x>"));

    const std::optional<QString> initInfo =
        CFBundleCopyResourcePath(CFBundleCreate(kPane), "InitInfo", "dict");
    ASSERT_TRUE(initInfo);
    const std::optional<PlistValue> defaults = plat::PlistFromBytes(ReadFile(*initInfo));
    ASSERT_TRUE(defaults && defaults->find("MenuItems"));
    EXPECT_EQ(saved.at("MenuItems"), *defaults->find("MenuItems"));
    EXPECT_EQ(ShownTree(), TreeText(*defaults->find("MenuItems")));
    EXPECT_TRUE(ShownTree().contains("Examples(")) << ShownTree().toStdString();
    EXPECT_EQ(Control<QLabel>("m_ourVersionField")->text(), QStringLiteral("1.0.0"));
}

TEST_F(PrefPane, EveryCheckboxClickWritesAllKeys) {
    const struct {
        const char* box;
        const char* key;
        bool before;
    } rows[] = {
        {"m_showPreferencesCheckboxButton", "ShowPreferences", true},
        {"m_showHelpCheckboxButton", "ShowHelp", true},
        {"m_showGroupNamesButton", "ShowGroupNames", true},
        {"m_openConsoleLogCheckboxButton", "OpenConsoleLog", true},
        {"m_displayDirectoryListingButton", "DisplayDirectoryListing", true},
        {"m_zipCompressFoldersButton", "ZipCompressFolders", false},
        {"showFaviconButton", "ShowFavicon", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.box);
        QFile::remove(SettingsPath());
        plat::ResetPreferencesCache();
        Set("MenuItems", EditingTree());
        Set("ReplacementPattern", PlistValue("<user>"));
        Open();
        ASSERT_FALSE(SavedSettings().count(row.key)); // nothing saved on opening
        QCheckBox* box = Control<QCheckBox>(row.box);
        EXPECT_EQ(box->isChecked(), row.before);
        box->click();
        const PlistDictionary saved = SavedSettings();
        for (const QString& key : kSavedKeys)
            EXPECT_TRUE(saved.count(key)) << key.toStdString();
        EXPECT_EQ(saved.at(row.key), PlistValue::boolean(!row.before));
        EXPECT_EQ(saved.at("ReplacementPattern"), PlistValue("<user>"));
        EXPECT_EQ(SavedTree(), kEditingTree);
        EXPECT_EQ(box->isChecked(), !row.before); // load read it back
        Close();
    }
}

TEST_F(PrefPane, PatternFollowsEveryTextTypedIntoItsField) {
    Set("MenuItems",
        Root({Item("lower", "ftp://<x>@a.example/"), Item("both", "ftp://<X>@b.example/<x>/"),
              Item("plain", "http://c.example/x/"),
              Group("G", {Item("deep", "ftp://<x>@d.example/")})}));
    Open();
    const struct {
        QString typed;
        QString urls; // after the next save
        QString pattern;
    } rows[] = {
        {"alice",
         "lower=ftp://alice@a.example/,both=ftp://alice@b.example/alice/,"
         "plain=http://c.example/x/,G(deep=ftp://alice@d.example/)",
         "alice"},
        {"bob",
         "lower=ftp://bob@a.example/,both=ftp://bob@b.example/bob/,"
         "plain=http://c.example/x/,G(deep=ftp://bob@d.example/)",
         "bob"},
        {"bob",
         "lower=ftp://bob@a.example/,both=ftp://bob@b.example/bob/,"
         "plain=http://c.example/x/,G(deep=ftp://bob@d.example/)",
         "bob"},
        {"",
         "lower=ftp://@a.example/,both=ftp://@b.example//,"
         "plain=http://c.example/x/,G(deep=ftp://@d.example/)",
         "<x>"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.typed.toStdString());
        Enter("m_patternToReplaceField", row.typed);
        EXPECT_EQ(SavedSettings().at("ReplacementPattern"), PlistValue(row.pattern));
        Control<QPushButton>("applyButton")->click();
        EXPECT_EQ(SavedTree(true), row.urls);
        Select({"lower"});
        EXPECT_EQ(Control<QLineEdit>("urlEditor")->text(), row.urls.section(',', 0, 0).mid(6));
    }
}

TEST_F(PrefPane, RevertRestoresTheFileByteForByteAndTheControls) {
    Set("MenuItems", EditingTree());
    Set("ShowHelp", PlistValue::boolean(false));
    Set("ZipCompressFolders", PlistValue::boolean(true));
    Set("ReplacementPattern", PlistValue("<u>"));
    const QByteArray original = ReadFile(SettingsPath());
    Open();
    Select({"top1"});
    Control<QPushButton>("addItemButton")->click();
    Select({"G1/a2", "top2"});
    Control<QPushButton>("deleteSelectionButton")->click();
    Control<QCheckBox>("m_showHelpCheckboxButton")->click();
    Control<QCheckBox>("m_zipCompressFoldersButton")->click();
    Enter("m_patternToReplaceField", "other");
    ASSERT_NE(ReadFile(SettingsPath()), original);
    ASSERT_NE(ShownTree(), kEditingTree);

    Control<QPushButton>("revertButton")->click();
    EXPECT_EQ(ReadFile(SettingsPath()), original);
    EXPECT_EQ(ShownTree(), kEditingTree);
    EXPECT_FALSE(Control<QCheckBox>("m_showHelpCheckboxButton")->isChecked());
    EXPECT_TRUE(Control<QCheckBox>("m_zipCompressFoldersButton")->isChecked());
    EXPECT_TRUE(Control<QCheckBox>("m_showGroupNamesButton")->isChecked());
    EXPECT_EQ(Control<QLineEdit>("m_patternToReplaceField")->text(), QStringLiteral("<u>"));
    // and the store took the restored file up: the next save keeps it
    Control<QPushButton>("applyButton")->click();
    EXPECT_EQ(SavedTree(), kEditingTree);
    EXPECT_EQ(SavedSettings().at("ShowHelp"), PlistValue::boolean(false));
}

TEST_F(PrefPane, AddingPutsTheNewNodeNextToTheSelectionAndOpensItsName) {
    const struct {
        QStringList selected;
        const char* button;
        QString tree;
    } rows[] = {
        {{}, "addItemButton", "New Item,G1(a1,a2,a3,a4,a5),G2(b1),top1,top2"},
        {{"top1"}, "addItemButton", "G1(a1,a2,a3,a4,a5),G2(b1),top1,New Item,top2"},
        {{"G1/a5"}, "addItemButton", "G1(a1,a2,a3,a4,a5,New Item),G2(b1),top1,top2"},
        {{"G2"}, "addItemButton", "G1(a1,a2,a3,a4,a5),G2(New Item,b1),top1,top2"},
        {{}, "addGroupButton", "New Group(),G1(a1,a2,a3,a4,a5),G2(b1),top1,top2"},
        {{"top2"}, "addGroupButton", "G1(a1,a2,a3,a4,a5),G2(b1),top1,top2,New Group()"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE((row.tree).toStdString());
        QFile::remove(SettingsPath());
        plat::ResetPreferencesCache();
        Set("MenuItems", EditingTree());
        Open();
        Select(row.selected);
        Control<QPushButton>(row.button)->click();
        EXPECT_EQ(ShownTree(), row.tree);
        EXPECT_EQ(SavedTree(), row.tree);
        const QString added = row.tree.contains("New Item") ? "New Item" : "New Group";
        EXPECT_EQ(SelectedNames(), QStringList{added});
        const QList<QLineEdit*> editors = m_outline->viewport()->findChildren<QLineEdit*>();
        ASSERT_EQ(editors.size(), 1);
        EXPECT_EQ(editors[0]->text(), added);
        EXPECT_EQ(editors[0]->selectedText(), added);
        EXPECT_TRUE(Control<QPushButton>("deleteSelectionButton")->isEnabled());
        if (added == "New Group") {
            EXPECT_FALSE(Control<QPushButton>("addGroupButton")->isEnabled());
        }
        Close();
    }
}

TEST_F(PrefPane, AddingAfterTheSecondOfTwoNamesakesGoesAfterThatOne) {
    Set("MenuItems",
        Root({Item("dup", "ftp://h/1"), Item("dup", "ftp://h/2"), Item("x", "ftp://h/x")}));
    Open();
    m_outline->selectRowByExtendingSelection(1, false);
    Control<QPushButton>("addItemButton")->click();
    EXPECT_EQ(SavedTree(true), "dup=ftp://h/1,dup=ftp://h/2,New Item=???,x=ftp://h/x");
}

TEST_F(PrefPane, DeletingTwoNamesakesDeletesExactlyThoseTwo) {
    Set("MenuItems", Root({Group("G", {Item("dup", "ftp://h/1"), Item("x", "ftp://h/x"),
                                       Item("dup", "ftp://h/2")}),
                           Item("dup", "ftp://h/3"), Item("dup", "ftp://h/4")}));
    Open();
    ExpandAll();
    m_outline->deselectAll();
    for (int row : {3, 5})
        m_outline->selectRowByExtendingSelection(row, true); // G/dup#2, dup#4
    Control<QPushButton>("deleteSelectionButton")->click();
    EXPECT_EQ(SavedTree(true), "G(dup=ftp://h/1,x=ftp://h/x),dup=ftp://h/3");
    EXPECT_TRUE(m_outline->selectedRowIndexes().empty());
    EXPECT_FALSE(Control<QPushButton>("deleteSelectionButton")->isEnabled());
}

TEST_F(PrefPane, ControlsFollowTheSelection) {
    Set("MenuItems", EditingTree());
    Open();
    const struct {
        QStringList selected;
        bool urlEnabled;
        QString url;
        bool addGroup, addItem, remove;
    } rows[] = {
        {{}, false, "", true, true, false},
        {{"top1"}, true, "ftp://h/top1", true, true, true},
        {{"G1/a2"}, true, "ftp://h/a2", false, true, true},
        {{"G2"}, false, "", false, true, true},
        {{"top1", "top2"}, false, "", false, false, true},
        {{"G1", "G1/a1"}, false, "", false, false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.selected.join('+').toStdString());
        Select(row.selected);
        QLineEdit* url = Control<QLineEdit>("urlEditor");
        EXPECT_EQ(url->isEnabled(), row.urlEnabled);
        EXPECT_EQ(url->isReadOnly(), !row.urlEnabled);
        EXPECT_EQ(url->text(), row.url);
        EXPECT_EQ(Control<QPushButton>("addGroupButton")->isEnabled(), row.addGroup);
        EXPECT_EQ(Control<QPushButton>("addItemButton")->isEnabled(), row.addItem);
        EXPECT_EQ(Control<QPushButton>("deleteSelectionButton")->isEnabled(), row.remove);
    }
}

TEST_F(PrefPane, EditedURLsAndNamesAreNormalizedAndSaved) {
    Set("MenuItems", EditingTree());
    Open();
    Select({"top1"});
    Enter("urlEditor", "host.example/path/");
    EXPECT_EQ(Control<QLineEdit>("urlEditor")->text(), QStringLiteral("ftp://host.example/path/"));
    NSOutlineViewDataSource* source = m_outline->dataSource();
    source->outlineViewSetObjectValueForTableColumnByItem(m_outline, QString("https://s.example/"),
                                                          Column("NodeURLColumn"), Find("top2"));
    source->outlineViewSetObjectValueForTableColumnByItem(m_outline, QString("Renamed"),
                                                          Column("NameColumn"), Find("G2/b1"));
    EXPECT_EQ(SavedTree(true), "G1(a1=ftp://h/a1,a2=ftp://h/a2,a3=ftp://h/a3,a4=ftp://h/a4,"
                               "a5=ftp://h/a5),G2(Renamed=ftp://h/b1),"
                               "top1=ftp://host.example/path/,top2=ftp://https://s.example/");
    // a group's URL is neither shown nor editable
    EXPECT_EQ(Value(Find("G2"), "NodeURLColumn"), QString());
    NSOutlineViewDelegate* delegate = m_outline->delegate();
    EXPECT_FALSE(delegate->outlineViewShouldEditTableColumnItem(m_outline, Column("NodeURLColumn"),
                                                                Find("G2")));
    EXPECT_TRUE(delegate->outlineViewShouldEditTableColumnItem(m_outline, Column("NodeURLColumn"),
                                                               Find("top1")));
    EXPECT_TRUE(delegate->outlineViewShouldEditTableColumnItem(m_outline, Column("NameColumn"),
                                                               Find("G2")));
}

// A drag out of the view: what the view writes for the nodes.
std::unique_ptr<QMimeData> Drag(NSOutlineView* view, const std::vector<OutlineItem>& items) {
    auto data = std::make_unique<QMimeData>();
    NSPasteboard pboard(data.get());
    EXPECT_TRUE(view->dataSource()->outlineViewWriteItemsToPasteboard(view, items, &pboard));
    return data;
}

TEST_F(PrefPane, DropsFollowTheRules) {
    const QString unchanged = kEditingTree;
    enum Source { Nodes, Text, Files };
    const struct {
        const char* what;
        Source source;
        QStringList dragged; // nodes, or the text
        QString target;      // empty: the root
        int index;
        bool accepted;
        QString tree;
        QStringList selected;
    } rows[] = {
        {"first and third between fourth and fifth",
         Nodes,
         {"G1/a1", "G1/a3"},
         "G1",
         4,
         true,
         "G1(a2,a4,a1,a3,a5),G2(b1),top1,top2",
         {"a1", "a3"}},
        {"item just above itself", Nodes, {"G1/a3"}, "G1", 2, true, unchanged, {"a3"}},
        {"item just below itself", Nodes, {"G1/a3"}, "G1", 3, true, unchanged, {"a3"}},
        {"item onto a group",
         Nodes,
         {"top1"},
         "G2",
         -1,
         true,
         "G1(a1,a2,a3,a4,a5),G2(top1,b1),top2",
         {"top1"}},
        {"item onto an item", Nodes, {"top1"}, "top2", -1, false, unchanged, {"top1"}},
        {"item onto the background", Nodes, {"top1"}, "", -1, false, unchanged, {"top1"}},
        {"item out of a group to the end",
         Nodes,
         {"G1/a5"},
         "",
         4,
         true,
         "G1(a1,a2,a3,a4),G2(b1),top1,top2,a5",
         {"a5"}},
        {"group onto a group", Nodes, {"G2"}, "G1", -1, false, unchanged, {"G2"}},
        {"group between children of a group", Nodes, {"G2"}, "G1", 2, false, unchanged, {"G2"}},
        {"group onto itself", Nodes, {"G1"}, "G1", -1, false, unchanged, {"G1"}},
        {"group between top-level entries",
         Nodes,
         {"G2"},
         "",
         0,
         true,
         "G2(b1),G1(a1,a2,a3,a4,a5),top1,top2",
         {"G2"}},
        {"text between two entries",
         Text,
         {"Photo Server"},
         "",
         3,
         true,
         "G1(a1,a2,a3,a4,a5),G2(b1),top1,Photo Server,top2",
         {"Photo Server"}},
        {"text with a control character",
         Text,
         {"Bell\aName"},
         "",
         3,
         true,
         "G1(a1,a2,a3,a4,a5),G2(b1),top1,BellName,top2",
         {"BellName"}},
        {"text onto a group",
         Text,
         {"Into"},
         "G2",
         -1,
         true,
         "G1(a1,a2,a3,a4,a5),G2(Into,b1),top1,top2",
         {"Into"}},
        {"file names", Files, {}, "", 1, true, unchanged, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        QFile::remove(SettingsPath());
        plat::ResetPreferencesCache();
        Set("MenuItems", EditingTree());
        Open();
        ExpandAll();
        std::unique_ptr<QMimeData> data;
        QObject* source = nullptr;
        if (row.source == Nodes) {
            Select(row.dragged);
            std::vector<OutlineItem> items;
            for (const QString& path : row.dragged)
                items.push_back(Find(path));
            data = Drag(m_outline, items);
            source = m_outline;
        } else {
            data = std::make_unique<QMimeData>();
            if (row.source == Text)
                data->setText(row.dragged.value(0));
            else
                data->setUrls({QUrl::fromLocalFile(MakeTempDir("drop") + "/a.txt")});
            Select({"top1"});
        }
        const QByteArray before = ReadFile(SettingsPath());
        OutlineItem target = row.target.isEmpty() ? nullptr : Find(row.target);
        EXPECT_EQ(m_outline->performDrop(data.get(), source, target, row.index), row.accepted);
        ExpandAll();
        EXPECT_EQ(ShownTree(), row.tree);
        if (row.accepted) {
            EXPECT_EQ(SavedTree(), row.tree);
            EXPECT_EQ(SelectedNames(), row.selected);
        } else {
            EXPECT_EQ(ReadFile(SettingsPath()), before);
        }
        if (row.source == Text && row.accepted) {
            const QString path = (row.target.isEmpty() ? "" : row.target + "/") + row.selected[0];
            EXPECT_EQ(Value(Find(path), "NodeURLColumn"), QStringLiteral("???"));
        }
        Close();
    }
}

TEST_F(PrefPane, ADragWritesThePrivateTypeAndTheNamesAsText) {
    Set("MenuItems", EditingTree());
    Open();
    const std::unique_ptr<QMimeData> data = Drag(m_outline, {Find("G2"), Find("top1")});
    NSPasteboard pboard(static_cast<const QMimeData*>(data.get()));
    EXPECT_EQ(pboard.types(), (QStringList{kPrivateType, NSStringPboardType}));
    EXPECT_TRUE(pboard.dataForType(kPrivateType).isEmpty());
    EXPECT_EQ(pboard.stringForType(NSStringPboardType),
              QStringLiteral("(\n    {G2},\n    {top1}\n)"));
}

TEST_F(PrefPane, ExpandedGroupsAreRestoredWhenThePaneOpensAgain) {
    Set("MenuItems", EditingTree());
    Open();
    m_outline->expandItem(Find("G2"));
    ASSERT_FALSE(m_outline->isItemExpanded(Find("G1")));
    Close();
    Open();
    EXPECT_TRUE(m_outline->isItemExpanded(Find("G2")));
    EXPECT_FALSE(m_outline->isItemExpanded(Find("G1")));
}

TEST_F(PrefPane, MenuItemsThatIsNoDictionaryGivesAnEmptyTreeAndKeepsTheOtherKeys) {
    Set("MenuItems", PlistValue(PlistArray{Item("a", "ftp://h/")}));
    Set("ShowHelp", PlistValue::boolean(false));
    Set("ReplacementPattern", PlistValue("<p>"));
    const QByteArray before = ReadFile(SettingsPath());
    Open();
    EXPECT_EQ(ShownTree(), QString());
    EXPECT_EQ(ReadFile(SettingsPath()), before); // no default tree written over it
    EXPECT_FALSE(Control<QCheckBox>("m_showHelpCheckboxButton")->isChecked());
    Close();
    EXPECT_EQ(SavedTree(), QString());
    EXPECT_EQ(SavedSettings().at("ShowHelp"), PlistValue::boolean(false));
    EXPECT_EQ(SavedSettings().at("ReplacementPattern"), PlistValue("<p>"));
    EXPECT_EQ(SavedSettings().at("LastTabIndex"), PlistValue::integer(0));
}

TEST_F(PrefPane, TheContextMenuShowsWhatThePaneSavedAtOnce) {
    Set("MenuItems", Root({Group("Servers", {Item("Up", "ftp://h/up/")})}));
    Open();
    const QString file = MakeTempDir("selection") + "/one.txt";
    WriteFile(file, "x");
    auto list = [&] {
        const ProcessResult r =
            RunProcess(LOFTWISE_CONTEXT_MENU,
                       {"--plugin", LOFTWISE_BUNDLES_DIR "/LoftwiseCM.plugin", "--list", file});
        EXPECT_EQ(r.exitCode, 0) << r.err.constData();
        return QString::fromUtf8(r.out);
    };
    EXPECT_TRUE(list().contains("\t128\tServers\n")); // the group's header
    Control<QCheckBox>("m_showGroupNamesButton")->click();
    ExpandAll();
    m_outline->dataSource()->outlineViewSetObjectValueForTableColumnByItem(
        m_outline, QString("Upload Here"), Column("NameColumn"), Find("Servers/Up"));
    const QString menu = list();
    EXPECT_FALSE(menu.contains("Servers")) << menu.toStdString();
    EXPECT_TRUE(menu.contains("\t0\tUpload Here\n")) << menu.toStdString();
    EXPECT_FALSE(menu.contains("\tUp\n")) << menu.toStdString();
}

} // namespace

namespace {

// The whole road of a drop from another program: Qt's drag events on the
// view, at the top edge of a row (between it and the one above).
TEST_F(PrefPane, TextDroppedOnTheViewBecomesAnItemBetweenTheRows) {
    Set("MenuItems", EditingTree());
    Open();
    m_view->resize(700, 500);
    const QRect row = m_outline->visualRect(m_outline->model()->index(3, 0)); // top2
    ASSERT_TRUE(row.isValid());
    const QPoint at(row.center().x(), row.top() + 1);
    QMimeData data;
    data.setText("Dropped Text");
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(m_outline->viewport(), &enter);
    QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(m_outline->viewport(), &move);
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(m_outline->viewport(), &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(SavedTree(), "G1(a1,a2,a3,a4,a5),G2(b1),top1,Dropped Text,top2");
    EXPECT_EQ(SelectedNames(), QStringList{"Dropped Text"});
}

} // namespace
