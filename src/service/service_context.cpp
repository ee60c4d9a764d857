// Worker handshake, performance flag and component status lines of the service context.
#include "service/service_context.h"

#include <array>
#include <memory>

#include "companion/activity_log.h"
#include "platform/account_logon.h"
#include "platform/service_manager.h"
#include "platform/system_restart.h"
#include "service/monitor_thread.h"

namespace kvzn::service {

ServiceContext::~ServiceContext() = default;

void ServiceContext::ComponentReadyAndSuspend() {
    readyCount_.fetch_add(1);
    resume_.Wait();
}

void ServiceContext::ComponentReadyAndSuspend(const platform::Event& ownStop) {
    readyCount_.fetch_add(1);
    while (platform::Event::WaitAny({&resume_, &ownStop}, std::chrono::hours(1)) < 0) {
    }
}

void ServiceContext::SetPerformanceReady() {
    std::scoped_lock lock(performanceData_);
    performanceReady_ = true;
}

bool ServiceContext::PerformanceReady() {
    std::scoped_lock lock(performanceData_);
    return performanceReady_;
}

void ServiceContext::PublishMonitor(int componentCode, std::shared_ptr<Monitor> monitor) {
    std::scoped_lock lock(monitorsMutex_);
    monitors_[componentCode] = std::move(monitor);
}

void ServiceContext::WithdrawMonitor(int componentCode, const Monitor* monitor) {
    std::scoped_lock lock(monitorsMutex_);
    const auto it = monitors_.find(componentCode);
    if (it != monitors_.end() && it->second.get() == monitor) {
        monitors_.erase(it);
    }
}

std::shared_ptr<Monitor> ServiceContext::PublishedMonitor(int componentCode) const {
    std::scoped_lock lock(monitorsMutex_);
    const auto it = monitors_.find(componentCode);
    return it == monitors_.end() ? nullptr : it->second;
}

platform::ServiceManager& ServiceContext::Services() {
    if (serviceManager != nullptr) {
        return *serviceManager;
    }
    std::scoped_lock lock(servicesMutex_);
    if (!machineServices_) {
        machineServices_ = platform::MakeServiceManager("/");
    }
    return *machineServices_;
}

platform::AccountLogon& ServiceContext::Accounts() {
    if (accountLogon != nullptr) {
        return *accountLogon;
    }
    std::scoped_lock lock(servicesMutex_);
    if (!machineAccounts_) {
        machineAccounts_ = platform::MakeAccountLogon();
    }
    return *machineAccounts_;
}

platform::SystemRestarter& ServiceContext::Restarter() {
    return restarter != nullptr ? *restarter : platform::SystemRestart();
}

void ServiceContext::SetComponentStatusSink(std::function<void(int, std::string_view)> sink) {
    std::scoped_lock lock(sinkMutex_);
    statusSink_ = std::move(sink);
}

void ServiceContext::PostComponentStatus(int componentCode, std::string_view text) {
    std::function<void(int, std::string_view)> sink;
    {
        std::scoped_lock lock(sinkMutex_);
        sink = statusSink_;
    }
    if (sink) {
        sink(componentCode, text);
        return;
    }
    companion::Logger("kvZNConsole", "PostComponentStatus")(4, ComponentName(componentCode), ": ",
                                                            text);
}

std::string_view ComponentName(int code) {
    static constexpr std::array<std::string_view, 29> kNames = {"Alert Engine",
                                                                "Event Log Monitor",
                                                                "Log File Monitor",
                                                                "Performance Monitor",
                                                                "Database Monitor",
                                                                "FTP Monitor",
                                                                "E-mail Send/Receive Monitor",
                                                                "SQL Server Monitor",
                                                                "HTTP Monitor",
                                                                "Mailbox Monitor",
                                                                "Process Monitor",
                                                                "Alert/Notify",
                                                                "Web Server",
                                                                "Summary",
                                                                "Port Monitor",
                                                                "File Monitor",
                                                                "HTML Links Monitor",
                                                                "IIS Summary",
                                                                "Delayed Alert/Notify",
                                                                "Disk Space Monitor",
                                                                "Main Server",
                                                                "Console Handler",
                                                                "Exchange Monitor",
                                                                "File/Print Monitor",
                                                                "Print Server Monitor",
                                                                "Print Queue Monitor",
                                                                "Service Monitor",
                                                                "SQL Server Monitor",
                                                                "Server Monitor"};
    if (code < 1 || code > 29) {
        return {};
    }
    return kNames[static_cast<size_t>(code - 1)];
}

}  // namespace kvzn::service
