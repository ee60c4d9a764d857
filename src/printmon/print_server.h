// What the printer checks, the printer responses and the print server monitor share: the
// records of monitored printers and their checks, and the spooler as one cycle sees it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/check_fields.h"
#include "platform/spooler.h"
#include "platform/status.h"
#include "printmon/device_probe.h"
#include "service/check_rule.h"
#include "service/service_context.h"

namespace kvzn::printmon {

inline constexpr int kPrintServerComponent = 25;  // "Print Server Monitor"
inline constexpr const char* kPrintServerModule = "kvZNPrintServerMonitor";

// The progress of the job a printer is printing, as the stalled-printing check last saw it.
struct PrintProgress {
    int jobId = 0;  // 0: no job was being printed
    int pagesPrinted = 0;
    int sheetsPrinted = 0;
    int jobState = 0;
    std::string printerMessage;
    uint32_t sinceTick = 0;  // when this progress was first seen
};

// One of the checks of a monitored printer.
struct PrinterCheck {
    std::string title;  // config::printer_check::* text; decides which check runs
    // "Enabled", "AlertLevel", "ActionToTake", "CountBeforeAction", "NonNotificationPeriod",
    // "Command" (the target port of a redirect), "Threshold"; restart = "ActionToTake" 2.
    config::CommonCheckFields fields;
    bool notifyOwner = false;    // "NotifyOwner" = 1
    bool includePaused = false;  // "IncludePaused" = 1
    int32_t lastValue = -1;      // last measured value; -1 = none in this cycle
    // lastAlertTick, failureCount, and lastStatus = the check's status text (the most
    // recent description, empty until first checked).
    service::CheckState state;
    PrintProgress progress{};  // the stalled-printing check's record of the current job
};

struct MonitoredPrinter {
    std::string name;                  // "Printer": the queue's name as the spooler knows it
    std::vector<PrinterCheck> checks;  // in the order of the check table
    std::string stateMessage;          // the spooler's message for the printer at the last pass
    DeviceReachability device;         // the last probe of its network device
};

// The spooler as the printer checks of one cycle see it: one snapshot of every printer
// with its jobs (two requests), read when first needed and read again after anything that
// changed the spooler, so that an immediate re-check sees the effect of a response.
// @threadsafety One thread at a time.
class SpoolerSession {
  public:
    explicit SpoolerSession(platform::Spooler& spooler) : spooler_(spooler) {}

    platform::Spooler& spooler() { return spooler_; }
    // The current snapshot, read now when none is held; the error of that read otherwise.
    platform::Result<const platform::SpoolerSnapshot*> Current();
    // The next Current() reads the spooler again.
    void Invalidate() { snapshot_.reset(); }
    // How many snapshots this session has read (for tests of the request count).
    int Reads() const { return reads_; }
    // Printers whose device did not answer the cycle's probe: every snapshot of the session
    // shows them with the off-line status bit.
    void SetUnreachableDevices(std::vector<std::string> printers);

  private:
    platform::Spooler& spooler_;
    std::vector<std::string> unreachable_;
    std::optional<platform::Result<platform::SpoolerSnapshot>> snapshot_;
    int reads_ = 0;
};

// An open printer: a printer the cycle's snapshot holds. The checks get a null handle when
// the printer could not be opened (spooler unreachable, no such printer).
struct PrinterHandle {
    SpoolerSession* session = nullptr;
    std::string name;
};

// Opens `name` in the session: the handle when the session's snapshot can be read and holds
// that printer (compared without regard to case), else nothing.
std::optional<PrinterHandle> OpenPrinter(SpoolerSession& session, std::string_view name);

// The printer's current state and jobs through an open handle. Fails with the error of the
// spooler read, or ENOENT when the printer has gone since it was opened.
platform::Result<platform::PrinterQueue> ReadPrinter(const PrinterHandle& handle);

// Sends an owner notice to `user`; the default sends a network message.
using OwnerNotifier = std::function<void(const std::string& user, const std::string& text)>;

// What the printer checks and the printer responses need besides the printer itself.
struct PrintEnv {
    service::ServiceContext& ctx;
    SpoolerSession& session;
    // "PrintActionWaitTime" in seconds; read from the product key at the first printer
    // response and kept (0 when missing).
    std::optional<uint32_t> printActionWaitTime{};
    OwnerNotifier ownerNotifier{};  // empty: a network message to the user
};

}  // namespace kvzn::printmon
