// Drop intake: the folder walk's count and collect modes over real folders,
// the tracking table and highlight, window drops re-sent as Open Documents,
// and sending to self.
#include "app/DropIntake.h"
#include "app/Shell.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QUrl>
#include <QWidget>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

FSRef RefOf(const QString& path) {
    FSRef ref{};
    EXPECT_EQ(FSPathMakeRef(path.toUtf8().constData(), &ref, nullptr), noErr) << path.toStdString();
    return ref;
}

QString PathOf(const FSRef& ref) {
    return plat::PathOfRef(ref).value_or(QString());
}

QString MakeTree(const QStringList& entries) {
    const QString root = MakeTempDir("drop");
    for (const QString& e : entries) {
        if (e.endsWith('/')) {
            fs::create_directories((root + "/" + e).toStdString());
        } else {
            fs::create_directories(fs::path((root + "/" + e).toStdString()).parent_path());
            WriteFile(root + "/" + e, "x");
        }
    }
    return root;
}

// Count, then collect into an array of the count, as the queue pass does.
struct WalkResult {
    OSErr countErr, collectErr;
    SInt32 counted, collected;
    QStringList files;
};
WalkResult CountAndCollect(const QString& root, SInt32 room = -1) {
    const FSRef ref = RefOf(root);
    WalkResult r{};
    gNbrFilesToBeProcessed = gNbrFilesProcessed = 0;
    gWhichFilter = kWalkCount;
    r.countErr = WalkFolder(&ref);
    r.counted = gNbrFilesToBeProcessed;
    if (room >= 0) gNbrFilesToBeProcessed = room;
    std::vector<FSRef> files(size_t(std::max(gNbrFilesToBeProcessed, 1)));
    gFSRefArray = files.data();
    gWhichFilter = kWalkCollect;
    r.collectErr = WalkFolder(&ref);
    r.collected = gNbrFilesProcessed;
    for (SInt32 i = 0; i < std::min(gNbrFilesProcessed, gNbrFilesToBeProcessed); ++i)
        r.files << PathOf(files[size_t(i)]).mid(root.size() + 1);
    gFSRefArray = nullptr;
    return r;
}

// Open Documents events that arrived: each one's items as paths.
std::vector<QStringList> gOpened;
OSErr RecordOpenDocs(const AppleEvent* event, AppleEvent*, SRefCon) {
    AEDescList list;
    if (OSErr err = AEGetParamDesc(event, keyDirectObject, typeAEList, &list)) return err;
    long count = 0;
    AECountItems(&list, &count);
    QStringList paths;
    for (long i = 1; i <= count; ++i) {
        FSRef ref;
        Size size = 0;
        DescType type = 0;
        AEKeyword key = 0;
        if (AEGetNthPtr(&list, i, typeFSRef, &key, &type, &ref, sizeof ref, &size) == noErr)
            paths << PathOf(ref);
        else
            paths << "<unreadable>";
    }
    AEDisposeDesc(&list);
    gOpened.push_back(paths);
    return noErr;
}

// Queued events are delivered one per turn of the event loop, so a few turns
// deliver every one queued before them.
void Turns(int turns = 10) {
    for (int i = 0; i < turns; ++i)
        WaitNextEvent(everyEvent, nullptr, 0, nullptr);
}
// Runs the event loop until an Open Documents event has arrived, then a few
// turns more for any other queued with it.
bool WaitForOpened() {
    const bool arrived = WaitUntil([] { return !gOpened.empty(); }, kWaitCeilingMs,
                                   [] { WaitNextEvent(everyEvent, nullptr, 1, nullptr); });
    Turns();
    return arrived;
}

std::unique_ptr<QMimeData> Urls(const QList<QUrl>& urls) {
    auto data = std::make_unique<QMimeData>();
    data->setUrls(urls);
    return data;
}

class DropTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        AEInstallEventHandler(kCoreEventClass, kAEOpenDocuments, RecordOpenDocs, nullptr, false);
    }
    void SetUp() override {
        gOpened.clear();
        dir = MakeTree({"one.txt", "two.txt", "folder/inner"});
        window = std::make_unique<QWidget>();
        window->resize(320, 240);
        window->show();
    }
    std::unique_ptr<QWidget> window;
    QString dir;
};

} // namespace

TEST(FolderWalk, CountAndCollectAgreeOnEveryFileAtAnyDepth) {
    const QString root = MakeTree({"a", "sub/b", "sub/deeper/c", "sub/empty/",
                                   "Tool.app/Contents/Info.plist", "Tool.app/Contents/MacOS/Tool",
                                   "Tool.app/Contents/Resources/en.lproj/x.strings", ".hidden"});
    const WalkResult r = CountAndCollect(root);
    EXPECT_EQ(r.countErr, noErr);
    EXPECT_EQ(r.collectErr, noErr);
    EXPECT_EQ(r.counted, 7);
    EXPECT_EQ(r.collected, 7);
    QStringList sorted = r.files;
    sorted.sort();
    EXPECT_EQ(sorted, (QStringList{".hidden", "Tool.app/Contents/Info.plist",
                                   "Tool.app/Contents/MacOS/Tool",
                                   "Tool.app/Contents/Resources/en.lproj/x.strings", "a", "sub/b",
                                   "sub/deeper/c"}));
    // Collecting into less room than there are files overruns nothing and
    // still counts them all, so the queue pass sees the disagreement.
    const WalkResult small = CountAndCollect(root, 2);
    EXPECT_EQ(small.collected, 7);
    EXPECT_EQ(small.files.size(), 2);
}

TEST(FolderWalk, NothingButFoldersAndLinksCountsRight) {
    EXPECT_EQ(CountAndCollect(MakeTree({})).counted, 0);
    EXPECT_EQ(CountAndCollect(MakeTree({"x/", "y/z/"})).counted, 0);

    const QString root = MakeTree({"real/file"});
    fs::create_directory_symlink((root + "/real").toStdString(), (root + "/link").toStdString());
    fs::create_directory_symlink(root.toStdString(), (root + "/real/loop").toStdString());
    const WalkResult r = CountAndCollect(root);
    EXPECT_EQ(r.counted, 3); // real/file, real/loop, link: links are files, not followed
    EXPECT_EQ(r.collected, 3);
}

TEST(FolderWalk, QuitStopsAtTheNextItem) {
    const QString root = MakeTree({"1", "2", "3", "4", "5", "6"});
    const FSRef ref = RefOf(root);
    gNbrFilesToBeProcessed = 0;
    gWhichFilter = kWalkCount;
    gQuitting = true;
    EXPECT_EQ(WalkFolder(&ref), noErr);
    EXPECT_EQ(gNbrFilesToBeProcessed, 1);

    // Quit chosen while the third file is being looked at.
    gQuitting = false;
    gNbrFilesToBeProcessed = 0;
    auto quitAtThird = [](Boolean changed, ItemCount level, const FSCatalogInfo* info,
                          const FSRef* item, const FSSpec* spec, const HFSUniStr255* name,
                          void* data) -> Boolean {
        const Boolean stop = MyIterateContainerFilter(changed, level, info, item, spec, name, data);
        if (gNbrFilesToBeProcessed == 3) gQuitting = true;
        return stop;
    };
    EXPECT_EQ(
        FSIterateContainer(&ref, 0, kFSCatInfoNodeFlags, false, false, quitAtThird, &gWhichFilter),
        noErr);
    gQuitting = false;
    EXPECT_EQ(gNbrFilesToBeProcessed, 4);
}

TEST_F(DropTest, AcceptabilityAndTheTrackingTable) {
    const auto web = Urls({QUrl("http://example.org/a"), QUrl("https://example.org/b")});
    const auto mixed = Urls({QUrl("http://example.org/a"), QUrl::fromLocalFile(dir + "/one.txt")});
    DragRef webDrag = nullptr, mixedDrag = nullptr;
    plat::NewDragFromMimeData(web.get(), &webDrag);
    plat::NewDragFromMimeData(mixed.get(), &mixedDrag);
    EXPECT_FALSE(DragItemsAreAcceptable(webDrag));
    EXPECT_TRUE(DragItemsAreAcceptable(mixedDrag));
    EXPECT_FALSE(DragItemsAreAcceptable(nullptr));

    EXPECT_EQ(DragTracker(kDragTrackingEnterHandler, window.get(), nullptr, webDrag),
              dragNotAcceptedErr);
    EXPECT_EQ(DragTracker(kDragTrackingEnterWindow, window.get(), nullptr, webDrag), noErr);
    EXPECT_FALSE(plat::DragHiliteOf(webDrag));

    EXPECT_EQ(DragTracker(kDragTrackingEnterHandler, window.get(), nullptr, mixedDrag), noErr);
    EXPECT_EQ(DragTracker(kDragTrackingEnterWindow, window.get(), nullptr, mixedDrag), noErr);
    const auto hilite = plat::DragHiliteOf(mixedDrag);
    ASSERT_TRUE(hilite);
    EXPECT_EQ(hilite->window, window.get());
    EXPECT_EQ(hilite->frame, QRect(2, 2, 320 - 4, 240 - 4));
    EXPECT_EQ(DragTracker(kDragTrackingInWindow, window.get(), nullptr, mixedDrag), paramErr);
    EXPECT_EQ(DragTracker(9, window.get(), nullptr, mixedDrag), paramErr);
    EXPECT_EQ(DragTracker(kDragTrackingLeaveWindow, window.get(), nullptr, mixedDrag), noErr);
    EXPECT_FALSE(plat::DragHiliteOf(mixedDrag));
    EXPECT_EQ(DragTracker(kDragTrackingLeaveHandler, window.get(), nullptr, mixedDrag), noErr);
    DisposeDrag(webDrag);
    DisposeDrag(mixedDrag);
}

TEST_F(DropTest, WindowDropQueuesTheLocalItemsInOrder) {
    ASSERT_EQ(InitDragHandlers(), noErr);
    ASSERT_EQ(InstallDragHandlers(window.get()), noErr);
    EXPECT_EQ(InstallDragHandlers(window.get()), duplicateHandlerErr);

    const auto data =
        Urls({QUrl::fromLocalFile(dir + "/two.txt"), QUrl("http://example.org/"),
              QUrl::fromLocalFile(dir + "/folder"), QUrl::fromLocalFile(dir + "/one.txt")});
    QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, data.get(), Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(window.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    EXPECT_NE(window->findChild<QWidget*>("DragHilite"), nullptr);
    QDropEvent drop(QPointF(100, 100), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(window->findChild<QWidget*>("DragHilite"), nullptr);

    EXPECT_TRUE(WaitForOpened());
    ASSERT_EQ(gOpened.size(), 1u);
    EXPECT_EQ(gOpened[0], (QStringList{dir + "/two.txt", dir + "/folder", dir + "/one.txt"}));

    // Nothing usable: refused on entry, nothing queued.
    const auto web = Urls({QUrl("http://example.org/")});
    QDragEnterEvent refused(QPoint(100, 100), Qt::CopyAction, web.get(), Qt::LeftButton,
                            Qt::NoModifier);
    QApplication::sendEvent(window.get(), &refused);
    EXPECT_FALSE(refused.isAccepted());
    EXPECT_EQ(window->findChild<QWidget*>("DragHilite"), nullptr);

    EXPECT_EQ(RemoveDragHandlers(window.get()), noErr);
    EXPECT_EQ(RemoveDragHandlers(window.get()), handlerNotFoundErr);
    Turns();
    EXPECT_EQ(gOpened.size(), 1u);
}

TEST_F(DropTest, ReceiverRefusesUnusableAndUnreadableDrags) {
    const auto web = Urls({QUrl("http://example.org/")});
    DragRef webDrag = nullptr;
    plat::NewDragFromMimeData(web.get(), &webDrag);
    EXPECT_EQ(DragReceiver(window.get(), nullptr, webDrag), dragNotAcceptedErr);
    DisposeDrag(webDrag);

    // A good item, a short flavor (skipped) and a promised one (refuses).
    DragRef drag = nullptr;
    NewDrag(&drag);
    HFSFlavor good{};
    const FSRef one = RefOf(dir + "/one.txt");
    FSRefMakeFSSpec(&one, &good.fileSpec);
    AddDragItemFlavor(drag, 1, kDragFlavorTypeHFS, &good, sizeof good, 0);
    AddDragItemFlavor(drag, 2, kDragFlavorTypeHFS, &good, 10, 0);
    AddDragItemFlavor(drag, 3, FourCC("TEXT"), "x", 1, 0);
    EXPECT_EQ(DragReceiver(window.get(), nullptr, drag), noErr);
    AddDragItemFlavor(drag, 4, kDragFlavorTypeHFS, nullptr, 0, 0);
    EXPECT_EQ(DragReceiver(window.get(), nullptr, drag), cantGetFlavorErr);
    DisposeDrag(drag);
    EXPECT_TRUE(WaitForOpened());
    ASSERT_EQ(gOpened.size(), 1u);
    EXPECT_EQ(gOpened[0], QStringList{dir + "/one.txt"});
}

TEST_F(DropTest, SendingToSelf) {
    FSSpec specs[2];
    const FSRef two = RefOf(dir + "/two.txt");
    FSRefMakeFSSpec(&two, &specs[1]);
    WriteFile(dir + "/gone", "x");
    const FSRef gone = RefOf(dir + "/gone");
    FSRefMakeFSSpec(&gone, &specs[0]);
    fs::remove((dir + "/gone").toStdString());

    EXPECT_EQ(SendOpenDocAppleEventToSelf(0, specs), paramErr);
    EXPECT_EQ(SendOpenDocAppleEventToSelf(1, nullptr), paramErr);
    EXPECT_EQ(SendOpenDocAppleEventToSelf(1, specs), fnfErr); // only a vanished item
    EXPECT_EQ(SendOpenDocAppleEventToSelf(2, specs), noErr);  // the vanished one left out
    EXPECT_TRUE(WaitForOpened());
    ASSERT_EQ(gOpened.size(), 1u);
    EXPECT_EQ(gOpened[0], QStringList{dir + "/two.txt"});
}
