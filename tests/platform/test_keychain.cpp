// The keychain against a real gnome-keyring-daemon: ctest runs this program
// through tests/support/with-keyring, which gives it a private session bus
// and keyring. Cases that need a keyring in a state of their own (stopped,
// locked, absent) run this program again as a child.
#include "platform/Keychain.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/types.h>
#include <thread>
#include <vector>

using namespace testing_support;

namespace {

const std::string kService = "Loftwise";

bool UnderTestKeyring() {
    return qEnvironmentVariableIsSet("LOFTWISE_TEST_KEYRING");
}

#define REQUIRE_TEST_KEYRING()                                                                     \
    if (!UnderTestKeyring())                                                                       \
    GTEST_SKIP() << "needs a private keyring: run through tests/support/with-keyring"

struct Found {
    OSStatus status = 1;
    std::string password;
    plat::KeychainItemPtr item;
};

Found Find(const std::string& account, const std::string& service = kService) {
    Found f;
    UInt32 length = 12345;
    void* data = reinterpret_cast<void*>(1);
    SecKeychainItemRef item = reinterpret_cast<SecKeychainItemRef>(1);
    f.status = SecKeychainFindGenericPassword(nullptr, UInt32(service.size()), service.data(),
                                              UInt32(account.size()), account.data(), &length,
                                              &data, &item);
    if (f.status == noErr) {
        f.password.assign(static_cast<const char*>(data), length);
        // Callers copy length + 1 bytes; the terminator must be there.
        EXPECT_EQ(static_cast<const char*>(data)[length], '\0');
        SecKeychainItemFreeContent(nullptr, data);
        f.item.reset(item);
    } else {
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(item, nullptr);
    }
    return f;
}

OSStatus Add(const std::string& account, const std::string& password,
             const std::string& service = kService) {
    return SecKeychainAddGenericPassword(nullptr, UInt32(service.size()), service.data(),
                                         UInt32(account.size()), account.data(),
                                         UInt32(password.size()), password.data(), nullptr);
}

// What the application does to store a password: delete any old item, add anew.
OSStatus Replace(const std::string& account, const std::string& password) {
    Found old = Find(account);
    if (old.status == noErr) {
        EXPECT_EQ(SecKeychainItemDelete(old.item.get()), noErr);
    }
    return Add(account, password);
}

ProcessResult RunWithEnv(const QString& program, const QStringList& args,
                         const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
                         int timeoutMs = 60000) {
    ProcessResult r;
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForStarted(timeoutMs)) return r;
    if (!p.waitForFinished(timeoutMs)) {
        r.timedOut = true;
        p.kill();
        p.waitForFinished(5000);
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// secret-tool speaks to the Secret Service on its own: what it sees is stored there.
ProcessResult SecretTool(const QStringList& args) {
    return RunWithEnv("secret-tool", args);
}

QString WithKeyring() {
    const QString script = qEnvironmentVariable("LOFTWISE_WITH_KEYRING");
    return script.isEmpty() ? QStringLiteral(LOFTWISE_SOURCE_DIR "/tests/support/with-keyring")
                            : script;
}

// Runs one child case of this program in a child process.
ProcessResult RunChild(const char* mode, QProcessEnvironment env, bool ownKeyring) {
    env.insert("LOFTWISE_KEYCHAIN_CHILD", mode);
    QStringList args{QStringLiteral("--gtest_filter=DISABLED_KeychainChild.*"),
                     QStringLiteral("--gtest_also_run_disabled_tests")};
    QString program = QCoreApplication::applicationFilePath();
    if (ownKeyring) {
        args.prepend(program);
        program = WithKeyring();
    }
    return RunWithEnv(program, args, env);
}

QStringList Lines(const QByteArray& text) {
    return QString::fromUtf8(text).split('\n', Qt::SkipEmptyParts);
}

// A child that ran its case to the end says so; a skipped or crashed one does not.
void ExpectChildCompleted(const ProcessResult& r) {
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_TRUE(r.out.contains("CHILD-COMPLETED")) << r.out.constData();
}

// ---- the private keyring ------------------------------------------------

TEST(Keychain, AddedPasswordIsFoundWithItsNames) {
    REQUIRE_TEST_KEYRING();
    const std::string account = "ftp.example.com:alice";
    ASSERT_EQ(Add(account, "s3cret"), noErr);

    Found f = Find(account);
    ASSERT_EQ(f.status, noErr);
    EXPECT_EQ(f.password, "s3cret");
    EXPECT_EQ(plat::KeychainItemService(f.item.get()), kService);
    EXPECT_EQ(plat::KeychainItemAccount(f.item.get()), account);

    // Every out pointer may be null.
    EXPECT_EQ(SecKeychainFindGenericPassword(nullptr, UInt32(kService.size()), kService.data(),
                                             UInt32(account.size()), account.data(), nullptr,
                                             nullptr, nullptr),
              noErr);
    // Another service or a longer account is another item.
    EXPECT_EQ(Find(account, "Loftwise2").status, errSecItemNotFound);
    EXPECT_EQ(Find(account + "x").status, errSecItemNotFound);

    // Another process sees the item in the Secret Service under these names.
    ProcessResult lookup =
        SecretTool({"lookup", "service", "Loftwise", "account", "ftp.example.com:alice"});
    EXPECT_EQ(lookup.exitCode, 0) << lookup.err.constData();
    EXPECT_EQ(lookup.out, QByteArray("s3cret"));
}

TEST(Keychain, MissingItemAndDuplicateAddAreAnswersNotFailures) {
    REQUIRE_TEST_KEYRING();
    testing::internal::CaptureStderr();
    const OSStatus missing = Find("nowhere.example.com:nobody").status;
    ASSERT_EQ(Add("dup.example.com:bob", "first"), noErr);
    const OSStatus duplicate = Add("dup.example.com:bob", "second");
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(missing, errSecItemNotFound);
    EXPECT_EQ(duplicate, errSecDuplicateItem);
    EXPECT_EQ(Find("dup.example.com:bob").password, "first");
    EXPECT_EQ(err, "");

    ProcessResult search =
        SecretTool({"search", "--all", "service", "Loftwise", "account", "dup.example.com:bob"});
    EXPECT_EQ(search.out.count("secret = "), 1) << search.out.constData();
}

TEST(Keychain, ReplaceLeavesOneItemWithTheNewPassword) {
    REQUIRE_TEST_KEYRING();
    const std::string account = "replace.example.com:carol";
    ASSERT_EQ(Replace(account, "old"), noErr);
    ASSERT_EQ(Replace(account, "new"), noErr);
    EXPECT_EQ(Find(account).password, "new");

    ProcessResult search = SecretTool(
        {"search", "--all", "service", "Loftwise", "account", QString::fromStdString(account)});
    EXPECT_EQ(search.out.count("secret = "), 1) << search.out.constData();
    EXPECT_TRUE(search.out.contains("secret = new")) << search.out.constData();

    // A reference whose item is gone deletes nothing else.
    Found f = Find(account);
    ASSERT_EQ(f.status, noErr);
    ASSERT_EQ(SecKeychainItemDelete(f.item.get()), noErr);
    EXPECT_EQ(Find(account).status, errSecItemNotFound);
    testing::internal::CaptureStderr();
    EXPECT_EQ(SecKeychainItemDelete(f.item.get()), errSecInvalidItemRef);
    EXPECT_EQ(Lines(QByteArray::fromStdString(testing::internal::GetCapturedStderr())).size(), 1);
}

TEST(Keychain, MacRomanAccountIsStoredAsUtf8) {
    REQUIRE_TEST_KEYRING();
    // "hôte.example:rené" with ô and é in Mac Roman, and a second colon.
    const std::string account = "h\x99te.example:ren\x8E:21";
    ASSERT_EQ(Add(account, "p\x8E"), noErr);

    Found f = Find(account);
    ASSERT_EQ(f.status, noErr);
    EXPECT_EQ(f.password, "p\x8E"); // password bytes stay as they were given
    EXPECT_EQ(plat::KeychainItemAccount(f.item.get()), account);

    ProcessResult lookup = SecretTool(
        {"lookup", "service", "Loftwise", "account", QString::fromUtf8("hôte.example:rené:21")});
    EXPECT_EQ(lookup.exitCode, 0) << lookup.err.constData();
    EXPECT_EQ(lookup.out, QByteArray("p\x8E"));
    // The same letters as Latin-1 bytes are not the same account.
    EXPECT_EQ(Find("h\xF4te.example:ren\xE9:21").status, errSecItemNotFound);
}

TEST(Keychain, AnyPasswordBytesRoundTrip) {
    REQUIRE_TEST_KEYRING();
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += char(i);
    bytes += std::string("\0\xFF\xFE\0", 4);
    ASSERT_EQ(Add("binary.example.com:dave", bytes), noErr);
    EXPECT_EQ(Find("binary.example.com:dave").password, bytes);

    ASSERT_EQ(Add("empty.example.com:erin", ""), noErr);
    Found empty = Find("empty.example.com:erin");
    EXPECT_EQ(empty.status, noErr);
    EXPECT_EQ(empty.password, "");
}

TEST(Keychain, ZeroLengthNameMatchesAnyAccount) {
    REQUIRE_TEST_KEYRING();
    const std::string service = "LoftwiseWildcard";
    ASSERT_EQ(Add("only.example.com:frank", "w", service), noErr);
    Found f = Find("", service);
    ASSERT_EQ(f.status, noErr);
    EXPECT_EQ(plat::KeychainItemAccount(f.item.get()), "only.example.com:frank");
    EXPECT_EQ(f.password, "w");
}

TEST(Keychain, InvalidArgumentsAreParamErr) {
    testing::internal::CaptureStderr();
    int dummy = 0;
    EXPECT_EQ(
        SecKeychainFindGenericPassword(&dummy, 8, "Loftwise", 3, "a:b", nullptr, nullptr, nullptr),
        paramErr);
    EXPECT_EQ(SecKeychainAddGenericPassword(nullptr, 8, "Loftwise", 3, "a\0b", 1, "x", nullptr),
              paramErr);
    EXPECT_EQ(SecKeychainAddGenericPassword(nullptr, 8, "Loftwise", 3, "a:b", 4, nullptr, nullptr),
              paramErr);
    EXPECT_EQ(SecKeychainItemDelete(nullptr), paramErr);
    EXPECT_EQ(Lines(QByteArray::fromStdString(testing::internal::GetCapturedStderr())).size(), 4);
}

TEST(Keychain, ThreadsWorkSideBySide) {
    REQUIRE_TEST_KEYRING();
    std::atomic<int> failures = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 5; ++i) {
                const std::string account =
                    "threads.example.com:u" + std::to_string(t) + "-" + std::to_string(i);
                const std::string password = "pw" + std::to_string(t * 100 + i);
                if (SecKeychainAddGenericPassword(nullptr, 8, "Loftwise", UInt32(account.size()),
                                                  account.data(), UInt32(password.size()),
                                                  password.data(), nullptr) != noErr)
                    ++failures;
                UInt32 length = 0;
                void* data = nullptr;
                SecKeychainItemRef item = nullptr;
                if (SecKeychainFindGenericPassword(nullptr, 8, "Loftwise", UInt32(account.size()),
                                                   account.data(), &length, &data,
                                                   &item) != noErr) {
                    ++failures;
                    continue;
                }
                if (std::string(static_cast<char*>(data), length) != password) ++failures;
                SecKeychainItemFreeContent(nullptr, data);
                if (SecKeychainItemDelete(item) != noErr) ++failures;
                SecKeychainItemRelease(item);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);
}

// ---- keyrings in other states, each in a child --------------------------

TEST(Keychain, NoSessionBusIsNotAvailableAtOnce) {
    for (const char* address : {"unix:path=/nonexistent", ""}) {
        SCOPED_TRACE(address);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (*address)
            env.insert("DBUS_SESSION_BUS_ADDRESS", address);
        else
            env.remove("DBUS_SESSION_BUS_ADDRESS");
        QElapsedTimer timer;
        timer.start();
        ProcessResult r = RunChild("nobus", env, false);
        ExpectChildCompleted(r);
        EXPECT_LT(timer.elapsed(), 10000);
        const QStringList lines = Lines(r.err);
        ASSERT_EQ(lines.size(), 1) << r.err.constData();
        EXPECT_TRUE(lines[0].startsWith("Keychain unavailable: ")) << lines[0].toStdString();
    }
}

TEST(Keychain, StoppedServiceTimesOutAndRecovers) {
    REQUIRE_TEST_KEYRING();
    ProcessResult r = RunChild("stopped", QProcessEnvironment::systemEnvironment(), true);
    ExpectChildCompleted(r);
    const QStringList lines = Lines(r.err).filter("Keychain");
    ASSERT_EQ(lines.size(), 2) << r.err.constData();
    for (const QString& line : lines)
        EXPECT_TRUE(line.startsWith("Keychain unavailable: ") && line.contains("did not answer"))
            << line.toStdString();
}

TEST(Keychain, LockedCollectionIsNeverUnlocked) {
    REQUIRE_TEST_KEYRING();
    ProcessResult r = RunChild("locked", QProcessEnvironment::systemEnvironment(), true);
    ExpectChildCompleted(r);
    const QStringList lines = Lines(r.err).filter("Keychain");
    EXPECT_EQ(lines.size(), 3) << r.err.constData();
    for (const QString& line : lines)
        EXPECT_TRUE(line.startsWith("Keychain locked: ")) << line.toStdString();
    // No unlock prompt was asked for.
    EXPECT_FALSE(r.err.contains("Prompter")) << r.err.constData();
}

// ---- the children ------------------------------------------------------

QString ChildMode() {
    return qEnvironmentVariable("LOFTWISE_KEYCHAIN_CHILD");
}

// Disabled in a normal run: the Keychain cases run them in children.
#define CHILD_CASE(mode)                                                                           \
    if (ChildMode() != mode) GTEST_SKIP() << "another child case"

void ReportCompleted() {
    if (!testing::Test::HasFailure()) std::printf("CHILD-COMPLETED\n");
    std::fflush(stdout);
}

TEST(DISABLED_KeychainChild, NoBus) {
    CHILD_CASE("nobus");
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(Find("nobus.example.com:gina").status, errSecNotAvailable);
    EXPECT_LT(timer.elapsed(), 3000);
    ReportCompleted();
}

// The keyring daemon of this session, from the bus.
pid_t KeyringDaemon() {
    ProcessResult r = RunWithEnv("gdbus", {"call", "--session", "--dest", "org.freedesktop.DBus",
                                           "--object-path", "/org/freedesktop/DBus", "--method",
                                           "org.freedesktop.DBus.GetConnectionUnixProcessID",
                                           "org.freedesktop.secrets"});
    const auto match = QRegularExpression(R"(uint32 (\d+))").match(QString::fromUtf8(r.out));
    return match.hasMatch() ? pid_t(match.captured(1).toInt()) : 0;
}

TEST(DISABLED_KeychainChild, Stopped) {
    CHILD_CASE("stopped");
    ASSERT_EQ(Add("stopped.example.com:hank", "before"), noErr);
    const pid_t daemon = KeyringDaemon();
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(kill(daemon, SIGSTOP), 0);
    struct Resume {
        pid_t pid;
        ~Resume() { kill(pid, SIGCONT); }
    } resume{daemon};

    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(Find("stopped.example.com:hank").status, errSecNotAvailable);
    EXPECT_GE(timer.elapsed(), 4500);
    EXPECT_LT(timer.elapsed(), 8000);
    timer.restart();
    EXPECT_EQ(Add("stopped.example.com:ivy", "x"), errSecNotAvailable);
    EXPECT_LT(timer.elapsed(), 8000);

    kill(daemon, SIGCONT);
    Found f = Find("stopped.example.com:hank");
    EXPECT_EQ(f.status, noErr);
    EXPECT_EQ(f.password, "before");
    ReportCompleted();
}

TEST(DISABLED_KeychainChild, Locked) {
    CHILD_CASE("locked");
    ASSERT_EQ(Add("locked.example.com:jo", "kept"), noErr);
    Found before = Find("locked.example.com:jo");
    ASSERT_EQ(before.status, noErr);

    auto secrets = [](QStringList args) {
        args = QStringList{"call",          "--session",
                           "--dest",        "org.freedesktop.secrets",
                           "--object-path", "/org/freedesktop/secrets"} +
               args;
        return RunWithEnv("gdbus", args);
    };
    ProcessResult alias =
        secrets({"--method", "org.freedesktop.Secret.Service.ReadAlias", "default"});
    const auto match = QRegularExpression(R"('(/org/freedesktop/secrets/collection/[^']+)')")
                           .match(QString::fromUtf8(alias.out));
    ASSERT_TRUE(match.hasMatch()) << alias.out.constData();
    const QString collection = match.captured(1);
    ProcessResult lock = secrets(
        {"--method", "org.freedesktop.Secret.Service.Lock", "[objectpath '" + collection + "']"});
    ASSERT_EQ(lock.exitCode, 0) << lock.err.constData();
    ProcessResult locked = RunWithEnv(
        "gdbus", {"call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
                  collection, "--method", "org.freedesktop.DBus.Properties.Get",
                  "org.freedesktop.Secret.Collection", "Locked"});
    ASSERT_TRUE(locked.out.contains("true")) << "could not lock: " << locked.out.constData();

    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(Find("locked.example.com:jo").status, errSecInteractionNotAllowed);
    EXPECT_EQ(Add("locked.example.com:kim", "new"), errSecInteractionNotAllowed);
    EXPECT_EQ(SecKeychainItemDelete(before.item.get()), errSecInteractionNotAllowed);
    EXPECT_LT(timer.elapsed(), 3000);
    ReportCompleted();
}

} // namespace
