// An in-memory service manager whose services a test scripts by hand.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/service_manager.h"

namespace kvzn::platform {

// Services live in a map; nothing is run. Install adds a stopped service, Start makes it
// running, RequestStop makes a running one stop pending and it reaches Stopped after the
// number of Query calls set with SetStopQueries (default 0: stopped at once). Every call is
// recorded as "Method name", e.g. "Query cups", in the order of the calls.
// @threadsafety Always.
class FakeServiceManager final : public ServiceManager {
  public:
    explicit FakeServiceManager(std::string kind = "fake") : kind_(std::move(kind)) {}

    std::string_view Kind() const override { return kind_; }
    Status Install(const ServiceDefinition& def) override;
    Status Remove(std::string_view name) override;
    ServiceState Query(std::string_view name) override;
    Status Start(std::string_view name) override;
    Status RequestStop(std::string_view name) override;

    // Sets the state, installing the service if needed; NotInstalled removes it. A service
    // set to StopPending ends as after a stop request.
    void SetState(const std::string& name, ServiceState state);
    // While set, RequestStop of the running service fails and changes nothing.
    void SetRefuseStop(const std::string& name, bool refuse);
    // Queries that report StopPending after a stop request before Stopped; negative: the
    // service never stops.
    void SetStopQueries(const std::string& name, int queries);
    // The next Query calls for the name answer these states in turn, whatever the service's
    // own state (ManagerUnreachable: a manager that stops answering).
    void ScriptQueries(const std::string& name, std::vector<ServiceState> answers);

    std::vector<std::string> Calls() const;
    void ClearCalls();
    // The definition given to Install, if the service was installed through it.
    std::optional<ServiceDefinition> Definition(const std::string& name) const;

  private:
    struct Service {
        ServiceState state = ServiceState::Stopped;
        int stopQueriesLeft = 0;
        std::optional<ServiceDefinition> definition;
    };
    // Kept apart from the services, so that scripting a name does not install it.
    struct Behaviour {
        bool refuseStop = false;
        int stopQueries = 0;
        std::vector<ServiceState> scriptedQueries;  // answered first, front first
    };

    void Record(std::string_view method, std::string_view name);
    Behaviour BehaviourOf(std::string_view name) const;

    const std::string kind_;
    mutable std::mutex mutex_;
    std::map<std::string, Service, std::less<>> services_;
    std::map<std::string, Behaviour, std::less<>> behaviour_;
    std::vector<std::string> calls_;
};

}  // namespace kvzn::platform
