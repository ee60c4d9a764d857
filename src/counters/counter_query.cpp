// The provider table of the performance counters and the query that collects them.
#include "counters/counter_query.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "platform/text.h"

namespace kvzn::counters {

namespace {

enum class Source { kCpu, kMemory, kProcesses, kDisks, kPrintQueues };

enum class Instances {
    kNone,       // "\Memory\Available Bytes"
    kCpu,        // "_Total" or a processor number
    kSwap,       // "_Total"
    kDisk,       // "_Total" or a whole disk's name
    kPrintQueue  // "_Total" or a queue's name
};

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool IsTotal(std::string_view instance) {
    return platform::EqualsNoCase(instance, "_Total");
}

}  // namespace

// What one collection read; a source that failed or was not needed stays empty.
struct CounterQuery::Sample {
    uint32_t tick = 0;
    std::optional<platform::ProcStat> stat;
    std::optional<platform::MemInfo> memory;
    std::optional<uint64_t> processes;
    std::optional<std::vector<platform::DiskStat>> disks;      // whole disks only
    std::optional<std::map<std::string, QueueCounts>> queues;  // lower-case queue names
    QueueCounts queueTotal;
};

namespace {

using Sample = CounterQuery::Sample;
using Value = std::optional<int64_t>;
// Works out one counter from this collection and the one before (null when there is none).
using Compute = Value (*)(const Sample& now, const Sample* before, const std::string& instance);

struct Provider {
    std::string_view object;
    std::string_view counter;
    Source source;
    Instances instances;
    Compute compute;
    std::string_view meaning;
};

const platform::CpuTimes* FindCpu(const Sample& s, const std::string& instance) {
    if (!s.stat) {
        return nullptr;
    }
    const std::string name = IsTotal(instance) ? "cpu" : "cpu" + instance;
    for (const platform::CpuTimes& cpu : s.stat->cpus) {
        if (cpu.name == name) {
            return &cpu;
        }
    }
    return nullptr;
}

// The share of the processor time between two collections spent as `part` says, in %.
template <uint64_t (*Part)(const platform::CpuTimes&)>
Value CpuShare(const Sample& now, const Sample* before, const std::string& instance) {
    const platform::CpuTimes* a = before ? FindCpu(*before, instance) : nullptr;
    const platform::CpuTimes* b = FindCpu(now, instance);
    if (a == nullptr || b == nullptr || b->Total() < a->Total()) {
        return std::nullopt;
    }
    const uint64_t total = b->Total() - a->Total();
    if (total == 0) {
        return 0;
    }
    const uint64_t part = Part(*b) >= Part(*a) ? Part(*b) - Part(*a) : 0;
    return static_cast<int64_t>(std::min<uint64_t>(100, part * 100 / total));
}

uint64_t Busy(const platform::CpuTimes& c) {
    return c.Total() - c.Idle();
}
uint64_t User(const platform::CpuTimes& c) {
    return c.user + c.nice;
}
uint64_t Privileged(const platform::CpuTimes& c) {
    return c.system;
}
uint64_t IdleTime(const platform::CpuTimes& c) {
    return c.Idle();
}
uint64_t Interrupt(const platform::CpuTimes& c) {
    return c.irq + c.softirq;
}

Value Clamp(uint64_t value) {
    return static_cast<int64_t>(std::min<uint64_t>(value, INT64_MAX));
}

// Change per second of a running count between two collections.
Value PerSecond(uint64_t before, uint64_t now, uint32_t tickBefore, uint32_t tickNow) {
    const uint32_t ms = tickNow - tickBefore;  // wraps correctly
    if (ms == 0 || now < before) {
        return std::nullopt;
    }
    return Clamp((now - before) * 1000 / ms);
}

template <uint64_t platform::ProcStat::*Field>
Value StatRate(const Sample& now, const Sample* before, const std::string&) {
    if (!before || !before->stat || !now.stat) {
        return std::nullopt;
    }
    return PerSecond((*before->stat).*Field, (*now.stat).*Field, before->tick, now.tick);
}

Value ProcessesRunning(const Sample& now, const Sample*, const std::string&) {
    return now.stat ? Clamp(now.stat->processesRunning) : Value();
}

template <uint64_t Divisor>
Value AvailableMemory(const Sample& now, const Sample*, const std::string&) {
    if (!now.memory || !now.memory->available) {
        return std::nullopt;
    }
    return Clamp(*now.memory->available / Divisor);
}

template <uint64_t platform::MemInfo::*Field>
Value MemoryValue(const Sample& now, const Sample*, const std::string&) {
    return now.memory ? Clamp((*now.memory).*Field) : Value();
}

Value CommittedPercent(const Sample& now, const Sample*, const std::string&) {
    if (!now.memory || now.memory->commitLimit == 0) {
        return std::nullopt;
    }
    return Clamp(now.memory->committed * 100 / now.memory->commitLimit);
}

// No swap configured means no paging file instance, as on a machine without one.
Value SwapUsage(const Sample& now, const Sample*, const std::string& instance) {
    if (!now.memory || now.memory->swapTotal == 0 || !IsTotal(instance)) {
        return std::nullopt;
    }
    const uint64_t used =
        now.memory->swapTotal - std::min(now.memory->swapFree, now.memory->swapTotal);
    return Clamp(used * 100 / now.memory->swapTotal);
}

Value Processes(const Sample& now, const Sample*, const std::string&) {
    return now.processes ? Clamp(*now.processes) : Value();
}

// Loop and RAM disks are block devices but no physical disks: they stay out of "_Total".
bool CountsInTotal(const std::string& name) {
    return name.rfind("loop", 0) != 0 && name.rfind("ram", 0) != 0 && name.rfind("zram", 0) != 0;
}

// The disk's line, or the sum of the disks for "_Total"; none when the disk is gone.
std::optional<platform::DiskStat> FindDisk(const Sample& s, const std::string& instance) {
    if (!s.disks) {
        return std::nullopt;
    }
    if (IsTotal(instance)) {
        platform::DiskStat sum;
        for (const platform::DiskStat& d : *s.disks) {
            if (CountsInTotal(d.name)) {
                sum.reads += d.reads;
                sum.writes += d.writes;
                sum.sectorsRead += d.sectorsRead;
                sum.sectorsWritten += d.sectorsWritten;
                sum.inFlight += d.inFlight;
                sum.ioMs += d.ioMs;
            }
        }
        return sum;
    }
    for (const platform::DiskStat& d : *s.disks) {
        if (platform::EqualsNoCase(d.name, instance)) {
            return d;
        }
    }
    return std::nullopt;
}

Value DiskQueue(const Sample& now, const Sample*, const std::string& instance) {
    const std::optional<platform::DiskStat> d = FindDisk(now, instance);
    return d ? Clamp(d->inFlight) : Value();
}

// Sectors of /proc/diskstats are 512 bytes whatever the device's own sector size.
template <uint64_t platform::DiskStat::*Field, uint64_t Scale>
Value DiskRate(const Sample& now, const Sample* before, const std::string& instance) {
    if (!before) {
        return std::nullopt;
    }
    const std::optional<platform::DiskStat> a = FindDisk(*before, instance);
    const std::optional<platform::DiskStat> b = FindDisk(now, instance);
    if (!a || !b) {
        return std::nullopt;
    }
    const Value perSecond = PerSecond((*a).*Field, (*b).*Field, before->tick, now.tick);
    return perSecond ? Clamp(static_cast<uint64_t>(*perSecond) * Scale) : Value();
}

Value DiskTime(const Sample& now, const Sample* before, const std::string& instance) {
    if (!before) {
        return std::nullopt;
    }
    const std::optional<platform::DiskStat> a = FindDisk(*before, instance);
    const std::optional<platform::DiskStat> b = FindDisk(now, instance);
    const uint32_t ms = now.tick - before->tick;
    if (!a || !b || ms == 0 || b->ioMs < a->ioMs) {
        return std::nullopt;
    }
    return Clamp(std::min<uint64_t>(100, (b->ioMs - a->ioMs) * 100 / ms));
}

template <int64_t QueueCounts::*Field>
Value QueueValue(const Sample& now, const Sample*, const std::string& instance) {
    if (!now.queues) {
        return std::nullopt;
    }
    if (IsTotal(instance)) {
        return now.queueTotal.*Field;
    }
    const auto it = now.queues->find(Lower(instance));
    return it == now.queues->end() ? Value() : Value(it->second.*Field);
}

constexpr uint64_t kOne = 1;

// The provider table. Counters of the original system with no meaning here (registry
// quota, file server errors) are deliberately absent, so adding them fails.
const Provider kProviders[] = {
    {"Processor", "% Processor Time", Source::kCpu, Instances::kCpu, CpuShare<Busy>,
     "share of the time not idle between two collections (/proc/stat)"},
    {"Processor", "% User Time", Source::kCpu, Instances::kCpu, CpuShare<User>,
     "share of the time in user mode, nice included"},
    {"Processor", "% Privileged Time", Source::kCpu, Instances::kCpu, CpuShare<Privileged>,
     "share of the time in the kernel"},
    {"Processor", "% Interrupt Time", Source::kCpu, Instances::kCpu, CpuShare<Interrupt>,
     "share of the time serving hard and soft interrupts"},
    {"Processor", "% Idle Time", Source::kCpu, Instances::kCpu, CpuShare<IdleTime>,
     "share of the time idle or waiting for I/O"},
    {"Memory", "Available Bytes", Source::kMemory, Instances::kNone, AvailableMemory<kOne>,
     "MemAvailable of /proc/meminfo, in bytes"},
    {"Memory", "Available KBytes", Source::kMemory, Instances::kNone, AvailableMemory<1024>,
     "MemAvailable in KB"},
    {"Memory", "Available MBytes", Source::kMemory, Instances::kNone, AvailableMemory<1024 * 1024>,
     "MemAvailable in MB"},
    {"Memory", "Committed Bytes", Source::kMemory, Instances::kNone,
     MemoryValue<&platform::MemInfo::committed>, "Committed_AS, in bytes"},
    {"Memory", "Commit Limit", Source::kMemory, Instances::kNone,
     MemoryValue<&platform::MemInfo::commitLimit>, "CommitLimit, in bytes"},
    {"Memory", "% Committed Bytes In Use", Source::kMemory, Instances::kNone, CommittedPercent,
     "Committed_AS as a share of CommitLimit"},
    {"Memory", "Cache Bytes", Source::kMemory, Instances::kNone,
     MemoryValue<&platform::MemInfo::cached>, "Cached, in bytes"},
    {"Paging File", "% Usage", Source::kMemory, Instances::kSwap, SwapUsage,
     "swap in use as a share of all swap (no instance when there is no swap)"},
    {"Objects", "Processes", Source::kProcesses, Instances::kNone, Processes,
     "the processes in /proc"},
    {"System", "Processes", Source::kProcesses, Instances::kNone, Processes,
     "the processes in /proc"},
    {"System", "Processor Queue Length", Source::kCpu, Instances::kNone, ProcessesRunning,
     "procs_running of /proc/stat"},
    {"System", "Context Switches/sec", Source::kCpu, Instances::kNone,
     StatRate<&platform::ProcStat::contextSwitches>, "ctxt of /proc/stat, per second"},
    {"System", "Interrupts/sec", Source::kCpu, Instances::kNone,
     StatRate<&platform::ProcStat::interrupts>, "intr of /proc/stat, per second"},
    {"System", "Processes Created/sec", Source::kCpu, Instances::kNone,
     StatRate<&platform::ProcStat::processesCreated>, "processes of /proc/stat, per second"},
    {"PhysicalDisk", "Current Disk Queue Length", Source::kDisks, Instances::kDisk, DiskQueue,
     "I/Os in progress (/proc/diskstats)"},
    {"PhysicalDisk", "Disk Reads/sec", Source::kDisks, Instances::kDisk,
     DiskRate<&platform::DiskStat::reads, 1>, "reads completed per second"},
    {"PhysicalDisk", "Disk Writes/sec", Source::kDisks, Instances::kDisk,
     DiskRate<&platform::DiskStat::writes, 1>, "writes completed per second"},
    {"PhysicalDisk", "Disk Read Bytes/sec", Source::kDisks, Instances::kDisk,
     DiskRate<&platform::DiskStat::sectorsRead, 512>, "bytes read per second"},
    {"PhysicalDisk", "Disk Write Bytes/sec", Source::kDisks, Instances::kDisk,
     DiskRate<&platform::DiskStat::sectorsWritten, 512>, "bytes written per second"},
    {"PhysicalDisk", "% Disk Time", Source::kDisks, Instances::kDisk, DiskTime,
     "share of the time the disk was busy"},
    {"Print Queue", "Jobs", Source::kPrintQueues, Instances::kPrintQueue,
     QueueValue<&QueueCounts::jobs>, "jobs not yet completed"},
    {"Print Queue", "Job Errors", Source::kPrintQueues, Instances::kPrintQueue,
     QueueValue<&QueueCounts::jobErrors>, "jobs seen entering an error state, counted"},
    {"Print Queue", "Not Ready Errors", Source::kPrintQueues, Instances::kPrintQueue,
     QueueValue<&QueueCounts::notReadyErrors>,
     "times the printer was seen going off-line or unavailable"},
    {"Print Queue", "Out of Paper Errors", Source::kPrintQueues, Instances::kPrintQueue,
     QueueValue<&QueueCounts::outOfPaperErrors>, "times the printer was seen running out of paper"},
};

const Provider* FindProvider(std::string_view object, std::string_view counter) {
    for (const Provider& p : kProviders) {
        if (platform::EqualsNoCase(p.object, object) &&
            platform::EqualsNoCase(p.counter, counter)) {
            return &p;
        }
    }
    return nullptr;
}

std::string_view InstanceForms(Instances kind) {
    switch (kind) {
        case Instances::kNone:
            return "";
        case Instances::kCpu:
            return "_Total, or a processor number (0, 1, ...)";
        case Instances::kSwap:
            return "_Total";
        case Instances::kDisk:
            return "_Total (every whole disk but loop and RAM disks), or a disk name (sda, "
                   "nvme0n1, ...)";
        case Instances::kPrintQueue:
            return "_Total, or a print queue name";
    }
    return "";
}

// Whether the instance text has the form the object takes (its existence shows later).
bool InstanceFits(Instances kind, const std::string& instance) {
    switch (kind) {
        case Instances::kNone:
            return instance.empty();
        case Instances::kCpu:
            return IsTotal(instance) || AllDigits(instance);
        case Instances::kSwap:
            return IsTotal(instance);
        case Instances::kDisk:
        case Instances::kPrintQueue:
            return !instance.empty() && instance.find('/') == std::string::npos;
    }
    return false;
}

}  // namespace

struct CounterQuery::Counter {
    const Provider* provider = nullptr;
    std::string instance;
    Value value;
    std::string failure;
};

struct CounterQuery::QueueState {
    uint32_t status = 0;
    std::set<int> jobsInError;
    QueueCounts counts;
};

std::optional<CounterPath> ParseCounterPath(std::string_view text) {
    if (text.empty() || text[0] != '\\') {
        return std::nullopt;
    }
    text.remove_prefix(1);
    const size_t slash = text.rfind('\\');
    if (slash == std::string_view::npos || slash == 0 || slash + 1 == text.size()) {
        return std::nullopt;
    }
    CounterPath path;
    path.counter = text.substr(slash + 1);
    std::string_view object = text.substr(0, slash);
    const size_t open = object.find('(');
    if (open != std::string_view::npos) {
        if (object.back() != ')' || open == 0) {
            return std::nullopt;
        }
        std::string_view instance = object.substr(open + 1, object.size() - open - 2);
        object = object.substr(0, open);
        const size_t hash = instance.rfind('#');
        if (hash != std::string_view::npos && AllDigits(instance.substr(hash + 1))) {
            instance = instance.substr(0, hash);
        }
        const size_t parent = instance.find('/');
        if (parent != std::string_view::npos) {
            path.parent = instance.substr(0, parent);
            instance = instance.substr(parent + 1);
        }
        path.instance = instance;
    }
    path.object = object;
    return path;
}

std::string FormatCounterPath(const CounterPath& path) {
    std::string text = "\\" + path.object;
    if (!path.instance.empty() || !path.parent.empty()) {
        // An instance name holding a '/' keeps its (maybe empty) parent in front, so that
        // the text reads back as the same path.
        const bool withParent =
            !path.parent.empty() || path.instance.find('/') != std::string::npos;
        text += "(" + (withParent ? path.parent + "/" : "") + path.instance + ")";
    }
    return text + "\\" + path.counter;
}

std::vector<CounterDescription> DescribeCounters() {
    std::vector<CounterDescription> out;
    for (const Provider& p : kProviders) {
        out.push_back({p.object, p.counter, InstanceForms(p.instances), p.meaning});
    }
    return out;
}

CounterQuery::CounterQuery(const platform::Clock& clock, std::string root,
                           SpoolerFactory makeSpooler)
    : clock_(clock), stats_(std::move(root)), makeSpooler_(std::move(makeSpooler)) {}

CounterQuery::~CounterQuery() = default;

int CounterQuery::Open(std::string* why) {
    platform::Result<platform::ProcStat> stat = stats_.ReadProcStat();
    if (!stat.ok() && why != nullptr) {
        *why = stat.status().Text();
    }
    return stat.ok() ? 1 : 0;
}

int CounterQuery::AddCounter(const CounterPath& path, uint32_t& handle, std::string* why) {
    const auto fail = [&](std::string text) {
        if (why != nullptr) {
            *why = std::move(text);
        }
        return 0;
    };
    const Provider* provider = FindProvider(path.object, path.counter);
    if (provider == nullptr) {
        return fail("no counter " + FormatCounterPath(path) + " on this system");
    }
    if (!path.parent.empty()) {
        return fail("the object " + std::string(provider->object) + " has no parent instances");
    }
    if (!InstanceFits(provider->instances, path.instance)) {
        return fail(provider->instances == Instances::kNone
                        ? "the object " + std::string(provider->object) + " has no instances"
                        : "the instance \"" + path.instance + "\" is not one of: " +
                              std::string(InstanceForms(provider->instances)));
    }
    auto counter = std::make_unique<Counter>();
    counter->provider = provider;
    counter->instance = path.instance;
    counter->failure = "not collected yet";
    handle = nextHandle_++;
    if (nextHandle_ == 0) {
        nextHandle_ = 1;
    }
    counters_[handle] = std::move(counter);
    return 1;
}

void CounterQuery::RemoveCounter(uint32_t handle) {
    counters_.erase(handle);
}

int CounterQuery::Collect() {
    bool need[5] = {};
    for (const auto& [handle, counter] : counters_) {
        need[static_cast<int>(counter->provider->source)] = true;
    }
    auto sample = std::make_unique<Sample>();
    sample->tick = clock_.TickCount();
    std::map<Source, std::string> failures;
    int wanted = 0;
    int read = 0;
    const auto take = [&](Source source, auto result, auto& slot) {
        ++wanted;
        if (result.ok()) {
            slot = std::move(*result);
            ++read;
        } else {
            failures[source] = result.status().Text();
        }
    };
    if (need[static_cast<int>(Source::kCpu)]) {
        take(Source::kCpu, stats_.ReadProcStat(), sample->stat);
    }
    if (need[static_cast<int>(Source::kMemory)]) {
        take(Source::kMemory, stats_.ReadMemInfo(), sample->memory);
    }
    if (need[static_cast<int>(Source::kProcesses)]) {
        take(Source::kProcesses, stats_.CountProcesses(), sample->processes);
    }
    if (need[static_cast<int>(Source::kDisks)]) {
        platform::Result<std::vector<platform::DiskStat>> all = stats_.ReadDiskStats();
        if (all.ok()) {
            // Whole disks are those of sys/block; without that listing every line counts.
            platform::Result<std::vector<std::string>> whole = stats_.ListBlockDevices();
            if (whole.ok()) {
                std::erase_if(*all, [&](const platform::DiskStat& d) {
                    return !std::binary_search(whole->begin(), whole->end(), d.name);
                });
            }
        }
        take(Source::kDisks, std::move(all), sample->disks);
    }
    if (need[static_cast<int>(Source::kPrintQueues)]) {
        ++wanted;
        if (!spooler_) {
            spooler_ = makeSpooler_ ? makeSpooler_() : platform::MakeSpooler();
        }
        platform::Result<platform::SpoolerSnapshot> snapshot = spooler_->Snapshot();
        if (snapshot.ok()) {
            ++read;
            std::map<std::string, QueueCounts> now;
            const bool baseline = !spoolerSeen_;
            spoolerSeen_ = true;
            for (const platform::PrinterQueue& queue : snapshot->printers) {
                QueueState& state = queues_[Lower(queue.printer.name)];
                const uint32_t status = queue.printer.status;
                std::set<int> inError;
                for (const platform::JobInfo& job : queue.jobs) {
                    if ((job.status & platform::kJobError) != 0) {
                        inError.insert(job.id);
                    }
                }
                if (!baseline) {
                    const auto rose = [&](uint32_t bits) {
                        return (status & bits) != 0 && (state.status & bits) == 0;
                    };
                    int64_t newErrors = 0;
                    for (int id : inError) {
                        newErrors += state.jobsInError.count(id) == 0 ? 1 : 0;
                    }
                    const int64_t notReady =
                        rose(platform::kPrinterOffline | platform::kPrinterNotAvailable) ? 1 : 0;
                    const int64_t paper = rose(platform::kPrinterPaperOut) ? 1 : 0;
                    state.counts.jobErrors += newErrors;
                    state.counts.notReadyErrors += notReady;
                    state.counts.outOfPaperErrors += paper;
                    totalCounts_.jobErrors += newErrors;
                    totalCounts_.notReadyErrors += notReady;
                    totalCounts_.outOfPaperErrors += paper;
                }
                state.status = status;
                state.jobsInError = std::move(inError);
                state.counts.jobs = static_cast<int64_t>(queue.jobs.size());
                now[Lower(queue.printer.name)] = state.counts;
            }
            // A deleted queue's counts end with it; the totals keep what it counted.
            std::erase_if(queues_, [&](const auto& entry) { return now.count(entry.first) == 0; });
            totalCounts_.jobs = 0;
            for (const auto& [name, counts] : now) {
                totalCounts_.jobs += counts.jobs;
            }
            sample->queues = std::move(now);
            sample->queueTotal = totalCounts_;
        } else {
            failures[Source::kPrintQueues] = "the spooler: " + snapshot.status().Text();
        }
    }

    previous_ = std::move(current_);
    current_ = std::move(sample);
    for (auto& [handle, counter] : counters_) {
        counter->value = counter->provider->compute(*current_, previous_.get(), counter->instance);
        if (counter->value) {
            counter->failure.clear();
        } else if (const auto f = failures.find(counter->provider->source); f != failures.end()) {
            counter->failure = f->second;
        } else {
            counter->failure = counter->instance.empty()
                                   ? "no value (a rate needs two collections)"
                                   : "no instance \"" + counter->instance +
                                         "\" at this collection, or a rate without an earlier one";
        }
    }
    return wanted == 0 || read > 0 ? 1 : 0;
}

int CounterQuery::ReadValue(uint32_t handle, int64_t& value) const {
    const auto it = counters_.find(handle);
    if (it == counters_.end() || !it->second->value) {
        return 0;
    }
    value = *it->second->value;
    return 1;
}

std::string CounterQuery::ReadFailure(uint32_t handle) const {
    const auto it = counters_.find(handle);
    return it == counters_.end() ? "no such counter" : it->second->failure;
}

}  // namespace kvzn::counters
