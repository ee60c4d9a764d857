// The guards in front of the web pages: the client address list and the session table.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "companion/registry.h"
#include "platform/clock.h"

namespace kvzn::web {

// The "Address%d" values of the "WebAccess" key, read once.
// @threadsafety Always: built at construction, only read afterwards.
class AddressList {
  public:
    explicit AddressList(const companion::Registry& registry);
    explicit AddressList(std::vector<std::string> entries) : entries_(std::move(entries)) {}
    // 1 when `address` may use the server: the list is empty, or an entry is a leading
    // part of the address (compared without regard to case); 0 otherwise.
    int CheckWebAccessFromClient(std::string_view address) const;
    const std::vector<std::string>& Entries() const { return entries_; }

  private:
    std::vector<std::string> entries_;
};

class RemoteSession;

// One browser session. Its id and token are 128-bit random values, written as hex.
struct Session {
    std::string id;
    std::string address;  // the client that opened it; the id is worth nothing elsewhere
    std::string token;    // carried by every form that changes something
    bool loggedOn = false;
    uint64_t expiry = 0;   // seconds since system start
    uint64_t lastUse = 0;  // the table's count of uses when it was last used
    // The remote command page's account and command of this session; shared by the copies.
    std::shared_ptr<RemoteSession> remote;
};

// The session table of the web server.
// @threadsafety Always (one lock around the table).
class SessionTable {
  public:
    // `timeoutMinutes`: "WebSessionTimeout"; `maxSessions` caps the table, the least
    // recently used session without a logon making room first.
    SessionTable(const platform::Clock& clock, uint32_t timeoutMinutes, size_t maxSessions = 4096);

    // Removes expired sessions; returns the live session `id` of `address` (with a logon
    // when `logonRequired`) and extends it. nullopt when there is none.
    std::optional<Session> Find(std::string_view id, std::string_view address, bool logonRequired);
    // Opens a new session for `address`.
    Session Open(std::string_view address, bool loggedOn);
    // Ends a session; false when none matched.
    bool Remove(std::string_view id, std::string_view address);
    void Clear();
    size_t Size() const;

  private:
    void RemoveExpired(uint64_t now);

    const platform::Clock& clock_;
    const uint64_t timeoutSeconds_;
    const size_t maxSessions_;
    mutable std::mutex mutex_;
    std::map<std::string, Session, std::less<>> sessions_;  // by id; guarded by mutex_
    uint64_t uses_ =
        0;  // opens and finds so far, which orders the sessions by last use; guarded by mutex_
};

// 128 random bits as 32 hexadecimal digits.
std::string RandomHex128();

// True when the two texts are equal; the time taken does not depend on where they differ.
bool SecretsEqual(std::string_view a, std::string_view b);

}  // namespace kvzn::web
