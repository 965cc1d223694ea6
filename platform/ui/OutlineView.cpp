// The outline view itself: columns, rows and selection, autosave, and drags
// in and out, over the model and cells of its sibling files.
#include "platform/ui/OutlineView.h"

#include "platform/Preferences.h"
#include "platform/ui/OutlineViewInternal.h"

#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QDynamicPropertyChangeEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <functional>

using plat::outline::CellDelegate;
using plat::outline::ChooseAction;
using plat::outline::FromQt;
using plat::outline::HoldsType;
using plat::outline::Node;
using plat::outline::OutlineModel;
using plat::outline::ToQt;

namespace {

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

// Hidden like the model and delegate it holds: a struct may be no more
// visible than the types of its fields.
struct __attribute__((visibility("hidden"))) NSOutlineView::Private {
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
