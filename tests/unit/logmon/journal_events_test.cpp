// Journal entries read as event log records.
#include "logmon/journal_events.h"

#include <gtest/gtest.h>

namespace kvzn::logmon {
namespace {

platform::JournalRecord Entry(std::vector<std::pair<std::string, std::string>> fields) {
    platform::JournalRecord record;
    record.fields = std::move(fields);
    return record;
}

TEST(JournalEvents, IdSourceTypeAndMessage) {
    struct Case {
        const char* name;
        platform::JournalRecord entry;
        uint32_t id;
        const char* source;
        int type;
    };
    const std::vector<Case> cases = {
        {"event id keeps its low 16 bits",
         Entry({{"MESSAGE", "m"}, {"EVENT_ID", "66537"}, {"SYSLOG_IDENTIFIER", "app"}}), 1001,
         "app", kTypeInformation},
        {"message id when there is no event id",
         Entry({{"MESSAGE", "m"},
                {"MESSAGE_ID", "39f53479d3a045ac8e11786248231fbf"},
                {"_COMM", "systemd"},
                {"PRIORITY", "3"}}),
         0x1fbf, "systemd", kTypeError},
        {"unit as the last source",
         Entry({{"MESSAGE", "m"}, {"_SYSTEMD_UNIT", "cups.service"}, {"PRIORITY", "4"}}), 0,
         "cups.service", kTypeWarning},
        {"an empty identifier is passed over",
         Entry({{"MESSAGE", "m"}, {"SYSLOG_IDENTIFIER", ""}, {"_COMM", "lpd"}, {"PRIORITY", "7"}}),
         0, "lpd", kTypeInformation},
        {"priority 0 is an error", Entry({{"MESSAGE", "m"}, {"PRIORITY", "0"}}), 0, "", kTypeError},
        {"audit failure",
         Entry({{"MESSAGE", "op=login acct=\"bob\" res=failed"}, {"_TRANSPORT", "audit"}}), 0, "",
         kTypeAuditFailure},
        {"audit success", Entry({{"MESSAGE", "op=login res=success"}, {"_TRANSPORT", "audit"}}), 0,
         "", kTypeAuditSuccess},
        {"event id that is not a number",
         Entry({{"MESSAGE", "m"}, {"EVENT_ID", "x"}, {"MESSAGE_ID", "zz"}}), 0, "",
         kTypeInformation},
    };
    for (const Case& c : cases) {
        const EventRecord event = MapJournalRecord(c.entry);
        EXPECT_EQ(event.eventId, c.id) << c.name;
        EXPECT_EQ(event.source, c.source) << c.name;
        EXPECT_EQ(event.type, c.type) << c.name;
    }
    EXPECT_EQ(
        MapJournalRecord(
            Entry({{"MESSAGE", "Paper out"}, {"EVENT_ID", "12"}, {"SYSLOG_IDENTIFIER", "lp"}}))
            .message,
        "Paper out (Event ID: 12, Source: lp)");
    const EventRecord untranslated = MapJournalRecord(Entry(
        {{"DOC", "report.pdf"}, {"USER", "bob"}, {"_PID", "12"}, {"SYSLOG_IDENTIFIER", "lp"}}));
    EXPECT_EQ(untranslated.message.rfind("Internal Configuration Error.", 0), 0U);
    EXPECT_NE(untranslated.message.find("report.pdf, bob, lp(Event ID: 0, Source: lp)"),
              std::string::npos)
        << untranslated.message;
}

TEST(JournalEvents, EventTypeOfTheCheck) {
    EXPECT_TRUE(EventTypeMatches(kTypeWarning, 0));
    EXPECT_TRUE(EventTypeMatches(kTypeError, 1));
    EXPECT_TRUE(EventTypeMatches(kTypeAuditSuccess, 1));
    EXPECT_FALSE(EventTypeMatches(kTypeAuditSuccess, 2));
    EXPECT_TRUE(EventTypeMatches(kTypeAuditFailure, 2));
    EXPECT_FALSE(EventTypeMatches(kTypeInformation, 2));
    EXPECT_TRUE(EventTypeMatches(kTypeInformation, 3));
    EXPECT_FALSE(EventTypeMatches(kTypeError, 9));
}

TEST(JournalEvents, TheClassicLogsSplitTheJournal) {
    const auto kernel = Entry({{"_TRANSPORT", "kernel"}});
    const auto manager = Entry({{"_PID", "1"}, {"_TRANSPORT", "journal"}});
    const auto auth = Entry({{"SYSLOG_FACILITY", "10"}, {"_TRANSPORT", "syslog"}});
    const auto audit = Entry({{"_TRANSPORT", "audit"}});
    const auto app = Entry({{"_PID", "4711"}, {"_TRANSPORT", "syslog"}, {"SYSLOG_FACILITY", "3"}});
    struct Case {
        const char* name;
        const platform::JournalRecord* entry;
        LogKind kind;
    };
    for (const Case& c :
         {Case{"kernel", &kernel, LogKind::kSystem}, Case{"manager", &manager, LogKind::kSystem},
          Case{"auth", &auth, LogKind::kSecurity}, Case{"audit", &audit, LogKind::kSecurity},
          Case{"application", &app, LogKind::kApplication}}) {
        for (LogKind kind : {LogKind::kApplication, LogKind::kSystem, LogKind::kSecurity}) {
            EXPECT_EQ(BelongsToLog(kind, *c.entry), kind == c.kind) << c.name;
        }
    }
    EXPECT_EQ(KindOfLog("SYSTEM"), LogKind::kSystem);
    EXPECT_EQ(KindOfLog("cups"), LogKind::kCustom);
    EXPECT_EQ(CustomLogMatches("cups"), (std::vector<std::string>{"_SYSTEMD_UNIT=cups.service"}));
    EXPECT_EQ(CustomLogMatches("SYSLOG_IDENTIFIER=lpd + _COMM=lp"),
              (std::vector<std::string>{"SYSLOG_IDENTIFIER=lpd", "+", "_COMM=lp"}));
}

}  // namespace
}  // namespace kvzn::logmon
