// The outline view of the settings pane and what it is made of: images,
// pasteboards, drag operations, cells and table columns.
//
// NSOutlineView is a QTreeView over a model of its own that adapts the data
// source's methods (children, values, edits, drag and drop) to Qt's item
// model. Items are the data source's own pointers; the view mirrors the tree
// at each reloadData and never dereferences an item itself.
//
// Selectors map to methods by dropping the colons and capitalising each
// later keyword: outlineView:child:ofItem: is outlineViewChildOfItem.
#pragma once

#include "platform/MacTypes.h"

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QPointer>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QStringList>
#include <QTreeView>
#include <QVariant>
#include <memory>
#include <vector>

class QMimeData;
class QPainter;

// The largest signed 32-bit integer: "no such index".
constexpr int NSNotFound = 0x7fffffff;

// An image with a size in points of its own: a TIFF's resolution gives its
// size (72 dpi: a pixel is a point; 144 dpi: two pixels per point), and
// setSize changes the size it is drawn at, not its pixels. Shared by
// pointer; "the same image" means the same object.
class NSImage {
public:
    // Null when the file holds no image Qt can read.
    static std::shared_ptr<NSImage> imageWithContentsOfFile(const QString& path);
    explicit NSImage(QImage image);

    QSizeF size() const { return m_size; }
    void setSize(QSizeF size) { m_size = size; }
    const QImage& image() const { return m_image; }

    // Draws the image at its size with source-over. In a flipped view (y
    // grows downwards, as in every Qt widget) the point is the image's
    // bottom-left corner, as the platform's compositing has it; otherwise
    // its top-left.
    void compositeToPoint(QPainter& painter, QPointF point, bool flipped) const;

private:
    QImage m_image;
    QSizeF m_size;
};
using NSImageRef = std::shared_ptr<NSImage>;

// Pasteboard types. Each maps to a MIME format on the wire: text is
// text/plain (UTF-8), file names are text/uri-list of file URLs, any other
// type T is "application/x-nspasteboard-T".
extern const QString NSStringPboardType;
extern const QString NSFilenamesPboardType;

// A drag's data. Wraps the QMimeData of a drag (not owned) or of one being
// written (owned until handed to the drag).
class NSPasteboard {
public:
    explicit NSPasteboard(const QMimeData* data);
    explicit NSPasteboard(QMimeData* data); // writable

    // Forgets what was there and announces the types about to be written.
    void declareTypes(const QStringList& types);
    bool setDataForType(const QByteArray& data, const QString& type);
    bool setStringForType(const QString& string, const QString& type);

    // The declared or present types, in pasteboard order.
    QStringList types() const;
    // The first of types that the pasteboard holds; empty when none.
    QString availableTypeFromArray(const QStringList& types) const;
    QByteArray dataForType(const QString& type) const;
    QString stringForType(const QString& type) const;
    // The paths of NSFilenamesPboardType.
    QStringList filenames() const;

    const QMimeData* mimeData() const { return m_read; }

private:
    const QMimeData* m_read;
    QMimeData* m_write;
};

using NSDragOperation = unsigned;
constexpr NSDragOperation NSDragOperationNone = 0;
constexpr NSDragOperation NSDragOperationCopy = 1;
constexpr NSDragOperation NSDragOperationLink = 2;
constexpr NSDragOperation NSDragOperationGeneric = 4;
constexpr NSDragOperation NSDragOperationPrivate = 8;
constexpr NSDragOperation NSDragOperationMove = 16;
constexpr NSDragOperation NSDragOperationDelete = 32;
constexpr NSDragOperation NSDragOperationEvery = ~0u;

class NSOutlineView;

// What a drop target learns of a drag in progress.
class NSDraggingInfo {
public:
    NSDraggingInfo(NSPasteboard pasteboard, QObject* source, NSDragOperation sourceMask)
        : m_pasteboard(std::move(pasteboard)), m_source(source), m_mask(sourceMask) {}
    NSPasteboard* draggingPasteboard() { return &m_pasteboard; }
    // The view the drag started in when it is in this process; null for a
    // drag from another program.
    QObject* draggingSource() const { return m_source; }
    NSDragOperation draggingSourceOperationMask() const { return m_mask; }

private:
    NSPasteboard m_pasteboard;
    QPointer<QObject> m_source;
    NSDragOperation m_mask;
};

// A cell draws one value in a frame (points, the view's coordinates) and
// places the editor. The base draws its text as a text-field cell does.
class NSCell {
public:
    NSCell() = default;
    virtual ~NSCell() = default;
    virtual std::unique_ptr<NSCell> copy() const;

    void setObjectValue(const QVariant& value) { m_value = value; }
    QVariant objectValue() const { return m_value; }
    QString stringValue() const { return m_value.toString(); }
    void setEditable(bool editable) { m_editable = editable; }
    bool isEditable() const { return m_editable; }
    void setDrawsBackground(bool draws) { m_drawsBackground = draws; }
    bool drawsBackground() const { return m_drawsBackground; }
    void setBackgroundColor(QColor color) { m_background = color; }
    QColor backgroundColor() const { return m_background; }
    // Set by the view while drawing a selected row.
    void setHighlighted(bool h) { m_highlighted = h; }
    bool isHighlighted() const { return m_highlighted; }

    // Draws the cell in frame of view (view is the outline view's viewport;
    // its coordinates are flipped). The painter is set up by the view.
    virtual void drawWithFrameInView(QPainter& painter, QRectF frame, QWidget* view);
    // Where the field editor goes when the value is edited or selected.
    virtual QRectF editWithFrameInView(QRectF frame, QWidget* view);
    virtual QRectF selectWithFrameInView(QRectF frame, QWidget* view);
    virtual QSizeF cellSize() const;

protected:
    // The text as the text-field cell draws it, in frame.
    void drawInteriorWithFrameInView(QPainter& painter, QRectF frame, QWidget* view);

private:
    QVariant m_value;
    bool m_editable = false;
    bool m_drawsBackground = false;
    bool m_highlighted = false;
    QColor m_background;
};
using NSTextFieldCell = NSCell;

// A column: its identifier, its title and the cell its rows are drawn with.
class NSTableColumn {
public:
    NSTableColumn(QString identifier, QString title);
    QString identifier() const { return m_identifier; }
    QString title() const { return m_title; }
    NSCell* dataCell() const { return m_cell.get(); }
    void setDataCell(std::unique_ptr<NSCell> cell) { m_cell = std::move(cell); }
    void setEditable(bool editable) { m_editable = editable; }
    bool isEditable() const { return m_editable; }

private:
    QString m_identifier;
    QString m_title;
    std::unique_ptr<NSCell> m_cell;
    bool m_editable = true;
};

using OutlineItem = void*; // the data source's own object; null is the root

class NSOutlineViewDataSource {
public:
    virtual ~NSOutlineViewDataSource() = default;
    virtual OutlineItem outlineViewChildOfItem(NSOutlineView* view, int index,
                                               OutlineItem item) = 0;
    virtual bool outlineViewIsItemExpandable(NSOutlineView* view, OutlineItem item) = 0;
    virtual int outlineViewNumberOfChildrenOfItem(NSOutlineView* view, OutlineItem item) = 0;
    virtual QVariant outlineViewObjectValueForTableColumnByItem(NSOutlineView* view,
                                                                NSTableColumn* column,
                                                                OutlineItem item) = 0;
    virtual void outlineViewSetObjectValueForTableColumnByItem(NSOutlineView*, const QVariant&,
                                                               NSTableColumn*, OutlineItem) {}
    // Autosaved expanded items: a value that names the item across runs, and
    // the item a saved value names now (null: none).
    virtual QVariant outlineViewPersistentObjectForItem(NSOutlineView*, OutlineItem) { return {}; }
    virtual OutlineItem outlineViewItemForPersistentObject(NSOutlineView*, const QVariant&) {
        return nullptr;
    }
    // Drag and drop. A drop "on" an item has childIndex -1; a drop between
    // entries names the parent (null: the root) and the index.
    virtual bool outlineViewWriteItemsToPasteboard(NSOutlineView*, const std::vector<OutlineItem>&,
                                                   NSPasteboard*) {
        return false;
    }
    virtual NSDragOperation outlineViewValidateDropProposedItemProposedChildIndex(NSOutlineView*,
                                                                                  NSDraggingInfo*,
                                                                                  OutlineItem,
                                                                                  int) {
        return NSDragOperationNone;
    }
    virtual bool outlineViewAcceptDropItemChildIndex(NSOutlineView*, NSDraggingInfo*, OutlineItem,
                                                     int) {
        return false;
    }
};

class NSOutlineViewDelegate {
public:
    virtual ~NSOutlineViewDelegate() = default;
    virtual bool outlineViewShouldExpandItem(NSOutlineView*, OutlineItem) { return true; }
    virtual bool outlineViewShouldEditTableColumnItem(NSOutlineView*, NSTableColumn*, OutlineItem) {
        return true;
    }
    virtual void outlineViewWillDisplayCellForTableColumnItem(NSOutlineView*, NSCell*,
                                                              NSTableColumn*, OutlineItem) {}
    virtual void outlineViewSelectionDidChange(NSOutlineView*) {}
};

// The outline view. Made by the nib loader for a widget of class
// NSOutlineView or a registered subclass; its columns come from the nib's
// dynamic properties "tableColumns" (identifiers) and "columnTitles".
class NSOutlineView : public QTreeView {
    Q_OBJECT
public:
    explicit NSOutlineView(QWidget* parent = nullptr);
    ~NSOutlineView() override;

    void setDataSource(NSOutlineViewDataSource* source);
    NSOutlineViewDataSource* dataSource() const;
    void setDelegate(NSOutlineViewDelegate* delegate);
    NSOutlineViewDelegate* delegate() const;

    void addTableColumn(std::unique_ptr<NSTableColumn> column);
    // null when no column has the identifier.
    NSTableColumn* tableColumnWithIdentifier(const QString& identifier) const;
    const std::vector<std::unique_ptr<NSTableColumn>>& tableColumns() const;

    // Asks the data source for the whole tree again. Expanded items and the
    // selection are kept for the items that are still there (by identity).
    void reloadData();

    // Rows count the visible items from the top, as displayed.
    int numberOfRows() const;
    OutlineItem itemAtRow(int row) const;   // null for no such row
    int rowForItem(OutlineItem item) const; // -1 when the item shows in no row
    OutlineItem parentForItem(OutlineItem item) const;
    int levelForItem(OutlineItem item) const;
    bool isItemExpanded(OutlineItem item) const;
    void expandItem(OutlineItem item);
    void collapseItem(OutlineItem item);

    int selectedRow() const;                     // the first selected row, -1 for none
    std::vector<int> selectedRowIndexes() const; // ascending
    int numberOfSelectedRows() const;
    void selectRowByExtendingSelection(int row, bool extend);
    void deselectAll();
    // Starts editing the cell; select: with its whole text selected.
    void editColumnRowWithEventSelect(int column, int row, bool select);

    // Retargets the drop being validated.
    void setDropItemDropChildIndex(OutlineItem item, int index);

    // Types this view accepts in drops.
    void registerForDraggedTypes(const QStringList& types);
    QStringList registeredDraggedTypes() const;
    // Operations a drag from this view allows: every operation for a
    // destination in this program, only copy elsewhere.
    virtual NSDragOperation draggingSourceOperationMaskForLocal(bool local);

    // Column layout and expanded items are saved under the autosave name in
    // the running program's own preferences, and restored from them.
    void setAutosaveName(const QString& name);
    QString autosaveName() const;
    void setAutosaveTableColumns(bool save);
    bool autosaveTableColumns() const;
    void setAutosaveExpandedItems(bool save);
    bool autosaveExpandedItems() const;

    // The drop path a real drag takes, for callers that have no drag (tests,
    // scripting): validation, then acceptance; false when either refuses.
    bool performDrop(const QMimeData* data, QObject* source, OutlineItem item, int childIndex);

signals:
    // The user double-clicked or activated a row.
    void action();

protected:
    void startDrag(Qt::DropActions supportedActions) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
