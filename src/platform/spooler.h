// The print spooler: printers, their queued jobs, and the operations the monitor and the
// printer pages carry out on them.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace kvzn::platform {

// Printer status bits, as the printer status texts test them.
inline constexpr uint32_t kPrinterPaused = 0x1;
inline constexpr uint32_t kPrinterError = 0x2;
inline constexpr uint32_t kPrinterPaperJam = 0x8;
inline constexpr uint32_t kPrinterPaperOut = 0x10;
inline constexpr uint32_t kPrinterPaperProblem = 0x40;
inline constexpr uint32_t kPrinterOffline = 0x80;
inline constexpr uint32_t kPrinterOutputBinFull = 0x800;
inline constexpr uint32_t kPrinterNotAvailable = 0x1000;
inline constexpr uint32_t kPrinterNoToner = 0x40000;
inline constexpr uint32_t kPrinterOutOfMemory = 0x200000;  // never reported by CUPS
inline constexpr uint32_t kPrinterDoorOpen = 0x400000;

// Printer attribute bits (kept apart from the status bits, whose 0x400 means otherwise).
inline constexpr uint32_t kPrinterAttributeWorkOffline = 0x400;

// Job status bits, as the job status texts test them.
inline constexpr uint32_t kJobPaused = 0x1;  // held
inline constexpr uint32_t kJobError = 0x2;
inline constexpr uint32_t kJobDeleting = 0x4;
inline constexpr uint32_t kJobSpooling = 0x8;  // never reported by CUPS
inline constexpr uint32_t kJobPrinting = 0x10;
inline constexpr uint32_t kJobOffline = 0x20;
inline constexpr uint32_t kJobPaperOut = 0x40;
inline constexpr uint32_t kJobPrinted = 0x80;
inline constexpr uint32_t kJobDeleted = 0x100;
inline constexpr uint32_t kJobBlocked = 0x200;
inline constexpr uint32_t kJobUserIntervention = 0x400;
inline constexpr uint32_t kJobRestarting = 0x800;  // never reported by CUPS

// IPP printer-state and job-state values.
inline constexpr int kIppPrinterIdle = 3;
inline constexpr int kIppPrinterProcessing = 4;
inline constexpr int kIppPrinterStopped = 5;
inline constexpr int kIppJobPending = 3;
inline constexpr int kIppJobHeld = 4;
inline constexpr int kIppJobProcessing = 5;
inline constexpr int kIppJobStopped = 6;
inline constexpr int kIppJobCanceled = 7;
inline constexpr int kIppJobAborted = 8;
inline constexpr int kIppJobCompleted = 9;

struct PrinterInfo {
    std::string name{};
    uint32_t status = 0;      // kPrinter* status bits
    uint32_t attributes = 0;  // kPrinterAttributeWorkOffline when not accepting jobs
    bool accepting = true;
    int state = kIppPrinterIdle;         // raw printer-state
    std::vector<std::string> reasons{};  // raw printer-state-reasons ("none" left out)
    std::string stateMessage{};          // printer-state-message, may be empty
    std::string deviceUri{};             // the queue's port
    int jobCount = 0;                    // not-completed jobs in the snapshot
};

struct JobInfo {
    int id = 0;  // global across printers
    std::string printer{};
    std::string document{};              // job-name
    std::string user{};                  // job-originating-user-name
    uint32_t status = 0;                 // kJob* bits
    int state = kIppJobPending;          // raw job-state
    std::vector<std::string> reasons{};  // raw job-state-reasons
    int pages = 0;                       // job-impressions; 0 when the client sent none
    int pagesPrinted = 0;                // job-impressions-completed
    int sheetsPrinted = 0;               // job-media-sheets-completed
    // Bytes as job-k-octets * 1024: the spooler reports whole kilobytes rounded up, so
    // this is never less than the real size and exceeds it by at most 1023 bytes.
    uint64_t size = 0;
    int priority = 50;  // 1 (low) to 100 (high)
    int position = 0;   // 1-based place in the printer's queue

    // The page count the checks compare: a job with no count counts as one page.
    int PageCount() const { return pages > 0 ? pages : 1; }
};

struct PrinterQueue {
    PrinterInfo printer{};
    std::vector<JobInfo> jobs{};  // queue order
};

struct SpoolerSnapshot {
    std::vector<PrinterQueue> printers{};  // the spooler's order
    // The printer of that name (compared without regard to case, as CUPS does), or null.
    const PrinterQueue* Find(std::string_view name) const;
};

// One spooler connection, opened on first use and kept while it is in use.
// An absent or hung spooler never holds a call for long: a call gives up after the connect
// time-out, or after one I/O time-out plus at most a second (the client library's wait for
// the scheduler's interim reply), plus the discovery time-out for ListPorts and Redirect.
// The Status then says so (ENOENT or ECONNREFUSED for a socket nobody serves, EHOSTDOWN
// for a host that refuses, ETIMEDOUT for no answer) and the next call connects afresh.
// Errors of the spooler keep their meaning: ENOENT no such printer or job, EACCES not
// allowed, EPERM not possible in the printer's or job's state, EINVAL refused request.
// A spooler that drops the connection never raises SIGPIPE in the caller.
// @threadsafety One thread at a time per object; give each thread its own Spooler.
class Spooler {
  public:
    virtual ~Spooler() = default;

    // Every printer with its not-completed jobs, read with one request for the printers and
    // one for the jobs of all printers, however many there are.
    virtual Result<SpoolerSnapshot> Snapshot() = 0;

    virtual Status PausePrinter(std::string_view printer) = 0;
    virtual Status ResumePrinter(std::string_view printer) = 0;
    // Deletes every job of the printer, held ones included.
    virtual Status PurgeJobs(std::string_view printer) = 0;
    // Off-line: the queue rejects new jobs (and keeps printing queued ones); on-line: it
    // accepts them again.
    virtual Status SetOffline(std::string_view printer) = 0;
    virtual Status SetOnline(std::string_view printer) = 0;

    // The ports a printer may be redirected to: the device URIs of the existing queues, in
    // the spooler's order, then the devices the spooler discovers within the discovery
    // time-out. Without duplicates; file: URIs and bare scheme entries ("socket") are never
    // offered. Fails only when the queues cannot be read; a failed discovery gives the
    // queues' ports alone.
    virtual Result<std::vector<std::string>> ListPorts() = 0;
    // Points the printer at `port`, which must be one ListPorts offers (file: URIs never
    // are); any other port is refused with EINVAL, an unknown printer with ENOENT, and
    // nothing is changed. Devices are discovered only for a port no queue uses.
    virtual Status Redirect(std::string_view printer, std::string_view port) = 0;

    // Job operations fail with ENOENT, touching nothing, unless job `jobId` is queued on
    // `printer` (job ids are unique across all printers).
    virtual Status PauseJob(std::string_view printer, int jobId) = 0;
    virtual Status ResumeJob(std::string_view printer, int jobId) = 0;
    // Prints the job again from the start: a waiting, held or printing job is held and
    // released; a finished one (completed, canceled, aborted) is restarted from its kept
    // files.
    virtual Status RestartJob(std::string_view printer, int jobId) = 0;
    virtual Status DeleteJob(std::string_view printer, int jobId) = 0;
};

struct SpoolerOptions {
    // "/path/to/socket", "host" or "host:port"; empty: the client default (CUPS_SERVER,
    // client.conf, the local scheduler).
    std::string server{};
    std::chrono::milliseconds connectTimeout{3000};
    std::chrono::milliseconds ioTimeout{5000};  // per read or write
    std::chrono::seconds discoveryTimeout{2};   // device discovery of ListPorts, at least 1
};

// The spooler of this machine (CUPS). Connects on first use.
std::unique_ptr<Spooler> MakeSpooler(SpoolerOptions options = {});

// Status bits of a printer from its raw printer-state and printer-state-reasons. Only
// reasons without a suffix or with "-error" count; "-warning" and "-report" ones do not,
// except "offline" (CUPS reports "offline-report"), which counts with any suffix. A stopped
// printer is paused when "paused" is among its reasons and in error otherwise; "other" and
// any "-error" reason without a bit of its own give the error bit.
uint32_t PrinterStatusBits(int state, const std::vector<std::string>& reasons);

// Status bits of a job from its raw job-state and job-state-reasons. A stopped job takes
// off-line and paper-out from its printer's status bits, and user intervention from a jam,
// paper problem, full output bin, empty toner or open door; only when none of these applies
// is it in error. An aborted job is in error, and blocked as well when its document could
// not be converted.
uint32_t JobStatusBits(int state, const std::vector<std::string>& reasons, uint32_t printerStatus);

}  // namespace kvzn::platform
