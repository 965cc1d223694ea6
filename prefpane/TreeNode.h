// The menu tree the pane edits: a generic ordered tree node, its subclass
// for the menu (groups and items, converted to and from the settings
// file's dictionary form), and the payloads. Nodes are shared by pointer;
// a node owns its children and its payload, and knows its parent without
// owning it. "The same node" is always the same object; equality of nodes
// and payloads is equality of names.
#pragma once

#include "platform/Bundle.h"
#include "platform/PropertyList.h"
#include "platform/ui/OutlineView.h" // NSImage, NSNotFound

#include <QString>
#include <memory>
#include <vector>

class TreeNode;
using TreeNodeRef = std::shared_ptr<TreeNode>;
using NodeArray = std::vector<TreeNodeRef>;

class TreeNodeData {
public:
    virtual ~TreeNodeData() = default;
    // What the node adds to its parent's "Entries"; nullopt: nothing.
    virtual std::optional<PlistValue> dataForDictionary() const { return std::nullopt; }
    virtual bool isEqual(const TreeNodeData* other) const { return this == other; }
    virtual QString description() const { return QString(); }
};

class TreeNode : public std::enable_shared_from_this<TreeNode> {
public:
    virtual ~TreeNode();

    // Puts "Entries": each child's dataForDictionary, those that give one.
    virtual void addDataToDictionary(PlistDictionary& dictionary) const;

    static TreeNodeRef treeNodeWithData(std::unique_ptr<TreeNodeData> data);
    // Keeps the data, the parent (not owned) and a copy of children; does
    // not make itself the children's parent (callers pass none and insert).
    void initWithDataParentChildren(std::unique_ptr<TreeNodeData> data, TreeNode* parent,
                                    const NodeArray& children);

    void setNodeData(std::unique_ptr<TreeNodeData> data);
    TreeNodeData* nodeData() const { return m_data.get(); }
    void setNodeParent(TreeNode* parent) { m_parent = parent; }
    TreeNode* nodeParent() const { return m_parent; }

    void insertChildAtIndex(const TreeNodeRef& child, int index);
    void insertChildrenAtIndex(const NodeArray& children, int index);
    // Clears the parent of each, then removes each from the children by identity.
    void _removeChildrenIdenticalTo(const NodeArray& children);
    void removeChild(TreeNode* child); // ignored when it is not a child
    void removeFromParent();

    int indexOfChild(const TreeNode* child) const;            // by equality; NSNotFound
    int indexOfChildIdenticalTo(const TreeNode* child) const; // by identity; NSNotFound
    int numberOfChildren() const { return int(m_children.size()); }
    NodeArray children() const { return m_children; }
    TreeNodeRef firstChild() const; // only on a node with children
    TreeNodeRef lastChild() const;  // null when there are none
    TreeNodeRef childAtIndex(int index) const;

    // True when node is this node or one of its ancestors.
    bool isDescendantOfNode(const TreeNode* node) const;
    bool isDescendantOfNodeInArray(const NodeArray& nodes) const;

    // "{name}".
    QString description() const;
    virtual bool isEqual(const TreeNode* other) const;

    // The topmost of the nodes: nothing in the result lies inside another
    // of it, in discovery order.
    static NodeArray minimumNodeCoverFromNodesInArray(const NodeArray& nodes);

protected:
    TreeNode() = default;

private:
    TreeNode* m_parent = nullptr;
    std::unique_ptr<TreeNodeData> m_data;
    NodeArray m_children;
};

class SimpleNodeData;
class SimpleTreeNode;
using SimpleTreeNodeRef = std::shared_ptr<SimpleTreeNode>;

class SimpleTreeNode : public TreeNode {
public:
    static SimpleTreeNodeRef treeNodeWithData(std::unique_ptr<TreeNodeData> data);

    // Rewrites old to new, ignoring case, in the URL of every item below;
    // true when a URL changed.
    bool replaceOccurrencesOfStringWithString(const QString& oldText, const QString& newText);
    // The first direct child that is a group of this name; null when none.
    SimpleTreeNodeRef findGroup(const QString& name) const;
    void addDataToDictionary(PlistDictionary& dictionary) const override;
    bool isEqual(const TreeNode* other) const override;
    // Builds this node and its subtree from a group dictionary.
    void initFromDictionary(const PlistDictionary* dictionary);
    // null dictionary: an empty root.
    static SimpleTreeNodeRef treeFromDictionary(const PlistDictionary* dictionary);

    SimpleNodeData* data() const; // the payload as what it always is here

protected:
    SimpleTreeNode() = default;
};

class SimpleNodeData : public TreeNodeData {
public:
    // The item icon's size is fixed; the group icon keeps the image's own.
    void loadIconRepForURL();
    std::optional<PlistValue> dataForDictionary() const override;

    SimpleNodeData(const QString& name, bool isLeaf); // initWithName:isLeaf:
    static std::unique_ptr<SimpleNodeData> leafDataWithNameUrl(const QString& name,
                                                               const QString& url);
    static std::unique_ptr<SimpleNodeData> groupDataWithName(const QString& name);

    void setName(const QString& name);
    QString name() const { return m_name; }
    void setURL(const QString& url); // refreshes the icon when it changes
    QString url() const { return m_url; }
    void setIsLeaf(bool leaf) { m_isLeaf = leaf; }
    bool isLeaf() const { return m_isLeaf; }
    bool isGroup() const { return !m_isLeaf; }
    bool isEqual(const TreeNodeData* other) const override;
    void setIconRep(NSImageRef icon);
    NSImageRef iconRep() const { return m_iconRep; }
    QString description() const override { return m_name; }

private:
    QString m_name;
    QString m_url;
    NSImageRef m_iconRep;
    bool m_isLeaf;
};

// The placeholder URL of an item that has none yet.
inline const QString kNoURL = QStringLiteral("???");

// The pane's bundle: the source of the icons (resources "item" and "group"
// of type "tiff") and of the default tree. Null: no icons.
void SetOurBundle(CFBundleRef bundle);
CFBundleRef OurBundle();
