// Restart of the local server.
#pragma once

#include <memory>
#include <string>

#include "platform/status.h"

namespace kvzn::platform {

// Asks the machine to reboot now. Success means the request was accepted; the process may
// go on running for a while until the system takes it down.
// @threadsafety Always.
class SystemRestarter {
  public:
    virtual ~SystemRestarter() = default;
    virtual Status RestartNow() = 0;
};

// The restarter of this machine: "systemctl reboot" where systemd runs
// (/run/systemd/system exists), "shutdown -r now" elsewhere.
SystemRestarter& SystemRestart();
// The same below `root` (tests use a private root and tools of their own on PATH).
std::unique_ptr<SystemRestarter> MakeSystemRestarter(const std::string& root);

}  // namespace kvzn::platform
