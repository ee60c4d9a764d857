// The registered consoles: the list, its cache file, and the notices sent to each
// console's own port by a sender thread, so that no caller waits on a console.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kvzn::console {

struct ConsoleClient {
    std::string address;    // as the web server saw it
    uint16_t port = 0;      // the console's listening port
    bool activity = false;  // the console has the activity display on
    std::chrono::steady_clock::time_point lastSeen;
};

// Sends one message to a console's port; false when it could not be delivered.
using NoticeDelivery =
    std::function<bool(const std::string& address, uint16_t port, const std::string& message)>;
// True when a connection to the console's port can be opened.
using Reachability = std::function<bool(const std::string& address, uint16_t port)>;

struct ConsoleOptions {
    std::string cachePath;    // "<home>/PRT-Console.dat"
    std::string serverName;   // the first field of every notice
    NoticeDelivery deliver;   // none: a fresh TCP connection with short time-outs
    Reachability reachable;   // none: a TCP connect with a short time-out
    size_t maxQueued = 1000;  // notices waiting beyond this are dropped
};

// Delivery over a fresh connection: connect within 1 s, send within 2 s, close.
bool DeliverOverTcp(const std::string& address, uint16_t port, const std::string& message);
bool CanConnect(const std::string& address, uint16_t port);

// @threadsafety Always. The list lock is never held while a console is contacted.
class ConsoleClients {
  public:
    explicit ConsoleClients(ConsoleOptions options);
    ~ConsoleClients();
    ConsoleClients(const ConsoleClients&) = delete;
    ConsoleClients& operator=(const ConsoleClients&) = delete;

    // Adds the console (address and port) or refreshes its last-seen time; with `activity`
    // it also turns its activity display on.
    void Register(const std::string& address, uint16_t port, bool activity = false);
    // Turns the activity display of a known console off; false when it is not known.
    bool StopActivity(const std::string& address, uint16_t port);
    std::vector<ConsoleClient> Clients() const;
    size_t ActivityCount() const;

    // Writes every console to the cache file ("address,port[,RTActivity]" lines).
    bool Save() const;
    // Registers the consoles of the cache file that can still be reached; returns how many.
    size_t Restore();

    // Notices, queued for the sender thread. A console that cannot be reached is dropped.
    void NotifyAlert(std::string_view time, std::string_view title, std::string_view message);
    // The monitor has started: notifies every console and lets activity lines flow.
    void NotifyStarted();
    void NotifyStopping();
    // Queues one finished activity line for the consoles that watch. Never waits for the
    // list lock: a line posted while it is busy is dropped. True when queued.
    bool PostActivity(std::string_view line);

    // Waits until every queued notice has been handled; false after `timeout`.
    bool WaitIdle(std::chrono::milliseconds timeout);
    // Service stop: stops the activity lines, sends what is queued (at most `drain`),
    // saves the list, frees it and ends the sender thread.
    void Close(std::chrono::milliseconds drain = std::chrono::seconds(5));

  private:
    struct Notice {
        std::string message;
        bool activityOnly = false;
    };
    void Enqueue(Notice notice);
    void SenderLoop();
    void Deliver(const Notice& notice);

    const ConsoleOptions options_;
    mutable std::mutex listMutex_;
    std::vector<ConsoleClient> clients_;  // in registration order; guarded by listMutex_
    bool activitySwitch_ = false;         // guarded by listMutex_

    std::mutex queueMutex_;
    std::condition_variable queueChanged_;
    std::deque<Notice> queue_;  // guarded by queueMutex_
    bool busy_ = false;         // a notice is being delivered; guarded by queueMutex_
    bool closing_ = false;      // guarded by queueMutex_
    std::thread sender_;
};

}  // namespace kvzn::console
