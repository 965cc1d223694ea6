// The menu tree: identity against name equality, the dictionary form both
// ways, URL rewriting, the minimum cover of a selection, and the icons.
#include "prefpane/TreeNode.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QPainter>
#include <gtest/gtest.h>

using namespace testing_support;

namespace {

SimpleTreeNodeRef Item(const QString& name, const QString& url) {
    return SimpleTreeNode::treeNodeWithData(SimpleNodeData::leafDataWithNameUrl(name, url));
}

SimpleTreeNodeRef Group(const QString& name, const std::vector<SimpleTreeNodeRef>& children = {}) {
    auto group = SimpleTreeNode::treeNodeWithData(SimpleNodeData::groupDataWithName(name));
    for (const auto& child : children)
        group->insertChildAtIndex(child, group->numberOfChildren());
    return group;
}

SimpleNodeData* DataOf(const TreeNodeRef& node) {
    return static_cast<SimpleTreeNode*>(node.get())->data();
}

// The tree as text: "name" for items, "name[...]" for groups.
QString Shape(const TreeNode& node) {
    QStringList parts;
    for (const auto& child : node.children()) {
        const SimpleNodeData* data = DataOf(child);
        QString part = data->name();
        if (data->isGroup()) part += "[" + Shape(*child) + "]";
        parts << part;
    }
    return parts.join(",");
}

// A bundle folder holding the pane's icons, as the pane's bundle does.
CFBundleRef IconBundle() {
    static CFBundleRef bundle = [] {
        const QString root = MakeTempDir("icons") + "/Icons.prefPane";
        const QString resources = root + "/Contents/Resources";
        QDir().mkpath(resources);
        for (const char* name : {"item.tiff", "group.tiff"})
            QFile::copy(
                QStringLiteral(LOFTWISE_SOURCE_DIR "/resources/LoftwisePrefPane/Resources/") + name,
                resources + "/" + name);
        return CFBundleCreate(root);
    }();
    return bundle;
}

// A bundle whose icons are 40 pixels at 72 dpi: 40 points of their own.
CFBundleRef LargeIconBundle() {
    static CFBundleRef bundle = [] {
        const QString root = MakeTempDir("large") + "/Large.prefPane";
        const QString resources = root + "/Contents/Resources";
        QDir().mkpath(resources);
        QImage image(40, 40, QImage::Format_ARGB32);
        image.fill(Qt::blue);
        image.setDotsPerMeterX(2835);
        image.setDotsPerMeterY(2835);
        for (const char* name : {"item.tiff", "group.tiff"})
            image.save(resources + "/" + name, "tiff");
        return CFBundleCreate(root);
    }();
    return bundle;
}

class TreeModel : public ::testing::Test {
protected:
    void SetUp() override { SetOurBundle(IconBundle()); }
    void TearDown() override { SetOurBundle(nullptr); }
};

PlistValue Entry(const QString& name, const QString& url) {
    return PlistArray{PlistValue(name), PlistValue(url)};
}

PlistDictionary GroupDict(const QString& name, const PlistArray& entries) {
    return PlistDictionary{{"Group", PlistValue(name)}, {"Entries", PlistValue(entries)}};
}

} // namespace

TEST_F(TreeModel, SameNamedSiblingsAreTakenApartByIdentity) {
    auto first = Item("New Item", "ftp://one/");
    auto second = Item("New Item", "ftp://two/");
    auto root = Group("OVRoot", {first, second});

    // Equality goes by name, so the second one "is" the first...
    EXPECT_EQ(root->indexOfChild(second.get()), 0);
    EXPECT_TRUE(first->isEqual(second.get()));
    // ...but removal and positions go by identity.
    EXPECT_EQ(root->indexOfChildIdenticalTo(second.get()), 1);
    root->removeChild(second.get());
    ASSERT_EQ(root->numberOfChildren(), 1);
    EXPECT_EQ(DataOf(root->firstChild())->url(), "ftp://one/");
    EXPECT_EQ(second->nodeParent(), nullptr);
    EXPECT_EQ(first->nodeParent(), root.get());

    first->removeFromParent();
    EXPECT_EQ(root->numberOfChildren(), 0);
    EXPECT_EQ(first->nodeParent(), nullptr);
}

TEST_F(TreeModel, RemovingANodeOfAnotherParentChangesNothing) {
    auto stranger = Item("a", "ftp://a/");
    auto other = Group("Other", {stranger});
    auto root = Group("OVRoot", {Item("a", "ftp://b/")});

    root->removeChild(stranger.get());
    root->_removeChildrenIdenticalTo({stranger});
    EXPECT_EQ(root->numberOfChildren(), 1);
    EXPECT_EQ(stranger->nodeParent(), other.get());
    EXPECT_EQ(other->indexOfChildIdenticalTo(stranger.get()), 0);
}

TEST_F(TreeModel, InsertionKeepsOrderAndParentsAndRefusesCycles) {
    auto a = Item("a", "ftp://a/"), b = Item("b", "ftp://b/"), c = Item("c", "ftp://c/");
    auto inner = Group("Inner");
    auto root = Group("OVRoot", {a, inner});
    root->insertChildrenAtIndex({b, c}, 1);
    EXPECT_EQ(Shape(*root), "a,b,c,Inner[]");
    for (const auto& child : root->children())
        EXPECT_EQ(child->nodeParent(), root.get());

    // Past the end goes to the end; a node's own ancestor cannot go inside it.
    inner->insertChildAtIndex(Item("z", "ftp://z/"), 99);
    inner->insertChildAtIndex(root, 0);
    inner->insertChildAtIndex(inner, 0);
    EXPECT_EQ(Shape(*root), "a,b,c,Inner[z]");
    EXPECT_EQ(root->nodeParent(), nullptr);
}

TEST_F(TreeModel, EmptyNodesAnswerWithoutChildren) {
    auto empty = Group("Empty");
    EXPECT_EQ(empty->lastChild(), nullptr);
    EXPECT_EQ(empty->firstChild(), nullptr);
    EXPECT_EQ(empty->childAtIndex(0), nullptr);
    EXPECT_EQ(empty->childAtIndex(-1), nullptr);
    EXPECT_EQ(empty->indexOfChild(empty.get()), NSNotFound);

    auto root = Group("OVRoot", {Item("x", "ftp://x/"), Item("y", "ftp://y/")});
    EXPECT_EQ(DataOf(root->lastChild())->name(), "y");
    EXPECT_EQ(root->lastChild()->description(), "{y}");
}

TEST_F(TreeModel, FindGroupSearchesOnlyDirectChildren) {
    auto root = Group("OVRoot", {Group("Top", {Group("Nested"), Item("Leaf", "ftp://l/")}),
                                 Item("Item", "ftp://i/"), Group("Second")});
    const struct {
        const char* name;
        const char* found; // null: none
    } cases[] = {
        {"Top", "Top"},    {"Second", "Second"}, {"Nested", nullptr},
        {"Leaf", nullptr}, {"Item", nullptr},    {"top", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto group = root->findGroup(c.name);
        if (!c.found) {
            EXPECT_EQ(group, nullptr);
        } else {
            ASSERT_NE(group, nullptr);
            EXPECT_EQ(group->data()->name(), c.found);
            EXPECT_EQ(group->nodeParent(), root.get());
        }
    }
}

TEST_F(TreeModel, ReplacingRewritesEveryItemURLIgnoringCase) {
    const struct {
        const char* url;
        const char* oldText;
        const char* newText;
        const char* expected;
        bool changed;
        bool hasIcon;
    } cases[] = {
        {"ftp://<x>@host/<X>/", "<x>", "bob", "ftp://bob@host/bob/", true, true},
        {"ftp://host/folder/", "<x>", "bob", "ftp://host/folder/", false, true},
        {"<X>://host/", "<x>", "???", "???://host/", true, false},
        {"???", "?", "ftp://", "ftp://ftp://ftp://", true, true},
        {"ftp://host/", "", "bob", "ftp://host/", false, true},
        {"FTP://HOST/", "host", "host", "FTP://host/", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        auto item = Item("Item", c.url);
        // Also below a nested group: the change reaches up through it.
        auto root = Group("OVRoot", {Group("Outer", {Group("Inner", {item})})});
        const NSImageRef before = item->data()->iconRep();

        EXPECT_EQ(root->replaceOccurrencesOfStringWithString(c.oldText, c.newText), c.changed);
        EXPECT_EQ(item->data()->url(), c.expected);
        EXPECT_EQ(item->data()->iconRep() != nullptr, c.hasIcon);
        if (!c.changed) {
            EXPECT_EQ(item->data()->iconRep(), before); // the very same image
        }
    }
}

TEST_F(TreeModel, RoundTripKeepsOrderShapeAndEmptyGroups) {
    const PlistDictionary original = GroupDict(
        "OVRoot",
        {GroupDict("Work",
                   {Entry("Site", "ftp://u@h/site/"),
                    GroupDict("Deep", {Entry("Deeper", "http://x/"), GroupDict("Empty", {})}),
                    Entry("Docs", "file:///tmp/")}),
         Entry("New Item", "???"), GroupDict("Nothing", {}), Entry("New Item", "afp://s/")});

    auto root = SimpleTreeNode::treeFromDictionary(&original);
    EXPECT_EQ(Shape(*root), "Work[Site,Deep[Deeper,Empty[]],Docs],New Item,Nothing[],New Item");

    PlistDictionary written{{"Group", PlistValue("OVRoot")}};
    root->addDataToDictionary(written);
    EXPECT_EQ(PlistValue(written), PlistValue(original));
}

TEST_F(TreeModel, ReadingTakesBareStringsAndSkipsWhatIsNoEntry) {
    const PlistDictionary stored = GroupDict(
        "OVRoot", {PlistValue("Bare"), PlistValue::integer(7), PlistArray{PlistValue("Short")},
                   PlistArray{}, PlistArray{PlistValue::integer(1), PlistValue("ftp://x/")},
                   PlistArray{PlistValue("NoURL"), PlistValue::boolean(true)},
                   PlistArray{PlistValue("Long"), PlistValue("ftp://l/"), PlistValue("extra")},
                   PlistValue::date(QDateTime::currentDateTimeUtc()), PlistValue::data("raw"),
                   PlistDictionary{{"Group", PlistValue::integer(3)}},
                   PlistDictionary{{"Group", PlistValue("Odd")}, {"Entries", PlistValue("no")}}});

    auto root = SimpleTreeNode::treeFromDictionary(&stored);
    EXPECT_EQ(Shape(*root), "Bare,Long,[],Odd[]");
    EXPECT_EQ(DataOf(root->childAtIndex(0))->url(), kNoURL);
    EXPECT_EQ(DataOf(root->childAtIndex(0))->iconRep(), nullptr);

    // What was skipped vanishes; the bare string is written as an item.
    PlistDictionary written;
    root->addDataToDictionary(written);
    const PlistArray expected{Entry("Bare", "???"), Entry("Long", "ftp://l/"), GroupDict("", {}),
                              GroupDict("Odd", {})};
    EXPECT_EQ(written.at("Entries"), PlistValue(expected));
}

TEST_F(TreeModel, AMissingDictionaryGivesAnEmptyRoot) {
    const PlistDictionary noEntries{{"Group", PlistValue("OVRoot")}};
    for (const PlistDictionary* d : {static_cast<const PlistDictionary*>(nullptr), &noEntries}) {
        auto root = SimpleTreeNode::treeFromDictionary(d);
        EXPECT_EQ(root->numberOfChildren(), 0);
        ASSERT_NE(root->data(), nullptr);
        EXPECT_TRUE(root->data()->isGroup());
        PlistDictionary written;
        root->addDataToDictionary(written);
        EXPECT_EQ(written.at("Entries"), PlistValue(PlistArray{}));
    }
}

TEST_F(TreeModel, MinimumCoverHoldsTheTopmostNodes) {
    auto a = Item("a", "ftp://a/"), b = Item("b", "ftp://b/"), c = Item("c", "ftp://c/");
    auto d = Item("d", "ftp://d/");
    auto inner = Group("Inner", {c});
    auto g1 = Group("G1", {a, b}), g2 = Group("G2", {inner});
    auto root = Group("OVRoot", {g1, g2, d});
    const struct {
        const char* label;
        NodeArray nodes;
        NodeArray cover;
    } cases[] = {
        {"group and two of its items", {g1, a, b}, {g1}},
        {"items of different groups", {a, c}, {a, c}},
        {"child before its parent", {a, g1}, {g1}},
        {"grandchild and grandparent", {g2, c}, {g2}},
        {"chain listed from the bottom", {c, inner, g2}, {g2}},
        {"siblings keep their order", {b, a, d}, {b, a, d}},
        {"the same node twice", {d, d}, {d}},
        {"nothing", {}, {}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.label);
        const NodeArray cover = TreeNode::minimumNodeCoverFromNodesInArray(k.nodes);
        ASSERT_EQ(cover.size(), k.cover.size());
        for (size_t i = 0; i < cover.size(); ++i)
            EXPECT_EQ(cover[i].get(), k.cover[i].get());
    }
}

TEST_F(TreeModel, IconsComeFromTheBundleItemsAtSixteenPoints) {
    const QSizeF none;
    const struct {
        const char* label;
        CFBundleRef (*bundle)();
        bool leaf;
        const char* url;
        QSizeF points; // empty: no icon
    } cases[] = {
        // 32 pixels at 144 dpi: 16 points, the group by its own resolution.
        {"item", IconBundle, true, "ftp://h/", {16, 16}},
        {"group", IconBundle, false, "???", {16, 16}},
        {"item without a URL", IconBundle, true, "???", none},
        {"item whose URL begins with the placeholder", IconBundle, true, "???ftp://h/", none},
        // An item's icon is 16 points whatever the image; a group's keeps its size.
        {"large item", LargeIconBundle, true, "http://h/", {16, 16}},
        {"large group", LargeIconBundle, false, "???", {40, 40}},
        {"item, no bundle", nullptr, true, "ftp://h/", none},
        {"group, no bundle", nullptr, false, "???", none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        SetOurBundle(c.bundle ? c.bundle() : nullptr);
        auto data = c.leaf ? SimpleNodeData::leafDataWithNameUrl("x", c.url)
                           : SimpleNodeData::groupDataWithName("x");
        ASSERT_EQ(data->iconRep() != nullptr, !c.points.isEmpty());
        if (c.points.isEmpty()) continue;
        EXPECT_EQ(data->iconRep()->size(), c.points);
        EXPECT_TRUE(data->iconRep()->image().hasAlphaChannel());
    }
    // The shipped icons are 32 pixels: sharp at two pixels per point.
    SetOurBundle(IconBundle());
    EXPECT_EQ(SimpleNodeData::groupDataWithName("g")->iconRep()->image().size(), QSize(32, 32));
    EXPECT_EQ(SimpleNodeData::leafDataWithNameUrl("i", "ftp://h/")->iconRep()->image().size(),
              QSize(32, 32));
}

// Images: the resolution gives the size in points.
TEST(Image, SizeInPointsFollowsTheResolution) {
    const struct {
        const char* format;
        int pixels;
        double dpi; // 0: the format stores none
        QSizeF points;
    } cases[] = {
        {"tiff", 32, 144, {16, 16}}, {"tiff", 32, 72, {32, 32}}, {"png", 32, 144, {16, 16}},
        {"png", 30, 120, {18, 18}},  {"ppm", 32, 0, {32, 32}},
    };
    const QString dir = MakeTempDir("images");
    for (const auto& c : cases) {
        SCOPED_TRACE(QStringLiteral("%1 %2 px at %3 dpi")
                         .arg(c.format)
                         .arg(c.pixels)
                         .arg(c.dpi)
                         .toStdString());
        QImage image(c.pixels, c.pixels, QImage::Format_ARGB32);
        image.fill(Qt::red);
        if (c.dpi > 0) {
            image.setDotsPerMeterX(qRound(c.dpi / 0.0254));
            image.setDotsPerMeterY(qRound(c.dpi / 0.0254));
        }
        const QString path = dir + "/i." + c.format;
        ASSERT_TRUE(image.save(path, c.format));
        auto loaded = NSImage::imageWithContentsOfFile(path);
        ASSERT_NE(loaded, nullptr);
        EXPECT_NEAR(loaded->size().width(), c.points.width(), 1e-9);
        EXPECT_NEAR(loaded->size().height(), c.points.height(), 1e-9);
    }
    WriteFile(dir + "/not.tiff", "no image here");
    EXPECT_EQ(NSImage::imageWithContentsOfFile(dir + "/not.tiff"), nullptr);
    EXPECT_EQ(NSImage::imageWithContentsOfFile(dir + "/absent.tiff"), nullptr);
}

TEST(Image, CompositingPlacesTheImageByItsCorner) {
    QImage red(4, 4, QImage::Format_ARGB32);
    red.fill(Qt::red);
    NSImage image(red);
    image.setSize(QSizeF(2, 2)); // drawn at half its pixels
    const struct {
        bool flipped;
        int top; // first row painted for the point (5, 10)
    } cases[] = {{true, 8}, {false, 10}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flipped);
        QImage canvas(20, 20, QImage::Format_ARGB32);
        canvas.fill(Qt::transparent);
        {
            QPainter painter(&canvas);
            image.compositeToPoint(painter, QPointF(5, 10), c.flipped);
        }
        EXPECT_EQ(canvas.pixelColor(5, c.top), QColor(Qt::red));
        EXPECT_EQ(canvas.pixelColor(6, c.top + 1), QColor(Qt::red));
        EXPECT_EQ(canvas.pixelColor(5, c.top - 1).alpha(), 0);
        EXPECT_EQ(canvas.pixelColor(5, c.top + 2).alpha(), 0);
        EXPECT_EQ(canvas.pixelColor(7, c.top).alpha(), 0);
    }
}
