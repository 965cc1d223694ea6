// The plug-in model: UUIDs, factories found by type in a bundle's Info.plist,
// instances made through the factory and counted, load failures named, and
// a released plug-in's library closed only after its last instance went.
#include "platform/BackgroundWork.h"
#include "platform/ContextualMenu.h"
#include "tests/platform/FakeCMBundle.h"

#include <QFile>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <optional>

using namespace testing_support;

namespace {

struct UuidTextCase {
    const char* text;
    const char* canonical; // null: not a UUID
};

class UuidText : public ::testing::TestWithParam<UuidTextCase> {};

TEST_P(UuidText, ParsesOrRefuses) {
    const auto& c = GetParam();
    CFUUIDRef uuid = CFUUIDCreateFromString(nullptr, QString::fromLatin1(c.text));
    if (!c.canonical) {
        EXPECT_EQ(uuid, nullptr);
        return;
    }
    ASSERT_NE(uuid, nullptr);
    EXPECT_EQ(CFUUIDCreateString(nullptr, uuid), QString::fromLatin1(c.canonical));
    CFRelease(uuid);
}

INSTANTIATE_TEST_SUITE_P(PlugInModel, UuidText,
                         ::testing::Values(UuidTextCase{"2f6522e9-3e66-11d5-80a7-003065b300bc",
                                                        "2F6522E9-3E66-11D5-80A7-003065B300BC"},
                                           UuidTextCase{"{B2893230-A5F2-16D8-AF17-560393C25B84}",
                                                        "B2893230-A5F2-16D8-AF17-560393C25B84"},
                                           UuidTextCase{"00000000-0000-0000-0000-000000000000",
                                                        "00000000-0000-0000-0000-000000000000"},
                                           UuidTextCase{"2F6522E9-3E66-11D5-80A7", nullptr},
                                           UuidTextCase{"not a uuid", nullptr},
                                           UuidTextCase{"", nullptr}),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(PlugInModel, UuidsFromBytesAndConstantsAreEqualByValue) {
    CFUUIDRef constant = kContextualMenuTypeID;
    EXPECT_EQ(constant, kContextualMenuTypeID); // one object for the same bytes
    CFUUIDRef fromBytes = CFUUIDCreateFromUUIDBytes(nullptr, CFUUIDGetUUIDBytes(constant));
    CFUUIDRef fromText = CFUUIDCreateFromString(nullptr, fake_cm::kMenuType);
    EXPECT_NE(fromBytes, constant);
    EXPECT_TRUE(CFUUIDEqual(fromBytes, constant));
    EXPECT_TRUE(CFUUIDEqual(fromText, constant));
    EXPECT_FALSE(CFUUIDEqual(constant, kContextualMenuInterfaceID));
    EXPECT_FALSE(CFUUIDEqual(constant, nullptr));
    const CFUUIDBytes b = CFUUIDGetUUIDBytes(IUnknownUUID);
    EXPECT_EQ(b.byte8, 0xC0);
    EXPECT_EQ(b.byte15, 0x46);
    CFRelease(fromBytes);
    CFRelease(fromText);
}

bool IsLoaded(const QString& library) {
    void* h = ::dlopen(QFile::encodeName(library).constData(), RTLD_NOW | RTLD_NOLOAD);
    if (h) ::dlclose(h); // NOLOAD still counted one more reference
    return h != nullptr;
}

class PlugIns : public ::testing::Test {
protected:
    void TearDown() override {
        for (CFPlugInRef p : m_open)
            CFRelease(p);
        plat::UnloadReleasedPlugIns();
    }
    CFPlugInRef Open(const QString& bundle) {
        CFPlugInRef p = CFPlugInCreate(nullptr, bundle);
        if (p) m_open.push_back(p);
        return p;
    }
    CFUUIDRef Factory(const QString& text) {
        m_uuids.push_back(CFUUIDCreateFromString(nullptr, text));
        return m_uuids.back();
    }
    ~PlugIns() override {
        for (CFUUIDRef u : m_uuids)
            CFRelease(u);
    }
    QString dir = MakeTempDir("plugin");
    std::vector<CFPlugInRef> m_open;
    std::vector<CFUUIDRef> m_uuids;
};

TEST_F(PlugIns, FindsFactoriesByTypeAndMakesCountedInstances) {
    fake_cm::BundleSpec spec;
    spec.factories.push_back({fake_cm::kSecondFactory, "FakeCMSecondFactory"});
    const QString bundle = fake_cm::MakeBundle(dir, spec);
    CFPlugInRef plugIn = Open(bundle);
    ASSERT_NE(plugIn, nullptr);
    CFPlugInRef again = CFPlugInCreate(nullptr, bundle);
    EXPECT_EQ(again, plugIn);
    CFRelease(again);

    std::vector<QString> found;
    for (CFUUIDRef f : CFPlugInFindFactoriesForPlugInType(kContextualMenuTypeID)) {
        found.push_back(CFUUIDCreateString(nullptr, f));
        CFRelease(f);
    }
    EXPECT_EQ(found, (std::vector<QString>{fake_cm::kFirstFactory, fake_cm::kSecondFactory}));
    EXPECT_TRUE(CFPlugInFindFactoriesForPlugInType(IUnknownUUID).empty());

    CFUUIDRef first = Factory(fake_cm::kFirstFactory);
    // The factory refuses a type it does not make.
    EXPECT_EQ(CFPlugInInstanceCreate(nullptr, first, IUnknownUUID), nullptr);
    EXPECT_EQ(plat::PlugInInstanceCount(first), 0);

    auto** a =
        static_cast<IUnknownVTbl**>(CFPlugInInstanceCreate(nullptr, first, kContextualMenuTypeID));
    auto** b =
        static_cast<IUnknownVTbl**>(CFPlugInInstanceCreate(nullptr, first, kContextualMenuTypeID));
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(plat::PlugInInstanceCount(first), 2);
    EXPECT_EQ(plat::PlugInInstanceCount(Factory(fake_cm::kSecondFactory)), 0);

    void* cm = nullptr;
    EXPECT_EQ((*a)->QueryInterface(a, CFUUIDGetUUIDBytes(kContextualMenuInterfaceID), &cm), S_OK);
    EXPECT_EQ(cm, a);
    void* none = a;
    EXPECT_EQ((*a)->QueryInterface(a, CFUUIDGetUUIDBytes(kContextualMenuTypeID), &none),
              HRESULT(0x80000004));
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ((*a)->Release(a), 1u);
    EXPECT_EQ(plat::PlugInInstanceCount(first), 2);
    EXPECT_EQ((*a)->Release(a), 0u);
    EXPECT_EQ(plat::PlugInInstanceCount(first), 1);
    EXPECT_EQ((*b)->Release(b), 0u);
    EXPECT_EQ(plat::PlugInInstanceCount(first), 0);
}

struct LoadFailure {
    const char* name;
    const char* function;
    QByteArray executable; // empty: the real module
    const char* errorHas;  // in LastPlugInLoadError, after the bundle path
};

class LoadFailures : public PlugIns, public ::testing::WithParamInterface<LoadFailure> {};

TEST_P(LoadFailures, GiveNoInstanceAndNameTheFault) {
    const auto& c = GetParam();
    fake_cm::BundleSpec spec;
    spec.factories = {{fake_cm::kFirstFactory, c.function}};
    spec.executable = c.executable;
    const QString bundle = fake_cm::MakeBundle(dir, spec);
    ASSERT_NE(Open(bundle), nullptr);
    EXPECT_EQ(
        CFPlugInInstanceCreate(nullptr, Factory(fake_cm::kFirstFactory), kContextualMenuTypeID),
        nullptr);
    const QString error = plat::LastPlugInLoadError();
    EXPECT_TRUE(error.contains(bundle + "/Contents/Linux/FakeCM")) << error.toStdString();
    EXPECT_TRUE(error.contains(QLatin1String(c.errorHas))) << error.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    PlugInModel, LoadFailures,
    ::testing::Values(LoadFailure{"MissingFunction", "NoSuchFactory", {}, "NoSuchFactory"},
                      LoadFailure{"BrokenExecutable", "FakeCMFactory", "not a library\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PlugIns, FolderThatIsNoPlugInGivesNull) {
    EXPECT_EQ(Open(dir), nullptr); // no Contents
    fake_cm::BundleSpec spec;
    spec.factories.clear();
    EXPECT_EQ(Open(fake_cm::MakeBundle(dir, spec)), nullptr); // no factories
}

TEST_F(PlugIns, LibraryStaysLoadedUntilItsLastInstanceAndBackgroundWorkWent) {
    const QString bundle = fake_cm::MakeBundle(dir);
    const QString library = bundle + "/Contents/Linux/FakeCM";
    CFPlugInRef plugIn = CFPlugInCreate(nullptr, bundle);
    ASSERT_NE(plugIn, nullptr);
    EXPECT_FALSE(IsLoaded(library)); // opening reads only the Info.plist
    auto** instance = static_cast<IUnknownVTbl**>(
        CFPlugInInstanceCreate(nullptr, Factory(fake_cm::kFirstFactory), kContextualMenuTypeID));
    ASSERT_NE(instance, nullptr);
    ASSERT_TRUE(IsLoaded(library));

    CFRelease(plugIn); // the instance still holds it
    EXPECT_EQ(plat::UnloadReleasedPlugIns(), 0);
    EXPECT_TRUE(IsLoaded(library));

    std::optional<plat::BackgroundWork> work(std::in_place);
    (*instance)->Release(instance);
    EXPECT_EQ(plat::UnloadReleasedPlugIns(), 0); // its code may still run
    EXPECT_TRUE(IsLoaded(library));
    work.reset();
    EXPECT_EQ(plat::UnloadReleasedPlugIns(), 1);
    EXPECT_FALSE(IsLoaded(library));
}

} // namespace
