// Accounts of a table.
#include "platform/fake/fake_account_logon.h"

#include <unistd.h>

#include <cstdlib>

namespace kvzn::platform {
namespace {
std::string EventText(std::string_view what, const std::string& name) {
    std::string event(what);
    event += ' ';
    event += name;
    return event;
}
}  // namespace

void FakeAccountLogon::AddAccount(const std::string& name, const std::string& password) {
    std::scoped_lock lock(mutex_);
    passwords_[name] = password;
}

Result<LocalAccount> FakeAccountLogon::LogOn(
    const std::string& name, const std::string& password,
    const std::function<void(const std::string&)>& passwordAccepted) {
    {
        std::scoped_lock lock(mutex_);
        events_.push_back(EventText("logon", name));
        const auto it = passwords_.find(name);
        if (it == passwords_.end() || it->second != password) {
            return Status::Error(EACCES, "authentication failure");
        }
        events_.push_back(EventText("accepted", name));
    }
    if (passwordAccepted) {
        passwordAccepted(name);
    }
    LocalAccount account;
    account.name = name;
    account.identity = RunIdentity{static_cast<uint32_t>(::getuid()),
                                   static_cast<uint32_t>(::getgid()),
                                   {static_cast<uint32_t>(::getgid())}};
    const char* inherited = std::getenv("PATH");
    std::string path = "PATH=";
    path.append(inherited != nullptr ? inherited : "/usr/bin:/bin");
    account.home.assign(1, '/');
    account.environment = {"HOME=/", "SHELL=/bin/sh", std::move(path)};
    for (const char* variable : {"USER=", "LOGNAME="}) {
        account.environment.emplace_back(variable).append(name);
    }
    return account;
}

Status FakeAccountLogon::GrantServiceLogon(const std::string& name) {
    std::scoped_lock lock(mutex_);
    events_.push_back(EventText("granted", name));
    return Status::Ok();
}

std::vector<std::string> FakeAccountLogon::Events() const {
    std::scoped_lock lock(mutex_);
    return events_;
}

}  // namespace kvzn::platform
