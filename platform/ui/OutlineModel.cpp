// The item model that mirrors the data source's tree for the view.
#include "platform/ui/OutlineViewInternal.h"

#include <algorithm>

namespace plat::outline {

void OutlineModel::rebuild(NSOutlineViewDataSource* source) {
    beginResetModel();
    ++m_generation;
    m_root.children.clear();
    m_byItem.clear();
    if (source) fill(source, &m_root, 0);
    endResetModel();
}

void OutlineModel::columnsChanged() {
    beginResetModel();
    endResetModel();
}

QModelIndex OutlineModel::index(int row, int col, const QModelIndex& parent) const {
    const Node* p = nodeOf(parent);
    if (row < 0 || row >= int(p->children.size()) || col < 0 || col >= columnCount({})) return {};
    return createIndex(row, col, p->children[row].get());
}

QModelIndex OutlineModel::parent(const QModelIndex& index) const {
    if (!index.isValid()) return {};
    return indexOf(nodeOf(index)->parent);
}

int OutlineModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) return 0;
    return int(nodeOf(parent)->children.size());
}

int OutlineModel::columnCount(const QModelIndex&) const {
    return int(m_view->tableColumns().size());
}

bool OutlineModel::hasChildren(const QModelIndex& parent) const {
    if (parent.column() > 0) return false;
    const Node* n = nodeOf(parent);
    // An expandable item with no children still shows as a group.
    return !n->children.empty() || (n != &m_root && n->expandable);
}

QVariant OutlineModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole)) return {};
    NSOutlineViewDataSource* source = m_view->dataSource();
    NSTableColumn* col = column(index.column());
    if (!source || !col) return {};
    return source->outlineViewObjectValueForTableColumnByItem(m_view, col, nodeOf(index)->item);
}

bool OutlineModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::EditRole) return false;
    NSOutlineViewDataSource* source = m_view->dataSource();
    NSTableColumn* col = column(index.column());
    if (!source || !col) return false;
    const int generation = m_generation;
    source->outlineViewSetObjectValueForTableColumnByItem(m_view, value, col, nodeOf(index)->item);
    // A source that reloaded the view has refreshed every row already,
    // and the index is gone with the old mirror.
    if (generation == m_generation)
        emit dataChanged(index.siblingAtColumn(0), index.siblingAtColumn(columnCount({}) - 1));
    return true;
}

Qt::ItemFlags OutlineModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::ItemIsDropEnabled;
    Qt::ItemFlags f =
        Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;
    NSTableColumn* col = column(index.column());
    NSOutlineViewDelegate* delegate = m_view->delegate();
    if (col && col->isEditable() &&
        (!delegate ||
         delegate->outlineViewShouldEditTableColumnItem(m_view, col, nodeOf(index)->item)))
        f |= Qt::ItemIsEditable;
    return f;
}

QVariant OutlineModel::headerData(int section, Qt::Orientation o, int role) const {
    if (o != Qt::Horizontal || role != Qt::DisplayRole) return {};
    NSTableColumn* col = column(section);
    return col ? QVariant(col->title()) : QVariant();
}

void OutlineModel::fill(NSOutlineViewDataSource* source, Node* parent, int depth) {
    const int count = std::max(0, source->outlineViewNumberOfChildrenOfItem(m_view, parent->item));
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

} // namespace plat::outline
