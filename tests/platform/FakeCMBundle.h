// Plug-in bundles for the tests, made at run time around the test module
// (FakeContextualMenuPlugIn.cpp): Contents/Info.plist with the factories and
// types, Contents/Linux/<executable> a copy of the module (or other bytes).
#pragma once

#include "tests/support/TestSupport.h"

#include <QFile>
#include <QString>
#include <utility>
#include <vector>

namespace fake_cm {

inline const QString kFirstFactory = QStringLiteral("6A1C0A52-2B4E-4C57-9E0B-1F4C5D7E8A01");
inline const QString kSecondFactory = QStringLiteral("6A1C0A52-2B4E-4C57-9E0B-1F4C5D7E8A02");
inline const QString kMenuType = QStringLiteral("2F6522E9-3E66-11D5-80A7-003065B300BC");

struct BundleSpec {
    QString name = QStringLiteral("FakeCM");
    // factory UUID -> function name
    std::vector<std::pair<QString, QString>> factories = {{kFirstFactory, "FakeCMFactory"}};
    QString type = kMenuType;   // the type every factory makes
    QByteArray executable = {}; // empty: the test module itself
};

// Makes <dir>/<name>.plugin and returns its path.
inline QString MakeBundle(const QString& dir, const BundleSpec& spec = {}) {
    const QString bundle = dir + "/" + spec.name + ".plugin";
    QByteArray factories, types;
    for (const auto& [uuid, function] : spec.factories) {
        factories += "<key>" + uuid.toUtf8() + "</key><string>" + function.toUtf8() + "</string>";
        types += "<string>" + uuid.toUtf8() + "</string>";
    }
    testing_support::WriteFile(
        bundle + "/Contents/Info.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\"><dict>"
        "<key>CFBundleIdentifier</key><string>com.example." +
            spec.name.toUtf8() +
            "</string>"
            "<key>CFBundleExecutable</key><string>" +
            spec.name.toUtf8() + "</string><key>CFPlugInFactories</key><dict>" + factories +
            "</dict><key>CFPlugInTypes</key><dict><key>" + spec.type.toUtf8() + "</key><array>" +
            types + "</array></dict></dict></plist>\n");
    const QString exe = bundle + "/Contents/Linux/" + spec.name;
    testing_support::WriteFile(exe, spec.executable.isEmpty()
                                        ? testing_support::ReadFile(FAKE_CM_MODULE)
                                        : spec.executable);
    QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return bundle;
}

} // namespace fake_cm
