// What the outline view's files share: the pasteboard's type and drag
// operation mapping, the mirror of the data source's tree and its item
// model, and the delegate that hands rows to the cells. Only
// platform/ui/Outline*.cpp include this.
#pragma once

#include "platform/ui/OutlineView.h"

#include <QAbstractItemModel>
#include <QHash>
#include <QStyledItemDelegate>
#include <memory>
#include <vector>

// Kept out of the library's exports: only the outline view's files use these.
#pragma GCC visibility push(hidden)
namespace plat::outline {

// --- pasteboard and drag operations (OutlinePasteboard.cpp) ------------------

// Whether data holds the pasteboard type, in any of the MIME forms it takes.
bool HoldsType(const QMimeData* data, const QString& type);
Qt::DropActions ToQt(NSDragOperation op);
NSDragOperation FromQt(Qt::DropActions actions);
// The action a validated operation stands for, among those the drag offers.
Qt::DropAction ChooseAction(NSDragOperation op, Qt::DropActions possible, Qt::DropAction fallback);

// --- the mirror and its model (OutlineModel.cpp) -----------------------------

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
    void rebuild(NSOutlineViewDataSource* source);

    NSTableColumn* column(int c) const {
        const auto& cols = m_view->tableColumns();
        return c >= 0 && c < int(cols.size()) ? cols[c].get() : nullptr;
    }

    void columnsChanged();

    QModelIndex index(int row, int col, const QModelIndex& parent) const override;
    QModelIndex parent(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent) const override;
    int columnCount(const QModelIndex&) const override;
    bool hasChildren(const QModelIndex& parent) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;
    // Moves are carried out by the data source; the model removes nothing.
    bool removeRows(int, int, const QModelIndex&) override { return false; }

private:
    void fill(NSOutlineViewDataSource* source, Node* parent, int depth);

    NSOutlineView* m_view;
    Node m_root;
    QHash<OutlineItem, Node*> m_byItem;
    int m_generation = 0;
};

// --- cells (OutlineCells.cpp) ------------------------------------------------

// Each row's cells are drawn by their column's data cell, after the
// delegate had its say; the editor goes where the cell puts it.
class CellDelegate : public QStyledItemDelegate {
public:
    CellDelegate(NSOutlineView* view, OutlineModel* model)
        : QStyledItemDelegate(view), m_view(view), m_model(model) {}

    bool selectAllOnEdit = true;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;

private:
    NSCell* prepared(const QModelIndex& index, bool highlighted) const;

    NSOutlineView* m_view;
    OutlineModel* m_model;
};

} // namespace plat::outline
#pragma GCC visibility pop
