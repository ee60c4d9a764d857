// Alert records in the data directory, the unsent queue and the daily counters.
#include "alerting/alert_records.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include "alerting/message_text.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "platform/profile_file.h"

namespace kvzn::alerting {

namespace {

constexpr std::string_view kModule = "kvZNAlertNotification";
constexpr int kAlertNotifyComponent = 12;

std::mutex& ConsoleSenderMutex() {
    static std::mutex m;
    return m;
}
ConsoleAlertSender& ConsoleSender() {
    static ConsoleAlertSender sender;
    return sender;
}

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

std::string CutAtControl(std::string_view line) {
    size_t n = 0;
    while (n < line.size() && static_cast<unsigned char>(line[n]) >= 0x20) {
        ++n;
    }
    return std::string(line.substr(0, n));
}

std::string ReadWhole(const std::string& path, bool& ok) {
    ok = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ok = errno == ENOENT;
        return {};
    }
    std::string text;
    char buf[8192];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        }
    }
    ok = n == 0;
    ::close(fd);
    return text;
}

void CountForSummary(unsigned category) {
    SummaryCounters& c = DailySummaryCounters();
    std::scoped_lock lock(c.lock);
    if (category == kCategoryDiskSpace) {
        ++c.diskSpace;
    } else if (category == kCategoryPrintServer || category == kCategoryInternal) {
        ++c.monitorSpecific;
    } else if (category == kCategoryPerformance) {
        ++c.performance;
    }
}

void SendConsoleAlert(const service::ServiceContext& ctx, const std::string& time,
                      const std::string& title, const std::string& message) {
    if (!ctx.enableConsoleSupport) {
        return;
    }
    ConsoleAlertSender sender;
    {
        std::scoped_lock lock(ConsoleSenderMutex());
        sender = ConsoleSender();
    }
    if (sender) {
        sender(time, title, message);
    }
}

struct RecordBase {
    std::string path;
    std::string time;
};

// The keys both kinds of record share after "ErrorType".
void WriteCommonTail(service::ServiceContext& ctx, platform::ProfileFile& rec,
                     const std::string& time, std::string_view source) {
    rec.Set(kRecordSection, "UserID", CleanValue(ctx.computerName));
    rec.Set(kRecordSection, "Time", time);
    rec.Set(kRecordSection, "AppName", CleanValue(source));
    rec.Set(kRecordSection, "Origin", "50");
    rec.Set(kRecordSection, "Sent", "N");
    // The 64-bit uptime: the 32-bit tick wraps after 49.7 days.
    rec.Set(kRecordSection, "RunningTime", std::to_string(ctx.clock.UptimeSeconds()));
}

void WriteClosingKeys(platform::ProfileFile& rec) {
    rec.Set(kRecordSection, "APILogged", "N");
    rec.Set(kRecordSection, "LoggedOn", "N/A");
    rec.Set(kRecordSection, "TestID", "N/A");
    rec.Set(kRecordSection, "ErrorXStatus", "5");
}

bool SaveRecord(const platform::ProfileFile& rec, const std::string& path, const char* function) {
    const platform::Status st = rec.Save(path);
    if (!st.ok()) {
        companion::Logger(kModule, function)(1, "Unable to write the error message to the file ",
                                             path, " (", st.Text(), ")");
        return false;
    }
    return true;
}

}  // namespace

SummaryCounters& DailySummaryCounters() {
    static SummaryCounters* counters = new SummaryCounters();
    return *counters;
}

void SetConsoleAlertSender(ConsoleAlertSender sender) {
    std::scoped_lock lock(ConsoleSenderMutex());
    ConsoleSender() = std::move(sender);
}

std::string RecordPath(const service::ServiceContext& ctx, uint32_t slot) {
    return ctx.dataDirectory + "/PRT" + std::to_string(slot) + ".err";
}

std::string QueuePath(const service::ServiceContext& ctx) {
    return ctx.dataDirectory + "/" + kQueueFileName;
}

namespace {

std::mutex& InDeliveryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::multiset<std::string>& InDelivery() {
    static std::multiset<std::string> paths;
    return paths;
}

bool IsInDelivery(const std::string& path) {
    std::scoped_lock lock(InDeliveryMutex());
    return InDelivery().count(path) != 0;
}

// Signalled whenever a delivery ends, so that an alert waiting for a free slot looks again.
std::condition_variable_any& SlotFreed() {
    static std::condition_variable_any freed;
    return freed;
}

// Records this thread is delivering: such a thread never waits for a slot (the slot it
// would wait for may be the one it holds).
thread_local int deliveriesOnThisThread = 0;

std::atomic<int64_t> waitForFreeSlotMs{30000};

}  // namespace

void SetWaitForFreeSlot(std::chrono::milliseconds wait) {
    waitForFreeSlotMs = wait.count();
}

void SetRecordInDelivery(const std::string& recordPath, bool inDelivery) {
    {
        std::scoped_lock lock(InDeliveryMutex());
        if (inDelivery) {
            InDelivery().insert(recordPath);
            ++deliveriesOnThisThread;
        } else {
            const auto it = InDelivery().find(recordPath);
            if (it != InDelivery().end()) {
                InDelivery().erase(it);
                --deliveriesOnThisThread;
            }
        }
    }
    if (!inDelivery) {
        SlotFreed().notify_all();
    }
}

namespace {

// "MaxStoredMsgs", written with its default when missing or 0.
uint32_t RingSize(service::ServiceContext& ctx) {
    companion::Registry& reg = ctx.registry;
    uint32_t maxStored = 0;
    if (reg.ReadNumber(config::kProductKey, config::value::kMaxStoredMsgs, maxStored) != 0) {
        companion::Logger(kModule, "GetNextFileNo")(
            2, "Warning: Error reading maximum stored error msg. no. from ", config::kProductKey);
    }
    if (maxStored == 0) {
        maxStored = kDefaultMaxStoredMsgs;
        reg.WriteNumber(config::kProductKey, config::value::kMaxStoredMsgs, maxStored);
    }
    return maxStored;
}

// A slot waits while its record is queued, being delivered, or its e-mail is still to be
// sent later.
bool SlotWaits(service::ServiceContext& ctx, uint32_t slot,
               const std::vector<std::string>& queued) {
    const std::string path = RecordPath(ctx, slot);
    if (IsInDelivery(path)) {
        return true;
    }
    for (const std::string& line : queued) {
        if (line == path) {
            return true;
        }
    }
    return ::strcasecmp(
               platform::GetProfileString(kRecordSection, "SMTPDelayed", "FALSE", path, 10).c_str(),
               "TRUE") == 0;
}

// Takes the slot for the next record: the ring position after "StoredMsgNo", passing over
// slots that wait. When every slot waits, 0 unless `giveUpOldest`; then the oldest waiting
// alert is given up. A slot taken becomes "StoredMsgNo".
uint32_t TakeSlot(service::ServiceContext& ctx, bool giveUpOldest) {
    const companion::Logger log(kModule, "GetNextFileNo");
    companion::Registry& reg = ctx.registry;
    const uint32_t maxStored = RingSize(ctx);
    uint32_t last = 0;
    reg.ReadNumber(config::kProductKey, config::value::kStoredMsgNo, last);

    const std::vector<std::string> queued = ReadQueue(QueuePath(ctx));
    auto isWaiting = [&](uint32_t slot) { return SlotWaits(ctx, slot, queued); };
    auto after = [&](uint32_t slot) { return slot + 1 > maxStored ? 1 : slot + 1; };

    uint32_t next = after(last);
    const uint32_t oldest = next;
    bool found = false;
    for (uint32_t tries = 0; tries < maxStored; ++tries, next = after(next)) {
        if (!isWaiting(next)) {
            found = true;
            break;
        }
    }
    if (!found) {
        if (!giveUpOldest) {
            return 0;
        }
        // The oldest record still waiting is given up; never the one being delivered, whose
        // channels are reading it (it would go out with the new alert's text, and again).
        next = oldest;
        for (uint32_t tries = 0; tries < maxStored && IsInDelivery(RecordPath(ctx, next));
             ++tries) {
            next = after(next);
        }
        const std::string path = RecordPath(ctx, next);
        log(2, "Warning: every alert slot is waiting for delivery; the undelivered alert \"",
            platform::GetProfileString(kRecordSection, "ErrorTitle", "N/A", path), ": ",
            platform::GetProfileString(kRecordSection, "Message", "", path), "\" (", path,
            ") is overwritten by a new alert");
    }
    if (reg.WriteNumber(config::kProductKey, config::value::kStoredMsgNo, next) != 0) {
        log(1, "Error writing StoredMsgNo to the registry key ", config::kProductKey);
    }
    return next;
}

}  // namespace

uint32_t GetNextFileNo(service::ServiceContext& ctx) {
    return TakeSlot(ctx, true);
}

std::vector<std::string> ReadQueue(const std::string& queuePath) {
    bool ok = false;
    return ParseQueueLines(ReadWhole(queuePath, ok));
}

std::vector<std::string> ParseQueueLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = CutAtControl(text.substr(pos, end - pos));
        if (!line.empty()) {
            lines.push_back(std::move(line));
        }
        pos = end + 1;
    }
    return lines;
}

int CheckFileForFile(const std::string& queuePath, const std::string& recordPath) {
    bool ok = false;
    ReadWhole(queuePath, ok);
    if (!ok) {
        companion::Logger(kModule, "CheckFileForFile")(1, "Unable to open the unsent message file ",
                                                       queuePath);
        return 0;
    }
    for (const std::string& line : ReadQueue(queuePath)) {
        if (line == recordPath) {
            return 1;
        }
    }
    return 0;
}

int AddToUnsentMsgFile(const std::string& recordPath, const std::string& queuePath) {
    const int fd = ::open(queuePath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        companion::Logger(kModule, "AddToUnsentMsgFile")(
            1, "Couldn't open the unsent message file ", queuePath);
        return 0;
    }
    // One write per line: a line is in the queue whole or not at all.
    const std::string line = recordPath + "\r\n";
    ssize_t n;
    do {
        n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    ::fsync(fd);
    ::close(fd);
    if (n != static_cast<ssize_t>(line.size())) {
        companion::Logger(kModule, "AddToUnsentMsgFile")(
            1, "Couldn't open the unsent message file ", queuePath);
        return 0;
    }
    return 1;
}

int ReplaceWithRemainingFile(const std::string& queuePath) {
    const companion::Logger log(kModule, "ReplaceWithRemainingFile");
    bool ok = false;
    const std::string text = ReadWhole(queuePath, ok);
    const size_t eol = text.find('\n');
    const std::string rest = eol == std::string::npos ? std::string() : text.substr(eol + 1);
    const platform::Status st = platform::WriteFileAtomically(queuePath, rest);
    if (st.ok()) {
        return 1;
    }
    log(1, "Unable to open the temporary file ", queuePath, ".XXXXXX.tmp (", st.Text(),
        "); the queue is rewritten in place");
    // Without room for a second file, drop the head line in place so that the same record is
    // not delivered again on every pass.
    const int fd = ::open(queuePath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        log(1, "Unable to remove the delivered alert from the unsent message file ", queuePath);
        return 0;
    }
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    ::close(fd);
    if (n != static_cast<ssize_t>(rest.size())) {
        log(1, "Unable to remove the delivered alert from the unsent message file ", queuePath);
        return 0;
    }
    return 1;
}

namespace {

// Allocates the slot and the record time. The caller holds the alert-file lock until the
// record is written and queued: a slot given up when the ring is full must not be taken
// off the queue by the dispatcher in between (its new alert would be queued, and sent, twice).
// When every slot waits for delivery, the alert waits (the lock released) for the
// dispatcher to free one, for at most the set wait (30 s); only then, or when the service
// stops, is the oldest waiting alert given up. A delivering thread never waits.
RecordBase NewRecord(service::ServiceContext& ctx, std::unique_lock<std::mutex>& lock) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(waitForFreeSlotMs.load());
    uint32_t slot = 0;
    while ((slot = TakeSlot(ctx, false)) == 0 && deliveriesOnThisThread == 0 && !ctx.Stopping() &&
           std::chrono::steady_clock::now() < deadline) {
        SlotFreed().wait_until(
            lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(1)));
    }
    RecordBase r;
    r.time = StandardTimeText(ctx.clock.LocalNow(), ctx.DateFormat());
    r.path = RecordPath(ctx, slot != 0 ? slot : GetNextFileNo(ctx));
    return r;
}

}  // namespace

int NotifyError(service::ServiceContext& ctx, int category, uint32_t levelMask, uint32_t actionCode,
                std::string_view title, std::string_view source, std::string& message,
                const std::optional<std::string>& info1, const std::optional<std::string>& info2,
                const std::optional<std::string>& info3, int autoResponse) {
    std::unique_lock lock(ctx.locks.alertFile);
    const RecordBase base = NewRecord(ctx, lock);
    CleanMessage(message);
    const std::string cleanTitle = CleanValue(title);

    platform::ProfileFile rec;
    rec.Set(kRecordSection, "Message", message);
    rec.Set(kRecordSection, "MessageSize", std::to_string(message.size()));
    rec.Set(kRecordSection, "ErrorType",
            std::to_string(category == kCategoryInternal ? kCategoryTestAlert : category));
    rec.Set(kRecordSection, "AlertLevel", std::to_string(levelMask));
    rec.Set(kRecordSection, "AlertAction", std::to_string(actionCode));
    rec.Set(kRecordSection, "Auto-Response", autoResponse == 1 ? "1" : "0");
    WriteCommonTail(ctx, rec, base.time, source);
    rec.Set(kRecordSection, "ErrorTitle", cleanTitle);
    const std::optional<std::string>* infos[] = {&info1, &info2, &info3};
    for (int i = 0; i < 3; ++i) {
        if (*infos[i]) {
            rec.Set(kRecordSection, "AdditionalInfo" + std::to_string(i + 1),
                    CleanValue(**infos[i]));
        }
    }
    WriteClosingKeys(rec);
    if (!SaveRecord(rec, base.path, "NotifyError")) {
        return 0;
    }
    if (category != kCategoryInternal) {
        // Check and append under the same hold of the lock: a path is never listed twice.
        const std::string queue = QueuePath(ctx);
        if (!CheckFileForFile(queue, base.path)) {
            AddToUnsentMsgFile(base.path, queue);
        }
    }
    lock.unlock();

    ctx.PostComponentStatus(kAlertNotifyComponent,
                            "Recording alert information for check " +
                                (cleanTitle.empty() ? std::string("N/A") : cleanTitle));
    CountForSummary(static_cast<unsigned>(category));
    if (category != kCategoryInternal) {
        ctx.alertEvent.Set();
    }
    SendConsoleAlert(ctx, base.time, cleanTitle, message);
    return 1;
}

int NotifyInternalError(service::ServiceContext& ctx, unsigned summaryCategory,
                        std::string_view title, std::string_view source, std::string_view message) {
    std::unique_lock lock(ctx.locks.alertFile);
    const RecordBase base = NewRecord(ctx, lock);
    std::string text(message);
    CleanMessage(text);
    const std::string cleanTitle = CleanValue(title);

    platform::ProfileFile rec;
    rec.Set(kRecordSection, "Message", text);
    rec.Set(kRecordSection, "MessageSize", std::to_string(text.size()));
    rec.Set(kRecordSection, "ErrorType", std::to_string(kCategoryInternal));
    WriteCommonTail(ctx, rec, base.time, source);
    rec.Set(kRecordSection, "ErrorTitle", cleanTitle);
    WriteClosingKeys(rec);
    if (!SaveRecord(rec, base.path, "NotifyInternalError")) {
        return 0;
    }
    lock.unlock();
    ctx.PostComponentStatus(kAlertNotifyComponent,
                            "Recording internal/configuration error information for check " +
                                (cleanTitle.empty() ? std::string("N/A") : cleanTitle));
    CountForSummary(summaryCategory);
    SendConsoleAlert(ctx, base.time, cleanTitle, text);
    return 1;
}

}  // namespace kvzn::alerting
