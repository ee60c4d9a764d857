// In-memory service manager for unit tests.
#include "platform/fake/fake_service_manager.h"

#include <cerrno>

namespace kvzn::platform {

void FakeServiceManager::Record(std::string_view method, std::string_view name) {
    calls_.push_back(std::string(method) + " " + std::string(name));
}

FakeServiceManager::Behaviour FakeServiceManager::BehaviourOf(std::string_view name) const {
    auto it = behaviour_.find(name);
    return it == behaviour_.end() ? Behaviour{} : it->second;
}

Status FakeServiceManager::Install(const ServiceDefinition& def) {
    std::scoped_lock lock(mutex_);
    Record("Install", def.name);
    auto& service = services_[def.name];
    service.definition = def;
    return Status::Ok();
}

Status FakeServiceManager::Remove(std::string_view name) {
    std::scoped_lock lock(mutex_);
    Record("Remove", name);
    auto it = services_.find(name);
    if (it == services_.end()) {
        return Status::Error(ENOENT, "service " + std::string(name) + " is not installed");
    }
    services_.erase(it);
    return Status::Ok();
}

ServiceState FakeServiceManager::Query(std::string_view name) {
    std::scoped_lock lock(mutex_);
    Record("Query", name);
    if (auto scripted = behaviour_.find(name);
        scripted != behaviour_.end() && !scripted->second.scriptedQueries.empty()) {
        const ServiceState answer = scripted->second.scriptedQueries.front();
        scripted->second.scriptedQueries.erase(scripted->second.scriptedQueries.begin());
        return answer;
    }
    auto it = services_.find(name);
    if (it == services_.end()) {
        return ServiceState::NotInstalled;
    }
    Service& service = it->second;
    if (service.state == ServiceState::StopPending && service.stopQueriesLeft >= 0) {
        if (service.stopQueriesLeft == 0) {
            service.state = ServiceState::Stopped;
        } else {
            --service.stopQueriesLeft;
        }
    }
    return service.state;
}

Status FakeServiceManager::Start(std::string_view name) {
    std::scoped_lock lock(mutex_);
    Record("Start", name);
    auto it = services_.find(name);
    if (it == services_.end()) {
        return Status::Error(ENOENT, "service " + std::string(name) + " is not installed");
    }
    it->second.state = ServiceState::Running;
    return Status::Ok();
}

Status FakeServiceManager::RequestStop(std::string_view name) {
    std::scoped_lock lock(mutex_);
    Record("RequestStop", name);
    auto it = services_.find(name);
    if (it == services_.end()) {
        return Status::Error(ENOENT, "service " + std::string(name) + " is not installed");
    }
    Service& service = it->second;
    if (service.state != ServiceState::Running) {
        return Status::Error(ESRCH, "service " + std::string(name) + " is not running");
    }
    const Behaviour behaviour = BehaviourOf(name);
    if (behaviour.refuseStop) {
        return Status::Error(EPERM, "service " + std::string(name) + " refused to stop");
    }
    service.stopQueriesLeft = behaviour.stopQueries;
    service.state = behaviour.stopQueries == 0 ? ServiceState::Stopped : ServiceState::StopPending;
    return Status::Ok();
}

void FakeServiceManager::SetState(const std::string& name, ServiceState state) {
    std::scoped_lock lock(mutex_);
    if (state == ServiceState::NotInstalled) {
        services_.erase(name);
        return;
    }
    Service& service = services_[name];
    service.state = state;
    service.stopQueriesLeft = BehaviourOf(name).stopQueries;
}

void FakeServiceManager::SetRefuseStop(const std::string& name, bool refuse) {
    std::scoped_lock lock(mutex_);
    behaviour_[name].refuseStop = refuse;
}

void FakeServiceManager::SetStopQueries(const std::string& name, int queries) {
    std::scoped_lock lock(mutex_);
    behaviour_[name].stopQueries = queries;
}

void FakeServiceManager::ScriptQueries(const std::string& name, std::vector<ServiceState> answers) {
    std::scoped_lock lock(mutex_);
    behaviour_[name].scriptedQueries = std::move(answers);
}

std::vector<std::string> FakeServiceManager::Calls() const {
    std::scoped_lock lock(mutex_);
    return calls_;
}

void FakeServiceManager::ClearCalls() {
    std::scoped_lock lock(mutex_);
    calls_.clear();
}

std::optional<ServiceDefinition> FakeServiceManager::Definition(const std::string& name) const {
    std::scoped_lock lock(mutex_);
    auto it = services_.find(name);
    return it == services_.end() ? std::nullopt : it->second.definition;
}

}  // namespace kvzn::platform
