// The alert store of one service run: record slots, the unsent queue and the daily counts.
#include "alerting/alert_store.h"

#include <algorithm>

#include "alerting/message_text.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "platform/file.h"

namespace kvzn::alerting {

namespace {

constexpr std::string_view kModule = "kvZNAlertNotification";
constexpr int kAlertNotifyComponent = 12;
constexpr auto kSlotWaitPoll = std::chrono::milliseconds(250);

// The message keeps one line and no quoting characters of the consumers.
void CleanMessage(std::string& message) {
    for (char& c : message) {
        if (c == '\r' || c == '\n' || c == '~' || c == '\'' || c == '"') {
            c = ' ';
        }
    }
}

// Any other value: control characters become blanks, so no value can add a key.
std::string CleanValue(std::string_view value) {
    std::string v(value);
    for (char& c : v) {
        if (static_cast<unsigned char>(c) < 0x20) {
            c = ' ';
        }
    }
    return v;
}

// Where the first line of the queue that names a record ends (after its line feed).
size_t EndOfHeadLine(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        end = end == std::string_view::npos ? text.size() : end + 1;
        const unsigned char first = static_cast<unsigned char>(text[pos]);
        if (first >= 0x20) {
            return end;
        }
        pos = end;
    }
    return text.size();
}

// "\"title: message\" (path)" of the record in a slot, for the log.
std::string DescribeRecord(const std::string& path) {
    const auto record = AlertRecord::Load(path);
    return "\"" + (record.ok() ? record->TitleOr("N/A") : std::string("N/A")) + ": " +
           (record.ok() ? record->message.value_or("") : std::string()) + "\" (" + path + ")";
}

}  // namespace

std::vector<std::string> ParseQueueLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        size_t n = pos;
        while (n < end && static_cast<unsigned char>(text[n]) >= 0x20) {
            ++n;
        }
        if (n > pos) {
            lines.emplace_back(text.substr(pos, n - pos));
        }
        pos = end + 1;
    }
    return lines;
}

AlertStore::AlertStore(service::ServiceContext& ctx, AlertStoreOptions options)
    : ctx_(ctx), options_(options), queuePath_(ctx.dataDirectory + "/" + kQueueFileName) {
    const companion::Logger log(kModule, "GetNextFileNo");
    companion::Registry& reg = ctx_.registry;
    uint32_t maxStored = 0;
    if (reg.ReadNumber(config::kProductKey, config::value::kMaxStoredMsgs, maxStored) != 0) {
        log(2, "Warning: Error reading maximum stored error msg. no. from ", config::kProductKey);
    }
    if (maxStored == 0) {
        maxStored = kDefaultMaxStoredMsgs;
        reg.WriteNumber(config::kProductKey, config::value::kMaxStoredMsgs, maxStored);
    }
    ringSize_ = maxStored;

    // The newest record names the slot of the last alert; records whose e-mail waits for a
    // retry keep their slots.
    int64_t newest = -1;
    if (auto entries = platform::ListDirectory(ctx_.dataDirectory); entries.ok()) {
        for (const platform::DirectoryEntry& e : *entries) {
            const auto slot = e.regular ? SlotOf(ctx_.dataDirectory + "/" + e.name) : std::nullopt;
            if (!slot) {
                continue;
            }
            if (e.modifiedNs > newest || (e.modifiedNs == newest && *slot > lastSlot_)) {
                newest = e.modifiedNs;
                lastSlot_ = *slot;
            }
            const auto record = AlertRecord::Load(RecordPath(*slot));
            if (record.ok() && record->smtpDelayed) {
                awaitingRetry_.insert(*slot);
            }
        }
    }
    if (lastSlot_ == 0) {
        reg.ReadNumber(config::kProductKey, config::value::kStoredMsgNo, lastSlot_);
    }
    if (auto text = platform::ReadWholeFile(queuePath_); text.ok()) {
        for (const std::string& line : ParseQueueLines(*text)) {
            if (const auto slot = SlotOf(line)) {
                queued_.insert(*slot);
            }
        }
    }
}

AlertStore::~AlertStore() {
    Close();
}

void AlertStore::Close() {
    std::scoped_lock lock(mutex_);
    if (closed_ || lastSlot_ == 0) {
        return;
    }
    closed_ = true;
    if (ctx_.registry.WriteNumber(config::kProductKey, config::value::kStoredMsgNo, lastSlot_) !=
        0) {
        companion::Logger(kModule, "GetNextFileNo")(
            1, "Error writing StoredMsgNo to the registry key ", config::kProductKey);
    }
}

std::string AlertStore::RecordPath(uint32_t slot) const {
    return ctx_.dataDirectory + "/PRT" + std::to_string(slot) + ".err";
}

std::optional<uint32_t> AlertStore::SlotOf(const std::string& path) const {
    const std::string prefix = ctx_.dataDirectory + "/PRT";
    constexpr std::string_view kSuffix = ".err";
    if (path.size() <= prefix.size() + kSuffix.size() ||
        path.compare(0, prefix.size(), prefix) != 0 ||
        path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
        return std::nullopt;
    }
    const std::string_view digits =
        std::string_view(path).substr(prefix.size(), path.size() - prefix.size() - kSuffix.size());
    if (digits.empty() || digits.size() > 9 || digits.front() == '0' ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const auto slot = static_cast<uint32_t>(std::stoul(std::string(digits)));
    if (slot < 1 || slot > ringSize_) {
        return std::nullopt;
    }
    return slot;
}

bool AlertStore::DeliveringOnThisThread() const {
    return delivering_.count(std::this_thread::get_id()) != 0;
}

std::optional<uint32_t> AlertStore::FreeSlot() const {
    uint32_t slot = lastSlot_;
    for (uint32_t tries = 0; tries < ringSize_; ++tries) {
        slot = slot >= ringSize_ ? 1 : slot + 1;
        if (queued_.count(slot) == 0 && inDelivery_.count(slot) == 0 &&
            awaitingRetry_.count(slot) == 0) {
            return slot;
        }
    }
    return std::nullopt;
}

// Every slot holds an alert that was never delivered: the oldest of them, other than those
// being delivered (their channels are reading them), is overwritten.
uint32_t AlertStore::GiveUpASlot() {
    uint32_t slot = lastSlot_ >= ringSize_ ? 1 : lastSlot_ + 1;
    for (uint32_t tries = 0; tries < ringSize_ && inDelivery_.count(slot) != 0; ++tries) {
        slot = slot >= ringSize_ ? 1 : slot + 1;
    }
    companion::Logger(kModule, "GetNextFileNo")(
        2, "Warning: every alert slot is waiting for delivery; the undelivered alert ",
        DescribeRecord(RecordPath(slot)), " is overwritten by a new alert");
    awaitingRetry_.erase(slot);
    return slot;
}

AlertStore::NewRecord AlertStore::AllocateRecord(std::unique_lock<std::mutex>& lock) {
    const auto deadline = std::chrono::steady_clock::now() + options_.waitForFreeSlot;
    std::optional<uint32_t> slot;
    for (;;) {
        if ((slot = FreeSlot())) {
            break;
        }
        // A record whose only missing delivery is a delayed e-mail gives way to a new alert:
        // every other channel has had it.
        uint32_t candidate = lastSlot_;
        for (uint32_t tries = 0; tries < ringSize_; ++tries) {
            candidate = candidate >= ringSize_ ? 1 : candidate + 1;
            if (awaitingRetry_.count(candidate) != 0 && inDelivery_.count(candidate) == 0) {
                slot = candidate;
                break;
            }
        }
        if (slot) {
            companion::Logger(kModule, "GetNextFileNo")(1, "The delayed e-mail of the alert ",
                                                        DescribeRecord(RecordPath(*slot)),
                                                        " is given up: every alert slot is in use");
            awaitingRetry_.erase(*slot);
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (DeliveringOnThisThread() || ctx_.Stopping() || now >= deadline) {
            slot = GiveUpASlot();
            break;
        }
        slotFreed_.wait_until(lock, std::min(deadline, now + kSlotWaitPoll));
    }
    lastSlot_ = *slot;
    NewRecord r;
    r.slot = *slot;
    r.path = RecordPath(*slot);
    r.time = StandardTimeText(ctx_.clock.LocalNow(), ctx_.DateFormat());
    return r;
}

void AlertStore::Count(unsigned category) {
    std::scoped_lock lock(countsMutex_);
    if (category == kCategoryDiskSpace) {
        ++counts_.diskSpace;
    } else if (category == kCategoryPrintServer || category == kCategoryInternal) {
        ++counts_.monitorSpecific;
    } else if (category == kCategoryPerformance) {
        ++counts_.performance;
    }
}

SummaryCounts AlertStore::Counts() const {
    std::scoped_lock lock(countsMutex_);
    return counts_;
}

SummaryCounts AlertStore::TakeCounts() {
    std::scoped_lock lock(countsMutex_);
    return std::exchange(counts_, SummaryCounts{});
}

void AlertStore::DeductCounts(const SummaryCounts& reported) {
    std::scoped_lock lock(countsMutex_);
    auto deduct = [](uint32_t& count, uint32_t n) { count = count > n ? count - n : 0; };
    deduct(counts_.diskSpace, reported.diskSpace);
    deduct(counts_.monitorSpecific, reported.monitorSpecific);
    deduct(counts_.performance, reported.performance);
}

void AlertStore::SetConsoleAlertSender(ConsoleAlertSender sender) {
    std::scoped_lock lock(consoleMutex_);
    consoleSender_ = std::move(sender);
}

void AlertStore::SendConsoleAlert(const std::string& time, const std::string& title,
                                  const std::string& message) {
    if (!ctx_.enableConsoleSupport) {
        return;
    }
    ConsoleAlertSender sender;
    {
        std::scoped_lock lock(consoleMutex_);
        sender = consoleSender_;
    }
    if (sender) {
        sender(time, title, message);
    }
}

int AlertStore::Record(AlertRecord& record, bool queue, const char* function,
                       const std::string& title, unsigned summaryCategory, bool internal) {
    std::unique_lock lock(mutex_);
    const NewRecord r = AllocateRecord(lock);
    record.userId = CleanValue(ctx_.computerName);
    record.time = r.time;
    // The 64-bit uptime: the 32-bit tick wraps after 49.7 days.
    record.runningTime = ctx_.clock.UptimeSeconds();
    if (const platform::Status st = record.Save(r.path); !st.ok()) {
        companion::Logger(kModule, function)(1, "Unable to write the error message to the file ",
                                             r.path, " (", st.Text(), ")");
        return 0;
    }
    if (queue && queued_.count(r.slot) == 0) {
        // One write per line: a line is in the queue whole or not at all.
        const platform::Status st =
            platform::AppendToFile(queuePath_, r.path + "\r\n", platform::Durability::kData);
        if (st.ok()) {
            queued_.insert(r.slot);
        } else {
            companion::Logger(kModule, "AddToUnsentMsgFile")(
                1, "Couldn't open the unsent message file ", queuePath_, " (", st.Text(), ")");
        }
    }
    lock.unlock();

    ctx_.PostComponentStatus(
        kAlertNotifyComponent,
        std::string(internal ? "Recording internal/configuration error information for check "
                             : "Recording alert information for check ") +
            (title.empty() ? std::string("N/A") : title));
    Count(summaryCategory);
    ++recorded_;
    if (queue) {
        alertArrived_.Set();
    }
    SendConsoleAlert(r.time, title, record.message.value_or(""));
    return 1;
}

int AlertStore::NotifyError(int category, uint32_t levelMask, uint32_t actionCode,
                            std::string_view title, std::string_view source, std::string& message,
                            const std::optional<std::string>& info1,
                            const std::optional<std::string>& info2,
                            const std::optional<std::string>& info3, int autoResponse) {
    CleanMessage(message);
    AlertRecord record;
    record.message = message;
    record.messageSize = static_cast<long>(message.size());
    record.errorType = category == kCategoryInternal ? kCategoryTestAlert : category;
    record.alertLevel = levelMask;
    record.alertAction = actionCode;
    record.autoResponse = autoResponse == 1;
    record.appName = CleanValue(source);
    record.errorTitle = CleanValue(title);
    const std::optional<std::string>* infos[] = {&info1, &info2, &info3};
    for (size_t i = 0; i < 3; ++i) {
        if (*infos[i]) {
            record.additionalInfo[i] = CleanValue(**infos[i]);
        }
    }
    return Record(record, category != kCategoryInternal, "NotifyError", *record.errorTitle,
                  static_cast<unsigned>(category), false);
}

int AlertStore::NotifyInternalError(unsigned summaryCategory, std::string_view title,
                                    std::string_view source, std::string_view message) {
    std::string text(message);
    CleanMessage(text);
    AlertRecord record;
    record.message = text;
    record.messageSize = static_cast<long>(text.size());
    record.errorType = kCategoryInternal;
    record.appName = CleanValue(source);
    record.errorTitle = CleanValue(title);
    return Record(record, false, "NotifyInternalError", *record.errorTitle, summaryCategory, true);
}

std::optional<std::string> AlertStore::TakeNextQueued() {
    const companion::Logger log(kModule, "ReplaceWithRemainingFile");
    std::scoped_lock lock(mutex_);
    auto text = platform::ReadWholeFile(queuePath_);
    if (!text.ok() && text.status().err() != ENOENT) {
        companion::Logger(kModule, "CheckFileForFile")(1, "Unable to open the unsent message file ",
                                                       queuePath_, " (", text.status().Text(), ")");
        return std::nullopt;
    }
    const std::vector<std::string> lines =
        text.ok() ? ParseQueueLines(*text) : std::vector<std::string>{};
    if (lines.empty()) {
        platform::RemoveFile(queuePath_);
        queued_.clear();
        return std::nullopt;
    }
    const std::string rest = text->substr(EndOfHeadLine(*text));
    if (const platform::Status st =
            platform::WriteFileAtomically(queuePath_, rest, 0644, platform::Durability::kData);
        !st.ok()) {
        log(1, "Unable to open the temporary file ", queuePath_, ".XXXXXX.tmp (", st.Text(),
            "); the queue is rewritten in place");
        // Without room for a second file the head line is dropped in place, so that the same
        // record is not delivered again on every pass.
        if (const platform::Status again = platform::OverwriteFile(queuePath_, rest); !again.ok()) {
            log(1, "Unable to remove the delivered alert from the unsent message file ", queuePath_,
                " (", again.Text(), ")");
            return std::nullopt;
        }
    }
    const std::string& head = lines.front();
    if (const auto slot = SlotOf(head)) {
        if (const auto it = queued_.find(*slot); it != queued_.end()) {
            queued_.erase(it);
        }
        inDelivery_.insert(*slot);
    }
    delivering_.insert(std::this_thread::get_id());
    return head;
}

void AlertStore::BeginDelivery(const std::string& recordPath) {
    std::scoped_lock lock(mutex_);
    if (const auto slot = SlotOf(recordPath)) {
        inDelivery_.insert(*slot);
    }
    delivering_.insert(std::this_thread::get_id());
}

void AlertStore::EndDelivery(const std::string& recordPath) {
    {
        std::scoped_lock lock(mutex_);
        if (const auto slot = SlotOf(recordPath)) {
            if (const auto it = inDelivery_.find(*slot); it != inDelivery_.end()) {
                inDelivery_.erase(it);
            }
        }
        if (const auto it = delivering_.find(std::this_thread::get_id()); it != delivering_.end()) {
            delivering_.erase(it);
        }
    }
    slotFreed_.notify_all();
}

void AlertStore::SetAwaitingRetry(const std::string& recordPath, bool awaiting) {
    {
        std::scoped_lock lock(mutex_);
        const auto slot = SlotOf(recordPath);
        if (!slot) {
            return;
        }
        if (awaiting) {
            awaitingRetry_.insert(*slot);
        } else {
            awaitingRetry_.erase(*slot);
        }
    }
    if (!awaiting) {
        slotFreed_.notify_all();
    }
}

std::vector<std::string> AlertStore::AwaitingRetry() const {
    std::scoped_lock lock(mutex_);
    std::vector<std::string> paths;
    uint32_t slot = lastSlot_;
    for (uint32_t tries = 0; tries < ringSize_; ++tries) {
        slot = slot >= ringSize_ ? 1 : slot + 1;
        if (awaitingRetry_.count(slot) != 0) {
            paths.push_back(RecordPath(slot));
        }
    }
    return paths;
}

platform::Status AlertStore::UpdateRecord(const std::string& recordPath,
                                          const AlertRecord& record) {
    std::scoped_lock lock(mutex_);
    const auto modified = platform::ModifiedTime(recordPath);
    platform::Status st = record.Save(recordPath);
    if (st.ok() && modified.ok()) {
        platform::SetModifiedTime(recordPath, *modified);
    }
    return st;
}

std::vector<std::string> AlertStore::QueuedRecords() const {
    std::scoped_lock lock(mutex_);
    auto text = platform::ReadWholeFile(queuePath_);
    return text.ok() ? ParseQueueLines(*text) : std::vector<std::string>{};
}

}  // namespace kvzn::alerting
