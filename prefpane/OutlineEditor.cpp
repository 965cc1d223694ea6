// The controller's side of the outline view: the tree as the view's data,
// editing in place, the add and delete buttons, the URL field, and drag and
// drop within the view and from other programs.
#include "platform/TextEncoding.h"
#include "prefpane/ImageAndTextCell.h"
#include "prefpane/LoftwisePrefPane.h"
#include "prefpane/MyExtensions.h"
#include "prefpane/MyOutlineView.h"

#include <QAction>
#include <QLineEdit>
#include <QPushButton>

namespace {

const QString kNameColumn = QStringLiteral("NameColumn");
const QString kURLColumn = QStringLiteral("NodeURLColumn");
const QString kPrivateDragType = QStringLiteral("MyCustomOutlineViewPboardType");

SimpleNodeData* DataOf(const TreeNode* node) {
    return static_cast<SimpleNodeData*>(node->nodeData());
}

TreeNodeRef RefOf(OutlineItem item) {
    return static_cast<TreeNode*>(item)->shared_from_this();
}

std::vector<OutlineItem> ItemsOf(const NodeArray& nodes) {
    std::vector<OutlineItem> items;
    for (const TreeNodeRef& node : nodes)
        items.push_back(node.get());
    return items;
}

// The text without the characters a settings file cannot hold (C0 controls
// other than tab, line feed and carriage return, and U+FFFE and U+FFFF):
// the store refuses a tree that holds one, and every later save of the tree
// would fail with it.
QString Storable(QString text) {
    text.removeIf([](QChar c) { return plat::IsPlistUnsafeCharacter(c.unicode()); });
    return text;
}

void SetEnabled(QWidget* widget, bool on) {
    if (widget) widget->setEnabled(on);
}

} // namespace

QString LoftwisePrefPane::normalizedURL(const QString& text) {
    static const QString known[] = {QStringLiteral("http://"), QStringLiteral("file://"),
                                    QStringLiteral("ftp://"), QStringLiteral("afp://"), kNoURL};
    for (const QString& start : known)
        if (text.startsWith(start)) return text;
    return QStringLiteral("ftp://") + text;
}

TreeNode* LoftwisePrefPane::nodeForItem(OutlineItem item) const {
    return item ? static_cast<TreeNode*>(item) : treeData.get();
}

OutlineItem LoftwisePrefPane::outlineViewChildOfItem(NSOutlineView*, int index, OutlineItem item) {
    TreeNode* node = nodeForItem(item);
    return node ? node->childAtIndex(index).get() : nullptr;
}

bool LoftwisePrefPane::outlineViewIsItemExpandable(NSOutlineView*, OutlineItem item) {
    return item && DataOf(nodeForItem(item))->isGroup();
}

int LoftwisePrefPane::outlineViewNumberOfChildrenOfItem(NSOutlineView*, OutlineItem item) {
    TreeNode* node = nodeForItem(item);
    return node ? node->numberOfChildren() : 0;
}

QVariant LoftwisePrefPane::outlineViewObjectValueForTableColumnByItem(NSOutlineView*,
                                                                      NSTableColumn* column,
                                                                      OutlineItem item) {
    if (!item || !column) return {};
    const SimpleNodeData* data = DataOf(nodeForItem(item));
    if (column->identifier() == kNameColumn) return data->name();
    if (column->identifier() == kURLColumn) return data->isLeaf() ? data->url() : QString();
    return {};
}

void LoftwisePrefPane::outlineViewSetObjectValueForTableColumnByItem(NSOutlineView*,
                                                                     const QVariant& value,
                                                                     NSTableColumn* column,
                                                                     OutlineItem item) {
    if (!item || !column) return;
    SimpleNodeData* data = DataOf(nodeForItem(item));
    if (column->identifier() == kNameColumn)
        data->setName(Storable(value.toString()));
    else if (column->identifier() == kURLColumn && data->isLeaf())
        data->setURL(normalizedURL(Storable(value.toString())));
    else
        return;
    _saveMenuItemPreferences();
    outlineViewAction(nullptr); // the URL field shows the edited URL
}

QVariant LoftwisePrefPane::outlineViewPersistentObjectForItem(NSOutlineView*, OutlineItem item) {
    if (!item) return {};
    return DataOf(nodeForItem(item))->name();
}

OutlineItem LoftwisePrefPane::outlineViewItemForPersistentObject(NSOutlineView*,
                                                                 const QVariant& object) {
    if (!treeData) return nullptr;
    return treeData->findGroup(object.toString()).get();
}

bool LoftwisePrefPane::outlineViewShouldExpandItem(NSOutlineView*, OutlineItem item) {
    return item && DataOf(nodeForItem(item))->isGroup();
}

bool LoftwisePrefPane::outlineViewShouldEditTableColumnItem(NSOutlineView*, NSTableColumn* column,
                                                            OutlineItem item) {
    if (column && column->identifier() == kURLColumn)
        return item && DataOf(nodeForItem(item))->isLeaf();
    return true;
}

void LoftwisePrefPane::outlineViewWillDisplayCellForTableColumnItem(NSOutlineView*, NSCell* cell,
                                                                    NSTableColumn* column,
                                                                    OutlineItem item) {
    if (!item || !column || column->identifier() != kNameColumn) return;
    if (auto* imageCell = dynamic_cast<ImageAndTextCell*>(cell))
        imageCell->setImage(DataOf(nodeForItem(item))->iconRep());
}

void LoftwisePrefPane::outlineViewSelectionDidChange(NSOutlineView*) {
    outlineViewAction(nullptr);
}

NodeArray LoftwisePrefPane::selectedNodes() const {
    NodeArray nodes;
    if (!outlineView) return nodes;
    for (OutlineItem item : allSelectedItems(outlineView))
        nodes.push_back(RefOf(item));
    return nodes;
}

bool LoftwisePrefPane::validateMenuItem(QAction* item) const {
    if (item && item->property("action").toString() == QLatin1String("deleteSelections:"))
        return !selectedNodes().empty();
    return true;
}

void LoftwisePrefPane::outlineViewAction(QObject*) {
    const NodeArray selection = selectedNodes();
    const bool oneItem = selection.size() == 1 && DataOf(selection[0].get())->isLeaf();
    if (urlEditor) {
        urlEditor->setText(oneItem ? DataOf(selection[0].get())->url() : QString());
        urlEditor->setEnabled(oneItem);
        urlEditor->setReadOnly(!oneItem);
    }
    bool addGroupOn = selection.empty();
    if (oneItem) addGroupOn = selection[0]->nodeParent() == treeData.get();
    SetEnabled(addGroupButton, addGroupOn);
    SetEnabled(addItemButton, selection.size() <= 1);
    SetEnabled(deleteSelectionButton, !selection.empty());
}

void LoftwisePrefPane::_addNewDataToSelection(const TreeNodeRef& node) {
    if (!treeData) return;
    const NodeArray selection = selectedNodes();
    TreeNode* target = selection.empty() ? treeData.get() : selection[0].get();
    if (DataOf(target)->isGroup()) {
        target->insertChildAtIndex(node, 0);
    } else {
        TreeNode* parent = target->nodeParent();
        parent->insertChildAtIndex(node, parent->indexOfChildIdenticalTo(target) + 1);
    }
    if (!outlineView) return _saveMenuItemPreferences();
    outlineView->reloadData();
    _saveMenuItemPreferences();
    const int row = outlineView->rowForItem(node.get());
    if (row < 0) return;
    outlineView->selectRowByExtendingSelection(row, false);
    int nameColumn = 0;
    const auto& columns = outlineView->tableColumns();
    for (size_t i = 0; i < columns.size(); ++i)
        if (columns[i]->identifier() == kNameColumn) nameColumn = int(i);
    outlineView->editColumnRowWithEventSelect(nameColumn, row, true);
}

void LoftwisePrefPane::addGroup(QObject*) {
    _addNewDataToSelection(SimpleTreeNode::treeNodeWithData(
        SimpleNodeData::groupDataWithName(QStringLiteral("New Group"))));
    SetEnabled(addGroupButton, false);
    SetEnabled(deleteSelectionButton, true);
}

void LoftwisePrefPane::addLeaf(QObject*) {
    _addNewDataToSelection(SimpleTreeNode::treeNodeWithData(
        SimpleNodeData::leafDataWithNameUrl(QStringLiteral("New Item"), kNoURL)));
    SetEnabled(deleteSelectionButton, true);
}

void LoftwisePrefPane::deleteSelections(QObject*) {
    // The removed nodes stay alive here until the view has reloaded.
    const NodeArray selection = selectedNodes();
    for (const TreeNodeRef& node : selection)
        node->removeFromParent();
    if (outlineView) {
        outlineView->deselectAll();
        outlineView->reloadData();
    }
    _saveMenuItemPreferences();
    if (urlEditor) {
        urlEditor->clear();
        urlEditor->setEnabled(false);
    }
    SetEnabled(addGroupButton, true);
    SetEnabled(addItemButton, true);
    SetEnabled(deleteSelectionButton, false);
}

void LoftwisePrefPane::getTextFieldText(QObject*) {
    const NodeArray selection = selectedNodes();
    if (selection.size() != 1 || !urlEditor || !outlineView) return;
    SimpleNodeData* data = DataOf(selection[0].get());
    if (!data->isLeaf()) return;
    data->setURL(normalizedURL(Storable(urlEditor->text())));
    urlEditor->setText(data->url());
    outlineView->reloadData();
    _saveMenuItemPreferences();
}

bool LoftwisePrefPane::outlineViewWriteItemsToPasteboard(NSOutlineView*,
                                                         const std::vector<OutlineItem>& items,
                                                         NSPasteboard* pboard) {
    draggedNodes.clear();
    QString description = QStringLiteral("(");
    for (OutlineItem item : items) {
        draggedNodes.push_back(RefOf(item));
        description +=
            (draggedNodes.size() > 1 ? QStringLiteral(",\n    ") : QStringLiteral("\n    ")) +
            draggedNodes.back()->description();
    }
    description += QStringLiteral("\n)");
    pboard->declareTypes({kPrivateDragType, NSStringPboardType});
    pboard->setDataForType(QByteArray(), kPrivateDragType);
    pboard->setStringForType(description, NSStringPboardType);
    return true;
}

NSDragOperation LoftwisePrefPane::outlineViewValidateDropProposedItemProposedChildIndex(
    NSOutlineView* view, NSDraggingInfo* info, OutlineItem item, int childIndex) {
    TreeNode* target = item ? static_cast<TreeNode*>(item) : nullptr;
    const bool onEntry = childIndex == -1;
    bool allowed = true;
    if (onlyAcceptDropOnRoot() && target) {
        allowed = false;
    } else if (onEntry && !target) {
        // The view's background.
        allowed = allowOnDropOnLeaf() && (!treeData || treeData->numberOfChildren() == 0);
    } else if (!onEntry) {
        allowed = allowBetweenDrop();
    } else {
        allowed = DataOf(target)->isGroup() ? allowOnDropOnGroup() : allowOnDropOnLeaf();
    }

    const bool fromHere = info->draggingSource() == view;
    if (allowed && fromHere && target && DataOf(target)->isGroup()) {
        for (const TreeNodeRef& node : draggedNodes)
            if (DataOf(node.get())->isGroup()) allowed = false;
    }
    if (allowed && fromHere &&
        !info->draggingPasteboard()->availableTypeFromArray({kPrivateDragType}).isEmpty() &&
        target && target->isDescendantOfNodeInArray(draggedNodes))
        allowed = false;

    view->setDropItemDropChildIndex(item, childIndex);
    return allowed ? NSDragOperationGeneric : NSDragOperationNone;
}

bool LoftwisePrefPane::outlineViewAcceptDropItemChildIndex(NSOutlineView*, NSDraggingInfo* info,
                                                           OutlineItem item, int childIndex) {
    if (!treeData) return false;
    TreeNode* target = nodeForItem(item);
    // On a group (or the background): the top of it.
    _performDropOperationOnNodeAtIndex(info, target, childIndex == -1 ? 0 : childIndex);
    return true;
}

void LoftwisePrefPane::_performDropOperationOnNodeAtIndex(NSDraggingInfo* info, TreeNode* target,
                                                          int index) {
    NSPasteboard* pboard = info->draggingPasteboard();
    const QString type = pboard->availableTypeFromArray({kPrivateDragType, NSStringPboardType});
    NodeArray selection;
    // The node list of a move is this view's own; the private type from any
    // other view names nodes of which nothing is known here.
    if (type == kPrivateDragType && info->draggingSource() == outlineView) {
        const NodeArray cover = TreeNode::minimumNodeCoverFromNodesInArray(draggedNodes);
        selection = selectedNodes();
        // Never into itself: the tree would lose the subtree.
        if (!target->isDescendantOfNodeInArray(cover)) {
            for (const TreeNodeRef& node : cover) {
                if (node->nodeParent() == target &&
                    target->indexOfChildIdenticalTo(node.get()) < index)
                    --index;
                node->removeFromParent();
            }
            target->insertChildrenAtIndex(cover, std::clamp(index, 0, target->numberOfChildren()));
        }
    } else if (type == kPrivateDragType || type == NSStringPboardType) {
        const QString text = Storable(pboard->stringForType(NSStringPboardType));
        if (!text.isNull()) {
            TreeNodeRef node =
                SimpleTreeNode::treeNodeWithData(SimpleNodeData::leafDataWithNameUrl(text, kNoURL));
            target->insertChildAtIndex(node, std::clamp(index, 0, target->numberOfChildren()));
            selection = {node};
        }
    }
    draggedNodes.clear();
    if (outlineView) outlineView->reloadData();
    _saveMenuItemPreferences();
    if (outlineView) selectItemsByExtendingSelection(outlineView, ItemsOf(selection), false);
}
