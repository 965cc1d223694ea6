// The Drag Manager over Qt: items and flavors from mime data and from a
// sender, handler messages from Qt drag events sent to a window, and the
// highlight drawn over the window.
#include "platform/ui/Drag.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QUrl>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

using namespace testing_support;

namespace {

struct Drag {
    DragRef ref = nullptr;
    explicit Drag(const QMimeData& data) {
        EXPECT_EQ(plat::NewDragFromMimeData(&data, &ref), noErr);
    }
    ~Drag() { DisposeDrag(ref); }
    DragItemRef item(UInt16 index) const {
        DragItemRef r = 0;
        EXPECT_EQ(GetDragItemReferenceNumber(ref, index, &r), noErr);
        return r;
    }
};

std::unique_ptr<QMimeData> Urls(const QList<QUrl>& urls) {
    auto data = std::make_unique<QMimeData>();
    data->setUrls(urls);
    return data;
}

// What the handlers saw: tracking messages, and 0 for a receive call.
std::vector<int> gSeen;
OSErr gEnterResult = noErr;
OSErr gReceiveResult = noErr;

OSErr Tracker(DragTrackingMessage m, WindowRef, void*, DragRef) {
    gSeen.push_back(m);
    return m == kDragTrackingEnterHandler ? gEnterResult : OSErr(noErr);
}
OSErr Receiver(WindowRef, void*, DragRef) {
    gSeen.push_back(0);
    return gReceiveResult;
}

class WindowDrag : public ::testing::Test {
protected:
    void SetUp() override {
        gSeen.clear();
        gEnterResult = gReceiveResult = noErr;
        window = std::make_unique<QWidget>();
        window->resize(300, 200);
        window->show();
        ASSERT_EQ(InstallTrackingHandler(Tracker, window.get(), nullptr), noErr);
        ASSERT_EQ(InstallReceiveHandler(Receiver, window.get(), nullptr), noErr);
    }
    bool Send(QEvent::Type type, const QMimeData* data) {
        const QPointF at(150, 100);
        if (type == QEvent::DragLeave) {
            QDragLeaveEvent e;
            QApplication::sendEvent(window.get(), &e);
            return e.isAccepted();
        }
        std::unique_ptr<QDropEvent> e;
        if (type == QEvent::DragEnter)
            e = std::make_unique<QDragEnterEvent>(at.toPoint(), Qt::CopyAction, data,
                                                  Qt::LeftButton, Qt::NoModifier);
        else if (type == QEvent::DragMove)
            e = std::make_unique<QDragMoveEvent>(at.toPoint(), Qt::CopyAction, data, Qt::LeftButton,
                                                 Qt::NoModifier);
        else
            e = std::make_unique<QDropEvent>(at, Qt::CopyAction, data, Qt::LeftButton,
                                             Qt::NoModifier);
        e->ignore();
        QApplication::sendEvent(window.get(), e.get());
        return e->isAccepted();
    }
    std::unique_ptr<QWidget> window;
};

} // namespace

TEST(DragItems, FromMimeData) {
    const QString dir = MakeTempDir("drag");
    WriteFile(dir + "/a.txt", "a");
    const auto data = Urls({QUrl::fromLocalFile(dir + "/a.txt"), QUrl("https://example.org/x"),
                            QUrl::fromLocalFile(dir), QUrl::fromLocalFile(dir + "/missing")});
    Drag drag(*data);
    UInt16 count = 0;
    ASSERT_EQ(CountDragItems(drag.ref, &count), noErr);
    ASSERT_EQ(count, 4);
    EXPECT_NE(drag.item(1), 1u); // reference numbers are not indexes
    EXPECT_NE(drag.item(1), drag.item(2));

    for (UInt16 i : {1, 3}) {
        HFSFlavor flavor;
        Size size = sizeof flavor;
        ASSERT_EQ(GetFlavorData(drag.ref, drag.item(i), kDragFlavorTypeHFS, &flavor, &size, 0),
                  noErr);
        EXPECT_EQ(size, 80);
        FSRef ref, expected;
        ASSERT_EQ(FSpMakeFSRef(&flavor.fileSpec, &ref), noErr);
        FSPathMakeRef((i == 1 ? dir + "/a.txt" : dir).toUtf8().constData(), &expected, nullptr);
        EXPECT_EQ(FSCompareFSRefs(&ref, &expected), noErr);
        if (i == 3) {
            EXPECT_EQ(flavor.fileType, FourCC("fold"));
        }
    }
    // The tail of a flavor, from an offset.
    UInt8 tail[80];
    Size size = sizeof tail;
    EXPECT_EQ(GetFlavorData(drag.ref, drag.item(1), kDragFlavorTypeHFS, tail, &size, 70), noErr);
    EXPECT_EQ(size, 10);

    FlavorFlags flags;
    for (UInt16 i : {2, 4})
        EXPECT_EQ(GetFlavorFlags(drag.ref, drag.item(i), kDragFlavorTypeHFS, &flags),
                  badDragFlavorErr);
    EXPECT_EQ(GetFlavorFlags(drag.ref, 1, kDragFlavorTypeHFS, &flags), badDragItemErr);
    DragItemRef none;
    EXPECT_EQ(GetDragItemReferenceNumber(drag.ref, 5, &none), badDragItemErr);
    EXPECT_EQ(CountDragItems(nullptr, &count), badDragRefErr);

    QMimeData text;
    text.setText("just words");
    Drag textDrag(text);
    ASSERT_EQ(CountDragItems(textDrag.ref, &count), noErr);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(GetFlavorFlags(textDrag.ref, textDrag.item(1), kDragFlavorTypeHFS, &flags),
              badDragFlavorErr);
}

TEST(DragItems, FromSender) {
    DragRef drag = nullptr;
    ASSERT_EQ(NewDrag(&drag), noErr);
    EXPECT_EQ(AddDragItemFlavor(drag, 7, FourCC("TEXT"), "hi", 2, 0), noErr);
    EXPECT_EQ(AddDragItemFlavor(drag, 7, FourCC("TEXT"), "again", 5, 0), duplicateFlavorErr);
    EXPECT_EQ(AddDragItemFlavor(drag, 9, kDragFlavorTypeHFS, nullptr, 0, 0), noErr);
    FlavorFlags flags = 0;
    ASSERT_EQ(GetFlavorFlags(drag, 9, kDragFlavorTypeHFS, &flags), noErr);
    EXPECT_TRUE(flags & flavorDataPromised);
    char buffer[80];
    Size size = sizeof buffer;
    EXPECT_EQ(GetFlavorData(drag, 9, kDragFlavorTypeHFS, buffer, &size, 0), cantGetFlavorErr);
    size = sizeof buffer;
    ASSERT_EQ(GetFlavorData(drag, 7, FourCC("TEXT"), buffer, &size, 0), noErr);
    EXPECT_EQ(std::string(buffer, size_t(size)), "hi");
    EXPECT_EQ(DisposeDrag(drag), noErr);
}

TEST_F(WindowDrag, EventsBecomeMessagesInOrder) {
    const auto data = Urls({QUrl("https://example.org/")});
    EXPECT_TRUE(Send(QEvent::DragEnter, data.get()));
    EXPECT_TRUE(Send(QEvent::DragMove, data.get()));
    EXPECT_TRUE(Send(QEvent::DragLeave, data.get()));
    EXPECT_EQ(gSeen, (std::vector<int>{1, 2, 3, 4, 5}));

    gSeen.clear();
    Send(QEvent::DragEnter, data.get());
    EXPECT_TRUE(Send(QEvent::Drop, data.get()));
    EXPECT_EQ(gSeen, (std::vector<int>{1, 2, 4, 0, 5}));

    // The receive handler's refusal refuses the drop.
    gSeen.clear();
    gReceiveResult = dragNotAcceptedErr;
    EXPECT_TRUE(Send(QEvent::DragEnter, data.get()));
    EXPECT_FALSE(Send(QEvent::Drop, data.get()));
    EXPECT_EQ(gSeen, (std::vector<int>{1, 2, 4, 0, 5}));
}

TEST_F(WindowDrag, RefusedOnEntryIsLeftAtOnce) {
    gEnterResult = dragNotAcceptedErr;
    const auto data = Urls({QUrl("https://example.org/")});
    EXPECT_FALSE(Send(QEvent::DragEnter, data.get()));
    EXPECT_FALSE(Send(QEvent::DragMove, data.get()));
    EXPECT_FALSE(Send(QEvent::Drop, data.get()));
    EXPECT_EQ(gSeen, (std::vector<int>{1, 2, 4, 5}));
}

TEST_F(WindowDrag, InstallingAndRemoving) {
    EXPECT_EQ(InstallTrackingHandler(Tracker, window.get(), nullptr), duplicateHandlerErr);
    EXPECT_EQ(InstallTrackingHandler(Tracker, nullptr, nullptr), paramErr);
    EXPECT_EQ(RemoveReceiveHandler(Receiver, window.get()), noErr);
    EXPECT_EQ(RemoveReceiveHandler(Receiver, window.get()), handlerNotFoundErr);
    EXPECT_EQ(RemoveTrackingHandler(Tracker, window.get()), noErr);
    EXPECT_FALSE(window->acceptDrops());
    const auto data = Urls({QUrl("https://example.org/")});
    Send(QEvent::DragEnter, data.get());
    EXPECT_TRUE(gSeen.empty());
}

TEST_F(WindowDrag, HiliteIsAFrameOverTheContent) {
    QMimeData empty;
    Drag drag(empty);
    Rect r{10, 20, 110, 220}; // top, left, bottom, right
    RgnHandle rgn = NewRgn();
    RectRgn(rgn, &r);
    EXPECT_EQ(ShowDragHilite(drag.ref, rgn, true), paramErr); // no current port
    SetPort(GetWindowPort(window.get()));
    ASSERT_EQ(ShowDragHilite(drag.ref, rgn, true), noErr);
    auto shown = plat::DragHiliteOf(drag.ref);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->window, window.get());
    EXPECT_EQ(shown->frame, QRect(20, 10, 200, 100));

    const QImage image = window->grab().toImage();
    const QColor highlight = window->palette().color(QPalette::Highlight);
    EXPECT_EQ(image.pixelColor(20, 10), highlight);
    EXPECT_EQ(image.pixelColor(21, 60), highlight);
    EXPECT_NE(image.pixelColor(22, 60), highlight);
    EXPECT_NE(image.pixelColor(120, 60), highlight);

    ASSERT_EQ(ShowDragHilite(drag.ref, rgn, false), noErr);
    EXPECT_EQ(plat::DragHiliteOf(drag.ref)->frame, QRect(18, 8, 204, 104));
    EXPECT_EQ(HideDragHilite(drag.ref), noErr);
    EXPECT_FALSE(plat::DragHiliteOf(drag.ref));
    SetPort(nullptr);
    DisposeRgn(rgn);
}
