// The client address list and the session table of the web server.
#include "web/web_access.h"

#include <array>
#include <cstdio>
#include <random>

#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "platform/text.h"
#include "web/remote_exec.h"

namespace kvzn::web {

namespace {
constexpr std::string_view kModule = "kvZNSharedHTML";
}  // namespace

AddressList::AddressList(const companion::Registry& registry) {
    const std::string key = std::string(config::kProductKey) + "\\" + config::subkey::kWebAccess;
    for (int n = 1;; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, config::list::kWebAccessAddress, n);
        std::string value;
        if (registry.ReadText(key, name, value) != 0) {
            break;
        }
        size_t start = 0;
        while (start <= value.size()) {
            const size_t end = value.find_first_of(" ,\r\n\t", start);
            std::string entry = value.substr(start, end == std::string::npos ? end : end - start);
            if (!entry.empty()) {
                entries_.push_back(entry.substr(0, 255));
            }
            if (end == std::string::npos) {
                break;
            }
            start = end + 1;
        }
    }
}

int AddressList::CheckWebAccessFromClient(std::string_view address) const {
    if (entries_.empty()) {
        return 1;
    }
    for (const std::string& entry : entries_) {
        if (address.size() >= entry.size() &&
            platform::EqualsNoCase(address.substr(0, entry.size()), entry)) {
            return 1;
        }
    }
    return 0;
}

std::string RandomHex128() {
    std::random_device device;  // the kernel's random source
    std::string out;
    for (int i = 0; i < 4; ++i) {
        char buf[9];
        std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(device()));
        out += buf;
    }
    return out;
}

bool SecretsEqual(std::string_view a, std::string_view b) {
    unsigned diff = a.size() == b.size() ? 0U : 1U;
    for (size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i]) ^
                static_cast<unsigned char>(b.empty() ? 0 : b[i % b.size()]);
    }
    return diff == 0;
}

SessionTable::SessionTable(const platform::Clock& clock, uint32_t timeoutMinutes,
                           size_t maxSessions)
    : clock_(clock),
      timeoutSeconds_(static_cast<uint64_t>(timeoutMinutes) * 60),
      maxSessions_(maxSessions == 0 ? 1 : maxSessions) {}

void SessionTable::RemoveExpired(uint64_t now) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (now > it->second.expiry) {
            companion::Logger(kModule, "ManageWebSessions")(5, "Session ", it->first,
                                                            " at IP Address ", it->second.address,
                                                            " has timed out and will be removed");
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
}

std::optional<Session> SessionTable::Find(std::string_view id, std::string_view address,
                                          bool logonRequired) {
    const uint64_t now = clock_.UptimeSeconds();
    std::scoped_lock lock(mutex_);
    RemoveExpired(now);
    const auto it = sessions_.find(id);
    if (it == sessions_.end() || it->second.address != address ||
        (logonRequired && !it->second.loggedOn)) {
        return std::nullopt;
    }
    it->second.expiry = now + timeoutSeconds_;
    it->second.lastUse = ++uses_;
    return it->second;
}

Session SessionTable::Open(std::string_view address, bool loggedOn) {
    const uint64_t now = clock_.UptimeSeconds();
    Session s;
    s.id = RandomHex128();
    s.token = RandomHex128();
    s.address = std::string(address);
    s.loggedOn = loggedOn;
    s.expiry = now + timeoutSeconds_;
    s.remote = std::make_shared<RemoteSession>();
    std::scoped_lock lock(mutex_);
    s.lastUse = ++uses_;
    if (sessions_.size() >= maxSessions_) {
        RemoveExpired(now);
    }
    while (sessions_.size() >= maxSessions_) {
        // Make room: the least recently used session, one without a logon when there is one.
        auto victim = sessions_.end();
        for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
            if (victim == sessions_.end() || (victim->second.loggedOn && !it->second.loggedOn) ||
                (victim->second.loggedOn == it->second.loggedOn &&
                 it->second.lastUse < victim->second.lastUse)) {
                victim = it;
            }
        }
        sessions_.erase(victim);
    }
    sessions_.emplace(s.id, s);
    return s;
}

bool SessionTable::Remove(std::string_view id, std::string_view address) {
    std::scoped_lock lock(mutex_);
    const auto it = sessions_.find(id);
    if (it == sessions_.end() || it->second.address != address) {
        return false;
    }
    sessions_.erase(it);
    return true;
}

void SessionTable::Clear() {
    std::scoped_lock lock(mutex_);
    sessions_.clear();
}

size_t SessionTable::Size() const {
    std::scoped_lock lock(mutex_);
    return sessions_.size();
}

}  // namespace kvzn::web
