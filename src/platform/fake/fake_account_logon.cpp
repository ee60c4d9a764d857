// Accounts of a table.
#include "platform/fake/fake_account_logon.h"

#include <unistd.h>

#include <cstdlib>

namespace kvzn::platform {

void FakeAccountLogon::AddAccount(const std::string& name, const std::string& password) {
    std::scoped_lock lock(mutex_);
    passwords_[name] = password;
}

Result<LocalAccount> FakeAccountLogon::LogOn(
    const std::string& name, const std::string& password,
    const std::function<void(const std::string&)>& passwordAccepted) {
    {
        std::scoped_lock lock(mutex_);
        events_.push_back("logon " + name);
        const auto it = passwords_.find(name);
        if (it == passwords_.end() || it->second != password) {
            return Status::Error(EACCES, "authentication failure");
        }
        events_.push_back("accepted " + name);
    }
    if (passwordAccepted) {
        passwordAccepted(name);
    }
    LocalAccount account;
    account.name = name;
    account.identity = RunIdentity{static_cast<uint32_t>(::getuid()),
                                   static_cast<uint32_t>(::getgid()),
                                   {static_cast<uint32_t>(::getgid())}};
    const char* path = std::getenv("PATH");
    account.home = "/";
    account.environment = {"HOME=/", "USER=" + name, "LOGNAME=" + name, "SHELL=/bin/sh",
                           std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin")};
    return account;
}

Status FakeAccountLogon::GrantServiceLogon(const std::string& name) {
    std::scoped_lock lock(mutex_);
    events_.push_back("granted " + name);
    return Status::Ok();
}

std::vector<std::string> FakeAccountLogon::Events() const {
    std::scoped_lock lock(mutex_);
    return events_;
}

}  // namespace kvzn::platform
