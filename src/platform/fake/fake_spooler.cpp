// In-memory print spooler for unit tests.
#include "platform/fake/fake_spooler.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/text.h"

namespace kvzn::platform {

namespace {

bool Offerable(std::string_view uri) {
    const size_t colon = uri.find(':');
    return colon != std::string_view::npos && colon > 0 && colon + 1 < uri.size() &&
           !(uri.size() >= 5 && EqualsNoCase(uri.substr(0, 5), "file:"));
}

}  // namespace

Status FakeSpooler::Begin(std::string_view method, std::string_view args) {
    calls_.push_back(args.empty() ? std::string(method)
                                  : std::string(method) + " " + std::string(args));
    if (auto it = failures_.find(method); it != failures_.end()) {
        return it->second;
    }
    if (auto it = failures_.find("*"); it != failures_.end()) {
        return it->second;
    }
    return Status::Ok();
}

FakeSpooler::Queue* FakeSpooler::FindQueue(std::string_view name) {
    for (Queue& queue : queues_) {
        if (EqualsNoCase(queue.printer.name, name)) {
            return &queue;
        }
    }
    return nullptr;
}

Result<FakeSpooler::Queue*> FakeSpooler::QueueFor(std::string_view name) {
    if (Queue* queue = FindQueue(name)) {
        return queue;
    }
    return Status::Error(ENOENT, "printer " + std::string(name) + " does not exist");
}

Result<JobInfo*> FakeSpooler::JobFor(std::string_view printer, int jobId) {
    auto queue = QueueFor(printer);
    if (!queue.ok()) {
        return queue.status();
    }
    for (JobInfo& job : (*queue)->jobs) {
        if (job.id == jobId) {
            return &job;
        }
    }
    return Status::Error(
        ENOENT, "job " + std::to_string(jobId) + " is not on printer " + std::string(printer));
}

std::vector<std::string> FakeSpooler::PortsLocked() const {
    std::vector<std::string> ports;
    auto add = [&](const std::string& port) {
        if (Offerable(port) && std::find(ports.begin(), ports.end(), port) == ports.end()) {
            ports.push_back(port);
        }
    };
    for (const Queue& queue : queues_) {
        add(queue.printer.deviceUri);
    }
    for (const std::string& port : discovered_) {
        add(port);
    }
    return ports;
}

Result<SpoolerSnapshot> FakeSpooler::Snapshot() {
    std::scoped_lock lock(mutex_);
    if (Status failed = Begin("Snapshot", {}); !failed.ok()) {
        return failed;
    }
    SpoolerSnapshot snapshot;
    for (const Queue& queue : queues_) {
        PrinterQueue& copy =
            snapshot.printers.emplace_back(PrinterQueue{queue.printer, queue.jobs});
        copy.printer.jobCount = static_cast<int>(copy.jobs.size());
        for (size_t i = 0; i < copy.jobs.size(); ++i) {
            copy.jobs[i].printer = copy.printer.name;
            copy.jobs[i].position = static_cast<int>(i) + 1;
        }
    }
    return snapshot;
}

Status FakeSpooler::PausePrinter(std::string_view printer) {
    std::scoped_lock lock(mutex_);
    if (Status failed = Begin("PausePrinter", printer); !failed.ok()) {
        return failed;
    }
    auto queue = QueueFor(printer);
    if (!queue.ok()) {
        return queue.status();
    }
    PrinterInfo& info = (*queue)->printer;
    info.state = kIppPrinterStopped;
    info.status |= kPrinterPaused;
    if (std::find(info.reasons.begin(), info.reasons.end(), "paused") == info.reasons.end()) {
        info.reasons.emplace_back("paused");
    }
    return Status::Ok();
}

Status FakeSpooler::ResumePrinter(std::string_view printer) {
    std::scoped_lock lock(mutex_);
    if (Status failed = Begin("ResumePrinter", printer); !failed.ok()) {
        return failed;
    }
    auto queue = QueueFor(printer);
    if (!queue.ok()) {
        return queue.status();
    }
    PrinterInfo& info = (*queue)->printer;
    info.state = kIppPrinterIdle;
    info.status &= ~kPrinterPaused;
    std::erase(info.reasons, "paused");
    return Status::Ok();
}

Status FakeSpooler::PurgeJobs(std::string_view printer) {
    std::scoped_lock lock(mutex_);
    if (Status failed = Begin("PurgeJobs", printer); !failed.ok()) {
        return failed;
    }
    auto queue = QueueFor(printer);
    if (!queue.ok()) {
        return queue.status();
    }
    (*queue)->jobs.clear();
    return Status::Ok();
}

Status FakeSpooler::SetOffline(std::string_view printer) {
    std::scoped_lock lock(mutex_);
    if (Status failed = Begin("SetOffline", printer); !failed.ok()) {
        return failed;
    }
    auto queue = QueueFor(printer);
    if (!queue.ok()) {
        return queue.status();
    }
    (*queue)->printer.accepting = false;
    (*queue)->printer.attributes |= kPrinterAttributeWorkOffline;
    return Status::Ok();
}

Status FakeSpooler::SetOnline(std::string_view printer) {
    std::scoped_lock lock(mutex_);
    if (Status failed = Begin("SetOnline", printer); !failed.ok()) {
        return failed;
    }
    auto queue = QueueFor(printer);
    if (!queue.ok()) {
        return queue.status();
    }
    (*queue)->printer.accepting = true;
    (*queue)->printer.attributes &= ~kPrinterAttributeWorkOffline;
    return Status::Ok();
}

Result<std::vector<std::string>> FakeSpooler::ListPorts() {
    std::scoped_lock lock(mutex_);
    if (Status failed = Begin("ListPorts", {}); !failed.ok()) {
        return failed;
    }
    return PortsLocked();
}

Status FakeSpooler::Redirect(std::string_view printer, std::string_view port) {
    std::scoped_lock lock(mutex_);
    if (Status failed = Begin("Redirect", std::string(printer) + " " + std::string(port));
        !failed.ok()) {
        return failed;
    }
    auto queue = QueueFor(printer);
    if (!queue.ok()) {
        return queue.status();
    }
    const auto ports = PortsLocked();
    if (std::find(ports.begin(), ports.end(), port) == ports.end()) {
        return Status::Error(EINVAL, "the spooler offers no port " + std::string(port));
    }
    (*queue)->printer.deviceUri = std::string(port);
    return Status::Ok();
}

Status FakeSpooler::PauseJob(std::string_view printer, int jobId) {
    std::scoped_lock lock(mutex_);
    if (Status failed = Begin("PauseJob", std::string(printer) + " " + std::to_string(jobId));
        !failed.ok()) {
        return failed;
    }
    auto job = JobFor(printer, jobId);
    if (!job.ok()) {
        return job.status();
    }
    (*job)->state = kIppJobHeld;
    (*job)->status = ((*job)->status & ~kJobPrinting) | kJobPaused;
    return Status::Ok();
}

Status FakeSpooler::ResumeJob(std::string_view printer, int jobId) {
    std::scoped_lock lock(mutex_);
    if (Status failed = Begin("ResumeJob", std::string(printer) + " " + std::to_string(jobId));
        !failed.ok()) {
        return failed;
    }
    auto job = JobFor(printer, jobId);
    if (!job.ok()) {
        return job.status();
    }
    if ((*job)->state != kIppJobHeld) {
        return Status::Error(EPERM, "job " + std::to_string(jobId) + " is not held");
    }
    (*job)->state = kIppJobPending;
    (*job)->status &= ~kJobPaused;
    return Status::Ok();
}

Status FakeSpooler::RestartJob(std::string_view printer, int jobId) {
    std::scoped_lock lock(mutex_);
    if (Status failed = Begin("RestartJob", std::string(printer) + " " + std::to_string(jobId));
        !failed.ok()) {
        return failed;
    }
    auto job = JobFor(printer, jobId);
    if (!job.ok()) {
        return job.status();
    }
    (*job)->state = kIppJobPending;
    (*job)->status = 0;
    (*job)->pagesPrinted = 0;
    return Status::Ok();
}

Status FakeSpooler::DeleteJob(std::string_view printer, int jobId) {
    std::scoped_lock lock(mutex_);
    if (Status failed = Begin("DeleteJob", std::string(printer) + " " + std::to_string(jobId));
        !failed.ok()) {
        return failed;
    }
    auto job = JobFor(printer, jobId);
    if (!job.ok()) {
        return job.status();
    }
    std::erase_if(FindQueue(printer)->jobs, [&](const JobInfo& j) { return j.id == jobId; });
    return Status::Ok();
}

void FakeSpooler::SetPrinter(const PrinterInfo& printer) {
    std::scoped_lock lock(mutex_);
    if (Queue* queue = FindQueue(printer.name)) {
        queue->printer = printer;
    } else {
        queues_.push_back({printer, {}});
    }
}

void FakeSpooler::RemovePrinter(std::string_view name) {
    std::scoped_lock lock(mutex_);
    std::erase_if(queues_,
                  [&](const Queue& queue) { return EqualsNoCase(queue.printer.name, name); });
}

int FakeSpooler::AddJob(JobInfo job) {
    std::scoped_lock lock(mutex_);
    Queue* queue = FindQueue(job.printer);
    if (!queue) {
        return 0;
    }
    if (job.id <= 0) {
        job.id = nextJobId_;
    }
    nextJobId_ = std::max(nextJobId_, job.id + 1);
    queue->jobs.push_back(std::move(job));
    return queue->jobs.back().id;
}

bool FakeSpooler::SetJob(const JobInfo& job) {
    std::scoped_lock lock(mutex_);
    for (Queue& queue : queues_) {
        for (JobInfo& existing : queue.jobs) {
            if (existing.id == job.id) {
                existing = job;
                existing.printer = queue.printer.name;
                return true;
            }
        }
    }
    return false;
}

void FakeSpooler::SetDiscoveredPorts(std::vector<std::string> ports) {
    std::scoped_lock lock(mutex_);
    discovered_ = std::move(ports);
}

void FakeSpooler::SetFailure(const std::string& method, Status status) {
    std::scoped_lock lock(mutex_);
    failures_[method] = std::move(status);
}

void FakeSpooler::ClearFailures() {
    std::scoped_lock lock(mutex_);
    failures_.clear();
}

std::vector<std::string> FakeSpooler::Calls() const {
    std::scoped_lock lock(mutex_);
    return calls_;
}

void FakeSpooler::ClearCalls() {
    std::scoped_lock lock(mutex_);
    calls_.clear();
}

}  // namespace kvzn::platform
