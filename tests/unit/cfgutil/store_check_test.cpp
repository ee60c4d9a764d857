// Whole-store validation, import parsing with line numbers and script value parsing.
#include "cfgutil/store_check.h"

#include <gtest/gtest.h>

#include "cfgutil/commands.h"
#include "cfgutil/settings_fields.h"
#include "config/registry_names.h"

namespace kvzn::cfgutil {
namespace {

using platform::StoreTree;
using platform::StoreValue;

const std::string kKey =
    "[HKEY_LOCAL_MACHINE\\Software\\Halvern\\Korvane Tessel Print "
    "Monitor\\CurrentVersion";

// A store with the required settings and nothing else wrong.
std::string ValidStore(const std::string& extra = {}) {
    return kKey +
           "]\n\"Home\"=\"/opt/k\"\n\"DataDirectory\"=\"/opt/k/d\"\n"
           "\"HTMLTargetDirectory\"=\"/opt/k/h\"\n\"ImagesDirectory\"=\"/opt/k/i\"\n" +
           extra;
}

std::vector<std::string> Problems(const std::string& text) {
    StoreTree tree;
    const platform::Status parsed = StoreTree::Parse(text, "test", tree);
    EXPECT_TRUE(parsed.ok()) << parsed.Text();
    std::vector<std::string> out;
    for (const StoreProblem& p : CheckStore(tree)) {
        out.push_back(p.name + ": " + p.message);
    }
    return out;
}

TEST(StoreCheck, FindsWhatTheServiceAndTheUtilityRefuse) {
    struct Case {
        const char* what;
        std::string extra;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"clean store", "", {}},
        {"date format 0 counts as 1", "\"DateFormat\"=dword:00000000\n", {}},
        {"date format 3",
         "\"DateFormat\"=dword:00000003\n",
         {"DateFormat: Please select one of the listed choices ..."}},
        {"cached alerts below 50",
         "\"MaxStoredMsgs\"=dword:00000031\n",
         {"MaxStoredMsgs: The number of cached alerts must be 50 or more ..."}},
        {"listen port 0",
         "\"HTTPListenPortNo\"=dword:00000000\n",
         {"HTTPListenPortNo: Please enter a valid listen port number for the monitor to use ..."}},
        {"number stored as text",
         "\"PrinterInterval\"=\"5\"\n",
         {"PrinterInterval: is not a number (dword:); the service ignores it and uses its "
          "default"}},
        {"retention over 200 hours",
         kKey + "\\AlertLogging]\n\"AutoDelTime\"=dword:000000c9\n",
         {"AutoDelTime: The number of hours specified cannot be less than 1 or exceed 200 ..."}},
        {"title without message text",
         kKey + "\\Contacts]\n\"TitleText\"=\"T\"\n",
         {"MessageText: Both the Title and the message Text must be entered to customise the "
          "message ..."}},
        {"contacts without level or day, with a bad port, or equal times; one after a gap",
         kKey + "\\Contacts]\n\"EMail1\"=\"a@b.c\"\n\"EmailMask1\"=\"0000000\"\n"
                "\"EMailPortNo1\"=dword:00000000\n"
                "\"EMail2\"=\"d@e.f\"\n\"EMailLevel2\"=dword:1\n"
                "\"EmailStartTime2\"=\"08:00\"\n\"EmailEndTime2\"=\"08:00\"\n"
                "\"NetSend1\"=\"ops\"\n\"NetSendLevel1\"=dword:1\n\"NetSendMask1\"=\"1x\"\n"
                "\"NetSend3\"=\"late\"\n",
         {"EMailLevel1: Please select at least one Alert Level... (E-mail recipients, entry 1)",
          "EMailPortNo1: Please enter a valid Port no (E-mail recipients, entry 1)",
          "EmailMask1: Please select a day... (E-mail recipients, entry 1)",
          "EmailEndTime2: The Start and End Times cannot be the same... (E-mail recipients, entry "
          "2)",
          "NetSendMask1: Please enter the days as seven 0s and 1s, Sunday first ... (Network "
          "message recipients, entry 1)",
          "NetSend3: is never read: entry 2 of Network message recipients before it is missing"}},
        {"contact with an empty window is always reached",
         kKey + "\\Contacts]\n\"EMail1\"=\"a@b.c\"\n\"EMailLevel1\"=dword:00000001\n"
                "\"EmailMask1\"=\"\"\n\"EmailStartTime1\"=\"\"\n\"EmailEndTime1\"=\"\"\n",
         {}},
        {"list with a gap: entry 4 is never read",
         kKey + "\\Disk Space\\Disk1]\n\"Enabled\"=dword:00000001\n" + kKey +
             "\\Disk Space\\Disk2]\n\"Enabled\"=dword:00000000\n" + kKey +
             "\\Disk Space\\Disk4]\n\"Enabled\"=dword:00000001\n",
         {": is never read: entry 3 before it is missing"}},
        {"entry without its identifying value ends the list",
         kKey + "\\Printers\\Printer1]\n\"Enabled\"=dword:00000001\n" + kKey +
             "\\Printers\\Printer2]\n\"Printer\"=\"q\"\n",
         {"Printer: is missing: the list ends here and the entries after it are never read",
          ": is never read: entry 1 before it is missing"}},
        {"enabled printer check acting before the first error",
         kKey + "\\Printers\\Printer1]\n\"Printer\"=\"q\"\n" + kKey +
             "\\Printers\\Printer1\\Check Printer Paused]\n\"Enabled\"=dword:00000001\n"
             "\"CountBeforeAction\"=dword:00000000\n",
         {"CountBeforeAction: The 'Notify After No. Errors' value must be 1 or higher ..."}},
        {"disk percentage over 100",
         kKey + "\\Disk Space\\Disk1]\n\"Enabled\"=dword:00000001\n\"%Used\"=dword:00000065\n",
         {"%Used: The percentage entered must be from 1 to 100..."}},
        {"built-in service check acting before the first error",
         kKey + "\\Print\\Ensure Print Spooler service is running]\n\"Enabled\"=dword:00000001\n"
                "\"CountBeforeAction\"=dword:00000000\n",
         {"CountBeforeAction: Notify after No. of Errors must be 1 of higher."}},
        {"web access entry that admits nobody",
         kKey + "\\WebAccess]\n\"Address1\"=\"10.1., 192.168.1.5\"\n\"Address2\"=\"10.0.0.256\"\n",
         {"Address2: Please enter an IP address, or the leading part of one as a mask (for "
          "example 192.168.1.20 or 192.168.), separated by blanks or commas ..."}},
        {"log entries: an empty keyword group, one after a gap, a term over 255 characters, a "
         "text log without its file",
         kKey +
             "\\LOGS\\Log1]\n\"LogType\"=dword:00000003\n\"File\"=\"/var/log/a\"\n"
             "\"KeywordInclude1\"=\"disk [AND] full\"\n\"KeywordInclude2\"=\" \"\n"
             "\"KeywordInclude4\"=\"\"\n\"KeywordExclude1\"=\"" +
             std::string(258, 'k') + "\"\n" + kKey +
             "\\LOGS\\Log2]\n\"LogType\"=dword:00000003\n\"File\"=\" \"\n",
         {"KeywordInclude2: Please enter the keywords of the group ... (Include keywords, entry 2)",
          "KeywordInclude4: is never read: entry 3 of Include keywords before it is missing",
          "KeywordExclude1: A keyword may hold at most 255 characters ... (Exclude keywords, "
          "entry 1)",
          "File: Please enter the log file or the event log to monitor ..."}},
        {"alert scripts: no level, no file, bad days, equal times; a complete one passes",
         kKey + "\\AlertEngine]\n\"ScriptCMD1\"=\"run.sh\"\n\"ScriptCMDLevel1\"=dword:0\n"
                "\"ScriptCMD2\"=\"ok.sh\"\n\"ScriptCMDLevel2\"=dword:3ff\n"
                "\"ScriptCMDMask2\"=\"0111110\"\n\"ScriptCMDStartTime2\"=\"08:00\"\n"
                "\"ScriptCMDEndTime2\"=\"17:30\"\n"
                "\"ScriptVB1\"=\"a.vbs\"\n\"ScriptVBLevel1\"=dword:1\n\"ScriptVBMask1\"=\"01\"\n"
                "\"ScriptSysLogLevel1\"=dword:1\n"
                "\"ScriptSMTP1\"=\"m.txt\"\n\"ScriptSMTPLevel1\"=dword:1\n"
                "\"ScriptSMTPStartTime1\"=\"08:00\"\n\"ScriptSMTPEndTime1\"=\"08:00\"\n"
                "\"ScriptHTTP1\"=\"h.txt\"\n\"ScriptHTTPLevel1\"=\"1\"\n",
         {"ScriptCMDLevel1: Please select at least one Alert Level... (Command scripts, entry 1)",
          "ScriptVBMask1: Please enter the days as seven 0s and 1s, Sunday first ... (VBScript "
          "scripts, entry 1)",
          "ScriptSysLog1: Please enter the script file to run ... (SysLog alert scripts, entry 1)",
          "ScriptSMTPEndTime1: The Start and End Times cannot be the same... (SMTP alert "
          "scripts, entry 1)",
          "ScriptHTTPLevel1: is not a number (dword:); the service ignores it and uses its "
          "default (HTTP alert scripts, entry 1)"}},
        {"response codes the kind of check does not offer",
         kKey + "\\Printers\\Printer1]\n\"Printer\"=\"q\"\n" + kKey +
             "\\Printers\\Printer1\\Check Printer Paused]\n\"ActionToTake\"=dword:0000000b\n" +
             kKey +
             "\\Printers\\Printer1\\Check Document Size (Kb)]\n\"ActionToTake\"=dword:0000000e\n" +
             kKey +
             "\\CustomServices\\Service1]\n\"Enabled\"=dword:0\n"
             "\"ActionToTake\"=dword:00000005\n" +
             kKey + "\\Disk Space\\Disk1]\n\"Enabled\"=dword:0\n\"ActionToTake\"=dword:5\n" + kKey +
             "\\LOGS\\Log1]\n\"LogType\"=dword:0\n\"ActionToTake\"=dword:4\n" + kKey +
             "\\Print\\Ensure Print Spooler service is running]\n\"ActionToTake\"=dword:6\n",
         {"ActionToTake: response code 11: This printer check offers the responses 0 to 10 only; "
          "the document actions (11 to 14) are for the document size and page checks ...",
          "ActionToTake: response code 5: This kind of check offers the responses 0 to 4 only ...",
          "ActionToTake: response code 6: Service checks offer the responses 0 to 5 only ..."}},
        {"service, counter and disk entries: every field of their dialogs; a disabled check's "
         "count waits until it is enabled",
         kKey +
             "\\CustomServices\\Service1]\n\"Enabled\"=dword:1\n\"Name\"=\"cups\"\n"
             "\"DisplayName\"=\"" +
             std::string(256, 'd') + "\"\n\"CountBeforeAction\"=dword:0\n" + kKey +
             "\\CustomPerformance\\Counter1]\n\"Enabled\"=dword:0\n"
             "\"CountBeforeAction\"=dword:0\n\"Threshold\"=\"90\"\n" +
             kKey +
             "\\Disk Space\\Disk1]\n\"Enabled\"=dword:1\n\"Drive\"=\"/srv/a/very/long/mount\"\n"
             "\"FreeSpace\"=dword:100\n" +
             kKey + "\\Disk Space\\Disk2]\n\"Enabled\"=dword:2\n\"%Used\"=dword:0\n",
         {"DisplayName: is longer than 255 characters; the service cuts it",
          "CountBeforeAction: Notify after No. of Errors must be 1 of higher.",
          "Threshold: is not a number (dword:); the service ignores it and uses its default",
          "Drive: is longer than 20 characters; the service cuts it",
          "Enabled: Please enter 1 (on) or 0 (off) ..."}},
        {"printer without a name, its checks' fields; a log entry's event ID and event type",
         kKey + "\\Printers\\Printer1]\n\"Printer\"=\"\"\n" + kKey +
             "\\Printers\\Printer1\\Check Print Queue Length]\n\"Enabled\"=dword:1\n"
             "\"Threshold\"=\"5\"\n\"NotifyOwner\"=dword:2\n\"AlertLevel\"=dword:4\n" +
             kKey + "\\Printers\\Printer1\\Check Printer Offline]\n\"Threshold\"=dword:5\n" + kKey +
             "\\LOGS\\Log1]\n\"LogType\"=dword:7\n\"File\"=\"/var/log/x\"\n"
             "\"EventID\"=\"12x\"\n\"EventType\"=dword:9\n",
         {"Printer: Please enter the name of the printer ...",
          "Threshold: is not a number (dword:); the service ignores it and uses its default",
          "NotifyOwner: Please enter 1 (on) or 0 (off) ...",
          "EventID: Please enter the event ID as a number (empty matches any event) ...",
          "EventType: Please select one of the listed choices ..."}},
        {"scrambled password of a wrong length",
         "\"Data2\"=hex:01,02,03\n",
         {"Data2: is not a valid scrambled value; the service reads no text from it"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Problems(ValidStore(c.extra)), c.expected) << c.what;
    }
    EXPECT_EQ(Problems(kKey + "]\n\"Home\"=\"\"\n").size(), 4u) << "required settings";
}

TEST(StoreCheck, WebAccessEntriesAreLeadingPartsOfIPv4Addresses) {
    for (const char* good :
         {"192.168.1.20", "10.1.", "10", "127.0.0.1, 192.168.", "1.2.3.4\r\n5.6.", "0.0.0.0"}) {
        EXPECT_EQ(CheckAddressText(good), "") << good;
    }
    for (const char* bad : {"", " , ", "256.1", "192..1", "1.2.3.4.5", "1.2.3.4.", "host.local",
                            "192.168.*", "1234", ".1", "10.1.0001"}) {
        EXPECT_NE(CheckAddressText(bad), "") << bad;
    }
}

TEST(StoreCheck, ImportNamesTheBadLineAndLeavesTheTargetAlone) {
    StoreTree out;
    out.Set("x", "kept", StoreValue::MakeNumber(1));
    const StoreTree before = out;

    platform::Status status = ParseImport(ValidStore("\"LogLevel\"=dword:zz\n"), "in.reg", out);
    EXPECT_EQ(status.Text(), "in.reg:6: dword needs 1 to 8 hex digits");
    status = ParseImport(ValidStore("\"PrinterInterval\"=dword:1\n\"MaxStoredMsgs\"=dword:2\n"),
                         "in.reg", out);
    EXPECT_NE(status.Text().find("in.reg:7: "), std::string::npos) << status.Text();
    EXPECT_NE(status.Text().find("50 or more"), std::string::npos);
    // A problem of a value that is not in the file points at its key's section.
    status = ParseImport(ValidStore(kKey + "\\Contacts]\n\"EMail1\"=\"a@b.c\"\n"), "in.reg", out);
    EXPECT_NE(status.Text().find("in.reg:6: "), std::string::npos) << status.Text();
    // A keyword group of a log entry is refused by its own line.
    status = ParseImport(ValidStore(kKey + "\\LOGS\\Log1]\n\"LogType\"=dword:00000000\n"
                                           "\"KeywordInclude1\"=\"\"\n"),
                         "in.reg", out);
    EXPECT_EQ(status.Text(), "in.reg:8: " + std::string(config::kProductKey) +
                                 "\\LOGS\\Log1\\KeywordInclude1: Please enter the keywords of "
                                 "the group ... (Include keywords, entry 1)");
    EXPECT_TRUE(out == before);

    ASSERT_TRUE(ParseImport(ValidStore(), "in.reg", out).ok());
    EXPECT_EQ(out.Find(config::kProductKey, "home")->text, "/opt/k");
}

TEST(CommandValues, TakeTheFieldRulesOrTheTypeOfTheValueTheyReplace) {
    struct Case {
        const char* what;
        std::string key;
        std::string name;
        std::string text;
        std::optional<StoreValue> current;
        std::optional<StoreValue> expected;  // nullopt: refused
    };
    const std::string top = config::kProductKey;
    const std::vector<Case> cases = {
        {"known number field", top, "MaxStoredMsgs", "75", {}, StoreValue::MakeNumber(75)},
        {"known field refuses its range", top, "maxstoredmsgs", "7", {}, std::nullopt},
        {"flag refuses 2", top, "EnableWebReports", "2", {}, std::nullopt},
        {"choice by its text", top, "DateFormat", "MM/DD/YYYY", {}, StoreValue::MakeNumber(2)},
        {"unknown value replacing a number", top, "Custom", "12", StoreValue::MakeNumber(1),
         StoreValue::MakeNumber(12)},
        {"unknown number refuses letters", top, "Custom", "12a", StoreValue::MakeNumber(1),
         std::nullopt},
        {"explicit dword", top, "Custom", "dword:ff", {}, StoreValue::MakeNumber(255)},
        {"dword too long", top, "Custom", "dword:123456789", {}, std::nullopt},
        {"explicit hex", top, "Custom", "hex:01,ab", {}, StoreValue::MakeBinary({1, 0xab})},
        {"bad hex", top, "Custom", "hex:1,abc", {}, std::nullopt},
        {"new text", top, "Custom", "hello world", {}, StoreValue::MakeText("hello world")},
        {"text over two lines", top, "Custom", "a\nb", {}, std::nullopt},
        {"text too long for its field",
         config::SubKey("AlertLogging"),
         "AlertDataFile",
         std::string(300, 'x'),
         {},
         std::nullopt},
    };
    for (const Case& c : cases) {
        StoreValue out;
        const std::string refused =
            ParseCommandValue(c.key, c.name, c.text, c.current ? &*c.current : nullptr, out);
        if (c.expected) {
            EXPECT_EQ(refused, "") << c.what;
            EXPECT_TRUE(out == *c.expected) << c.what;
        } else {
            EXPECT_NE(refused, "") << c.what;
        }
    }
    EXPECT_EQ(ResolveKey("."), config::kProductKey);
    EXPECT_EQ(ResolveKey("Contacts"), config::SubKey("Contacts"));
    EXPECT_EQ(ResolveKey("HKEY_LOCAL_MACHINE\\Software\\Other"), "Software\\Other");
}

}  // namespace
}  // namespace kvzn::cfgutil
