// The log viewer: lines of UTF-8 or else Mac Roman text with LF, CR or CR LF
// line ends, followed live as the file grows, reloaded when it shrinks,
// scrolled to the end unless the user scrolled away; and the LoftwiseConsole
// program's command line, one viewer per log file.
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

// A literal's bytes, NULs included.
template <std::size_t N> QByteArray Bytes(const char (&literal)[N]) {
    return QByteArray(literal, qsizetype(N - 1));
}

class Console : public ::testing::Test {
protected:
    QString dir = MakeTempDir("console");
    QString path = dir + "/Loftwise-ftphost:pub.log";
};

TEST_F(Console, ShowsEachLineAsUtf8OrElseMacRoman) {
    struct Row {
        const char* name;
        QByteArray file;
        QString shown;
    };
    const Row rows[] = {
        {"Mac Roman, CR and CR LF and LF",
         QByteArray("Loftwise started logging.\rcaf\x8E\r\nlf line\nlast"),
         QString::fromUtf8("Loftwise started logging.\ncaf\u00e9\nlf line\nlast")},
        {"UTF-8 with CJK",
         QByteArray("Gr\xC3\xBC\xC3\x9F"
                    "e \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\n"),
         QString::fromUtf8("Gr\u00fc\u00dfe \u65e5\u672c\u8a9e\n")},
        {"an old Mac Roman line, then a new UTF-8 one",
         QByteArray("Gr\x9A\xA7"
                    "e\rGr\xC3\xBC\xC3\x9F"
                    "e \xF0\x9F\x98\x80\n"),
         QString::fromUtf8("Gr\u00f6\u00dfe\nGr\u00fc\u00dfe \U0001F600\n")},
        // One byte that UTF-8 cannot have makes the whole line Mac Roman,
        // UTF-8-like pairs before it included.
        {"Mac Roman with a UTF-8-like pair", QByteArray("\xC3\xA9t\x8E\r"),
         QString::fromUtf8("\u221a\u00a9t\u00e9\n")},
        {"a line ending inside a character, then UTF-8", QByteArray("caf\xC3\rcaf\xC3\xA9\n"),
         QString::fromUtf8("caf\u221a\ncaf\u00e9\n")},
        {"overlong, surrogate and past U+10FFFF",
         QByteArray("\xC0\xAF\r\xED\xA0\x80\r\xF4\x90\x80\x80\r"),
         QString::fromUtf8("\u00bf\u00d8\n\u00cc\u2020\u00c4\n\u00d9\u00ea\u00c4\u00c4\n")},
        // NULs show as nothing; one inside a character makes it Mac Roman.
        {"NULs",
         Bytes("\0Gr\xC3\xBC\0\xC3\x9F"
               "e\n\xE2\x82\0\xAC\n"),
         QString::fromUtf8("Gr\u00fc\u00dfe\n\u201a\u00c7\u00a8\n")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WriteFile(path, row.file);
        plat::LogViewer viewer(path);
        EXPECT_EQ(viewer.windowTitle(), "Loftwise-ftphost:pub.log");
        EXPECT_TRUE(viewer.isReadOnly());
        EXPECT_EQ(viewer.toPlainText().toStdString(), row.shown.toStdString());
        EXPECT_EQ(viewer.bytesShown(), QFile(path).size());
    }
}

// A read may end inside a character or a line: what is shown is never
// garbled, and a line shown before a byte proved it Mac Roman is shown again.
TEST_F(Console, ReadsLinesAndCharactersCutBetweenAppends) {
    struct Row {
        const char* name;
        // Appends, each with what is shown after it.
        QList<std::pair<QByteArray, QString>> steps;
    };
    const Row rows[] = {
        {"two-byte",
         {{"ok\rGr\xC3", "ok\nGr"},
          {"\xBC\xC3", QString::fromUtf8("ok\nGr\u00fc")},
          {"\x9F"
           "e\n",
           QString::fromUtf8("ok\nGr\u00fc\u00dfe\n")}}},
        {"three-byte, byte by byte",
         {{"\xE6", ""}, {"\x97", ""}, {"\xA5\r", QString::fromUtf8("\u65e5\n")}}},
        {"four-byte", {{"\xF0\x9F", ""}, {"\x98\x80\n", QString::fromUtf8("\U0001F600\n")}}},
        {"Mac Roman shown first as UTF-8",
         {{"a\n\xC3\xA9", QString::fromUtf8("a\n\u00e9")},
          {"t\x8E\r", QString::fromUtf8("a\n\u221a\u00a9t\u00e9\n")}}},
        {"Mac Roman after ASCII", {{"caf", "caf"}, {"\x8E\r", QString::fromUtf8("caf\u00e9\n")}}},
        {"line end after a cut character",
         {{"caf\xC3", "caf"}, {"\rx", QString::fromUtf8("caf\u221a\nx")}}},
        {"CR, then LF in the next append", {{"a\r", "a\n"}, {"\nb\n", "a\nb\n"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WriteFile(path, "");
        plat::LogViewer viewer(path);
        for (const auto& [bytes, shown] : row.steps) {
            SCOPED_TRACE(bytes.toHex().toStdString());
            Append(path, bytes);
            viewer.refresh();
            EXPECT_EQ(viewer.toPlainText().toStdString(), shown.toStdString());
        }
    }
}

// The writer may stop inside a character: after a while the line is shown
// as Mac Roman, and shown again when more comes.
TEST_F(Console, ShowsACutCharacterThatSatThere) {
    struct Row {
        const char* name;
        QByteArray more;
        QString shown;
    };
    const Row rows[] = {
        {"completed as UTF-8", "\xBC\n", QString::fromUtf8("ok\nGr\u00fc\n")},
        {"proved Mac Roman", "s\r", QString::fromUtf8("ok\nGr\u221as\n")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WriteFile(path, "ok\rGr\xC3");
        plat::LogViewer viewer(path);
        EXPECT_EQ(viewer.toPlainText(), "ok\nGr");
        ASSERT_TRUE(SpinUntil([&] {
            return viewer.toPlainText() == QString::fromUtf8("ok\nGr\u221a");
        })) << viewer.toPlainText().toStdString();
        Append(path, row.more);
        viewer.refresh();
        EXPECT_EQ(viewer.toPlainText().toStdString(), row.shown.toStdString());
    }
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
