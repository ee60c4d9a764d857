// Well-known service names of the original platform and the Linux units that stand for them.
#include "platform/service_aliases.h"

#include <strings.h>

#include <algorithm>
#include <mutex>

#include "platform/text.h"

namespace kvzn::platform {
namespace {

std::mutex& TableMutex() {
    static std::mutex m;
    return m;
}

ServiceAliases& Table() {
    static ServiceAliases table = ServiceAliases::Defaults();
    return table;
}

}  // namespace

ServiceAliases ServiceAliases::Defaults() {
    ServiceAliases aliases;
    aliases.Set("Spooler", {"cups"});
    aliases.Set("Eventlog", {"systemd-journald", "rsyslog"});
    aliases.Set("Schedule", {"cron"});
    aliases.Set("W32Time", {"systemd-timesyncd", "chrony", "ntpsec"});
    aliases.Set("UPS", {"nut-server", "apcupsd"});
    return aliases;
}

void ServiceAliases::Set(std::string_view name, std::vector<std::string> units) {
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const auto& entry) { return EqualsNoCase(entry.first, name); });
    if (units.empty()) {
        if (it != entries_.end()) {
            entries_.erase(it);
        }
        return;
    }
    if (it != entries_.end()) {
        it->second = std::move(units);
    } else {
        entries_.emplace_back(std::string(name), std::move(units));
    }
}

const std::vector<std::string>* ServiceAliases::Find(std::string_view name) const {
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const auto& entry) { return EqualsNoCase(entry.first, name); });
    return it == entries_.end() ? nullptr : &it->second;
}

ServiceAliases ProcessServiceAliases() {
    std::scoped_lock lock(TableMutex());
    return Table();
}

void SetProcessServiceAliases(ServiceAliases aliases) {
    std::scoped_lock lock(TableMutex());
    Table() = std::move(aliases);
}

std::string ResolveServiceName(ServiceManager& manager, std::string_view name,
                               const ServiceAliases& aliases) {
    if (const auto* units = aliases.Find(name)) {
        for (const std::string& unit : *units) {
            if (manager.Query(unit) != ServiceState::NotInstalled) {
                return unit;
            }
        }
    }
    return std::string(name);
}

std::string ResolveServiceName(ServiceManager& manager, std::string_view name) {
    return ResolveServiceName(manager, name, ProcessServiceAliases());
}

}  // namespace kvzn::platform
