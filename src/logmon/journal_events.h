// Journal entries seen as event log records: the three classic logs as sets of entries,
// other log names as journal matches, and the event ID, source, type and message of an
// entry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/journal.h"

namespace kvzn::logmon {

// Record types as the event log reports them.
inline constexpr int kTypeError = 1;
inline constexpr int kTypeWarning = 2;
inline constexpr int kTypeInformation = 4;
inline constexpr int kTypeAuditSuccess = 8;
inline constexpr int kTypeAuditFailure = 16;

struct EventRecord {
    uint32_t eventId = 0;  // EVENT_ID (low 16 bits), else the low 16 bits of MESSAGE_ID
    std::string source;    // SYSLOG_IDENTIFIER, else _COMM, else _SYSTEMD_UNIT
    int type = kTypeInformation;
    std::string message;  // the text the checks test: MESSAGE + " (Event ID: n, Source: s)"
};

// Maps an entry. An entry without MESSAGE gets the "Internal Configuration Error." text
// listing its other user fields.
// @threadsafety Always (pure).
EventRecord MapJournalRecord(const platform::JournalRecord& record);

// 1 when a record of `recordType` passes a check's "EventType" (0 passes every type).
bool EventTypeMatches(int recordType, uint32_t eventType);

enum class LogKind { kApplication, kSystem, kSecurity, kCustom };
// "Application", "System" and "Security" (case ignored) name the classic logs; any other
// name is a journal match expression or a unit.
LogKind KindOfLog(std::string_view logName);

// Whether an entry belongs to a classic log. Security: syslog facility 4 or 10 and audit
// records. System: kernel records and those of the service manager (process 1). Application:
// every other record.
bool BelongsToLog(LogKind kind, const platform::JournalRecord& record);

// The journal matches of a custom log name: "FIELD=value" words (a "+" word starts an
// alternative), or a unit name ("cups" means "_SYSTEMD_UNIT=cups.service").
std::vector<std::string> CustomLogMatches(std::string_view logName);

}  // namespace kvzn::logmon
