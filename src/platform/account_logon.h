// Local accounts that programs run as on a user's behalf: the password check through PAM
// (our own service "kvZNPrint"), the right to log on as a service (membership of the group
// "kvznprint-logon", which our PAM service file checks), and the identity and environment
// of the account's programs.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/status.h"

namespace kvzn::platform {

inline constexpr const char* kPamServiceName = "kvZNPrint";
// PAM reads a service's file under the service name in lower case.
inline constexpr const char* kPamServiceFile = "kvznprint";
// Names a directory whose kPamServiceFile is read instead of the system's PAM service file.
inline constexpr const char* kPamConfDirVariable = "KVZN_PAM_CONFDIR";
inline constexpr const char* kServiceLogonGroup = "kvznprint-logon";

// An account that passed the logon, ready to run programs as.
struct LocalAccount {
    std::string name;
    RunIdentity identity;
    std::string home;
    // The whole environment of its programs: what the PAM session gives, with HOME, USER,
    // LOGNAME and SHELL from the account's entry and a PATH (the PAM one, else a default).
    std::vector<std::string> environment;
};

// @threadsafety Always: each call works on its own PAM handle.
class AccountLogon {
  public:
    virtual ~AccountLogon() = default;
    // Checks the password ("auth"), then calls `passwordAccepted` with the account's name,
    // then the account checks ("account"; among them the service-logon right). Errors:
    // EACCES the name or password was refused (nothing was called), EPERM the account may
    // not log on now, ETIMEDOUT PAM did not answer in time, EIO PAM failed.
    virtual Result<LocalAccount> LogOn(
        const std::string& name, const std::string& password,
        const std::function<void(const std::string&)>& passwordAccepted) = 0;
    // Grants the account the right to log on as a service: it is added to the group
    // kServiceLogonGroup, which is created when missing. Granting twice succeeds both times.
    virtual Status GrantServiceLogon(const std::string& name) = 0;
};

// This machine's accounts through PAM. With $KVZN_PAM_CONFDIR set at the call, the service
// file is read from that directory. A logon that takes longer than `timeout` fails with
// ETIMEDOUT; it is left to end on its own and its `passwordAccepted` is then not called.
std::unique_ptr<AccountLogon> MakeAccountLogon(
    std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The content of the PAM service file: pam_unix for "auth" and "account", and the group of
// the service-logon right.
std::string PamServiceFileText();
// Writes ROOT/etc/pam.d/kvznprint with that content unless the file exists (a site's own
// file is kept).
Status InstallPamServiceFile(const std::string& root);

}  // namespace kvzn::platform
