// The log viewer: Mac Roman text with CR line ends, followed live as the
// file grows, reloaded when it shrinks, scrolled to the end unless the user
// scrolled away; and the LoftwiseConsole program's command line, one viewer
// per log file.
#include "platform/hosts/console/LogViewer.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QScrollBar>
#include <gtest/gtest.h>

using namespace testing_support;

namespace {

void Append(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::Append));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

class Console : public ::testing::Test {
protected:
    QString dir = MakeTempDir("console");
    QString path = dir + "/Loftwise-ftphost:pub.log";
};

TEST_F(Console, ShowsMacRomanTextWithCRLineEnds) {
    WriteFile(path, "Loftwise started logging.\rcaf\x8E\r\nlf line\nlast");
    plat::LogViewer viewer(path);
    EXPECT_EQ(viewer.windowTitle(), "Loftwise-ftphost:pub.log");
    EXPECT_TRUE(viewer.isReadOnly());
    EXPECT_EQ(viewer.toPlainText(),
              QString::fromUtf8("Loftwise started logging.\ncaf\u00e9\nlf line\nlast"));
    EXPECT_EQ(viewer.bytesShown(), QFile(path).size());
}

TEST_F(Console, FollowsAppendsLiveAndJoinsSplitLines) {
    WriteFile(path, "one\r");
    plat::LogViewer viewer(path);
    viewer.show();
    // No refresh() by hand here: the watcher or the poll must notice.
    Append(path, "tw");
    ASSERT_TRUE(SpinUntil([&] { return viewer.toPlainText() == "one\ntw"; }))
        << viewer.toPlainText().toStdString();
    Append(path, "o\r");
    ASSERT_TRUE(SpinUntil([&] { return viewer.toPlainText() == "one\ntwo\n"; }))
        << viewer.toPlainText().toStdString();
    // A CR LF cut between two appends is still one line end.
    Append(path, "three\r");
    ASSERT_TRUE(SpinUntil([&] { return viewer.bytesShown() == QFile(path).size(); }));
    Append(path, "\nfour\r");
    ASSERT_TRUE(SpinUntil([&] { return viewer.toPlainText() == "one\ntwo\nthree\nfour\n"; }))
        << viewer.toPlainText().toStdString();
}

TEST_F(Console, ReloadsAFileThatShrankOrWasReplaced) {
    WriteFile(path, "a long first version\r");
    plat::LogViewer viewer(path);
    WriteFile(path, "new\r");
    viewer.refresh();
    EXPECT_EQ(viewer.toPlainText(), "new\n");

    // Replaced by a file as long as the one before: a different file all the same.
    const QString other = dir + "/other.log";
    WriteFile(other, "NEW\r");
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::rename(other, path));
    viewer.refresh();
    EXPECT_EQ(viewer.toPlainText(), "NEW\n");

    // Gone: what was shown stays until it is back.
    ASSERT_TRUE(QFile::remove(path));
    viewer.refresh();
    EXPECT_EQ(viewer.toPlainText(), "NEW\n");
    WriteFile(path, "back\r");
    ASSERT_TRUE(SpinUntil([&] { return viewer.toPlainText() == "back\n"; }))
        << viewer.toPlainText().toStdString();

    // Removed and made again, each time no shorter: a file system that hands
    // the new file the old one's inode number must not make it an append.
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(QFile::remove(path));
        viewer.refresh();
        const QByteArray text = "again " + QByteArray::number(i);
        WriteFile(path, text + "\r");
        viewer.refresh();
        ASSERT_EQ(viewer.toPlainText().toStdString(), (text + "\n").toStdString()) << i;
    }
}

TEST_F(Console, StaysAtTheEndUnlessTheUserScrolledUp) {
    QByteArray lines;
    for (int i = 0; i < 200; ++i)
        lines += "line " + QByteArray::number(i) + "\r";
    WriteFile(path, lines);
    plat::LogViewer viewer(path);
    viewer.resize(400, 200);
    viewer.show();
    QCoreApplication::processEvents();
    QScrollBar* bar = viewer.verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);

    bar->setValue(bar->maximum());
    Append(path, lines);
    viewer.refresh();
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->value(), bar->maximum());

    bar->setValue(10);
    Append(path, lines);
    viewer.refresh();
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->value(), 10);
    EXPECT_GT(bar->maximum(), 10);
}

TEST_F(Console, TheProgramNeedsAnExistingFile) {
    const auto none = RunProcess(LOFTWISE_CONSOLE, {});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_TRUE(none.err.contains("usage"));
    const auto missing = RunProcess(LOFTWISE_CONSOLE, {dir + "/missing.log"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.err.contains("missing.log"));
    // With a file it shows it and runs until closed.
    WriteFile(path, "x\r");
    const auto shown = RunProcess(LOFTWISE_CONSOLE, {path}, 1500);
    EXPECT_TRUE(shown.timedOut);
}

TEST_F(Console, OpeningAShownLogAgainRaisesItsViewer) {
    WriteFile(path, "x\r");
    const QString link = dir + "/link.log";
    ASSERT_TRUE(QFile::link(path, link));
    const QString other = dir + "/other.log";
    WriteFile(other, "y\r");
    QProcess first;
    first.start(LOFTWISE_CONSOLE, {path});
    ASSERT_TRUE(SpinUntil([&] { return plat::LogViewerInstance::RaiseRunning(path); }));
    // The same file, by its name and through a link: raised, no second viewer.
    for (const QString& again : {path, link}) {
        const auto result = RunProcess(LOFTWISE_CONSOLE, {again});
        EXPECT_FALSE(result.timedOut) << again.toStdString();
        EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    }
    EXPECT_EQ(first.state(), QProcess::Running);
    // Another file gets a viewer of its own.
    EXPECT_TRUE(RunProcess(LOFTWISE_CONSOLE, {other}, 1500).timedOut);
    first.kill();
    first.waitForFinished();
}

} // namespace
