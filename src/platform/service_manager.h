// Service control: registering this service and querying, starting and stopping services.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace kvzn::platform {

// ManagerUnreachable: the service manager itself could not be asked (systemctl failed or
// did not answer); Unknown: it answered with a state that has no name here.
enum class ServiceState {
    NotInstalled,
    Stopped,
    StartPending,
    StopPending,
    Running,
    Unknown,
    ManagerUnreachable,
};

// The longest stop time-out a service definition may ask for.
inline constexpr std::chrono::seconds kMaxStopTimeout{120};

// What the registration of a service writes.
struct ServiceDefinition {
    std::string name;         // unit / init script name, "kvZNPrint"
    std::string displayName;  // "Korvane/Tessel (Print) Monitor Server"
    std::string description;
    std::string executable;                // absolute path of the program
    std::vector<std::string> environment;  // "NAME=value" entries the service runs with
    // How long the service may take to stop after SIGTERM before it is killed (1 s to
    // kMaxStopTimeout). Only the service's main process is signalled and killed: programs
    // it started in sessions of their own keep running.
    std::chrono::seconds stopTimeout{90};
};

// One service manager of the machine: systemd where it runs, SysV init scripts elsewhere.
// All paths the backend writes (unit files, init scripts, pid files) lie below `root`
// given to the factory, so tests can install into a private root.
// @threadsafety Each call is independent; calls may come from several threads.
class ServiceManager {
  public:
    virtual ~ServiceManager() = default;
    virtual std::string_view Kind() const = 0;  // "systemd" or "sysv"
    // Creates the service entry and enables it for automatic start.
    virtual Status Install(const ServiceDefinition& def) = 0;
    // Disables and deletes the service entry.
    virtual Status Remove(std::string_view name) = 0;
    virtual ServiceState Query(std::string_view name) = 0;
    virtual Status Start(std::string_view name) = 0;
    // The stop control: asks a running service to stop. Fails (refused) when the service is
    // not running. The systemd backend does not wait; a SysV init script stops the service
    // before it returns, within its definition's stopTimeout and the kill after it.
    virtual Status RequestStop(std::string_view name) = 0;
};

// systemd when ROOT/run/systemd/system exists, SysV otherwise.
std::unique_ptr<ServiceManager> MakeServiceManager(const std::string& root = "/");
std::unique_ptr<ServiceManager> MakeSystemdManager(const std::string& root);
std::unique_ptr<ServiceManager> MakeSysVManager(const std::string& root);

}  // namespace kvzn::platform
