#include "platform/ui/OutlineView.h"

#include "platform/Preferences.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QDynamicPropertyChangeEvent>
#include <QFontMetricsF>
#include <QHash>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <functional>

const QString NSStringPboardType = QStringLiteral("NSStringPboardType");
const QString NSFilenamesPboardType = QStringLiteral("NSFilenamesPboardType");

namespace {

const QString kTextMime = QStringLiteral("text/plain");
const QString kUriListMime = QStringLiteral("text/uri-list");
const QString kPrivateMimePrefix = QStringLiteral("application/x-nspasteboard-");

QString MimeForType(const QString& type) {
    if (type == NSStringPboardType) return kTextMime;
    if (type == NSFilenamesPboardType) return kUriListMime;
    return kPrivateMimePrefix + type;
}

// Other programs offer text with a charset parameter ("text/plain;charset=utf-8").
bool IsTextMime(const QString& format) {
    return format == kTextMime || format.startsWith(kTextMime + ';');
}

QString TypeForMime(const QString& format) {
    if (IsTextMime(format)) return NSStringPboardType;
    if (format == kUriListMime) return NSFilenamesPboardType;
    if (format.startsWith(kPrivateMimePrefix)) return format.mid(kPrivateMimePrefix.size());
    return QString();
}

bool HoldsType(const QMimeData* data, const QString& type) {
    if (!data) return false;
    if (type == NSStringPboardType) {
        const QStringList formats = data->formats();
        return std::any_of(formats.cbegin(), formats.cend(), IsTextMime);
    }
    return data->hasFormat(MimeForType(type));
}

Qt::DropActions ToQt(NSDragOperation op) {
    Qt::DropActions actions;
    if (op & NSDragOperationCopy) actions |= Qt::CopyAction;
    if (op & NSDragOperationLink) actions |= Qt::LinkAction;
    if (op & (NSDragOperationMove | NSDragOperationGeneric | NSDragOperationPrivate))
        actions |= Qt::MoveAction;
    return actions;
}

NSDragOperation FromQt(Qt::DropActions actions) {
    NSDragOperation op = NSDragOperationNone;
    if (actions & Qt::CopyAction) op |= NSDragOperationCopy;
    if (actions & Qt::LinkAction) op |= NSDragOperationLink;
    if (actions & Qt::MoveAction) op |= NSDragOperationMove | NSDragOperationGeneric;
    return op;
}

// The action a validated operation stands for, among those the drag offers.
Qt::DropAction ChooseAction(NSDragOperation op, Qt::DropActions possible, Qt::DropAction fallback) {
    const Qt::DropActions wanted = ToQt(op) & possible;
    for (Qt::DropAction a : {Qt::MoveAction, Qt::CopyAction, Qt::LinkAction})
        if (wanted & a) return a;
    return fallback;
}

std::optional<PlistValue> ToPlist(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::QString:
        return PlistValue(v.toString());
    case QMetaType::Bool:
        return PlistValue::boolean(v.toBool());
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
        return PlistValue::integer(v.toLongLong());
    case QMetaType::QByteArray:
        return PlistValue::data(v.toByteArray());
    default:
        return std::nullopt;
    }
}

QVariant FromPlist(const PlistValue& v) {
    if (auto s = v.asString()) return *s;
    if (auto b = v.asBoolean()) return *b;
    if (auto i = v.asInteger()) return qlonglong(*i);
    if (auto d = v.asData()) return *d;
    return {};
}

} // namespace

// --- NSPasteboard ------------------------------------------------------------

NSPasteboard::NSPasteboard(const QMimeData* data) : m_read(data), m_write(nullptr) {}
NSPasteboard::NSPasteboard(QMimeData* data) : m_read(data), m_write(data) {}

void NSPasteboard::declareTypes(const QStringList& types) {
    if (!m_write) return;
    m_write->clear();
    // A declared type holds nothing until it is set, but keeps its place.
    for (const QString& t : types)
        m_write->setData(MimeForType(t), QByteArray());
}

bool NSPasteboard::setDataForType(const QByteArray& data, const QString& type) {
    if (!m_write || type.isEmpty()) return false;
    m_write->setData(MimeForType(type), data);
    return true;
}

bool NSPasteboard::setStringForType(const QString& string, const QString& type) {
    if (type == NSFilenamesPboardType) {
        QByteArray list;
        for (const QString& path : string.split('\n', Qt::SkipEmptyParts))
            list += QUrl::fromLocalFile(path).toEncoded() + "\r\n";
        return setDataForType(list, type);
    }
    return setDataForType(string.toUtf8(), type);
}

QStringList NSPasteboard::types() const {
    QStringList types;
    if (!m_read) return types;
    for (const QString& format : m_read->formats()) {
        const QString t = TypeForMime(format);
        if (!t.isEmpty() && !types.contains(t)) types << t;
    }
    return types;
}

QString NSPasteboard::availableTypeFromArray(const QStringList& types) const {
    for (const QString& t : types)
        if (HoldsType(m_read, t)) return t;
    return QString();
}

QByteArray NSPasteboard::dataForType(const QString& type) const {
    if (!m_read) return {};
    if (type == NSStringPboardType) {
        for (const QString& format : m_read->formats())
            if (IsTextMime(format)) return m_read->data(format);
        return {};
    }
    return m_read->data(MimeForType(type));
}

QString NSPasteboard::stringForType(const QString& type) const {
    if (type == NSFilenamesPboardType) return filenames().join('\n');
    return QString::fromUtf8(dataForType(type));
}

QStringList NSPasteboard::filenames() const {
    QStringList paths;
    if (!m_read || !m_read->hasFormat(kUriListMime)) return paths;
    for (const QUrl& url : m_read->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    return paths;
}

// --- NSCell and NSTableColumn ------------------------------------------------

namespace {
// A text-field cell keeps its text this far from the frame's sides.
constexpr qreal kTextInset = 2;
} // namespace

std::unique_ptr<NSCell> NSCell::copy() const {
    return std::make_unique<NSCell>(*this);
}

void NSCell::drawWithFrameInView(QPainter& painter, QRectF frame, QWidget* view) {
    if (m_drawsBackground && m_background.isValid()) painter.fillRect(frame, m_background);
    drawInteriorWithFrameInView(painter, frame, view);
}

void NSCell::drawInteriorWithFrameInView(QPainter& painter, QRectF frame, QWidget* view) {
    const QRectF text = frame.adjusted(kTextInset, 0, -kTextInset, 0);
    if (text.width() <= 0) return;
    const QFont font = view ? view->font() : QApplication::font();
    const QPalette palette = view ? view->palette() : QApplication::palette();
    painter.save();
    painter.setFont(font);
    painter.setPen(palette.color(m_highlighted ? QPalette::HighlightedText : QPalette::Text));
    const QString shown =
        QFontMetricsF(font).elidedText(stringValue(), Qt::ElideRight, text.width());
    painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
    painter.restore();
}

QRectF NSCell::editWithFrameInView(QRectF frame, QWidget*) {
    return frame;
}

QRectF NSCell::selectWithFrameInView(QRectF frame, QWidget*) {
    return frame;
}

QSizeF NSCell::cellSize() const {
    const QFontMetricsF fm(QApplication::font());
    return QSizeF(fm.horizontalAdvance(stringValue()) + 2 * kTextInset, fm.height() + 2);
}

NSTableColumn::NSTableColumn(QString identifier, QString title)
    : m_identifier(std::move(identifier)), m_title(std::move(title)),
      m_cell(std::make_unique<NSCell>()) {}

// --- the mirror and its model ------------------------------------------------

namespace {

struct Node {
    OutlineItem item = nullptr;
    Node* parent = nullptr;
    int indexInParent = 0;
    bool expandable = false;
    std::vector<std::unique_ptr<Node>> children;
};

class OutlineModel : public QAbstractItemModel {
public:
    explicit OutlineModel(NSOutlineView* view) : QAbstractItemModel(view), m_view(view) {}

    Node* root() { return &m_root; }
    Node* nodeFor(OutlineItem item) const { return item ? m_byItem.value(item) : nullptr; }
    Node* nodeOf(const QModelIndex& index) const {
        return index.isValid() ? static_cast<Node*>(index.internalPointer())
                               : const_cast<Node*>(&m_root);
    }
    QModelIndex indexOf(const Node* node, int column = 0) const {
        if (!node || node == &m_root) return {};
        return createIndex(node->indexInParent, column, const_cast<Node*>(node));
    }
    QModelIndex indexForItem(OutlineItem item, int column = 0) const {
        return indexOf(nodeFor(item), column);
    }

    // Walks the data source for the whole tree. A repeated item (a source
    // that hands out one object twice) is mirrored once, at its first place.
    void rebuild(NSOutlineViewDataSource* source) {
        beginResetModel();
        ++m_generation;
        m_root.children.clear();
        m_byItem.clear();
        if (source) fill(source, &m_root, 0);
        endResetModel();
    }

    NSTableColumn* column(int c) const {
        const auto& cols = m_view->tableColumns();
        return c >= 0 && c < int(cols.size()) ? cols[c].get() : nullptr;
    }

    void columnsChanged() {
        beginResetModel();
        endResetModel();
    }

    QModelIndex index(int row, int col, const QModelIndex& parent) const override {
        const Node* p = nodeOf(parent);
        if (row < 0 || row >= int(p->children.size()) || col < 0 || col >= columnCount({}))
            return {};
        return createIndex(row, col, p->children[row].get());
    }
    QModelIndex parent(const QModelIndex& index) const override {
        if (!index.isValid()) return {};
        return indexOf(nodeOf(index)->parent);
    }
    int rowCount(const QModelIndex& parent) const override {
        if (parent.column() > 0) return 0;
        return int(nodeOf(parent)->children.size());
    }
    int columnCount(const QModelIndex&) const override {
        return int(m_view->tableColumns().size());
    }
    bool hasChildren(const QModelIndex& parent) const override {
        if (parent.column() > 0) return false;
        const Node* n = nodeOf(parent);
        // An expandable item with no children still shows as a group.
        return !n->children.empty() || (n != &m_root && n->expandable);
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole)) return {};
        NSOutlineViewDataSource* source = m_view->dataSource();
        NSTableColumn* col = column(index.column());
        if (!source || !col) return {};
        return source->outlineViewObjectValueForTableColumnByItem(m_view, col, nodeOf(index)->item);
    }
    bool setData(const QModelIndex& index, const QVariant& value, int role) override {
        if (!index.isValid() || role != Qt::EditRole) return false;
        NSOutlineViewDataSource* source = m_view->dataSource();
        NSTableColumn* col = column(index.column());
        if (!source || !col) return false;
        const int generation = m_generation;
        source->outlineViewSetObjectValueForTableColumnByItem(m_view, value, col,
                                                              nodeOf(index)->item);
        // A source that reloaded the view has refreshed every row already,
        // and the index is gone with the old mirror.
        if (generation == m_generation)
            emit dataChanged(index.siblingAtColumn(0), index.siblingAtColumn(columnCount({}) - 1));
        return true;
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        if (!index.isValid()) return Qt::ItemIsDropEnabled;
        Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled |
                          Qt::ItemIsDropEnabled;
        NSTableColumn* col = column(index.column());
        NSOutlineViewDelegate* delegate = m_view->delegate();
        if (col && col->isEditable() &&
            (!delegate ||
             delegate->outlineViewShouldEditTableColumnItem(m_view, col, nodeOf(index)->item)))
            f |= Qt::ItemIsEditable;
        return f;
    }
    QVariant headerData(int section, Qt::Orientation o, int role) const override {
        if (o != Qt::Horizontal || role != Qt::DisplayRole) return {};
        NSTableColumn* col = column(section);
        return col ? QVariant(col->title()) : QVariant();
    }
    // Moves are carried out by the data source; the model removes nothing.
    bool removeRows(int, int, const QModelIndex&) override { return false; }

private:
    void fill(NSOutlineViewDataSource* source, Node* parent, int depth) {
        const int count =
            std::max(0, source->outlineViewNumberOfChildrenOfItem(m_view, parent->item));
        for (int i = 0; i < count; ++i) {
            OutlineItem item = source->outlineViewChildOfItem(m_view, i, parent->item);
            if (!item || m_byItem.contains(item)) continue;
            auto node = std::make_unique<Node>();
            node->item = item;
            node->parent = parent;
            node->indexInParent = int(parent->children.size());
            node->expandable = source->outlineViewIsItemExpandable(m_view, item);
            m_byItem.insert(item, node.get());
            Node* raw = node.get();
            parent->children.push_back(std::move(node));
            // A cycle in the source's tree would never end; trees here are shallow.
            if (depth < 64) fill(source, raw, depth + 1);
        }
    }

    NSOutlineView* m_view;
    Node m_root;
    QHash<OutlineItem, Node*> m_byItem;
    int m_generation = 0;
};

// Each row's cells are drawn by their column's data cell, after the
// delegate had its say; the editor goes where the cell puts it.
class CellDelegate : public QStyledItemDelegate {
public:
    CellDelegate(NSOutlineView* view, OutlineModel* model)
        : QStyledItemDelegate(view), m_view(view), m_model(model) {}

    bool selectAllOnEdit = true;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        opt.text.clear();
        opt.icon = QIcon();
        QStyle* style = m_view->style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, m_view);
        NSCell* cell = prepared(index, option.state & QStyle::State_Selected);
        if (!cell) return;
        painter->save();
        cell->drawWithFrameInView(*painter, QRectF(option.rect), m_view->viewport());
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        NSCell* cell = prepared(index, false);
        if (!cell) return QStyledItemDelegate::sizeHint(option, index);
        const QSizeF s = cell->cellSize();
        return QSize(int(std::ceil(s.width())), int(std::ceil(s.height())));
    }

    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override {
        NSCell* cell = prepared(index, false);
        if (!cell) return QStyledItemDelegate::updateEditorGeometry(editor, option, index);
        editor->setGeometry(
            cell->editWithFrameInView(QRectF(option.rect), m_view->viewport()).toRect());
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        QStyledItemDelegate::setEditorData(editor, index);
        if (auto* line = qobject_cast<QLineEdit*>(editor)) {
            if (selectAllOnEdit)
                line->selectAll();
            else
                line->setCursorPosition(line->text().size());
        }
    }

private:
    NSCell* prepared(const QModelIndex& index, bool highlighted) const {
        NSTableColumn* col = m_model->column(index.column());
        NSCell* cell = col ? col->dataCell() : nullptr;
        if (!cell) return nullptr;
        OutlineItem item = m_model->nodeOf(index)->item;
        if (NSOutlineViewDelegate* d = m_view->delegate())
            d->outlineViewWillDisplayCellForTableColumnItem(m_view, cell, col, item);
        cell->setObjectValue(index.data(Qt::EditRole));
        cell->setHighlighted(highlighted);
        return cell;
    }

    NSOutlineView* m_view;
    OutlineModel* m_model;
};

// The nib loader sets the columns as dynamic properties after it made the
// view: identifiers in "tableColumns", titles in "columnTitles".
class NibColumns : public QObject {
public:
    using QObject::QObject;
    std::function<void()> apply;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::DynamicPropertyChange) {
            const QByteArray name =
                static_cast<QDynamicPropertyChangeEvent*>(event)->propertyName();
            if ((name == "tableColumns" || name == "columnTitles") && apply) apply();
        }
        return false;
    }
};

} // namespace

// --- NSOutlineView -----------------------------------------------------------

struct NSOutlineView::Private {
    NSOutlineView* q = nullptr;
    OutlineModel* model = nullptr;
    CellDelegate* cells = nullptr;
    NSOutlineViewDataSource* source = nullptr;
    NSOutlineViewDelegate* delegate = nullptr;
    std::vector<std::unique_ptr<NSTableColumn>> columns;
    QStringList draggedTypes;
    int nibColumns = 0; // how many of the columns the nib's properties made

    QString autosaveName;
    bool autosaveColumns = false;
    bool autosaveExpanded = false;
    bool restorePending = false;
    int quiet = 0; // inside reload or restore: no notifications, no saves

    // The drop being validated, as the data source may retarget it.
    OutlineItem dropItem = nullptr;
    int dropIndex = -1;
    bool dropShown = false;

    void visibleWalk(const Node* parent, const std::function<bool(const Node*)>& visit) const {
        for (const auto& child : parent->children) {
            if (!visit(child.get())) return;
            if (q->isExpanded(model->indexOf(child.get()))) visibleWalk(child.get(), visit);
        }
    }
    std::vector<OutlineItem> visibleItems() const {
        std::vector<OutlineItem> items;
        visibleWalk(model->root(), [&](const Node* n) {
            items.push_back(n->item);
            return true;
        });
        return items;
    }
    std::vector<OutlineItem> selectedItems() const {
        std::vector<OutlineItem> items;
        for (const QModelIndex& i : q->selectionModel()->selectedRows())
            items.push_back(model->nodeOf(i)->item);
        return items;
    }

    QString itemsKey() const { return "NSOutlineView Items " + autosaveName; }
    QString columnsKey() const { return "NSTableView Columns " + autosaveName; }

    void saveExpanded() {
        if (quiet || !autosaveExpanded || autosaveName.isEmpty() || !source) return;
        PlistArray saved;
        std::function<void(const Node*)> walk = [&](const Node* parent) {
            for (const auto& child : parent->children) {
                if (!q->isExpanded(model->indexOf(child.get()))) continue;
                if (auto v = ToPlist(source->outlineViewPersistentObjectForItem(q, child->item)))
                    saved.push_back(*v);
                walk(child.get());
            }
        };
        walk(model->root());
        CFPreferencesSetAppValue(itemsKey(), PlistValue(saved), kCFPreferencesCurrentApplication);
        CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication);
    }

    void restoreExpanded() {
        restorePending = false;
        if (!source) return;
        CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication);
        const auto saved = CFPreferencesCopyAppValue(itemsKey(), kCFPreferencesCurrentApplication);
        if (!saved || !saved->asArray()) return;
        ++quiet;
        // Parents come before their children in the list, so each is shown
        // by the time its children expand.
        for (const PlistValue& v : *saved->asArray())
            if (OutlineItem item = source->outlineViewItemForPersistentObject(q, FromPlist(v)))
                q->expandItem(item);
        --quiet;
    }

    void saveColumns() {
        if (quiet || !autosaveColumns || autosaveName.isEmpty()) return;
        PlistArray saved;
        for (size_t i = 0; i < columns.size(); ++i) {
            saved.push_back(PlistValue(columns[i]->identifier()));
            saved.push_back(PlistValue(QString::number(q->columnWidth(int(i)))));
        }
        CFPreferencesSetAppValue(columnsKey(), PlistValue(saved), kCFPreferencesCurrentApplication);
        CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication);
    }

    void restoreColumns() {
        if (autosaveName.isEmpty()) return;
        const auto saved =
            CFPreferencesCopyAppValue(columnsKey(), kCFPreferencesCurrentApplication);
        const PlistArray* list = saved ? saved->asArray() : nullptr;
        if (!list) return;
        ++quiet;
        for (size_t i = 0; i + 1 < list->size(); i += 2) {
            const QString* id = (*list)[i].asString();
            const QString* width = (*list)[i + 1].asString();
            bool ok = false;
            const int w = width ? width->toInt(&ok) : 0;
            if (!id || !ok || w <= 0) continue;
            for (size_t c = 0; c < columns.size(); ++c)
                if (columns[c]->identifier() == *id) q->setColumnWidth(int(c), w);
        }
        --quiet;
    }

    void notifySelection() {
        if (!quiet && delegate) delegate->outlineViewSelectionDidChange(q);
    }

    NSDragOperation sourceMask(QObject* dragSource, Qt::DropActions possible) const {
        if (auto* from = qobject_cast<NSOutlineView*>(dragSource))
            return from->draggingSourceOperationMaskForLocal(true);
        return FromQt(possible);
    }

    bool acceptsTypes(const QMimeData* data) const {
        return std::any_of(draggedTypes.cbegin(), draggedTypes.cend(),
                           [&](const QString& t) { return HoldsType(data, t); });
    }

    // Proposed (item, childIndex) for a point of the viewport.
    std::pair<OutlineItem, int> proposal(QPoint pos) const {
        const QModelIndex index = q->indexAt(pos);
        if (!index.isValid()) return {nullptr, -1};
        const Node* node = model->nodeOf(index);
        const QRect rect =
            q->visualRect(index.siblingAtColumn(0))
                .united(q->visualRect(index.siblingAtColumn(model->columnCount({}) - 1)));
        const int margin = std::clamp(int(std::lround(rect.height() / 5.5)), 2, 12);
        if (pos.y() - rect.top() < margin) return {node->parent->item, node->indexInParent};
        if (rect.bottom() - pos.y() < margin) return {node->parent->item, node->indexInParent + 1};
        return {node->item, -1};
    }

    // Asks the data source; the target may be retargeted on the way.
    NSDragOperation validate(NSDraggingInfo& info, OutlineItem& item, int& index) {
        if (!source || !acceptsTypes(info.draggingPasteboard()->mimeData()))
            return NSDragOperationNone;
        dropItem = item;
        dropIndex = index;
        const NSDragOperation op =
            source->outlineViewValidateDropProposedItemProposedChildIndex(q, &info, item, index);
        item = dropItem;
        index = dropIndex;
        return op;
    }

    void showDrop(bool shown, OutlineItem item, int index) {
        dropShown = shown;
        dropItem = item;
        dropIndex = index;
        q->viewport()->update();
    }

    // Where the indicator of (dropItem, dropIndex) goes: a frame around the
    // item for a drop on it, a line between rows otherwise.
    QRect indicatorRect() const {
        const int width = q->viewport()->width();
        if (dropIndex < 0) {
            if (!dropItem) return {};
            const QRect r = q->visualRect(model->indexForItem(dropItem));
            return QRect(0, r.top(), width, r.height());
        }
        const Node* parent = dropItem ? model->nodeFor(dropItem) : model->root();
        if (!parent) return {};
        if (dropIndex < int(parent->children.size())) {
            const QRect r = q->visualRect(model->indexOf(parent->children[dropIndex].get()));
            return QRect(r.left(), r.top(), width - r.left(), 0);
        }
        // After the last child: below the last visible row of the parent's subtree.
        const Node* last = parent;
        while (!last->children.empty() &&
               (last == model->root() || q->isExpanded(model->indexOf(last))))
            last = last->children.back().get();
        if (last == model->root()) return {};
        const QRect r = q->visualRect(model->indexOf(last));
        const QRect anchor = parent == model->root()
                                 ? QRect(0, 0, 0, 0)
                                 : q->visualRect(model->indexOf(parent->children.back().get()));
        return QRect(anchor.left(), r.bottom() + 1, width - anchor.left(), 0);
    }

    void dragOver(QDropEvent* event) {
        const auto [pitem, pindex] = proposal(event->position().toPoint());
        OutlineItem item = pitem;
        int index = pindex;
        NSDraggingInfo info(NSPasteboard(event->mimeData()), event->source(),
                            sourceMask(event->source(), event->possibleActions()));
        const NSDragOperation op = validate(info, item, index);
        if (op == NSDragOperationNone) {
            event->ignore();
            showDrop(false, nullptr, -1);
            return;
        }
        event->setDropAction(ChooseAction(op, event->possibleActions(), event->proposedAction()));
        event->accept();
        showDrop(true, item, index);
    }
};

NSOutlineView::NSOutlineView(QWidget* parent) : QTreeView(parent), d(std::make_unique<Private>()) {
    d->q = this;
    d->model = new OutlineModel(this);
    d->cells = new CellDelegate(this, d->model);
    setModel(d->model);
    setItemDelegate(d->cells);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                    QAbstractItemView::SelectedClicked);
    setDragEnabled(true);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    // The indicator is drawn here, where the data source's answer is known.
    setDropIndicatorShown(false);
    setUniformRowHeights(false);

    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { d->notifySelection(); });
    connect(this, &QTreeView::expanded, this, [this](const QModelIndex& index) {
        if (!d->quiet && d->delegate &&
            !d->delegate->outlineViewShouldExpandItem(this, d->model->nodeOf(index)->item)) {
            ++d->quiet;
            collapse(index);
            --d->quiet;
            return;
        }
        d->saveExpanded();
    });
    connect(this, &QTreeView::collapsed, this, [this](const QModelIndex& index) {
        // Rows that no longer show cannot stay selected.
        QItemSelection hidden;
        const Node* n = d->model->nodeOf(index);
        for (const QModelIndex& s : selectionModel()->selectedRows()) {
            for (const Node* p = d->model->nodeOf(s)->parent; p; p = p->parent)
                if (p == n) {
                    hidden.select(s, s.siblingAtColumn(d->model->columnCount({}) - 1));
                    break;
                }
        }
        if (!hidden.isEmpty()) selectionModel()->select(hidden, QItemSelectionModel::Deselect);
        d->saveExpanded();
    });
    connect(this, &QAbstractItemView::activated, this, &NSOutlineView::action);
    connect(header(), &QHeaderView::sectionResized, this, [this] { d->saveColumns(); });

    auto* nib = new NibColumns(this);
    nib->apply = [this] {
        // Only columns that came from these properties are made again.
        if (d->columns.size() != size_t(d->nibColumns)) return;
        const QStringList ids = property("tableColumns").toStringList();
        const QStringList titles = property("columnTitles").toStringList();
        d->columns.clear();
        for (int i = 0; i < ids.size(); ++i)
            d->columns.push_back(
                std::make_unique<NSTableColumn>(ids[i], i < titles.size() ? titles[i] : QString()));
        d->nibColumns = int(d->columns.size());
        reloadData();
    };
    installEventFilter(nib);
}

NSOutlineView::~NSOutlineView() = default;

void NSOutlineView::setDataSource(NSOutlineViewDataSource* source) {
    d->source = source;
}

NSOutlineViewDataSource* NSOutlineView::dataSource() const {
    return d->source;
}

void NSOutlineView::setDelegate(NSOutlineViewDelegate* delegate) {
    d->delegate = delegate;
}

NSOutlineViewDelegate* NSOutlineView::delegate() const {
    return d->delegate;
}

void NSOutlineView::addTableColumn(std::unique_ptr<NSTableColumn> column) {
    if (!column) return;
    d->columns.push_back(std::move(column));
    // Columns change the model's shape: mirror the tree again.
    reloadData();
    if (d->autosaveColumns) d->restoreColumns();
}

NSTableColumn* NSOutlineView::tableColumnWithIdentifier(const QString& identifier) const {
    for (const auto& c : d->columns)
        if (c->identifier() == identifier) return c.get();
    return nullptr;
}

const std::vector<std::unique_ptr<NSTableColumn>>& NSOutlineView::tableColumns() const {
    return d->columns;
}

void NSOutlineView::reloadData() {
    std::vector<OutlineItem> expanded;
    std::function<void(const Node*)> walk = [&](const Node* parent) {
        for (const auto& child : parent->children) {
            if (!isExpanded(d->model->indexOf(child.get()))) continue;
            expanded.push_back(child->item);
            walk(child.get());
        }
    };
    walk(d->model->root());
    const std::vector<OutlineItem> selected = d->selectedItems();
    const OutlineItem current =
        currentIndex().isValid() ? d->model->nodeOf(currentIndex())->item : nullptr;
    const int currentColumn = currentIndex().column();
    std::vector<int> widths;
    for (size_t i = 0; i < d->columns.size(); ++i)
        widths.push_back(columnWidth(int(i)));

    ++d->quiet;
    d->model->rebuild(d->source);
    for (size_t i = 0; i < widths.size() && i < d->columns.size(); ++i)
        if (widths[i] > 0) setColumnWidth(int(i), widths[i]);
    for (OutlineItem item : expanded)
        if (Node* n = d->model->nodeFor(item)) expand(d->model->indexOf(n));
    QItemSelection selection;
    std::vector<OutlineItem> kept;
    for (OutlineItem item : selected) {
        if (rowForItem(item) < 0) continue;
        const QModelIndex i = d->model->indexForItem(item);
        selection.select(i, i.siblingAtColumn(std::max(0, d->model->columnCount({}) - 1)));
        kept.push_back(item);
    }
    if (Node* n = d->model->nodeFor(current))
        selectionModel()->setCurrentIndex(d->model->indexOf(n, std::max(0, currentColumn)),
                                          QItemSelectionModel::NoUpdate);
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    --d->quiet;

    if (d->autosaveExpanded && !d->autosaveName.isEmpty()) {
        if (d->restorePending) d->restoreExpanded();
        d->saveExpanded();
    }
    if (kept != selected) d->notifySelection();
}

int NSOutlineView::numberOfRows() const {
    int rows = 0;
    d->visibleWalk(d->model->root(), [&](const Node*) {
        ++rows;
        return true;
    });
    return rows;
}

OutlineItem NSOutlineView::itemAtRow(int row) const {
    OutlineItem found = nullptr;
    int at = 0;
    if (row < 0) return nullptr;
    d->visibleWalk(d->model->root(), [&](const Node* n) {
        if (at++ == row) {
            found = n->item;
            return false;
        }
        return true;
    });
    return found;
}

int NSOutlineView::rowForItem(OutlineItem item) const {
    if (!item || !d->model->nodeFor(item)) return -1;
    int row = -1, at = 0;
    d->visibleWalk(d->model->root(), [&](const Node* n) {
        if (n->item == item) {
            row = at;
            return false;
        }
        ++at;
        return true;
    });
    return row;
}

OutlineItem NSOutlineView::parentForItem(OutlineItem item) const {
    const Node* n = d->model->nodeFor(item);
    return n && n->parent ? n->parent->item : nullptr;
}

int NSOutlineView::levelForItem(OutlineItem item) const {
    const Node* n = d->model->nodeFor(item);
    if (!n) return -1;
    int level = -1;
    for (; n->parent; n = n->parent)
        ++level;
    return level;
}

bool NSOutlineView::isItemExpanded(OutlineItem item) const {
    const Node* n = d->model->nodeFor(item);
    return n && isExpanded(d->model->indexOf(n));
}

void NSOutlineView::expandItem(OutlineItem item) {
    Node* n = d->model->nodeFor(item);
    if (!n || !d->model->hasChildren(d->model->indexOf(n))) return;
    if (d->delegate && !d->delegate->outlineViewShouldExpandItem(this, item)) return;
    expand(d->model->indexOf(n));
}

void NSOutlineView::collapseItem(OutlineItem item) {
    if (Node* n = d->model->nodeFor(item)) collapse(d->model->indexOf(n));
}

int NSOutlineView::selectedRow() const {
    const auto rows = selectedRowIndexes();
    return rows.empty() ? -1 : rows.front();
}

std::vector<int> NSOutlineView::selectedRowIndexes() const {
    std::vector<int> rows;
    for (OutlineItem item : d->selectedItems())
        if (int r = rowForItem(item); r >= 0) rows.push_back(r);
    std::sort(rows.begin(), rows.end());
    return rows;
}

int NSOutlineView::numberOfSelectedRows() const {
    return int(selectedRowIndexes().size());
}

void NSOutlineView::selectRowByExtendingSelection(int row, bool extend) {
    OutlineItem item = itemAtRow(row);
    if (!item) return;
    const QModelIndex index = d->model->indexForItem(item);
    selectionModel()->setCurrentIndex(
        index, (extend ? QItemSelectionModel::Select : QItemSelectionModel::ClearAndSelect) |
                   QItemSelectionModel::Rows);
}

void NSOutlineView::deselectAll() {
    selectionModel()->clearSelection();
}

void NSOutlineView::editColumnRowWithEventSelect(int column, int row, bool select) {
    OutlineItem item = itemAtRow(row);
    if (!item || column < 0 || column >= int(d->columns.size())) return;
    const QModelIndex index = d->model->indexForItem(item, column);
    if (!(d->model->flags(index) & Qt::ItemIsEditable)) return;
    scrollTo(index);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    d->cells->selectAllOnEdit = select;
    edit(index);
    d->cells->selectAllOnEdit = true;
}

void NSOutlineView::setDropItemDropChildIndex(OutlineItem item, int index) {
    d->dropItem = item;
    d->dropIndex = index;
}

void NSOutlineView::registerForDraggedTypes(const QStringList& types) {
    for (const QString& t : types)
        if (!d->draggedTypes.contains(t)) d->draggedTypes << t;
}

QStringList NSOutlineView::registeredDraggedTypes() const {
    return d->draggedTypes;
}

NSDragOperation NSOutlineView::draggingSourceOperationMaskForLocal(bool local) {
    return local ? NSDragOperationEvery : NSDragOperationCopy;
}

void NSOutlineView::setAutosaveName(const QString& name) {
    if (name == d->autosaveName) return;
    d->autosaveName = name;
    d->restorePending = !name.isEmpty();
    if (d->autosaveColumns) d->restoreColumns();
}

QString NSOutlineView::autosaveName() const {
    return d->autosaveName;
}

void NSOutlineView::setAutosaveTableColumns(bool save) {
    if (save == d->autosaveColumns) return;
    d->autosaveColumns = save;
    if (save) d->restoreColumns();
}

bool NSOutlineView::autosaveTableColumns() const {
    return d->autosaveColumns;
}

void NSOutlineView::setAutosaveExpandedItems(bool save) {
    if (save == d->autosaveExpanded) return;
    d->autosaveExpanded = save;
    // Turning it off keeps the saved list; turning it on shows it again.
    if (!save || d->autosaveName.isEmpty()) return;
    if (d->model->root()->children.empty()) {
        d->restorePending = true; // nothing to expand before the first reload
        return;
    }
    d->restoreExpanded();
    d->saveExpanded();
}

bool NSOutlineView::autosaveExpandedItems() const {
    return d->autosaveExpanded;
}

bool NSOutlineView::performDrop(const QMimeData* data, QObject* source, OutlineItem item,
                                int childIndex) {
    NSDraggingInfo info(NSPasteboard(data), source, d->sourceMask(source, Qt::CopyAction));
    if (d->validate(info, item, childIndex) == NSDragOperationNone) return false;
    return d->source->outlineViewAcceptDropItemChildIndex(this, &info, item, childIndex);
}

void NSOutlineView::startDrag(Qt::DropActions) {
    if (!d->source) return;
    std::vector<std::pair<int, OutlineItem>> rows;
    for (OutlineItem item : d->selectedItems())
        if (int r = rowForItem(item); r >= 0) rows.emplace_back(r, item);
    if (rows.empty()) return;
    std::sort(rows.begin(), rows.end());
    std::vector<OutlineItem> items;
    for (const auto& r : rows)
        items.push_back(r.second);

    auto mime = std::make_unique<QMimeData>();
    NSPasteboard pasteboard(mime.get());
    if (!d->source->outlineViewWriteItemsToPasteboard(this, items, &pasteboard)) return;
    // The destination is unknown when the drag starts: offer what either
    // kind of destination may do; a local one learns the local mask.
    const Qt::DropActions actions = ToQt(draggingSourceOperationMaskForLocal(true) |
                                         draggingSourceOperationMaskForLocal(false));
    if (!actions) return;
    auto* drag = new QDrag(this);
    drag->setMimeData(mime.release());
    const QRect first = visualRect(d->model->indexForItem(items.front()));
    if (first.isValid()) {
        const qreal dpr = devicePixelRatioF();
        QPixmap pixmap(QSize(viewport()->width(), first.height()) * dpr);
        pixmap.setDevicePixelRatio(dpr);
        pixmap.fill(Qt::transparent);
        viewport()->render(&pixmap, QPoint(),
                           QRegion(0, first.top(), viewport()->width(), first.height()));
        drag->setPixmap(pixmap);
    }
    drag->exec(actions, actions & Qt::MoveAction ? Qt::MoveAction : Qt::CopyAction);
    d->showDrop(false, nullptr, -1);
}

void NSOutlineView::dragEnterEvent(QDragEnterEvent* event) {
    if (!d->acceptsTypes(event->mimeData())) {
        event->ignore();
        return;
    }
    setState(QAbstractItemView::DraggingState);
    d->dragOver(event);
    // Entering is accepted for a known type even where this point refuses,
    // so the drag keeps reporting its moves.
    event->accept();
}

void NSOutlineView::dragMoveEvent(QDragMoveEvent* event) {
    d->dragOver(event);
}

void NSOutlineView::dragLeaveEvent(QDragLeaveEvent* event) {
    d->showDrop(false, nullptr, -1);
    setState(QAbstractItemView::NoState);
    event->accept();
}

void NSOutlineView::dropEvent(QDropEvent* event) {
    const auto [pitem, pindex] = d->proposal(event->position().toPoint());
    OutlineItem item = pitem;
    int index = pindex;
    NSDraggingInfo info(NSPasteboard(event->mimeData()), event->source(),
                        d->sourceMask(event->source(), event->possibleActions()));
    const NSDragOperation op = d->validate(info, item, index);
    d->showDrop(false, nullptr, -1);
    setState(QAbstractItemView::NoState);
    if (op != NSDragOperationNone &&
        d->source->outlineViewAcceptDropItemChildIndex(this, &info, item, index)) {
        event->setDropAction(ChooseAction(op, event->possibleActions(), event->proposedAction()));
        event->accept();
    } else {
        event->ignore();
    }
}

void NSOutlineView::paintEvent(QPaintEvent* event) {
    QTreeView::paintEvent(event);
    if (!d->dropShown) return;
    const QRect rect = d->indicatorRect();
    if (rect.isNull()) return;
    QPainter painter(viewport());
    QStyleOption opt;
    opt.initFrom(this);
    opt.rect = rect;
    style()->drawPrimitive(QStyle::PE_IndicatorItemViewItemDrop, &opt, &painter, this);
}
