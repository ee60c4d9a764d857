// Accounts of a table: the logon compares passwords, grants are only recorded, and every
// account runs programs as the calling process's own user.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/account_logon.h"

namespace kvzn::platform {

// @threadsafety Always.
class FakeAccountLogon final : public AccountLogon {
  public:
    void AddAccount(const std::string& name, const std::string& password);
    Result<LocalAccount> LogOn(
        const std::string& name, const std::string& password,
        const std::function<void(const std::string&)>& passwordAccepted) override;
    Status GrantServiceLogon(const std::string& name) override;
    // What happened, in order: "logon NAME", "accepted NAME", "granted NAME".
    std::vector<std::string> Events() const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> passwords_;
    std::vector<std::string> events_;
};

}  // namespace kvzn::platform
