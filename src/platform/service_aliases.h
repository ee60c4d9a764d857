// Well-known service names of the original platform and the Linux units that stand for them.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/service_manager.h"

namespace kvzn::platform {

// A table from service names ("Spooler") to candidate units in order of preference
// ("cups"). Names compare without regard to case; units are used as written.
class ServiceAliases {
  public:
    // Spooler -> cups; Eventlog -> systemd-journald, rsyslog; Schedule -> cron;
    // W32Time -> systemd-timesyncd, chrony, ntpsec; UPS -> nut-server, apcupsd.
    static ServiceAliases Defaults();

    // Maps `name` to `units`, replacing what it mapped to; an empty list removes it.
    void Set(std::string_view name, std::vector<std::string> units);
    // The candidates of `name`, or null when it is not mapped.
    const std::vector<std::string>* Find(std::string_view name) const;
    size_t size() const { return entries_.size(); }

  private:
    std::vector<std::pair<std::string, std::vector<std::string>>> entries_;
};

// The table used by the service: the defaults until replaced.
// @threadsafety Always.
ServiceAliases ProcessServiceAliases();
void SetProcessServiceAliases(ServiceAliases aliases);

// The unit to control for `name`: the first candidate of the table that `manager` reports
// installed; `name` itself when it is not mapped or none of its candidates is installed.
// Queries the manager once per candidate tried.
// @threadsafety As the manager.
std::string ResolveServiceName(ServiceManager& manager, std::string_view name,
                               const ServiceAliases& aliases);
// The same with the process table.
std::string ResolveServiceName(ServiceManager& manager, std::string_view name);

}  // namespace kvzn::platform
