// The outline view over a toy tree: mirroring and reloading, rows, editing
// through the cells, drag and drop (real Qt events and the direct path) and
// the autosaved expanded items and column widths.
#include "platform/Preferences.h"
#include "platform/ui/OutlineView.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QDrag>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

namespace {

struct Toy {
    QString name;
    bool group = false;
    Toy* parent = nullptr;
    std::vector<std::unique_ptr<Toy>> kids;

    Toy* add(const QString& n, bool g = false, int at = -1) {
        auto t = std::make_unique<Toy>();
        t->name = n;
        t->group = g;
        t->parent = this;
        Toy* raw = t.get();
        kids.insert(at < 0 ? kids.end() : kids.begin() + at, std::move(t));
        return raw;
    }
    std::unique_ptr<Toy> take(Toy* child) {
        for (auto it = kids.begin(); it != kids.end(); ++it)
            if (it->get() == child) {
                auto t = std::move(*it);
                kids.erase(it);
                return t;
            }
        return nullptr;
    }
    Toy* find(const QString& n) {
        if (name == n) return this;
        for (auto& k : kids)
            if (Toy* f = k->find(n)) return f;
        return nullptr;
    }
};

Toy* T(OutlineItem item) {
    return static_cast<Toy*>(item);
}

struct DropCall {
    QString item; // "" for the root
    int index;
    bool operator==(const DropCall&) const = default;
};
std::ostream& operator<<(std::ostream& os, const DropCall& c) {
    return os << "(" << c.item.toStdString() << ", " << c.index << ")";
}

// Root: A{a1, a2}, B{b1}, c, E{} (an empty group).
class ToySource : public NSOutlineViewDataSource, public NSOutlineViewDelegate {
public:
    Toy root;
    std::vector<QString> edits;
    std::vector<std::vector<QString>> written;
    std::vector<DropCall> validated, accepted;
    std::vector<NSDragOperation> masks;
    int selectionChanges = 0;
    // Nodes taken out of the tree stay alive, so no address comes back as
    // another node's and identity means identity.
    std::vector<std::unique_ptr<Toy>> graveyard;
    NSDragOperation answer = NSDragOperationGeneric;
    std::function<void(NSOutlineView*)> retarget;

    ToySource() { build(); }
    void build() {
        for (auto& k : root.kids)
            graveyard.push_back(std::move(k));
        root.kids.clear();
        Toy* a = root.add("A", true);
        a->add("a1");
        a->add("a2");
        root.add("B", true)->add("b1");
        root.add("c");
        root.add("E", true);
    }
    OutlineItem item(const QString& n) { return root.find(n); }
    static QString nameOf(OutlineItem i) { return i ? T(i)->name : QString(); }

    OutlineItem outlineViewChildOfItem(NSOutlineView*, int index, OutlineItem item) override {
        Toy* t = item ? T(item) : &root;
        return t->kids[index].get();
    }
    bool outlineViewIsItemExpandable(NSOutlineView*, OutlineItem item) override {
        return T(item)->group;
    }
    int outlineViewNumberOfChildrenOfItem(NSOutlineView*, OutlineItem item) override {
        return int((item ? T(item) : &root)->kids.size());
    }
    QVariant outlineViewObjectValueForTableColumnByItem(NSOutlineView*, NSTableColumn* column,
                                                        OutlineItem item) override {
        if (column->identifier() == "Name") return T(item)->name;
        return T(item)->group ? QString() : "url:" + T(item)->name;
    }
    void outlineViewSetObjectValueForTableColumnByItem(NSOutlineView*, const QVariant& v,
                                                       NSTableColumn* column,
                                                       OutlineItem item) override {
        edits.push_back(column->identifier() + "/" + T(item)->name + "=" + v.toString());
        if (column->identifier() == "Name") T(item)->name = v.toString();
    }
    QVariant outlineViewPersistentObjectForItem(NSOutlineView*, OutlineItem item) override {
        return T(item)->name;
    }
    OutlineItem outlineViewItemForPersistentObject(NSOutlineView*, const QVariant& v) override {
        for (auto& k : root.kids)
            if (k->name == v.toString()) return k.get();
        return nullptr;
    }
    bool outlineViewWriteItemsToPasteboard(NSOutlineView*, const std::vector<OutlineItem>& items,
                                           NSPasteboard* pb) override {
        std::vector<QString> names;
        for (OutlineItem i : items)
            names.push_back(nameOf(i));
        written.push_back(names);
        pb->declareTypes({"ToyType", NSStringPboardType});
        pb->setStringForType(names.front(), NSStringPboardType);
        return true;
    }
    NSDragOperation outlineViewValidateDropProposedItemProposedChildIndex(NSOutlineView* view,
                                                                          NSDraggingInfo* info,
                                                                          OutlineItem item,
                                                                          int index) override {
        validated.push_back({nameOf(item), index});
        masks.push_back(info->draggingSourceOperationMask());
        if (retarget) retarget(view);
        return answer;
    }
    bool outlineViewAcceptDropItemChildIndex(NSOutlineView*, NSDraggingInfo*, OutlineItem item,
                                             int index) override {
        accepted.push_back({nameOf(item), index});
        return true;
    }
    bool outlineViewShouldEditTableColumnItem(NSOutlineView*, NSTableColumn* column,
                                              OutlineItem item) override {
        return column->identifier() == "Name" || !T(item)->group;
    }
    void outlineViewSelectionDidChange(NSOutlineView*) override { ++selectionChanges; }
};

class OutlineViewTest : public ::testing::Test {
protected:
    void SetUp() override { view = makeView(); }
    std::unique_ptr<NSOutlineView> makeView() {
        auto v = std::make_unique<NSOutlineView>();
        v->addTableColumn(std::make_unique<NSTableColumn>("Name", "Name"));
        v->addTableColumn(std::make_unique<NSTableColumn>("URL", "URL"));
        v->setDataSource(&source);
        v->setDelegate(&source);
        v->registerForDraggedTypes({"ToyType", NSStringPboardType});
        v->resize(400, 300);
        v->reloadData();
        v->show();
        return v;
    }
    std::vector<QString> visibleNames() const {
        std::vector<QString> names;
        for (int r = 0; r < view->numberOfRows(); ++r)
            names.push_back(ToySource::nameOf(view->itemAtRow(r)));
        return names;
    }
    std::vector<QString> selectedNames() const {
        std::vector<QString> names;
        for (int r : view->selectedRowIndexes())
            names.push_back(ToySource::nameOf(view->itemAtRow(r)));
        return names;
    }
    QRect rowRect(const QString& name) const {
        return view->visualRect(view->model()->index(0, 0)).isValid()
                   ? view->visualRect(indexOf(name))
                   : QRect();
    }
    QModelIndex indexOf(const QString& name) const {
        const int row = view->rowForItem(const_cast<ToySource&>(source).item(name));
        QModelIndex i = view->model()->index(0, 0);
        for (int r = 0; r < row; ++r)
            i = view->indexBelow(i);
        return i;
    }

    ToySource source;
    std::unique_ptr<NSOutlineView> view;
};

using Names = std::vector<QString>;

TEST_F(OutlineViewTest, RowsCountVisibleItemsOnly) {
    EXPECT_EQ(visibleNames(), (Names{"A", "B", "c", "E"}));
    EXPECT_EQ(view->rowForItem(source.item("a1")), -1);
    view->expandItem(source.item("A"));
    EXPECT_EQ(visibleNames(), (Names{"A", "a1", "a2", "B", "c", "E"}));
    struct Row {
        QString name;
        int row, level;
        QString parent;
    };
    for (const Row& r :
         {Row{"A", 0, 0, ""}, Row{"a2", 2, 1, "A"}, Row{"c", 4, 0, ""}, Row{"b1", -1, 1, "B"}}) {
        SCOPED_TRACE(r.name.toStdString());
        EXPECT_EQ(view->rowForItem(source.item(r.name)), r.row);
        EXPECT_EQ(view->levelForItem(source.item(r.name)), r.level);
        EXPECT_EQ(ToySource::nameOf(view->parentForItem(source.item(r.name))), r.parent);
    }
    EXPECT_EQ(view->itemAtRow(6), nullptr);
    // An empty group still shows as one; an item does not.
    EXPECT_TRUE(view->model()->hasChildren(indexOf("E")));
    EXPECT_FALSE(view->model()->hasChildren(indexOf("c")));
}

TEST_F(OutlineViewTest, ReloadKeepsExpansionAndSelectionByIdentity) {
    struct Case {
        const char* what;
        std::function<void(ToySource&)> change;
        Names expanded, selected;
        bool selectionNotified;
    };
    const std::vector<Case> cases = {
        {"nothing changed", [](ToySource&) {}, {"A", "B"}, {"a2", "b1"}, false},
        {"an item added above",
         [](ToySource& s) { s.root.add("new", false, 0); },
         {"A", "B"},
         {"a2", "b1"},
         false},
        {"a selected item removed",
         [](ToySource& s) { s.graveyard.push_back(T(s.item("A"))->take(T(s.item("a2")))); },
         {"A", "B"},
         {"b1"},
         true},
        {"an expanded group removed",
         [](ToySource& s) { s.graveyard.push_back(s.root.take(T(s.item("B")))); },
         {"A"},
         {"a2"},
         true},
        {"a group moved into another",
         [](ToySource& s) {
             auto b = s.root.take(T(s.item("B")));
             b->parent = T(s.item("A"));
             T(s.item("A"))->kids.push_back(std::move(b));
         },
         {"A", "B"},
         {"a2", "b1"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        source.build();
        view->reloadData();
        view->expandItem(source.item("A"));
        view->expandItem(source.item("B"));
        view->selectRowByExtendingSelection(view->rowForItem(source.item("a2")), false);
        view->selectRowByExtendingSelection(view->rowForItem(source.item("b1")), true);
        const int before = source.selectionChanges;
        c.change(source);
        view->reloadData();
        Names expanded;
        for (const char* g : {"A", "B", "E"})
            if (source.item(g) && view->isItemExpanded(source.item(g))) expanded.push_back(g);
        EXPECT_EQ(expanded, c.expanded);
        EXPECT_EQ(selectedNames(), c.selected);
        EXPECT_EQ(source.selectionChanges > before, c.selectionNotified);
    }
}

TEST_F(OutlineViewTest, CollapsingDeselectsHiddenRows) {
    view->expandItem(source.item("A"));
    view->selectRowByExtendingSelection(view->rowForItem(source.item("a1")), false);
    view->selectRowByExtendingSelection(view->rowForItem(source.item("c")), true);
    view->collapseItem(source.item("A"));
    EXPECT_EQ(selectedNames(), (Names{"c"}));
    EXPECT_EQ(view->numberOfSelectedRows(), 1);
}

// Drop positions: the middle of a row is "on" it, its edges are between.
enum class Where { On, Above, Below, Background };

struct DropCase {
    const char* what;
    QString target;
    Where where;
    DropCall proposed;
};

const std::vector<DropCase> kDropCases = {
    {"on a group", "A", Where::On, {"A", -1}},
    {"on an item", "c", Where::On, {"c", -1}},
    {"above a top-level item", "c", Where::Above, {"", 2}},
    {"below a child", "a1", Where::Below, {"A", 1}},
    {"above a first child", "a1", Where::Above, {"A", 0}},
    {"on the background", "", Where::Background, {"", -1}},
};

QPoint PointFor(NSOutlineView* view, QRect row, Where where) {
    switch (where) {
    case Where::On:
        return row.center();
    case Where::Above:
        return QPoint(row.center().x(), row.top() + 1);
    case Where::Below:
        return QPoint(row.center().x(), row.bottom() - 1);
    case Where::Background:
        break;
    }
    return QPoint(20, view->viewport()->height() - 5);
}

std::unique_ptr<QMimeData> ToyData(const QString& format = "application/x-nspasteboard-ToyType") {
    auto data = std::make_unique<QMimeData>();
    data->setData(format, "x");
    return data;
}

// Enter, move and drop at a point, as a drag from another program would.
bool SendDrop(NSOutlineView* view, QPoint at, const QMimeData* data) {
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, {});
    QApplication::sendEvent(view->viewport(), &enter);
    QDragMoveEvent move(at, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, {});
    QApplication::sendEvent(view->viewport(), &move);
    QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, {});
    QApplication::sendEvent(view->viewport(), &drop);
    return drop.isAccepted();
}

TEST_F(OutlineViewTest, QtDropPositionsMapToItemAndChildIndex) {
    view->expandItem(source.item("A"));
    for (const DropCase& c : kDropCases) {
        SCOPED_TRACE(c.what);
        source.validated.clear();
        source.accepted.clear();
        const QRect row = c.target.isEmpty() ? QRect() : view->visualRect(indexOf(c.target));
        auto data = ToyData();
        EXPECT_TRUE(SendDrop(view.get(), PointFor(view.get(), row, c.where), data.get()));
        ASSERT_FALSE(source.validated.empty());
        EXPECT_EQ(source.validated.back(), c.proposed);
        EXPECT_EQ(source.accepted, (std::vector<DropCall>{c.proposed}));
        // A drag from another program may only copy.
        EXPECT_EQ(source.masks.back(),
                  NSDragOperationCopy | NSDragOperationMove | NSDragOperationGeneric);
    }
    // The model removed nothing after the drops.
    EXPECT_EQ(visibleNames(), (Names{"A", "a1", "a2", "B", "c", "E"}));
}

TEST_F(OutlineViewTest, PerformDropTakesTheSamePath) {
    for (const DropCase& c : kDropCases) {
        SCOPED_TRACE(c.what);
        source.validated.clear();
        source.accepted.clear();
        auto data = ToyData();
        EXPECT_TRUE(view->performDrop(
            data.get(), view.get(),
            c.proposed.item.isEmpty() ? nullptr : source.item(c.proposed.item), c.proposed.index));
        EXPECT_EQ(source.validated, (std::vector<DropCall>{c.proposed}));
        EXPECT_EQ(source.accepted, (std::vector<DropCall>{c.proposed}));
        // From this view: the local mask.
        EXPECT_EQ(source.masks.back(), NSDragOperationEvery);
    }
}

TEST_F(OutlineViewTest, RefusedDropsNeverReachAccept) {
    struct Case {
        const char* what;
        NSDragOperation answer;
        QString format;
        bool validated;
    };
    for (const Case& c :
         {Case{"validation refuses", NSDragOperationNone, "application/x-nspasteboard-ToyType",
               true},
          Case{"type not registered", NSDragOperationGeneric, "application/x-nspasteboard-Other",
               false},
          Case{"file names not registered", NSDragOperationGeneric, "text/uri-list", false}}) {
        SCOPED_TRACE(c.what);
        source.answer = c.answer;
        source.validated.clear();
        auto data = ToyData(c.format);
        EXPECT_FALSE(SendDrop(view.get(), view->visualRect(indexOf("A")).center(), data.get()));
        EXPECT_FALSE(view->performDrop(data.get(), nullptr, source.item("A"), -1));
        EXPECT_EQ(!source.validated.empty(), c.validated);
        EXPECT_TRUE(source.accepted.empty());
    }
}

TEST_F(OutlineViewTest, ValidationMayRetargetTheDrop) {
    source.retarget = [this](NSOutlineView* v) {
        v->setDropItemDropChildIndex(source.item("B"), 0);
    };
    auto data = ToyData();
    EXPECT_TRUE(SendDrop(view.get(), view->visualRect(indexOf("c")).center(), data.get()));
    EXPECT_EQ(source.accepted, (std::vector<DropCall>{{"B", 0}}));
    source.accepted.clear();
    EXPECT_TRUE(view->performDrop(data.get(), nullptr, nullptr, -1));
    EXPECT_EQ(source.accepted, (std::vector<DropCall>{{"B", 0}}));
}

TEST_F(OutlineViewTest, MouseDragWritesSelectedItemsInRowOrder) {
    view->expandItem(source.item("A"));
    view->selectRowByExtendingSelection(view->rowForItem(source.item("c")), false);
    view->selectRowByExtendingSelection(view->rowForItem(source.item("a1")), true);
    const QPoint start = view->visualRect(indexOf("a1")).center();
    // Under the offscreen platform the drag's loop ends at once; whatever
    // happens inside it, the view must be in one piece afterwards.
    QMouseEvent press(QEvent::MouseButtonPress, start, view->viewport()->mapToGlobal(start),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &press);
    // The first move arms the drag, the next one past the drag distance starts it.
    for (QPoint to : {start + QPoint(0, 2), start + QPoint(0, 40)}) {
        QMouseEvent move(QEvent::MouseMove, to, view->viewport()->mapToGlobal(to), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &move);
    }
    ASSERT_EQ(source.written.size(), 1u);
    EXPECT_EQ(source.written[0], (Names{"a1", "c"}));
    EXPECT_EQ(visibleNames(), (Names{"A", "a1", "a2", "B", "c", "E"}));
}

TEST_F(OutlineViewTest, EditingCommitsThroughTheDataSource) {
    struct Case {
        QString item;
        int column;
        bool opens;
    };
    for (const Case& c :
         {Case{"c", 0, true}, Case{"c", 1, true}, Case{"A", 0, true}, Case{"A", 1, false}}) {
        SCOPED_TRACE((c.item + "/" + QString::number(c.column)).toStdString());
        source.edits.clear();
        view->editColumnRowWithEventSelect(c.column, view->rowForItem(source.item(c.item)), true);
        QLineEdit* editor = view->viewport()->findChild<QLineEdit*>();
        ASSERT_EQ(editor != nullptr && editor->isVisible(), c.opens);
        if (!editor) continue;
        EXPECT_EQ(editor->selectedText(), editor->text());
        EXPECT_FALSE(editor->text().isEmpty());
        editor->setText("z");
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(editor, &enter);
        QApplication::processEvents();
        const QString col = c.column == 0 ? "Name" : "URL";
        EXPECT_EQ(source.edits, (Names{col + "/" + c.item + "=z"}));
        if (c.column == 0) {
            T(source.item("z"))->name = c.item; // back for the next case
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// A cell that records how the view drives it.
class RecordingCell : public NSCell {
public:
    struct Draw {
        QString value;
        QRectF frame;
        bool highlighted;
    };
    std::vector<Draw>* draws;
    explicit RecordingCell(std::vector<Draw>* d) : draws(d) {}
    std::unique_ptr<NSCell> copy() const override { return std::make_unique<RecordingCell>(*this); }
    void drawWithFrameInView(QPainter& p, QRectF frame, QWidget* v) override {
        draws->push_back({stringValue(), frame, isHighlighted()});
        NSCell::drawWithFrameInView(p, frame, v);
    }
    QRectF editWithFrameInView(QRectF frame, QWidget*) override {
        return frame.adjusted(19, 0, 0, 0);
    }
    QSizeF cellSize() const override { return QSizeF(80, 31); }
};

TEST_F(OutlineViewTest, CellsDrawRowsAndPlaceTheEditor) {
    std::vector<RecordingCell::Draw> draws;
    view->tableColumnWithIdentifier("Name")->setDataCell(std::make_unique<RecordingCell>(&draws));
    view->reloadData();
    view->selectRowByExtendingSelection(view->rowForItem(source.item("c")), false);
    view->viewport()->grab();
    std::map<QString, RecordingCell::Draw> byValue;
    for (const auto& d : draws)
        byValue[d.value] = d;
    for (const QString name : {"A", "B", "c", "E"}) {
        SCOPED_TRACE(name.toStdString());
        ASSERT_TRUE(byValue.count(name));
        EXPECT_EQ(byValue[name].frame.toRect(), view->visualRect(indexOf(name)));
        EXPECT_EQ(byValue[name].frame.height(), 31); // row height from cellSize
        EXPECT_EQ(byValue[name].highlighted, name == "c");
    }
    view->editColumnRowWithEventSelect(0, view->rowForItem(source.item("B")), true);
    QLineEdit* editor = view->viewport()->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->geometry(), view->visualRect(indexOf("B")).adjusted(19, 0, 0, 0));
}

// Draws a 32-pixel checkerboard of single pixels as 16 points at the frame's corner.
class CheckerCell : public NSCell {
public:
    QImage image{32, 32, QImage::Format_ARGB32};
    CheckerCell() {
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x)
                image.setPixel(x, y, (x + y) % 2 ? 0xff000000 : 0xffffffff);
        image.setDevicePixelRatio(2);
    }
    std::unique_ptr<NSCell> copy() const override { return std::make_unique<CheckerCell>(*this); }
    void drawWithFrameInView(QPainter& p, QRectF frame, QWidget*) override {
        p.drawImage(QRectF(frame.topLeft(), QSizeF(16, 16)), image);
    }
    QSizeF cellSize() const override { return QSizeF(16, 16); }
};

TEST_F(OutlineViewTest, CellsDrawInPointsOnHighResolutionDevices) {
    view->tableColumnWithIdentifier("Name")->setDataCell(std::make_unique<CheckerCell>());
    view->reloadData();
    const QPoint at = view->visualRect(indexOf("c")).topLeft();
    QImage shot(view->viewport()->size() * 2, QImage::Format_ARGB32);
    shot.setDevicePixelRatio(2);
    shot.fill(Qt::red);
    view->viewport()->render(&shot);
    // Every device pixel of the 16-point square is one of the image's pixels.
    int flips = 0;
    for (int x = 1; x < 32; ++x) {
        const QRgb left = shot.pixel(2 * at.x() + x - 1, 2 * at.y() + 5);
        const QRgb right = shot.pixel(2 * at.x() + x, 2 * at.y() + 5);
        flips += left != right;
    }
    EXPECT_EQ(flips, 31);
}

TEST_F(OutlineViewTest, ExpandedItemsAndColumnWidthsAreAutosaved) {
    const QString name = "Toy" + QString::number(QCoreApplication::applicationPid());
    view->setAutosaveName(name);
    view->setAutosaveExpandedItems(true);
    view->setAutosaveTableColumns(true);
    view->expandItem(source.item("B"));
    view->setColumnWidth(0, 123);
    view.reset();

    plat::ResetPreferencesCache();
    const auto saved =
        CFPreferencesCopyAppValue("NSOutlineView Items " + name, kCFPreferencesCurrentApplication);
    ASSERT_TRUE(saved && saved->asArray());
    EXPECT_EQ(*saved->asArray(), (PlistArray{PlistValue("B")}));

    source.build(); // new objects with the same names
    view = makeView();
    EXPECT_FALSE(view->isItemExpanded(source.item("B")));
    view->setAutosaveName(name);
    view->setAutosaveTableColumns(true);
    view->setAutosaveExpandedItems(true);
    view->reloadData();
    EXPECT_TRUE(view->isItemExpanded(source.item("B")));
    EXPECT_FALSE(view->isItemExpanded(source.item("A")));
    EXPECT_EQ(view->columnWidth(0), 123);

    // Off, a rebuilt tree, on again: the saved list comes back.
    view->setAutosaveExpandedItems(false);
    source.build();
    view->reloadData();
    EXPECT_FALSE(view->isItemExpanded(source.item("B")));
    view->setAutosaveExpandedItems(true);
    EXPECT_TRUE(view->isItemExpanded(source.item("B")));

    // Named and switched on before there is a tree: the first reload restores.
    for (auto& k : source.root.kids)
        source.graveyard.push_back(std::move(k));
    source.root.kids.clear();
    view = makeView();
    view->setAutosaveExpandedItems(true);
    view->setAutosaveName(name);
    source.build();
    view->reloadData();
    EXPECT_TRUE(view->isItemExpanded(source.item("B")));
}

TEST(Pasteboard, TypesMapToMimeFormats) {
    struct Case {
        QString type, value, mime;
    };
    for (const Case& c : {Case{NSStringPboardType, "héllo", "text/plain"},
                          Case{NSFilenamesPboardType, "/tmp/a b", "text/uri-list"},
                          Case{"MyCustomOutlineViewPboardType", "",
                               "application/x-nspasteboard-MyCustomOutlineViewPboardType"}}) {
        SCOPED_TRACE(c.type.toStdString());
        QMimeData data;
        NSPasteboard writer(&data);
        writer.declareTypes({c.type});
        EXPECT_TRUE(writer.setStringForType(c.value, c.type));
        EXPECT_TRUE(data.hasFormat(c.mime));
        const NSPasteboard reader(static_cast<const QMimeData*>(&data));
        EXPECT_EQ(reader.types(), QStringList{c.type});
        EXPECT_EQ(reader.availableTypeFromArray({"Nope", c.type}), c.type);
        EXPECT_EQ(reader.stringForType(c.type), c.value);
    }
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile("/x/y"), QUrl("http://example.com/z")});
    EXPECT_EQ(NSPasteboard(static_cast<const QMimeData*>(&files)).filenames(), QStringList{"/x/y"});
    // Another program's text with a charset is text all the same.
    QMimeData foreign;
    foreign.setData("text/plain;charset=utf-8", "abc");
    const NSPasteboard read(static_cast<const QMimeData*>(&foreign));
    EXPECT_EQ(read.availableTypeFromArray({NSStringPboardType}), NSStringPboardType);
    EXPECT_EQ(read.stringForType(NSStringPboardType), "abc");
    // Declaring forgets what was there and keeps the declared order.
    QMimeData twice;
    NSPasteboard w(&twice);
    w.setStringForType("old", NSStringPboardType);
    w.declareTypes({"P", NSStringPboardType});
    EXPECT_EQ(w.types(), (QStringList{"P", NSStringPboardType}));
    EXPECT_EQ(w.stringForType(NSStringPboardType), "");
    EXPECT_FALSE(NSPasteboard(static_cast<const QMimeData*>(&twice)).setDataForType("x", "P"));
}

} // namespace
