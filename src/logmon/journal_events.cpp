// Journal entries as event log records.
#include "logmon/journal_events.h"

#include <charconv>

#include "platform/text.h"

namespace kvzn::logmon {

namespace {

const std::string* Field(const platform::JournalRecord& record, std::string_view name) {
    return record.Field(name);
}

bool FieldIs(const platform::JournalRecord& record, std::string_view name, std::string_view value) {
    const std::string* v = Field(record, name);
    return v != nullptr && *v == value;
}

// The leading decimal number of a text, when there is one.
bool ReadNumber(std::string_view text, uint64_t& out) {
    text = platform::TrimBlanks(text);
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end != text.data();
}

uint32_t LowBitsOfHex(std::string_view hex) {
    uint32_t value = 0;
    const size_t start = hex.size() > 4 ? hex.size() - 4 : 0;
    for (char c : hex.substr(start)) {
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        }
        if (digit < 0) {
            return 0;
        }
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return value;
}

int RecordType(const platform::JournalRecord& record) {
    if (FieldIs(record, "_TRANSPORT", "audit")) {
        const std::string* message = Field(record, "MESSAGE");
        const bool failed =
            message != nullptr && (message->find("res=failed") != std::string::npos ||
                                   message->find("success=no") != std::string::npos);
        return failed ? kTypeAuditFailure : kTypeAuditSuccess;
    }
    uint64_t priority = 6;
    if (const std::string* p = Field(record, "PRIORITY")) {
        ReadNumber(*p, priority);
    }
    if (priority <= 3) {
        return kTypeError;
    }
    return priority == 4 ? kTypeWarning : kTypeInformation;
}

}  // namespace

EventRecord MapJournalRecord(const platform::JournalRecord& record) {
    EventRecord event;
    uint64_t number = 0;
    if (const std::string* id = Field(record, "EVENT_ID");
        id != nullptr && ReadNumber(*id, number)) {
        event.eventId = static_cast<uint32_t>(number & 0xffff);
    } else if (const std::string* messageId = Field(record, "MESSAGE_ID")) {
        event.eventId = LowBitsOfHex(platform::TrimBlanks(*messageId));
    }
    for (const char* name : {"SYSLOG_IDENTIFIER", "_COMM", "_SYSTEMD_UNIT"}) {
        if (const std::string* source = Field(record, name);
            source != nullptr && !source->empty()) {
            event.source = *source;
            break;
        }
    }
    event.type = RecordType(record);
    const std::string suffix =
        "(Event ID: " + std::to_string(event.eventId) + ", Source: " + event.source + ")";
    if (const std::string* message = Field(record, "MESSAGE")) {
        event.message = *message + " " + suffix;
    } else {
        std::string inserts;
        for (const auto& [name, value] : record.fields) {
            if (!name.empty() && name[0] != '_' && name != "PRIORITY" &&
                name != "SYSLOG_FACILITY") {
                inserts += (inserts.empty() ? "" : ", ") + value;
            }
        }
        event.message =
            "Internal Configuration Error. The Korvane/Tessel Monitor was unable to translate the "
            "Event Log message (or load the translation DLL ) for the following message: " +
            inserts + suffix;
    }
    return event;
}

bool EventTypeMatches(int recordType, uint32_t eventType) {
    switch (eventType) {
        case 0:
            return true;
        case 1:
            return recordType == kTypeError || recordType == kTypeAuditSuccess;
        case 2:
            return recordType == kTypeWarning || recordType == kTypeAuditFailure;
        case 3:
            return recordType == kTypeInformation;
        default:
            return false;
    }
}

LogKind KindOfLog(std::string_view logName) {
    if (platform::EqualsNoCase(logName, "Application")) {
        return LogKind::kApplication;
    }
    if (platform::EqualsNoCase(logName, "System")) {
        return LogKind::kSystem;
    }
    if (platform::EqualsNoCase(logName, "Security")) {
        return LogKind::kSecurity;
    }
    return LogKind::kCustom;
}

bool BelongsToLog(LogKind kind, const platform::JournalRecord& record) {
    if (kind == LogKind::kCustom) {
        return true;  // narrowed by the journal's matches
    }
    const bool security = FieldIs(record, "SYSLOG_FACILITY", "4") ||
                          FieldIs(record, "SYSLOG_FACILITY", "10") ||
                          FieldIs(record, "_TRANSPORT", "audit");
    if (kind == LogKind::kSecurity) {
        return security;
    }
    const bool system =
        !security && (FieldIs(record, "_TRANSPORT", "kernel") ||
                      FieldIs(record, "_TRANSPORT", "driver") || FieldIs(record, "_PID", "1"));
    return kind == LogKind::kSystem ? system : !security && !system;
}

std::vector<std::string> CustomLogMatches(std::string_view logName) {
    std::vector<std::string> matches;
    if (logName.find('=') == std::string_view::npos) {
        std::string unit(platform::TrimBlanks(logName));
        if (unit.find('.') == std::string::npos) {
            unit += ".service";
        }
        matches.push_back("_SYSTEMD_UNIT=" + unit);
        return matches;
    }
    size_t i = 0;
    while (i < logName.size()) {
        const size_t end = std::min(logName.find(' ', i), logName.size());
        if (end > i) {
            matches.emplace_back(logName.substr(i, end - i));
        }
        i = end + 1;
    }
    return matches;
}

}  // namespace kvzn::logmon
