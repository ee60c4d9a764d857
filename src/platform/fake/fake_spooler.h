// An in-memory print spooler whose printers, jobs and failures a test scripts by hand.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/spooler.h"

namespace kvzn::platform {

// Printers and jobs are kept as the test gives them, status bits included; operations
// change them as the real spooler would:
// - PausePrinter/ResumePrinter set/clear the paused bit, the "paused" reason and state 5;
// - SetOffline/SetOnline clear/set `accepting` and the work-off-line attribute;
// - PurgeJobs and DeleteJob remove the jobs (the snapshot lists only unfinished jobs);
// - PauseJob holds a job (paused bit, printing cleared), ResumeJob releases a held one
//   (EPERM otherwise), RestartJob makes it a waiting job again with no pages printed;
// - Redirect changes the device URI, only to a port ListPorts offers (the queues' device
//   URIs and the discovered ports set by the test, without file: URIs).
// Printer names compare without regard to case. Unknown printers and jobs of another
// printer fail with ENOENT. Every call is recorded as "Method args", e.g. "PausePrinter Q1",
// "DeleteJob Q1 7", "Redirect Q1 socket://h", "Snapshot", in the order of the calls, failed
// ones included.
// @threadsafety Always.
class FakeSpooler final : public Spooler {
  public:
    Result<SpoolerSnapshot> Snapshot() override;
    Status PausePrinter(std::string_view printer) override;
    Status ResumePrinter(std::string_view printer) override;
    Status PurgeJobs(std::string_view printer) override;
    Status SetOffline(std::string_view printer) override;
    Status SetOnline(std::string_view printer) override;
    Result<std::vector<std::string>> ListPorts() override;
    Status Redirect(std::string_view printer, std::string_view port) override;
    Status PauseJob(std::string_view printer, int jobId) override;
    Status ResumeJob(std::string_view printer, int jobId) override;
    Status RestartJob(std::string_view printer, int jobId) override;
    Status DeleteJob(std::string_view printer, int jobId) override;

    // Adds the printer at the end of the list, or replaces the one of that name (keeping
    // its place and its jobs).
    void SetPrinter(const PrinterInfo& printer);
    void RemovePrinter(std::string_view name);
    // Appends the job to the queue of job.printer, which must exist. A job id of 0 gets
    // the next free id. Returns the id, or 0 when the printer does not exist.
    int AddJob(JobInfo job);
    // Replaces the job of the same id, keeping its place; false when there is none.
    bool SetJob(const JobInfo& job);
    void SetDiscoveredPorts(std::vector<std::string> ports);

    // Makes every later call of `method` ("PausePrinter", "Snapshot", ...; "*" for all
    // methods) fail with `status`, changing nothing, until ClearFailures.
    void SetFailure(const std::string& method, Status status);
    void ClearFailures();

    std::vector<std::string> Calls() const;
    void ClearCalls();

  private:
    struct Queue {
        PrinterInfo printer;
        std::vector<JobInfo> jobs;
    };

    // Records the call; the scripted failure of `method`, if any.
    Status Begin(std::string_view method, std::string_view args);
    Queue* FindQueue(std::string_view name);
    Result<Queue*> QueueFor(std::string_view name);
    Result<JobInfo*> JobFor(std::string_view printer, int jobId);
    std::vector<std::string> PortsLocked() const;

    mutable std::mutex mutex_;
    std::vector<Queue> queues_;
    std::vector<std::string> discovered_;
    std::map<std::string, Status, std::less<>> failures_;
    std::vector<std::string> calls_;
    int nextJobId_ = 1;
};

}  // namespace kvzn::platform
