// The controller's own rules that need no pane: version numbers and the
// URLs typed by the user.
#include "prefpane/LoftwisePrefPane.h"

#include <gtest/gtest.h>

namespace {

TEST(PaneController, VersionNumbersDropTheDotsAndReadTheDigits) {
    const struct {
        std::optional<QString> version;
        SInt32 number;
    } rows[] = {
        {"2.0.4", 204},
        {"2.1b3", 21},
        {"1.0.10", 1010},
        {"1.0.0", 100},
        {"", 0},
        {std::nullopt, 0},
        {"beta", 0},
        {"  3.2", 32},
        {"-1.5", -15},
        {"+7", 7},
        {"99999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
    };
    for (const auto& row : rows)
        EXPECT_EQ(LoftwisePrefPane::getVersionNumber(row.version), row.number)
            << row.version.value_or("(none)").toStdString();
}

TEST(PaneController, TypedURLsWithoutAKnownBeginningBecomeFTP) {
    const struct {
        const char* typed;
        const char* stored;
    } rows[] = {
        {"host.example/path/", "ftp://host.example/path/"},
        {"ftp://h/", "ftp://h/"},
        {"http://h/", "http://h/"},
        {"file:///tmp/", "file:///tmp/"},
        {"afp://server/share", "afp://server/share"},
        {"???", "???"},
        {"https://h/", "ftp://https://h/"},
        {"FTP://h/", "ftp://FTP://h/"},
        {"", "ftp://"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(LoftwisePrefPane::normalizedURL(row.typed), QString(row.stored)) << row.typed;
}

} // namespace
