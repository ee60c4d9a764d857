// Date macros in log file names.
#include "logmon/date_macros.h"

#include <gtest/gtest.h>

namespace kvzn::logmon {
namespace {

std::tm Day(int year, int month, int day, int weekday) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_wday = weekday;
    return tm;
}

EnvironmentLookup Env() {
    return [](std::string_view name) -> std::optional<std::string> {
        if (name == "LOGDIR") {
            return std::string("/var/log/app");
        }
        return std::nullopt;
    };
}

TEST(DateMacros, EveryMacroAndOffsetOnNewYearsEve2006) {
    const std::tm sunday = Day(2006, 12, 31, 0);
    struct Case {
        const char* name;
        int result;
        const char* expanded;
    };
    const Case cases[] = {
        {"ex$$YYMMDD.log", 1, "ex061231.log"},
        {"$$MMDDYY", 1, "123106"},
        {"$$DDMMYY", 1, "311206"},
        {"d$$DD m$$MM y$$YY", 1, "d31 m12 y06"},
        {"ex$$yymmdd.log", 1, "ex061231.log"},
        {"log$$DD+1.txt", 1, "log01.txt"},
        {"$$YYMMDD_$$DD+1", 1, "070101_01"},
        {"$$YYMMDD+1", 1, "061231+1"},  // only "$$DD" and "$$DN" take offsets
        {"$$DD-1_$$MM", 1, "30_12"},
        {"$$DD-365$$YY", 1, "3105"},
        {"$$DC.log", 1, "SUN.log"},
        {"$$DC9.log", 1, "SUNDAY.log"},
        {"$$DC0.log", 1, "SUN.log"},
        {"$$DC1", 1, "S"},
        {"$$DN.log", 1, "1.log"},
        {"$$DN-1.log", 1, "7.log"},
        {"$$DN+1$$DC", 1, "2MON"},
        // weekday offsets of more than a week wrap as often as they need to
        {"$$DN+15", 1, "2"},
        {"$$DN-9$$DC9", 1, "6FRIDAY"},
        {"$$DN+700$$DC", 1, "1SUN"},
        // a day offset leaves the weekday alone, a weekday offset the date
        {"$$DD+1$$DC", 1, "01SUN"},
        {"$$DN+1$$DD", 1, "231"},
        // the first offset macro applies to the whole name
        {"$$DD+1_$$DD-5", 1, "01_01"},
        {"day$$DD[+1]", 1, "day31+1"},
        {"day$$DD[-12].log", 1, "day31-12.log"},
        {"%LOGDIR%/x$$DD.log", 1, "/var/log/app/x31.log"},
        {"%NOPE%/x.log", 0, "%NOPE%/x.log"},
        {"plain.log", 0, "plain.log"},
        {"costs $$5", 0, "costs $$5"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(ExpandDateMacros(c.name, out, kPathBuffer, sunday, Env()), c.result) << c.name;
        EXPECT_EQ(out, c.expanded) << c.name;
    }
}

TEST(DateMacros, DayOffsetsCrossMonthsAndLeapDays) {
    std::string out;
    ExpandDateMacros("$$YYMMDD", out, kPathBuffer, Day(2007, 2, 28, 3), Env());
    EXPECT_EQ(out, "070228");
    ExpandDateMacros("$$YYMMDD$$DD+1", out, kPathBuffer, Day(2007, 2, 28, 3), Env());
    EXPECT_EQ(out, "07030101");
    ExpandDateMacros("$$YYMMDD$$DD+1", out, kPathBuffer, Day(2008, 2, 28, 4), Env());
    EXPECT_EQ(out, "08022929");
    ExpandDateMacros("$$DD-1$$YYMMDD", out, kPathBuffer, Day(2000, 1, 1, 6), Env());
    EXPECT_EQ(out, "31991231");
}

TEST(DateMacros, ANameThatDoesNotFitIsReportedWithWhatFitted) {
    const std::string name = std::string(255, 'a') + "$$YYMMDD";
    const DateMacroExpansion expanded =
        ExpandDateMacroText(name, kPathBuffer, Day(2006, 12, 31, 0), Env());
    EXPECT_FALSE(expanded.fits);
    EXPECT_EQ(expanded.text, std::string(255, 'a') + "0612");
    std::string out;
    EXPECT_EQ(ExpandDateMacros(name, out, kPathBuffer, Day(2006, 12, 31, 0), Env()), 0);
    // One character shorter fits exactly.
    EXPECT_EQ(ExpandDateMacros(std::string(253, 'a') + "$$YYMMDD", out, kPathBuffer,
                               Day(2006, 12, 31, 0), Env()),
              1);
    EXPECT_EQ(out.size(), kPathBuffer - 1);
}

}  // namespace
}  // namespace kvzn::logmon
