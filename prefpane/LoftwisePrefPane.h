// The settings pane of the context-menu plug-in: reads the plug-in's
// settings into its controls, edits the menu tree in an outline view, and
// writes everything back whenever something changed.
#pragma once

#include "prefpane/TreeNode.h"

#include "platform/MacTypes.h"
#include "platform/URLLoading.h"
#include "platform/ui/OutlineView.h"
#include "platform/ui/PreferencePane.h"

#include <QByteArray>
#include <optional>

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class MyOutlineView;

class LoftwisePrefPane : public NSPreferencePane,
                         public NSOutlineViewDataSource,
                         public NSOutlineViewDelegate,
                         public NSURLConnectionDelegate,
                         public NSURLDownloadDelegate {
    Q_OBJECT
public:
    explicit LoftwisePrefPane(CFBundleRef bundle); // initWithBundle:
    ~LoftwisePrefPane() override;

    void awakeFromNib() override;
    void mainViewDidLoad() override;
    void didSelect() override;
    void didUnselect() override;

    void load();
    void savePreferences();
    std::optional<PlistValue> readMenuItemPreferences() const;
    void _saveMenuItemPreferences();
    void _reload();

    // This pane's short version; nullopt when the bundle has none.
    std::optional<QString> getOurVersionString() const;
    // "2.0.4" gives 204: the dots removed, the rest read as a decimal number.
    static SInt32 getVersionNumber(const std::optional<QString>& version);

    // Reads the version document received: sets m_currentVersionNumber and
    // gives the newest version's text, or nullopt when the document is not
    // as it should be.
    std::optional<QString> getCurrentVersionString();

    // The update check's connection.
    void connectionDidReceiveResponse(NSURLConnection* connection,
                                      const NSURLResponse& response) override;
    void connectionDidReceiveData(NSURLConnection* connection, const QByteArray& data) override;
    void connectionDidFailWithError(NSURLConnection* connection, const NSError& error) override;
    void connectionDidFinishLoading(NSURLConnection* connection) override;

    // The disk image's download.
    void downloadDecideDestinationWithSuggestedFilename(NSURLDownload* download,
                                                        const QString& filename) override;
    void downloadDidCreateDestination(NSURLDownload* download, const QString& path) override;
    void downloadDidReceiveResponse(NSURLDownload* download,
                                    const NSURLResponse& response) override;
    void downloadDidReceiveDataOfLength(NSURLDownload* download,
                                        unsigned long long length) override;
    void downloadDidFinish(NSURLDownload* download) override;
    void downloadDidFailWithError(NSURLDownload* download, const NSError& error) override;

    // A typed URL without a known beginning is an FTP address.
    static QString normalizedURL(const QString& text);

    // Data source.
    OutlineItem outlineViewChildOfItem(NSOutlineView* view, int index, OutlineItem item) override;
    bool outlineViewIsItemExpandable(NSOutlineView* view, OutlineItem item) override;
    int outlineViewNumberOfChildrenOfItem(NSOutlineView* view, OutlineItem item) override;
    QVariant outlineViewObjectValueForTableColumnByItem(NSOutlineView* view, NSTableColumn* column,
                                                        OutlineItem item) override;
    void outlineViewSetObjectValueForTableColumnByItem(NSOutlineView* view, const QVariant& value,
                                                       NSTableColumn* column,
                                                       OutlineItem item) override;
    QVariant outlineViewPersistentObjectForItem(NSOutlineView* view, OutlineItem item) override;
    OutlineItem outlineViewItemForPersistentObject(NSOutlineView* view,
                                                   const QVariant& object) override;
    bool outlineViewWriteItemsToPasteboard(NSOutlineView* view,
                                           const std::vector<OutlineItem>& items,
                                           NSPasteboard* pboard) override;
    NSDragOperation outlineViewValidateDropProposedItemProposedChildIndex(NSOutlineView* view,
                                                                          NSDraggingInfo* info,
                                                                          OutlineItem item,
                                                                          int childIndex) override;
    bool outlineViewAcceptDropItemChildIndex(NSOutlineView* view, NSDraggingInfo* info,
                                             OutlineItem item, int childIndex) override;

    // Delegate.
    bool outlineViewShouldExpandItem(NSOutlineView* view, OutlineItem item) override;
    bool outlineViewShouldEditTableColumnItem(NSOutlineView* view, NSTableColumn* column,
                                              OutlineItem item) override;
    void outlineViewWillDisplayCellForTableColumnItem(NSOutlineView* view, NSCell* cell,
                                                      NSTableColumn* column,
                                                      OutlineItem item) override;
    void outlineViewSelectionDidChange(NSOutlineView* view) override;

    NodeArray selectedNodes() const;
    // Menu items of the delete action are enabled only with a selection.
    bool validateMenuItem(QAction* item) const;

    // What drops the view takes.
    bool allowOnDropOnGroup() const { return true; }
    bool allowOnDropOnLeaf() const { return false; }
    bool allowBetweenDrop() const { return true; }
    bool onlyAcceptDropOnRoot() const { return false; }

public slots:
    void applyButtonClicked(QObject* sender);
    void checkboxButtonClicked(QObject* sender);
    void showFaviconButtonClicked(QObject* sender);
    void patternToReplaceAction(QObject* sender);
    void helpButtonClicked(QObject* sender);
    void revertPreferences(QObject* sender);
    void reload(QObject* sender);
    void saveMenuItemPreferences(QObject* sender);

    void addGroup(QObject* sender);
    void addLeaf(QObject* sender);
    void deleteSelections(QObject* sender);
    void getTextFieldText(QObject* sender);
    void outlineViewAction(QObject* sender);

    void checkVersion(QObject* sender);
    void clickSoftwareDownloadButton(QObject* sender);

private:
    void setUpOutlets(QWidget* root);
    void _addNewDataToSelection(const TreeNodeRef& node);
    void _performDropOperationOnNodeAtIndex(NSDraggingInfo* info, TreeNode* target, int index);
    TreeNode* nodeForItem(OutlineItem item) const; // the root for the null item
    void stopUpdateCheck();
    void stopDownload();

    QString m_appID;
    QTabWidget* m_theTabView = nullptr;
    std::optional<QByteArray> m_originalPrefs;
    SimpleTreeNodeRef treeData;
    NodeArray draggedNodes;
    QLabel* m_softwareUpdateField = nullptr;
    QPushButton* m_softwareDownloadButton = nullptr;
    QPushButton* m_checkVersionButton = nullptr;
    QProgressBar* m_downloadProgressIndicator = nullptr;
    QProgressBar* m_progressIndicator = nullptr;
    SInt32 m_ourVersionNumber = 0;
    SInt32 m_currentVersionNumber = 0;
    QLabel* m_ourVersionField = nullptr;
    QLabel* m_currentVersionField = nullptr;
    bool m_softwareUpdateCheckInProgress = false;
    NSURLConnection* m_connection = nullptr;
    std::optional<QByteArray> m_receivedData;
    bool m_softwareDownloadInProgress = false;
    NSURLDownload* m_download = nullptr;
    std::optional<NSURLResponse> m_urlResponse;
    QString m_downloadDestination; // the file the running download writes
    // Wide enough for images past 2 GiB.
    SInt64 m_bytesReceived = 0;
    QCheckBox* m_showPreferencesCheckboxButton = nullptr;
    QCheckBox* m_showHelpCheckboxButton = nullptr;
    QCheckBox* m_showGroupNamesButton = nullptr;
    QCheckBox* m_openConsoleLogCheckboxButton = nullptr;
    QCheckBox* m_displayDirectoryListingButton = nullptr;
    QCheckBox* m_zipCompressFoldersButton = nullptr;
    QPushButton* m_helpButton = nullptr;
    MyOutlineView* outlineView = nullptr;
    QLineEdit* urlEditor = nullptr;
    QLineEdit* m_patternToReplaceField = nullptr;
    QPushButton* addGroupButton = nullptr;
    QPushButton* addItemButton = nullptr;
    QPushButton* deleteSelectionButton = nullptr;
    QCheckBox* showFaviconButton = nullptr;
};
