// Alert records in the data directory, the unsent queue and the daily counters.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/service_context.h"

namespace kvzn::alerting {

// Error categories ("ErrorType").
inline constexpr int kCategoryDiskSpace = 1;
inline constexpr int kCategoryPrintServer = 2;
inline constexpr int kCategoryLogs = 4;
inline constexpr int kCategoryPerformance = 8;
inline constexpr int kCategoryTestAlert = 15;
inline constexpr int kCategoryInternal = 16;
inline constexpr uint32_t kAllLevels = 1023;

inline constexpr const char* kQueueFileName = "Unsent.prt";
inline constexpr const char* kRecordSection = "Default";
inline constexpr uint32_t kDefaultMaxStoredMsgs = 50;

// Alert counts of the day for the summary mail; reset by the summary thread.
// @threadsafety Take `lock` for every access.
struct SummaryCounters {
    std::mutex lock;
    uint32_t diskSpace = 0;
    uint32_t monitorSpecific = 0;
    uint32_t performance = 0;
};
SummaryCounters& DailySummaryCounters();

// The console alert message (message code 8) sent for every recorded alert when console
// support is on. Until consoles are served, nothing is sent.
using ConsoleAlertSender = std::function<void(const std::string& time, const std::string& title,
                                              const std::string& message)>;
void SetConsoleAlertSender(ConsoleAlertSender sender);

// "PRT<slot>.err" in the data directory, and the queue file "Unsent.prt".
std::string RecordPath(const service::ServiceContext& ctx, uint32_t slot);
std::string QueuePath(const service::ServiceContext& ctx);

// Records an alert and queues it for delivery. The message is cleaned in place (CR, LF,
// "~" and both quotes become blanks); every other value loses its control characters.
// Returns 1 when the record was written, 0 otherwise (logged; nothing queued).
// @threadsafety Always.
int NotifyError(service::ServiceContext& ctx, int category, uint32_t levelMask, uint32_t actionCode,
                std::string_view title, std::string_view source, std::string& message,
                const std::optional<std::string>& info1 = std::nullopt,
                const std::optional<std::string>& info2 = std::nullopt,
                const std::optional<std::string>& info3 = std::nullopt, int autoResponse = 0);

// Records an internal or configuration error (category 16). Never queued for delivery.
int NotifyInternalError(service::ServiceContext& ctx, unsigned summaryCategory,
                        std::string_view title, std::string_view source, std::string_view message);

// The dispatcher marks the record it has taken off the queue while it delivers it, so that
// its slot is not given to a new alert before every channel has read it. The end of a
// delivery wakes alerts waiting for a free slot.
void SetRecordInDelivery(const std::string& recordPath, bool inDelivery);

// How long a new alert waits for a free slot when every slot waits for delivery, before
// the oldest waiting alert is given up: 30 s unless set otherwise (tests shorten it).
void SetWaitForFreeSlot(std::chrono::milliseconds wait);

// The slot for the next record: the ring position after "StoredMsgNo", passing over slots
// whose record still waits in the queue, is being delivered or waits for a delayed e-mail. When
// every slot waits, the oldest is reused and the alert it held is named in a warning. Call with the
// alert-file lock held.
uint32_t GetNextFileNo(service::ServiceContext& ctx);

// 1 when a line of the queue (cut at its first byte below 0x20) equals the record path.
// Call with the alert-file lock held.
int CheckFileForFile(const std::string& queuePath, const std::string& recordPath);
// Appends the record path as the last line. 1 on success. Call with the lock held.
int AddToUnsentMsgFile(const std::string& recordPath, const std::string& queuePath);

// The queue's lines, oldest first, each cut at its first control character; empty lines
// are skipped. Call with the lock held.
std::vector<std::string> ReadQueue(const std::string& queuePath);
// The lines of a queue file's text as ReadQueue gives them.
std::vector<std::string> ParseQueueLines(std::string_view text);
// Removes the first line of the queue: the remaining lines go to a new file in the queue's
// directory that replaces the queue (created exclusively, flushed to disk, renamed), so a
// crash leaves the old or the new queue. When that file cannot be created the queue is
// rewritten in place; 0 only when the head line could not be removed at all.
// Call with the lock held.
int ReplaceWithRemainingFile(const std::string& queuePath);

}  // namespace kvzn::alerting
