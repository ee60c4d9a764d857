// Alert text macros in both forms, the date texts and the system description.
#include "alerting/message_text.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace kvzn::alerting {
namespace {

AlertTextContext SampleContext() {
    AlertTextContext ctx;
    ctx.message = "Printer HP4 is in an error state";
    ctx.title = "Printer error";
    ctx.timeLogged = "31/12/2026 23:59:00";
    ctx.timeNow = "01/02/2027 08:15:30";
    ctx.extra1 = "C:";
    ctx.extra2 = "second";
    ctx.extra3 = "third";
    ctx.source = "kvZNPrintServerMonitor";
    ctx.osName = "Debian GNU/Linux 12 (bookworm)";
    ctx.servicePack = "6.1.0-18-amd64";
    ctx.levelNumber = 3;
    ctx.server = "PRINTSRV";
    return ctx;
}

std::string Expand(int category, std::string_view templ, const AlertTextContext& ctx,
                   int dateFormat = 1) {
    std::string out = "left over";
    EXPECT_EQ(SubstituteParamsForString_Dynamic(category, templ, out, ctx, dateFormat), 1) << templ;
    return out;
}

// Runs the script form over `templ` and returns the script written.
std::string ExpandScript(int category, const std::string& templ, const AlertTextContext& ctx,
                         int dateFormat = 1) {
    test::TempDir dir;
    test::WriteFile(dir / "in.tpl", templ);
    TemplateNotices notices;
    EXPECT_EQ(SubstituteParams(category, dir / "in.tpl", dir / "out.sh", ctx, dateFormat, notices),
              1)
        << templ;
    return test::ReadFile(dir / "out.sh");
}

// 6 December 2026 09:05:01.
std::tm SampleTime() {
    std::tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 6;
    tm.tm_hour = 9;
    tm.tm_min = 5;
    tm.tm_sec = 1;
    return tm;
}

// Levels of the captured kvZNAlertEngine records of SubstituteParams whose text is `text`.
std::vector<int> EngineLevels(const test::LogCapture& capture, const std::string& text) {
    std::vector<int> levels;
    for (const auto& r : capture.Records()) {
        if (r.message == text && r.module == "kvZNAlertEngine" &&
            r.function == "SubstituteParams") {
            levels.push_back(r.level);
        }
    }
    return levels;
}

struct Case {
    const char* name;
    int category;
    const char* templ;
    const char* expected;
};

TEST(MessageTextTest, CommonMacrosAndScanRules) {
    const Case cases[] = {
        {"server", 0, "<$$SERVER>", "PRINTSRV"},
        {"info", 0, "<$$INFO>", "C:"},
        {"info1 is not info plus 1", 0, "<$$INFO1>", "C:"},
        {"info2", 0, "<$$INFO2>", "second"},
        {"info3", 0, "<$$INFO3>", "third"},
        {"error", 0, "<$$ERROR>", "Printer HP4 is in an error state"},
        {"test", 0, "<$$TEST>", "Printer error"},
        {"title", 0, "<$$TITLE>", "Printer error"},
        {"time logged as stored", 0, "<$$TIMELOGGED>", "31/12/2026 23:59:00"},
        {"time logged exchanged", 0, "<$$TIMELOGGED-MDY>", "12/31/2026 23:59:00"},
        {"source", 0, "<$$SOURCE>", "kvZNPrintServerMonitor"},
        {"time now", 0, "<$$TIMENOW>", "01/02/2027 08:15:30"},
        {"time now exchanged", 0, "<$$TIMENOW-MDY>", "02/01/2027 08:15:30"},
        {"os name", 0, "<$$OSNAME>", "Debian GNU/Linux 12 (bookworm)"},
        {"service pack", 0, "<$$SERVICEPACK>", "6.1.0-18-amd64"},
        {"alert level", 0, "<$$ALERTLEVEL>", "3"},
        {"lower case", 0, "<$$server>", "PRINTSRV"},
        {"mixed case", 2, "<$$Info2>/<$$TimeLogged-Mdy>/<$$pRiNtEr>",
         "second/12/31/2026 23:59:00/C:"},
        {"at start and end", 0, "<$$SERVER> down since <$$TIMELOGGED>",
         "PRINTSRV down since 31/12/2026 23:59:00"},
        {"back to back", 2, "<$$SERVER><$$PRINTER><$$DOCUMENT><$$INFO3>", "PRINTSRVC:secondthird"},
        {"disk on category 1", 1, "Disk <$$DRIVE> on <$$SERVER>", "Disk C: on PRINTSRV"},
        {"disk on category 2", 2, "Disk <$$DRIVE> on <$$SERVER>", "Disk [not defined] on PRINTSRV"},
        {"category outside the table", 3, "<$$DRIVE><$$PRINTER>", "[not defined][not defined]"},
        {"unknown macro", 0, "a <$$FOO> b", "a [not defined] b"},
        {"empty macro name", 0, "<$$>", "[not defined]"},
        {"longer name than a macro", 0, "<$$ERRORS>", "[not defined]"},
        {"unknown runs to the next >", 0, "<$$FOO <$$SERVER> x", "[not defined] x"},
        {"unclosed unknown", 0, "a <$$FOO b", "a <$$FOO b"},
        {"unclosed known", 0, "<$$SERVER", "<$$SERVER"},
        {"partial macro starts", 0, "<$5> <$ <$$", "<$5> <$ <$$"},
        {"count in string form", 0, "<$$ERROR,10>", "[not defined]"},
        {"no macros", 0, "plain text\r\nline 2", "plain text\r\nline 2"},
        {"empty template", 0, "", ""},
    };
    const AlertTextContext ctx = SampleContext();
    for (const Case& c : cases) {
        EXPECT_EQ(Expand(c.category, c.templ, ctx), c.expected) << c.name;
    }
}

TEST(MessageTextTest, CategoryMacrosExpandOnlyInTheirCategory) {
    struct CategoryCase {
        int category;
        std::vector<const char*> extra1, extra2, extra3;
    };
    const CategoryCase tables[] = {
        {1, {"DRIVE"}, {"REQDISKSPACE"}, {"AVAILDISKSPACE"}},
        {2,
         {"SERVICE", "PROCESSNAME", "FILENAME", "PRINTER", "SQLCONNECTIONNAME", "SQLBLOCKEDPID",
          "SQLLONGRUNNINGQUERY", "EMAIL", "URL", "FTPCHECK", "PORTNO"},
         {"CHANGEDFILES", "DOCUMENT", "PRINTQUEUELENGTH", "SQLQUERYNAME", "SQLBLOCKINGPID",
          "SQLLONGRUNNINGTIME", "HTTPSVR", "FTPSVR", "PORTSVR"},
         {"PRINTSIZE", "PRINTPAGES", "SQLLONGRUNNINGHOST"}},
        {4, {"EVENTLOG", "LOGFILE"}, {"FILEPATH"}, {"EVENTLOGCHECK", "LOGFILECHECK"}},
        {8, {"PERFNAME"}, {"PERFTHRESHOLD"}, {"PERFVALUE"}},
    };
    const AlertTextContext ctx = SampleContext();
    for (const CategoryCase& t : tables) {
        const std::pair<const std::vector<const char*>*, std::string> groups[] = {
            {&t.extra1, ctx.extra1}, {&t.extra2, ctx.extra2}, {&t.extra3, ctx.extra3}};
        for (const auto& [names, value] : groups) {
            for (const char* name : *names) {
                const std::string templ = std::string("[<$$") + name + ">]";
                for (const int category : {1, 2, 4, 8}) {
                    const std::string expected =
                        category == t.category ? "[" + value + "]" : "[[not defined]]";
                    EXPECT_EQ(Expand(category, templ, ctx), expected)
                        << name << " in category " << category;
                }
            }
        }
    }
}

TEST(MessageTextTest, ValuesAreCutToTheirFieldSizesButTheMessageIsWhole) {
    AlertTextContext ctx = SampleContext();
    ctx.message = std::string(5000, 'm');
    ctx.title = std::string(300, 't');
    ctx.extra1 = std::string(256, '1');
    ctx.source = std::string(400, 's');
    ctx.timeLogged = std::string(40, '9');
    ctx.timeNow = "01/02/" + std::string(40, '7');
    EXPECT_EQ(Expand(0, "<$$ERROR>", ctx), ctx.message);
    EXPECT_EQ(Expand(0, "<$$TITLE>", ctx), std::string(255, 't'));
    EXPECT_EQ(Expand(1, "<$$DRIVE>", ctx), std::string(255, '1'));
    EXPECT_EQ(Expand(0, "<$$SOURCE>", ctx), std::string(255, 's'));
    EXPECT_EQ(Expand(0, "<$$TIMELOGGED>", ctx), std::string(29, '9'));
    EXPECT_EQ(Expand(0, "<$$TIMENOW-MDY>", ctx), "02/01/" + std::string(23, '7'));
}

TEST(MessageTextTest, LongTemplatesAndLongValuesAreNotTruncated) {
    AlertTextContext ctx = SampleContext();
    ctx.message = std::string(1500, 'm') + "|end";
    ctx.extra1 = std::string(255, 'a');
    ctx.extra2 = std::string(255, 'b');
    ctx.extra3 = std::string(255, 'c');
    std::string templ;
    std::string expected;
    for (int i = 0; i < 40; ++i) {
        templ += "line " + std::to_string(i) + " <$$SERVER> <$$INFO2>;";
        expected += "line " + std::to_string(i) + " PRINTSRV " + ctx.extra2 + ";";
    }
    templ += "<$$ERROR><$$INFO1><$$INFO3>";
    expected += ctx.message + ctx.extra1 + ctx.extra3;
    ASSERT_GT(templ.size(), 1000u);
    EXPECT_EQ(Expand(0, templ, ctx), expected);
    ASSERT_EQ(SubstituteParamsForString_Dynamic(0, templ, templ, ctx, 1), 1);
    EXPECT_EQ(templ, expected) << "expanded in place";
}

TEST(MessageTextTest, TimeMacrosFollowTheDateOrder) {
    AlertTextContext ctx = SampleContext();
    ctx.timeLogged = "12/31/2026 23:59:00";
    ctx.timeNow = "02/01/2027 08:15:30";
    struct DateCase {
        const char* name;
        int dateFormat;
        const char* templ;
        const char* stringForm;
        const char* scriptForm;
    };
    const DateCase cases[] = {
        {"now, month first", 2, "<$$TIMENOW-MDY>", "02/01/2027 08:15:30", "02/01/2027 08:15:30"},
        {"now, day first", 1, "<$$TIMENOW-MDY>", "01/02/2027 08:15:30", "01/02/2027 08:15:30"},
        {"logged -MDY, month first", 2, "<$$TIMELOGGED-MDY>", "31/12/2026 23:59:00",
         "31/12/2026 23:59:00"},
        {"logged -MDY, day first", 1, "<$$TIMELOGGED-MDY>", "31/12/2026 23:59:00",
         "31/12/2026 23:59:00"},
        {"logged, month first", 2, "<$$TIMELOGGED>", "12/31/2026 23:59:00", "31/12/2026 23:59:00"},
        {"logged, day first", 1, "<$$TIMELOGGED>", "12/31/2026 23:59:00", "12/31/2026 23:59:00"},
    };
    for (const DateCase& c : cases) {
        EXPECT_EQ(Expand(0, c.templ, ctx, c.dateFormat), c.stringForm) << c.name << " (string)";
        EXPECT_EQ(ExpandScript(0, c.templ, ctx, c.dateFormat), c.scriptForm)
            << c.name << " (script)";
        std::string out;
        ASSERT_EQ(SubstituteParamsForString_Dynamic(0, c.templ, out, ctx, c.dateFormat,
                                                    TimeLoggedText::kInDateOrder),
                  1);
        EXPECT_EQ(out, c.scriptForm) << c.name << " (string, logged time in date order)";
    }
}

TEST(MessageTextTest, AlertLevelComesFromASingleLevelMask) {
    const std::pair<uint32_t, int> cases[] = {
        {0, 0},         {1, 1},        {2, 2},    {4, 3}, {8, 4},           {512, 10},
        {1u << 19, 20}, {1u << 20, 0}, {1023, 0}, {3, 0}, {0x80000000u, 0}, {0xFFFFFFFFu, 0},
    };
    for (const auto& [mask, number] : cases) {
        EXPECT_EQ(LevelNumber(mask), number) << "mask " << mask;
    }
    AlertTextContext ctx = SampleContext();
    ctx.levelNumber = LevelNumber(4);
    EXPECT_EQ(Expand(0, "<$$ALERTLEVEL>", ctx), "3");
    ctx.levelNumber = LevelNumber(1023);
    EXPECT_EQ(Expand(0, "<$$ALERTLEVEL>", ctx), "0");
}

TEST(SubstituteParamsTest, ScriptFormMacros) {
    const Case cases[] = {
        {"first ten", 0, "<$$ERROR,10>", "Printer HP"},
        {"blank after comma", 0, "<$$ERROR, 3>", "Pri"},
        {"blanks and tab", 0, "<$$ERROR,  \t7>!", "Printer!"},
        {"lower case", 0, "<$$error,4>", "Prin"},
        {"zero is whole", 0, "<$$ERROR,0>", "Printer HP4 is in an error state"},
        {"negative is whole", 0, "<$$ERROR,-2>", "Printer HP4 is in an error state"},
        {"no number is whole", 0, "<$$ERROR,>", "Printer HP4 is in an error state"},
        {"one below length", 0, "<$$ERROR,31>", "Printer HP4 is in an error stat"},
        {"length is whole", 0, "<$$ERROR,32>", "Printer HP4 is in an error state"},
        {"beyond length is whole", 0, "<$$ERROR,99999999999999999999>",
         "Printer HP4 is in an error state"},
        {"unclosed count", 0, "<$$ERROR,10", "<$$ERROR,10"},
        {"plain error", 0, "<$$ERROR>", "Printer HP4 is in an error state"},
        {"count then macro", 2, "<$$ERROR,7><$$PRINTER>", "PrinterC:"},
        {"lines kept", 2, "echo <$$SERVER>\r\n\nprint <$$DOCUMENT> <$$FOO>\n",
         "echo PRINTSRV\r\n\nprint second [not defined]\n"},
        {"unknown does not cross lines", 0, "<$$FOO\n>", "<$$FOO\n>"},
    };
    const AlertTextContext ctx = SampleContext();
    for (const Case& c : cases) {
        EXPECT_EQ(ExpandScript(c.category, c.templ, ctx), c.expected) << c.name;
    }
}

TEST(SubstituteParamsTest, LongLinesAreCopiedWholeInPieces) {
    const AlertTextContext ctx = SampleContext();
    // Pieces are 258 characters: a macro entirely inside either piece expands, one across
    // the boundary stays as written.
    const std::string head(240, 'a');
    const std::string line = head + "<$$SERVER>" + std::string(8, 'b') + "<$$INFO2>" +
                             std::string(400, 'c') + "<$$SOURCE>\n";
    ASSERT_EQ(head.size() + 10 + 8, 258u);
    EXPECT_EQ(ExpandScript(0, line + "next <$$TITLE>", ctx),
              head + "PRINTSRV" + std::string(8, 'b') + "second" + std::string(400, 'c') +
                  "kvZNPrintServerMonitor\nnext Printer error");

    const std::string straddling = std::string(250, 'x') + "<$$SERVER> tail";
    EXPECT_EQ(ExpandScript(0, straddling, ctx), straddling);

    const std::string huge = std::string(10000, 'z') + "\n";
    EXPECT_EQ(ExpandScript(0, huge, ctx), huge);
}

TEST(SubstituteParamsTest, QuotedTemplatePath) {
    test::TempDir dir;
    test::WriteFile(dir / "in.tpl", "host=<$$SERVER>");
    const AlertTextContext ctx = SampleContext();
    for (const std::string& path :
         {"\"" + (dir / "in.tpl") + "\"", "\"" + (dir / "in.tpl"), (dir / "in.tpl") + "\""}) {
        std::remove((dir / "out").c_str());
        TemplateNotices notices;
        EXPECT_EQ(SubstituteParams(0, path, dir / "out", ctx, 1, notices), 1) << path;
        EXPECT_EQ(test::ReadFile(dir / "out"), "host=PRINTSRV") << path;
    }
}

class LogLevelFive {
  public:
    LogLevelFive() : old_(companion::ActivityLog::Process().Level()) {
        companion::ActivityLog::Process().SetLevel(5);
    }
    ~LogLevelFive() { companion::ActivityLog::Process().SetLevel(old_); }

  private:
    int old_;
};

TEST(SubstituteParamsTest, MissingTemplateIsAnErrorOnlyTheFirstTime) {
    test::TempDir dir;
    LogLevelFive level;
    test::LogCapture capture;
    TemplateNotices notices;
    const AlertTextContext ctx = SampleContext();
    const std::string missing = dir / "missing.tpl";
    EXPECT_EQ(SubstituteParams(0, "\"" + missing + "\"", dir / "out1", ctx, 1, notices), 0);
    EXPECT_EQ(SubstituteParams(0, missing, dir / "out2", ctx, 1, notices), 0);

    const std::string text =
        "Unable to open the Alert Engine script file " + missing +
        ". Please check this file exists and is accessible to the Tessel Monitor";
    EXPECT_EQ(SubstituteParams(0, dir.path(), dir / "out3", ctx, 1, notices), 0) << "a directory";
    EXPECT_EQ(EngineLevels(capture, text), (std::vector<int>{1, 5}));
    EXPECT_EQ(::access((dir / "out1").c_str(), F_OK), -1) << "no output for a missing template";
}

TEST(SubstituteParamsTest, OutputThatCannotBeWritten) {
    test::TempDir dir;
    test::WriteFile(dir / "in.tpl", "echo <$$SERVER>\n");
    test::LogCapture capture;
    TemplateNotices notices;
    const AlertTextContext ctx = SampleContext();
    const std::string uncreatable = dir / "no-such-dir/out.sh";
    EXPECT_EQ(SubstituteParams(0, dir / "in.tpl", uncreatable, ctx, 1, notices), 0);
    EXPECT_EQ(EngineLevels(capture, "Unable to create the Alert Engine script file " + uncreatable +
                                        ". The file cannot be craeted/opened"),
              std::vector<int>{1});

    if (::access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(SubstituteParams(0, dir / "in.tpl", "/dev/full", ctx, 1, notices), 0)
            << "a full device";
    }
}

TEST(DateTextTest, StandardTimeText) {
    std::tm tm = SampleTime();
    const std::pair<int, const char*> cases[] = {
        {1, "06/12/2026 09:05:01"},
        {2, "12/06/2026 09:05:01"},
        {3, "06/12/2026 09:05:01"},
    };
    for (const auto& [format, expected] : cases) {
        EXPECT_EQ(StandardTimeText(tm, format), expected) << "DateFormat " << format;
    }
    tm.tm_year = 999 - 1900;
    EXPECT_EQ(StandardTimeText(tm, 1), "06/12/0999 09:05:01") << "four-digit year";
}

TEST(DateTextTest, LongDateOrdinalsAndMonths) {
    std::tm tm = SampleTime();
    EXPECT_EQ(LongDateText(tm), "6th Dec. 2026 at 09:05:01");

    const std::pair<int, const char*> days[] = {
        {1, "1st"},   {2, "2nd"},   {3, "3rd"},   {4, "4th"},   {10, "10th"},
        {11, "11th"}, {12, "12th"}, {13, "13th"}, {20, "20th"}, {21, "21st"},
        {22, "22nd"}, {23, "23rd"}, {24, "24th"}, {30, "30th"}, {31, "31st"},
    };
    for (const auto& [day, text] : days) {
        tm.tm_mday = day;
        EXPECT_EQ(LongDateText(tm), std::string(text) + " Dec. 2026 at 09:05:01") << "day " << day;
    }
    const char* months[] = {"Jan.", "Feb.",   "March", "April", "May",  "June",
                            "July", "August", "Sept.", "Oct.",  "Nov.", "Dec."};
    tm.tm_mday = 22;
    for (int m = 0; m < 12; ++m) {
        tm.tm_mon = m;
        EXPECT_EQ(LongDateText(tm), std::string("22nd ") + months[m] + " 2026 at 09:05:01")
            << "month " << m;
    }
}

TEST(DateTextTest, ExchangeDateFields) {
    const std::pair<std::string, std::string> cases[] = {
        {"12/31/2026 23:59:00", "31/12/2026 23:59:00"},
        {"a/b/c/d", "b/a/c/d"},
        {"//x", "//x"},
        {"no slash", "no slash"},
        {"one/slash", "one/slash"},
        {"", ""},
        {"1/2/" + std::string(60, 'y'), "2/1/" + std::string(46, 'y')},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ExchangeDateFields(text), expected) << text;
    }
}

TEST(MessageTextTest, OperatingSystemNameFromOsRelease) {
    test::TempDir dir;
    const std::pair<const char*, const char*> cases[] = {
        {"NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
         "Debian GNU/Linux 12 (bookworm)"},
        {"PRETTY_NAME=Plain\n", "Plain"},
        {"PRETTY_NAME='Single quoted'\r\n", "Single quoted"},
        {"PRETTY_NAME=\"Say \\\"hi\\\" \\\\ \\$x\"", "Say \"hi\" \\ $x"},
        {"NAME=Other\nID=x\n", "Linux"},
    };
    int n = 0;
    for (const auto& [content, expected] : cases) {
        const std::string path = dir / ("os-release" + std::to_string(++n));
        test::WriteFile(path, content);
        EXPECT_EQ(OperatingSystemName(path), expected) << content;
    }
    EXPECT_EQ(OperatingSystemName(dir / "missing"), "N/A");
}

}  // namespace
}  // namespace kvzn::alerting
