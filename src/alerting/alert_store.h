// The alert store of one service run: the ring of record slots in the data directory, the
// unsent queue "Unsent.prt", the records being delivered and the daily counters.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "alerting/alert_record.h"
#include "platform/event.h"
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
inline constexpr uint32_t kDefaultMaxStoredMsgs = 50;

// Alert counts of the day for the summary mail.
struct SummaryCounts {
    uint32_t diskSpace = 0;
    uint32_t monitorSpecific = 0;
    uint32_t performance = 0;
};

// The console alert message (message code 8) sent for every recorded alert when console
// support is on.
using ConsoleAlertSender = std::function<void(const std::string& time, const std::string& title,
                                              const std::string& message)>;

struct AlertStoreOptions {
    // How long a new alert waits for a free slot when every slot holds an alert that was
    // never delivered, before the oldest of them is given up.
    std::chrono::milliseconds waitForFreeSlot{30000};
};

// The lines of a queue file, oldest first, each cut at its first control character; empty
// lines are left out.
std::vector<std::string> ParseQueueLines(std::string_view text);

// The slots of the ring and the queue of one run. Slot bookkeeping lives in memory: the
// slot of the newest record and the records whose e-mail waits for a retry are read from
// the data directory when the store opens, and "StoredMsgNo" is written back when it closes.
// Recording an alert costs two synchronous writes: the record (written to a temporary file,
// its data synced, renamed into place) and its queue line (appended and synced; on a
// journalling file system that sync also commits the rename before it).
// @threadsafety Always.
class AlertStore {
  public:
    AlertStore(service::ServiceContext& ctx, AlertStoreOptions options = {});
    ~AlertStore();
    AlertStore(const AlertStore&) = delete;
    AlertStore& operator=(const AlertStore&) = delete;

    // Records an alert and queues it for delivery. The message is cleaned in place (CR, LF,
    // "~" and both quotes become blanks); every other value loses its control characters.
    // Returns 1 when the record was written, 0 otherwise (logged; nothing queued).
    int NotifyError(int category, uint32_t levelMask, uint32_t actionCode, std::string_view title,
                    std::string_view source, std::string& message,
                    const std::optional<std::string>& info1 = std::nullopt,
                    const std::optional<std::string>& info2 = std::nullopt,
                    const std::optional<std::string>& info3 = std::nullopt, int autoResponse = 0);
    // Records an internal or configuration error (category 16). Never queued for delivery.
    int NotifyInternalError(unsigned summaryCategory, std::string_view title,
                            std::string_view source, std::string_view message);

    std::string RecordPath(uint32_t slot) const;
    const std::string& QueuePath() const { return queuePath_; }
    uint32_t RingSize() const { return ringSize_; }
    // Set when an alert is queued; the dispatcher waits on it.
    platform::Event& AlertArrived() { return alertArrived_; }

    // The dispatcher's side. Takes the head of the queue off the file (rewritten without
    // it) and marks its record as in delivery by the calling thread: nullopt when the queue
    // is empty (the file is then removed) or cannot be rewritten (the record stays queued,
    // logged). End every delivery with EndDelivery.
    std::optional<std::string> TakeNextQueued();
    // Marks a record as being delivered by the calling thread (the delayed e-mail thread):
    // its slot is not given to a new alert until EndDelivery. While a thread delivers, a new
    // alert it raises never waits for a slot.
    void BeginDelivery(const std::string& recordPath);
    void EndDelivery(const std::string& recordPath);

    // Records whose e-mail waits for a retry hold their slot until SetAwaitingRetry(false).
    void SetAwaitingRetry(const std::string& recordPath, bool awaiting);
    // Those records, in slot order from the oldest.
    std::vector<std::string> AwaitingRetry() const;
    // Saves the delivery state of a record written earlier. Its modification time is kept,
    // so the slot order read at the next start is that of the alerts.
    platform::Status UpdateRecord(const std::string& recordPath, const AlertRecord& record);
    // The queue's record paths, oldest first.
    std::vector<std::string> QueuedRecords() const;

    SummaryCounts Counts() const;
    // Alert records written since the store was opened (internal ones included).
    // @threadsafety Always.
    uint64_t RecordedSinceStart() const { return recorded_.load(); }
    // Returns the counts and starts a new day.
    SummaryCounts TakeCounts();
    // Subtracts counts that were reported, keeping what was counted since.
    void DeductCounts(const SummaryCounts& reported);
    void SetConsoleAlertSender(ConsoleAlertSender sender);

    // Writes the slot of the newest record as "StoredMsgNo". Called when the store closes.
    void Close();

  private:
    struct NewRecord {
        std::string path;
        uint32_t slot = 0;
        std::string time;
    };
    NewRecord AllocateRecord(std::unique_lock<std::mutex>& lock);
    std::optional<uint32_t> FreeSlot() const;
    uint32_t GiveUpASlot();
    std::optional<uint32_t> SlotOf(const std::string& path) const;
    bool DeliveringOnThisThread() const;
    void Count(unsigned category);
    void SendConsoleAlert(const std::string& time, const std::string& title,
                          const std::string& message);
    int Record(AlertRecord& record, bool queue, const char* function, const std::string& title,
               unsigned summaryCategory, bool internal);

    service::ServiceContext& ctx_;
    const AlertStoreOptions options_;
    const std::string queuePath_;
    platform::Event alertArrived_;

    // Guards everything below; held from the choice of a slot until its record is written
    // and queued.
    mutable std::mutex mutex_;
    std::condition_variable_any slotFreed_;
    uint32_t ringSize_ = kDefaultMaxStoredMsgs;
    uint32_t lastSlot_ = 0;                      // the slot of the newest record
    std::multiset<uint32_t> queued_;             // slots listed in the queue file
    std::multiset<uint32_t> inDelivery_;         // slots whose record a channel reads
    std::multiset<std::thread::id> delivering_;  // threads delivering a record
    std::set<uint32_t> awaitingRetry_;           // slots whose e-mail is to be sent again
    bool closed_ = false;

    mutable std::mutex countsMutex_;
    SummaryCounts counts_;
    std::atomic<uint64_t> recorded_{0};

    mutable std::mutex consoleMutex_;
    ConsoleAlertSender consoleSender_;
};

}  // namespace kvzn::alerting
