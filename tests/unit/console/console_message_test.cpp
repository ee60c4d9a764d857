#include "console/console_message.h"

#include <gtest/gtest.h>

namespace kvzn::console {
namespace {

TEST(ConsoleMessage, LengthCountsItsOwnDigitsAcrossPowersOfTen) {
    EXPECT_EQ(BuildConsoleMessage(99, "x"), "CSL##14##99##x");
    // Every text size around the points where the length gains a digit.
    for (size_t n = 0; n < 1100; ++n) {
        const std::string built = BuildConsoleMessage(8, std::string(n, 'a'));
        const ParsedMessage m = ParseConsoleMessage(built);
        ASSERT_EQ(m.status, Parse::kComplete) << n;
        ASSERT_EQ(m.length, built.size()) << n;
        ASSERT_EQ(m.number, 8);
    }
}

TEST(ConsoleMessage, ParsesFieldsAndWaitsForTheRest) {
    const std::string built = BuildConsoleMessage(8, JoinFields({"srv", "", "t##x"}));
    ParsedMessage m = ParseConsoleMessage(built + "trailing");
    ASSERT_EQ(m.status, Parse::kComplete);
    EXPECT_EQ(m.length, built.size());
    EXPECT_EQ(m.fields, (std::vector<std::string>{"srv", "", "t", "x"}));
    // Every prefix is incomplete, never invalid.
    for (size_t n = 0; n < built.size(); ++n) {
        EXPECT_EQ(ParseConsoleMessage(built.substr(0, n)).status, Parse::kIncomplete) << n;
    }
    m = ParseConsoleMessage("CSL##14##99");
    EXPECT_EQ(m.status, Parse::kIncomplete);
}

TEST(ConsoleMessage, RefusesBadFieldsWithTheirReason) {
    struct Case {
        const char* data;
        const char* error;
    };
    const Case cases[] = {
        {"CSL##abc##5##1234", "length is not numeric"},
        {"CSL##-5##5##1", "length is not numeric"},
        {"CSL####5##1", "length is missing"},
        {"CSL##8##5##1", "out of range"},  // shorter than its own fields
        {"CSL##99999999##5##1", "out of range"},
        {"CSL##12####1", "request number is missing"},
        {"CSL##13##x5##1", "request number is not numeric"},
        {"GET / HTTP/1.0", "does not start with CSL"},
        {"CSL##1234567890123", "length is not numeric"},
    };
    for (const Case& c : cases) {
        const ParsedMessage m = ParseConsoleMessage(c.data);
        EXPECT_EQ(m.status, Parse::kInvalid) << c.data;
        EXPECT_NE(m.error.find(c.error), std::string::npos) << c.data << ": " << m.error;
    }
    EXPECT_TRUE(MayBeConsoleMessage("CS"));
    EXPECT_FALSE(MayBeConsoleMessage("GE"));
}

TEST(ConsoleMessage, PortsAreDecimalAndInRange) {
    EXPECT_EQ(ParsePort("40001"), 40001);
    EXPECT_EQ(ParsePort("65535"), 65535);
    for (const char* bad : {"", "0", "65536", "12a", " 80", "-1", "99999999999"}) {
        EXPECT_FALSE(ParsePort(bad)) << bad;
    }
}

TEST(ConsoleMessage, ActivityLineStampsAndCutsLongText) {
    EXPECT_EQ(FormatActivityLine(1, 2026, 3, 7, 9, 5, 4, "Web Server", "up"),
              "07/03/26 09:05.04   [Web Server]   up");
    EXPECT_EQ(FormatActivityLine(2, 2026, 3, 7, 9, 5, 4, "Web Server", "up").substr(0, 5), "03/07");
    const std::string name = "Alert/Notify";
    const std::string fits(1000 - name.size(), 'a');
    const size_t prefix = 17 + 4 + name.size() + 4;
    EXPECT_EQ(FormatActivityLine(1, 2026, 1, 1, 0, 0, 0, name, fits).substr(prefix), fits);
    const std::string cut = FormatActivityLine(1, 2026, 1, 1, 0, 0, 0, name, fits + "b");
    EXPECT_EQ(cut.size(), prefix + fits.size());
    EXPECT_EQ(cut.substr(cut.size() - 4), "a...");
}

}  // namespace
}  // namespace kvzn::console
