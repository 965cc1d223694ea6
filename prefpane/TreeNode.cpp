// The menu tree: generic nodes, the menu's nodes and their payloads.
#include "prefpane/TreeNode.h"

#include <algorithm>

namespace {

CFBundleRef gOurBundle = nullptr;

// The constructors are protected so that nodes only ever live in a
// shared_ptr; these let make_shared reach them.
struct MadeTreeNode final : TreeNode {};
struct MadeSimpleTreeNode final : SimpleTreeNode {};

NSImageRef LoadBundleImage(const QString& name) {
    if (!gOurBundle) return nullptr;
    const auto path = CFBundleCopyResourcePath(gOurBundle, name, QStringLiteral("tiff"));
    return path ? NSImage::imageWithContentsOfFile(*path) : nullptr;
}

const QString kEntriesKey = QStringLiteral("Entries");
const QString kGroupKey = QStringLiteral("Group");

} // namespace

void SetOurBundle(CFBundleRef bundle) {
    gOurBundle = bundle;
}

CFBundleRef OurBundle() {
    return gOurBundle;
}

// ---- TreeNode

TreeNode::~TreeNode() {
    // Children may outlive this node in other hands; they must not point back.
    for (const auto& child : m_children)
        if (child->m_parent == this) child->m_parent = nullptr;
}

void TreeNode::addDataToDictionary(PlistDictionary& dictionary) const {
    PlistArray entries;
    for (const auto& child : m_children)
        if (child->nodeData())
            if (auto value = child->nodeData()->dataForDictionary()) entries.push_back(*value);
    dictionary[kEntriesKey] = std::move(entries);
}

TreeNodeRef TreeNode::treeNodeWithData(std::unique_ptr<TreeNodeData> data) {
    TreeNodeRef node = std::make_shared<MadeTreeNode>();
    node->initWithDataParentChildren(std::move(data), nullptr, {});
    return node;
}

void TreeNode::initWithDataParentChildren(std::unique_ptr<TreeNodeData> data, TreeNode* parent,
                                          const NodeArray& children) {
    m_data = std::move(data);
    m_parent = parent;
    m_children = children;
}

void TreeNode::setNodeData(std::unique_ptr<TreeNodeData> data) {
    m_data = std::move(data);
}

void TreeNode::insertChildAtIndex(const TreeNodeRef& child, int index) {
    insertChildrenAtIndex(NodeArray{child}, index);
}

void TreeNode::insertChildrenAtIndex(const NodeArray& children, int index) {
    // An index past either end goes to that end rather than out of bounds.
    const int at = std::clamp(index, 0, numberOfChildren());
    NodeArray adding;
    for (const auto& child : children) {
        // A node inside itself would be its own ancestor: a cycle that
        // nothing could walk or free.
        if (!child || isDescendantOfNode(child.get())) continue;
        adding.push_back(child);
    }
    m_children.insert(m_children.begin() + at, adding.begin(), adding.end());
    for (const auto& child : adding)
        child->m_parent = this;
}

void TreeNode::_removeChildrenIdenticalTo(const NodeArray& children) {
    // Only our own children lose their parent: a node that lives under
    // another parent stays there.
    for (const auto& child : children)
        if (child && child->m_parent == this && indexOfChildIdenticalTo(child.get()) != NSNotFound)
            child->m_parent = nullptr;
    for (const auto& child : children)
        std::erase_if(m_children, [&](const TreeNodeRef& c) { return c.get() == child.get(); });
}

void TreeNode::removeChild(TreeNode* child) {
    const int index = indexOfChildIdenticalTo(child);
    if (index == NSNotFound) return;
    const TreeNodeRef keep = m_children[size_t(index)];
    _removeChildrenIdenticalTo(NodeArray{keep});
}

void TreeNode::removeFromParent() {
    // The parent may hold the last reference to this node.
    const TreeNodeRef keep = weak_from_this().lock();
    if (m_parent) m_parent->removeChild(this);
}

int TreeNode::indexOfChild(const TreeNode* child) const {
    for (size_t i = 0; i < m_children.size(); ++i)
        if (m_children[i]->isEqual(child)) return int(i);
    return NSNotFound;
}

int TreeNode::indexOfChildIdenticalTo(const TreeNode* child) const {
    for (size_t i = 0; i < m_children.size(); ++i)
        if (m_children[i].get() == child) return int(i);
    return NSNotFound;
}

TreeNodeRef TreeNode::firstChild() const {
    return m_children.empty() ? nullptr : m_children.front();
}

TreeNodeRef TreeNode::lastChild() const {
    return m_children.empty() ? nullptr : m_children.back();
}

TreeNodeRef TreeNode::childAtIndex(int index) const {
    if (index < 0 || index >= numberOfChildren()) return nullptr;
    return m_children[size_t(index)];
}

bool TreeNode::isDescendantOfNode(const TreeNode* node) const {
    for (const TreeNode* n = this; n; n = n->m_parent)
        if (n == node) return true;
    return false;
}

bool TreeNode::isDescendantOfNodeInArray(const NodeArray& nodes) const {
    return std::any_of(nodes.begin(), nodes.end(),
                       [&](const TreeNodeRef& n) { return n && isDescendantOfNode(n.get()); });
}

QString TreeNode::description() const {
    return QStringLiteral("{%1}").arg(m_data ? m_data->description() : QString());
}

bool TreeNode::isEqual(const TreeNode* other) const {
    return this == other;
}

NodeArray TreeNode::minimumNodeCoverFromNodesInArray(const NodeArray& nodes) {
    NodeArray result;
    NodeArray pending;
    std::copy_if(nodes.begin(), nodes.end(), std::back_inserter(pending),
                 [](const TreeNodeRef& n) { return n != nullptr; });
    auto removePending = [&](const TreeNode* n) {
        std::erase_if(pending, [&](const TreeNodeRef& p) { return p.get() == n; });
    };
    auto pendingRef = [&](const TreeNode* n) -> TreeNodeRef {
        for (const auto& p : pending)
            if (p.get() == n) return p;
        return nullptr;
    };
    while (!pending.empty()) {
        TreeNodeRef node = pending.front();
        removePending(node.get());
        // Climb while the parent is itself one of the nodes to cover.
        while (node->nodeParent()) {
            TreeNodeRef parent = pendingRef(node->nodeParent());
            if (!parent) break;
            removePending(node.get());
            node = parent;
        }
        if (!node->isDescendantOfNodeInArray(result)) result.push_back(node);
        removePending(node.get());
    }
    return result;
}

// ---- SimpleTreeNode

SimpleTreeNodeRef SimpleTreeNode::treeNodeWithData(std::unique_ptr<TreeNodeData> data) {
    SimpleTreeNodeRef node = std::make_shared<MadeSimpleTreeNode>();
    node->initWithDataParentChildren(std::move(data), nullptr, {});
    return node;
}

SimpleNodeData* SimpleTreeNode::data() const {
    return dynamic_cast<SimpleNodeData*>(nodeData());
}

bool SimpleTreeNode::replaceOccurrencesOfStringWithString(const QString& oldText,
                                                          const QString& newText) {
    // An empty pattern occurs nowhere (a replacement would land between
    // every pair of characters).
    if (oldText.isEmpty()) return false;
    bool changed = false;
    for (const auto& child : children()) {
        auto* node = dynamic_cast<SimpleTreeNode*>(child.get());
        SimpleNodeData* data = node ? node->data() : nullptr;
        if (!data) continue;
        if (data->isLeaf()) {
            QString url = data->url();
            if (url.indexOf(oldText, 0, Qt::CaseInsensitive) < 0) continue;
            url.replace(oldText, newText, Qt::CaseInsensitive);
            data->setURL(url);
            changed = true;
        } else if (node->replaceOccurrencesOfStringWithString(oldText, newText)) {
            changed = true;
        }
    }
    return changed;
}

SimpleTreeNodeRef SimpleTreeNode::findGroup(const QString& name) const {
    for (const auto& child : children()) {
        auto node = std::dynamic_pointer_cast<SimpleTreeNode>(child);
        const SimpleNodeData* data = node ? node->data() : nullptr;
        if (data && data->isGroup() && data->name() == name) return node;
    }
    return nullptr;
}

void SimpleTreeNode::addDataToDictionary(PlistDictionary& dictionary) const {
    PlistArray entries;
    for (const auto& child : children()) {
        auto* node = dynamic_cast<const SimpleTreeNode*>(child.get());
        const SimpleNodeData* data = node ? node->data() : nullptr;
        if (!data) continue;
        if (data->isLeaf()) {
            if (auto value = data->dataForDictionary()) entries.push_back(*value);
        } else {
            PlistDictionary group;
            group[kGroupKey] = data->name();
            node->addDataToDictionary(group);
            entries.push_back(std::move(group));
        }
    }
    dictionary[kEntriesKey] = std::move(entries);
}

bool SimpleTreeNode::isEqual(const TreeNode* other) const {
    if (!other || !nodeData() || !other->nodeData()) return this == other;
    return nodeData()->isEqual(other->nodeData());
}

void SimpleTreeNode::initFromDictionary(const PlistDictionary* dictionary) {
    _removeChildrenIdenticalTo(children());
    QString name;
    const PlistValue* entries = nullptr;
    if (dictionary) {
        if (auto it = dictionary->find(kGroupKey); it != dictionary->end() && it->second.asString())
            name = *it->second.asString();
        if (auto it = dictionary->find(kEntriesKey); it != dictionary->end()) entries = &it->second;
    }
    setNodeData(SimpleNodeData::groupDataWithName(name));
    if (!entries || !entries->asArray()) return;

    for (const PlistValue& entry : *entries->asArray()) {
        TreeNodeRef child;
        if (const PlistDictionary* group = entry.asDictionary()) {
            child = treeFromDictionary(group);
        } else if (const PlistArray* item = entry.asArray()) {
            // Name and URL, both strings; anything shorter or otherwise is
            // no item.
            if (item->size() < 2 || !(*item)[0].asString() || !(*item)[1].asString()) continue;
            child = treeNodeWithData(SimpleNodeData::leafDataWithNameUrl(*(*item)[0].asString(),
                                                                         *(*item)[1].asString()));
        } else if (const QString* bare = entry.asString()) {
            child = treeNodeWithData(SimpleNodeData::leafDataWithNameUrl(*bare, kNoURL));
        } else {
            continue;
        }
        insertChildAtIndex(child, numberOfChildren());
    }
}

SimpleTreeNodeRef SimpleTreeNode::treeFromDictionary(const PlistDictionary* dictionary) {
    SimpleTreeNodeRef node = std::make_shared<MadeSimpleTreeNode>();
    node->initFromDictionary(dictionary);
    return node;
}

// ---- SimpleNodeData

SimpleNodeData::SimpleNodeData(const QString& name, bool isLeaf)
    : m_name(name), m_url(kNoURL), m_isLeaf(isLeaf) {
    if (!isLeaf) m_iconRep = LoadBundleImage(QStringLiteral("group"));
}

std::unique_ptr<SimpleNodeData> SimpleNodeData::leafDataWithNameUrl(const QString& name,
                                                                    const QString& url) {
    auto data = std::make_unique<SimpleNodeData>(name, true);
    data->setURL(url);
    return data;
}

std::unique_ptr<SimpleNodeData> SimpleNodeData::groupDataWithName(const QString& name) {
    return std::make_unique<SimpleNodeData>(name, false);
}

void SimpleNodeData::loadIconRepForURL() {
    if (!m_isLeaf) return;
    m_iconRep = nullptr;
    if (m_url.startsWith(kNoURL)) return;
    if (NSImageRef icon = LoadBundleImage(QStringLiteral("item"))) {
        icon->setSize(QSizeF(16, 16));
        m_iconRep = icon;
    }
}

std::optional<PlistValue> SimpleNodeData::dataForDictionary() const {
    if (!m_isLeaf) return PlistValue(m_name);
    return PlistValue(PlistArray{PlistValue(m_name), PlistValue(m_url)});
}

void SimpleNodeData::setName(const QString& name) {
    if (name != m_name) m_name = name;
}

void SimpleNodeData::setURL(const QString& url) {
    if (url == m_url) return;
    m_url = url;
    loadIconRepForURL();
}

bool SimpleNodeData::isEqual(const TreeNodeData* other) const {
    const auto* data = dynamic_cast<const SimpleNodeData*>(other);
    return data && data->m_name == m_name;
}

void SimpleNodeData::setIconRep(NSImageRef icon) {
    if (icon != m_iconRep) m_iconRep = std::move(icon);
}
