// The performance counter library: counter paths "\Object(Instance)\Counter" looked up
// without regard to case in a table of providers over the kernel statistics and the print
// spooler, one query with its counters, one collection per cycle.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/spooler.h"
#include "platform/system_stats.h"

namespace kvzn::counters {

struct CounterPath {
    std::string object;
    std::string instance;  // empty for objects without instances
    std::string parent;    // empty: no object of this system has parent instances
    std::string counter;
};

// Reads "\Object\Counter", "\Object(Instance)\Counter" or "\Object(Parent/Instance#n)\Counter"
// (the "#n" index is dropped). None when the text has no object or no counter.
std::optional<CounterPath> ParseCounterPath(std::string_view text);
// The path in the form ParseCounterPath reads.
std::string FormatCounterPath(const CounterPath& path);

// One line of the provider table, for the documentation and the tests.
struct CounterDescription {
    std::string_view object;
    std::string_view counter;
    std::string_view instances;  // the instance forms accepted; empty: no instance
    std::string_view meaning;
};
// Every object and counter the table knows, in table order.
std::vector<CounterDescription> DescribeCounters();

// Print queue counts since the query's first collection, per queue.
struct QueueCounts {
    int64_t jobs = 0;
    int64_t jobErrors = 0;       // jobs seen entering an error state
    int64_t notReadyErrors = 0;  // the printer seen going off-line or unavailable
    int64_t outOfPaperErrors = 0;
};

// One query. Add the counters, then Collect once per cycle and read the values.
// @threadsafety One thread at a time; the monitor calls it under its performance data lock.
class CounterQuery {
  public:
    using SpoolerFactory = std::function<std::unique_ptr<platform::Spooler>()>;

    // `root` is the directory holding proc/ and sys/ ("/" for this machine). The spooler is
    // made at the first collection that needs it (none: this machine's spooler).
    CounterQuery(const platform::Clock& clock, std::string root = "/",
                 SpoolerFactory makeSpooler = {});
    ~CounterQuery();
    CounterQuery(const CounterQuery&) = delete;
    CounterQuery& operator=(const CounterQuery&) = delete;

    // 1 when the statistics can be read at all (proc/stat of the root); 0 and `why`
    // otherwise. The query is of no use then.
    int Open(std::string* why = nullptr);
    // 1 with a handle (never 0) when the table knows the object, the counter and the form
    // of the instance; otherwise 0 and `why` says what is wrong. A counter with no meaning
    // on this system is not in the table. Whether the instance exists shows at reading.
    int AddCounter(const CounterPath& path, uint32_t& handle, std::string* why = nullptr);
    void RemoveCounter(uint32_t handle);

    // Reads each source that an added counter needs once (the print queue counters share
    // one spooler snapshot) and works out every counter's value. 1 when at least one
    // source could be read (or none is needed); 0 when every source failed.
    int Collect();
    // 1 with the value of the last collection; 0 when the counter is unknown, its source
    // or its instance was missing at that collection, or it is a rate with no earlier
    // collection to compare with.
    int ReadValue(uint32_t handle, int64_t& value) const;
    // Why the last ReadValue of `handle` could not give a value ("" when it could).
    std::string ReadFailure(uint32_t handle) const;

    struct Sample;
    struct Counter;

  private:
    const platform::Clock& clock_;
    platform::SystemStats stats_;
    SpoolerFactory makeSpooler_;
    std::unique_ptr<platform::Spooler> spooler_;
    uint32_t nextHandle_ = 1;
    std::map<uint32_t, std::unique_ptr<Counter>> counters_;
    std::unique_ptr<Sample> previous_;
    std::unique_ptr<Sample> current_;
    // Print queue transitions: the last snapshot's state and the counts so far.
    struct QueueState;
    std::map<std::string, QueueState, std::less<>> queues_;
    QueueCounts totalCounts_;
    bool spoolerSeen_ = false;
};

}  // namespace kvzn::counters
