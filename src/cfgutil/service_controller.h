// Starting, stopping and restarting the monitor service on the configured server.
#pragma once

#include <string>

#include "platform/clock.h"
#include "platform/service_manager.h"

namespace kvzn::cfgutil {

// What the controller shows the user; the terminal UI and scripts supply their own.
class UserPrompt {
  public:
    virtual ~UserPrompt() = default;
    virtual void Message(const std::string& title, const std::string& text) = 0;
    // Yes (true) or No.
    virtual bool Ask(const std::string& title, const std::string& text) = 0;
    // A "please wait" text shown while a slow step runs.
    virtual void Wait(const std::string& text) = 0;
};

class ServiceController {
  public:
    ServiceController(platform::ServiceManager& manager, platform::Clock& clock, UserPrompt& prompt,
                      std::string serviceName)
        : manager_(manager), clock_(clock), prompt_(prompt), name_(std::move(serviceName)) {}

    // Running unless stopped or stop-pending; a manager that cannot be asked or a service
    // that is not registered counts as not running.
    bool IsRunning();
    // Each returns true on success and tells the user why it failed otherwise.
    bool StartServer();
    bool StopServer();
    bool RestartServer();

  private:
    enum class Stop { Stopped, TimedOut, Refused, Unreachable, NotInstalled };
    Stop SendStopAndWait();
    platform::ServiceManager& manager_;
    platform::Clock& clock_;
    UserPrompt& prompt_;
    std::string name_;
};

// Number of status polls after the stop control, one second apart.
inline constexpr int kStopPolls = 60;

}  // namespace kvzn::cfgutil
