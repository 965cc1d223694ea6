#include "prefpane/LoftwisePrefPane.h"

#include "prefpane/ImageAndTextCell.h"
#include "prefpane/MyOutlineView.h"
#include "prefpane/PaneStrings.h"
#include "prefpane/SettingsFile.h"

#include "platform/Bundle.h"
#include "platform/LaunchServices.h"
#include "platform/Preferences.h"

#include <QCheckBox>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <limits>

namespace {

const QString kMenuItems = QStringLiteral("MenuItems");
const QString kReplacementPattern = QStringLiteral("ReplacementPattern");
const QString kDefaultPattern = QStringLiteral("<x>");

// The stored Boolean, or fallback when the key is absent or of another type.
bool BooleanOr(const QString& key, const QString& appID, bool fallback) {
    const std::optional<PlistValue> value = CFPreferencesCopyAppValue(key, appID);
    const bool* b = value ? value->asBoolean() : nullptr;
    return b ? *b : fallback;
}

// The stored pattern, or "<x>" when it is absent, not a string or empty (an
// empty pattern would match between every two characters).
QString StoredPattern(const QString& appID) {
    const std::optional<PlistValue> value = CFPreferencesCopyAppValue(kReplacementPattern, appID);
    const QString* s = value ? value->asString() : nullptr;
    return s && !s->isEmpty() ? *s : kDefaultPattern;
}

// The "MenuItems" dictionary of the bundle's default tree, InitInfo.dict.
std::optional<PlistDictionary> DefaultTree(CFBundleRef bundle) {
    const std::optional<QString> path =
        CFBundleCopyResourcePath(bundle, QStringLiteral("InitInfo"), QStringLiteral("dict"));
    if (!path) return std::nullopt;
    QFile file(*path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const std::optional<PlistValue> info = plat::PlistFromBytes(file.readAll());
    const PlistValue* items = info ? info->find(kMenuItems) : nullptr;
    const PlistDictionary* tree = items ? items->asDictionary() : nullptr;
    if (!tree) return std::nullopt;
    return *tree;
}

// The settings file's log lines in the pane's language.
QString PaneText(const QString& text) {
    return LocalizedString(text);
}

} // namespace

LoftwisePrefPane::LoftwisePrefPane(CFBundleRef bundle)
    : NSPreferencePane(bundle), m_appID(QString::fromLatin1(kLoftwiseCMDomain)) {
    SetOurBundle(bundle);
    SetSettingsFileLocalizer(PaneText);
    m_originalPrefs = GetPreferencesFile();
}

LoftwisePrefPane::~LoftwisePrefPane() {
    // No transfer may call back into a pane that is gone (its controls may
    // be gone already, so they are left alone).
    if (m_connection) m_connection->release();
    if (m_download) m_download->release();
    // The view may outlive the pane in its host's window; it must not call
    // back into a pane that is gone.
    if (outlineView) {
        outlineView->setDataSource(nullptr);
        outlineView->setDelegate(nullptr);
    }
}

void LoftwisePrefPane::awakeFromNib() {
    if (mainView()) setUpOutlets(mainView());
}

void LoftwisePrefPane::mainViewDidLoad() {
    if (!outlineView && mainView()) setUpOutlets(mainView());
    load();
}

void LoftwisePrefPane::didSelect() {
    if (!outlineView) return;
    // Names get room of their own until the saved layout says otherwise.
    outlineView->header()->resizeSection(0, outlineView->fontMetrics().averageCharWidth() * 30);
    outlineView->setAutosaveName(QStringLiteral("LoftwisePrefPaneMenuItems"));
    outlineView->setAutosaveTableColumns(true);
    outlineView->setAutosaveExpandedItems(true);
}

void LoftwisePrefPane::didUnselect() {
    // Whatever load did since, nothing goes on loading for a pane not shown;
    // a check cut short says nothing when the pane shows again.
    if (m_connection && m_softwareUpdateField) m_softwareUpdateField->clear();
    stopUpdateCheck();
    stopDownload();
    if (m_theTabView)
        CFPreferencesSetAppValue(QStringLiteral("LastTabIndex"),
                                 PlistValue::integer(m_theTabView->currentIndex()), m_appID);
    savePreferences();
}

std::optional<QString> LoftwisePrefPane::getOurVersionString() const {
    const std::optional<PlistValue> value = CFBundleGetValueForInfoDictionaryKey(
        bundle(), QStringLiteral("CFBundleShortVersionString"));
    const QString* s = value ? value->asString() : nullptr;
    if (!s) return std::nullopt;
    return *s;
}

SInt32 LoftwisePrefPane::getVersionNumber(const std::optional<QString>& version) {
    if (!version) return 0;
    QString digits = version->left(254);
    digits.remove(QLatin1Char('.'));
    int i = 0;
    while (i < digits.size() && (digits[i] == u' ' || (digits[i] >= u'\t' && digits[i] <= u'\r')))
        ++i;
    bool negative = false;
    if (i < digits.size() && (digits[i] == u'+' || digits[i] == u'-'))
        negative = digits[i++] == u'-';
    // Saturates rather than wrapping, so an absurd version is never "older".
    int64_t number = 0;
    for (; i < digits.size() && digits[i] >= u'0' && digits[i] <= u'9'; ++i)
        number = std::min<int64_t>(number * 10 + (digits[i].unicode() - u'0'),
                                   int64_t(std::numeric_limits<SInt32>::max()) + 1);
    if (negative) number = -number;
    return SInt32(std::clamp<int64_t>(number, std::numeric_limits<SInt32>::min(),
                                      std::numeric_limits<SInt32>::max()));
}

void LoftwisePrefPane::load() {
    const std::optional<QString> version = getOurVersionString();
    if (version) {
        if (m_ourVersionField) m_ourVersionField->setText(*version);
        m_ourVersionNumber = getVersionNumber(version);
    }

    if (m_patternToReplaceField) {
        const std::optional<PlistValue> pattern =
            CFPreferencesCopyAppValue(kReplacementPattern, m_appID);
        const QString* s = pattern ? pattern->asString() : nullptr;
        m_patternToReplaceField->setText(s ? *s : kDefaultPattern);
    }

    const struct {
        QCheckBox* box;
        const char* key;
        bool fallback;
    } switches[] = {
        {m_showPreferencesCheckboxButton, "ShowPreferences", true},
        {m_showHelpCheckboxButton, "ShowHelp", true},
        {m_showGroupNamesButton, "ShowGroupNames", true},
        {showFaviconButton, "ShowFavicon", true},
        {m_openConsoleLogCheckboxButton, "OpenConsoleLog", true},
        {m_displayDirectoryListingButton, "DisplayDirectoryListing", true},
        {m_zipCompressFoldersButton, "ZipCompressFolders", false},
    };
    for (const auto& s : switches)
        if (s.box) s.box->setChecked(BooleanOr(QString::fromLatin1(s.key), m_appID, s.fallback));

    if (treeData) return;
    bool usedDefault = false;
    std::optional<PlistDictionary> tree;
    const std::optional<PlistValue> stored = readMenuItemPreferences();
    if (!stored) {
        if (CFBundleRef ours = OurBundle()) {
            tree = DefaultTree(ours);
            usedDefault = true;
        }
    } else if (const PlistDictionary* d = stored->asDictionary()) {
        tree = *d;
    } // anything else stored there loads as an empty tree
    treeData = SimpleTreeNode::treeFromDictionary(tree ? &*tree : nullptr);
    if (outlineView) outlineView->reloadData();
    if (usedDefault) savePreferences();
}

void LoftwisePrefPane::savePreferences() {
    const struct {
        const char* key;
        QCheckBox* box;
    } switches[] = {
        {"ShowPreferences", m_showPreferencesCheckboxButton},
        {"ShowHelp", m_showHelpCheckboxButton},
        {"ShowGroupNames", m_showGroupNamesButton},
        {"OpenConsoleLog", m_openConsoleLogCheckboxButton},
        {"DisplayDirectoryListing", m_displayDirectoryListingButton},
        {"ZipCompressFolders", m_zipCompressFoldersButton},
    };
    for (const auto& s : switches)
        if (s.box)
            CFPreferencesSetAppValue(QString::fromLatin1(s.key),
                                     PlistValue::boolean(s.box->checkState() != Qt::Unchecked),
                                     m_appID);
    if (m_patternToReplaceField) {
        const QString pattern = m_patternToReplaceField->text();
        CFPreferencesSetAppValue(kReplacementPattern,
                                 PlistValue(pattern.isEmpty() ? kDefaultPattern : pattern),
                                 m_appID);
    }
    if (showFaviconButton)
        CFPreferencesSetAppValue(
            QStringLiteral("ShowFavicon"),
            PlistValue::boolean(showFaviconButton->checkState() != Qt::Unchecked), m_appID);
    _saveMenuItemPreferences();
    CFPreferencesAppSynchronize(m_appID);
}

std::optional<PlistValue> LoftwisePrefPane::readMenuItemPreferences() const {
    return CFPreferencesCopyAppValue(kMenuItems, m_appID);
}

void LoftwisePrefPane::_saveMenuItemPreferences() {
    // Before the first load there is no tree, and writing an empty one
    // would throw the stored menu away.
    if (!treeData) return;
    PlistDictionary root;
    root[QStringLiteral("Group")] = PlistValue("OVRoot");
    treeData->addDataToDictionary(root);
    CFPreferencesSetAppValue(kMenuItems, PlistValue(root), m_appID);
    CFPreferencesAppSynchronize(m_appID);
}

void LoftwisePrefPane::saveMenuItemPreferences(QObject*) {
    _saveMenuItemPreferences();
}

void LoftwisePrefPane::_reload() {
    // The old tree lives until the view has let go of its items.
    const SimpleTreeNodeRef old = std::move(treeData);
    draggedNodes.clear();
    load();
}

void LoftwisePrefPane::reload(QObject*) {
    _reload();
}

void LoftwisePrefPane::revertPreferences(QObject*) {
    if (m_originalPrefs) SetPreferencesFile(*m_originalPrefs);
    CFPreferencesAppSynchronize(m_appID);
    if (outlineView) outlineView->setAutosaveExpandedItems(!outlineView->autosaveExpandedItems());
    _reload();
    if (outlineView) outlineView->setAutosaveExpandedItems(true);
}

void LoftwisePrefPane::applyButtonClicked(QObject*) {
    savePreferences();
}

void LoftwisePrefPane::checkboxButtonClicked(QObject*) {
    savePreferences();
    load();
}

void LoftwisePrefPane::showFaviconButtonClicked(QObject*) {
    savePreferences();
    _reload();
}

void LoftwisePrefPane::patternToReplaceAction(QObject*) {
    const QString oldPattern = StoredPattern(m_appID);
    savePreferences();
    const QString newPattern =
        m_patternToReplaceField ? m_patternToReplaceField->text() : QString();
    if (newPattern == oldPattern || !treeData) return;
    if (treeData->replaceOccurrencesOfStringWithString(oldPattern, newPattern) && outlineView)
        outlineView->reloadData();
}

void LoftwisePrefPane::helpButtonClicked(QObject*) {
    const std::optional<QString> site = plat::MakerWebSite(bundle());
    if (!site) return;
    const QUrl url(*site + QStringLiteral("/Loftwise/Loftwise.html"), QUrl::StrictMode);
    if (!url.isValid()) return;
    if (LSInit(kLSInitializeDefaults) == noErr) {
        LSOpenCFURLRef(url, nullptr);
        LSTerm();
    }
}

void LoftwisePrefPane::setUpOutlets(QWidget* root) {
    m_theTabView = plat::Outlet<QTabWidget>(root, QStringLiteral("m_theTabView"));
    m_softwareUpdateField = plat::Outlet<QLabel>(root, QStringLiteral("m_softwareUpdateField"));
    m_softwareDownloadButton =
        plat::Outlet<QPushButton>(root, QStringLiteral("m_softwareDownloadButton"));
    m_checkVersionButton = plat::Outlet<QPushButton>(root, QStringLiteral("m_checkVersionButton"));
    m_downloadProgressIndicator =
        plat::Outlet<QProgressBar>(root, QStringLiteral("m_downloadProgressIndicator"));
    m_progressIndicator = plat::Outlet<QProgressBar>(root, QStringLiteral("m_progressIndicator"));
    m_ourVersionField = plat::Outlet<QLabel>(root, QStringLiteral("m_ourVersionField"));
    m_currentVersionField = plat::Outlet<QLabel>(root, QStringLiteral("m_currentVersionField"));
    m_showPreferencesCheckboxButton =
        plat::Outlet<QCheckBox>(root, QStringLiteral("m_showPreferencesCheckboxButton"));
    m_showHelpCheckboxButton =
        plat::Outlet<QCheckBox>(root, QStringLiteral("m_showHelpCheckboxButton"));
    m_showGroupNamesButton =
        plat::Outlet<QCheckBox>(root, QStringLiteral("m_showGroupNamesButton"));
    m_openConsoleLogCheckboxButton =
        plat::Outlet<QCheckBox>(root, QStringLiteral("m_openConsoleLogCheckboxButton"));
    m_displayDirectoryListingButton =
        plat::Outlet<QCheckBox>(root, QStringLiteral("m_displayDirectoryListingButton"));
    m_zipCompressFoldersButton =
        plat::Outlet<QCheckBox>(root, QStringLiteral("m_zipCompressFoldersButton"));
    m_helpButton = plat::Outlet<QPushButton>(root, QStringLiteral("m_helpButton"));
    outlineView = plat::Outlet<MyOutlineView>(root, QStringLiteral("outlineView"));
    urlEditor = plat::Outlet<QLineEdit>(root, QStringLiteral("urlEditor"));
    m_patternToReplaceField =
        plat::Outlet<QLineEdit>(root, QStringLiteral("m_patternToReplaceField"));
    addGroupButton = plat::Outlet<QPushButton>(root, QStringLiteral("addGroupButton"));
    addItemButton = plat::Outlet<QPushButton>(root, QStringLiteral("addItemButton"));
    deleteSelectionButton =
        plat::Outlet<QPushButton>(root, QStringLiteral("deleteSelectionButton"));
    showFaviconButton = plat::Outlet<QCheckBox>(root, QStringLiteral("showFaviconButton"));

    if (m_progressIndicator) m_progressIndicator->hide();
    if (m_downloadProgressIndicator) m_downloadProgressIndicator->hide();

    if (!outlineView) return;
    if (NSTableColumn* name =
            outlineView->tableColumnWithIdentifier(QStringLiteral("NameColumn"))) {
        auto cell = std::make_unique<ImageAndTextCell>();
        cell->setEditable(true);
        name->setDataCell(std::move(cell));
    }
    outlineView->registerForDraggedTypes({QStringLiteral("MyCustomOutlineViewPboardType"),
                                          NSStringPboardType, NSFilenamesPboardType});
    outlineView->setDataSource(this);
    outlineView->setDelegate(this);
    outlineViewAction(nullptr);
}

NS_PRINCIPAL_CLASS(LoftwisePrefPane)
