// The registered consoles and the notices sent to them.
#include "console/console_clients.h"

#include <algorithm>

#include "companion/activity_log.h"
#include "companion/tcpip.h"
#include "console/console_message.h"
#include "platform/file.h"

namespace kvzn::console {
namespace {

constexpr std::string_view kModule = "kvZNConsoleHandler";
constexpr std::string_view kActivityMark = "RTActivity";

bool SameClient(const ConsoleClient& c, const std::string& address, uint16_t port) {
    return c.port == port && c.address == address;
}

}  // namespace

bool DeliverOverTcp(const std::string& address, uint16_t port, const std::string& message) {
    const companion::Logger log(kModule, "NotifyConsoleMessage");
    companion::Socket sock;
    std::string error;
    const int rc = companion::IpConnect(sock, address, port, 1, &error);
    if (rc != companion::kIpOk) {
        log(1, "Unable to send console message to client ", address, " on port ", port,
            ". Cannot connect to the client. Error ", rc, " ", error);
        return false;
    }
    const int sent = companion::IpSendText(sock, message, 0, 2);
    companion::IpClose(sock);
    if (sent != companion::kIpOk) {
        log(1, "TCP/IP error ", sent, " occurred when sending reply to ", address, " on port ",
            port);
        return false;
    }
    return true;
}

bool CanConnect(const std::string& address, uint16_t port) {
    companion::Socket sock;
    const bool ok = companion::IpConnect(sock, address, port, 1) == companion::kIpOk;
    companion::IpClose(sock);
    return ok;
}

ConsoleClients::ConsoleClients(ConsoleOptions options) : options_(std::move(options)) {
    sender_ = std::thread([this] { SenderLoop(); });
}

ConsoleClients::~ConsoleClients() {
    Close(std::chrono::milliseconds(0));
}

void ConsoleClients::Register(const std::string& address, uint16_t port, bool activity) {
    std::scoped_lock lock(listMutex_);
    const auto now = std::chrono::steady_clock::now();
    auto it = std::find_if(clients_.begin(), clients_.end(),
                           [&](const ConsoleClient& c) { return SameClient(c, address, port); });
    if (it == clients_.end()) {
        clients_.push_back({address, port, activity, now});
        return;
    }
    it->lastSeen = now;
    it->activity = it->activity || activity;
}

bool ConsoleClients::StopActivity(const std::string& address, uint16_t port) {
    std::scoped_lock lock(listMutex_);
    for (ConsoleClient& c : clients_) {
        if (SameClient(c, address, port)) {
            c.activity = false;
            return true;
        }
    }
    companion::Logger(kModule, "ManageConsoleClient")(1,
                                                      "Cannot locate client entry for RT request");
    return false;
}

std::vector<ConsoleClient> ConsoleClients::Clients() const {
    std::scoped_lock lock(listMutex_);
    return clients_;
}

size_t ConsoleClients::ActivityCount() const {
    std::scoped_lock lock(listMutex_);
    return static_cast<size_t>(std::count_if(clients_.begin(), clients_.end(),
                                             [](const ConsoleClient& c) { return c.activity; }));
}

bool ConsoleClients::Save() const {
    std::string content;
    {
        std::scoped_lock lock(listMutex_);
        for (const ConsoleClient& c : clients_) {
            content += c.address + "," + std::to_string(c.port);
            if (c.activity) {
                content += ",";
                content += kActivityMark;
            }
            content += "\n";
        }
    }
    const platform::Status st = platform::WriteFileAtomically(options_.cachePath, content);
    if (!st.ok()) {
        companion::Logger(kModule, "ManageConsoleClient")(1, "Unable to save the known clients to ",
                                                          options_.cachePath, ": ", st.Text());
        return false;
    }
    return true;
}

size_t ConsoleClients::Restore() {
    const auto content = platform::ReadWholeFile(options_.cachePath);
    if (!content.ok()) {
        return 0;  // no cache yet
    }
    const Reachability reachable = options_.reachable ? options_.reachable : CanConnect;
    size_t restored = 0;
    std::string_view rest = *content;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, std::min(end, size_t{260}));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const size_t c1 = line.find(',');
        if (c1 == std::string_view::npos || c1 == 0) {
            continue;
        }
        const std::string address(line.substr(0, c1));
        const std::string_view after = line.substr(c1 + 1);
        const size_t c2 = after.find(',');
        const auto port = ParsePort(after.substr(0, c2));
        const bool activity = c2 != std::string_view::npos && after.substr(c2 + 1) == kActivityMark;
        if (!port || !reachable(address, *port)) {
            continue;
        }
        Register(address, *port, activity);
        ++restored;
    }
    return restored;
}

void ConsoleClients::NotifyAlert(std::string_view time, std::string_view title,
                                 std::string_view message) {
    companion::Logger(kModule, "ManageConsoleClient")(4,
                                                      "Notifying all connected Consoles of event");
    Enqueue({BuildConsoleMessage(
                 kAlert, JoinFields({options_.serverName, std::string(kProductName),
                                     std::string(time), std::string(title), std::string(message)})),
             false});
}

void ConsoleClients::NotifyStarted() {
    Enqueue({BuildConsoleMessage(kStarted,
                                 JoinFields({options_.serverName, std::string(kProductName)})),
             false});
    std::scoped_lock lock(listMutex_);
    activitySwitch_ = true;
}

void ConsoleClients::NotifyStopping() {
    companion::Logger(kModule, "ManageConsoleClient")(
        4, "Notifying all connected Consoles that monitor is stopping");
    Enqueue({BuildConsoleMessage(kStopping,
                                 JoinFields({options_.serverName, std::string(kProductName)})),
             false});
}

bool ConsoleClients::PostActivity(std::string_view line) {
    {
        std::unique_lock lock(listMutex_, std::try_to_lock);
        if (!lock.owns_lock() || !activitySwitch_ ||
            std::none_of(clients_.begin(), clients_.end(),
                         [](const ConsoleClient& c) { return c.activity; })) {
            return false;
        }
    }
    Enqueue({BuildConsoleMessage(kActivityLine,
                                 JoinFields({options_.serverName, std::string(kProductName), " ",
                                             " ", std::string(line)})),
             true});
    return true;
}

void ConsoleClients::Enqueue(Notice notice) {
    {
        std::scoped_lock lock(queueMutex_);
        if (closing_) {
            return;
        }
        if (queue_.size() >= options_.maxQueued) {
            if (!notice.activityOnly) {
                companion::Logger(kModule, "ManageConsoleClient")(
                    2, "Too many console notices are waiting. The notice is dropped");
            }
            return;
        }
        queue_.push_back(std::move(notice));
    }
    queueChanged_.notify_all();
}

void ConsoleClients::SenderLoop() {
    std::unique_lock lock(queueMutex_);
    for (;;) {
        queueChanged_.wait(lock, [this] { return closing_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;  // closing and nothing left
        }
        Notice notice = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        try {
            Deliver(notice);
        } catch (const std::exception& e) {
            companion::Logger(kModule, "NotifyConsoleMessage")(
                1, "A console notice could not be sent: ", e.what());
        }
        lock.lock();
        busy_ = false;
        queueChanged_.notify_all();
    }
}

void ConsoleClients::Deliver(const Notice& notice) {
    std::vector<ConsoleClient> targets;
    {
        std::scoped_lock lock(listMutex_);
        for (const ConsoleClient& c : clients_) {
            if (!notice.activityOnly || c.activity) {
                targets.push_back(c);
            }
        }
    }
    const NoticeDelivery deliver = options_.deliver ? options_.deliver : DeliverOverTcp;
    std::vector<ConsoleClient> failed;
    for (const ConsoleClient& c : targets) {
        {
            // At close the remaining consoles are skipped: stopping waits for none of them.
            std::scoped_lock lock(queueMutex_);
            if (closing_) {
                return;
            }
        }
        if (!deliver(c.address, c.port, notice.message)) {
            failed.push_back(c);
        }
    }
    if (failed.empty()) {
        return;
    }
    // Removed after the round, by identity, so no list is changed while it is walked.
    std::scoped_lock lock(listMutex_);
    std::erase_if(clients_, [&](const ConsoleClient& c) {
        return std::any_of(failed.begin(), failed.end(), [&](const ConsoleClient& f) {
            return SameClient(c, f.address, f.port);
        });
    });
}

bool ConsoleClients::WaitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(queueMutex_);
    return queueChanged_.wait_for(lock, timeout, [this] { return queue_.empty() && !busy_; });
}

void ConsoleClients::Close(std::chrono::milliseconds drain) {
    {
        std::scoped_lock lock(listMutex_);
        activitySwitch_ = false;
    }
    WaitIdle(drain);
    {
        std::scoped_lock lock(queueMutex_);
        if (!sender_.joinable()) {
            return;
        }
        closing_ = true;
        queue_.clear();
    }
    queueChanged_.notify_all();
    sender_.join();
    if (!options_.cachePath.empty()) {
        companion::Logger(kModule, "ManageConsoleClient")(3, "Saving known clients to cache");
        Save();
    }
    std::scoped_lock lock(listMutex_);
    clients_.clear();
}

}  // namespace kvzn::console
