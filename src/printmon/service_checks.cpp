// The service checks of the print server monitor.
#include "printmon/service_checks.h"

#include <exception>
#include <new>
#include <optional>

#include "alerting/dispatcher.h"
#include "companion/activity_log.h"
#include "platform/service_aliases.h"
#include "printmon/print_server.h"
#include "responses/response_runner.h"
#include "service/config_status.h"

namespace kvzn::printmon {

namespace {

constexpr std::string_view kModule = kPrintServerModule;
constexpr const char* kServerSpecificSection = "Server-specific";

// Looks up the service through the alias table; throws when the manager cannot be used.
ServiceCondition QueryService(service::ServiceContext& ctx, std::string_view name) {
    platform::ServiceManager& manager = ctx.Services();
    const std::string unit = platform::ResolveServiceName(manager, name);
    return ConditionOf(manager.Query(unit));
}

// What the common rule needs from a service check.
class ServiceCheckActions final : public service::CheckActions {
  public:
    ServiceCheckActions(service::ServiceContext& ctx, ServiceCheck& check)
        : ctx_(ctx), check_(check) {}

    service::CheckOutcome Run() override {
        service::CheckOutcome outcome;
        outcome.failed = CheckServiceRunning(ctx_, check_.serviceName, outcome.statusText) != 0;
        return outcome;
    }

    service::ResponseOutcome RunResponse(const service::CheckOutcome& failure) override {
        std::string description;
        service::ResponseOutcome response;
        response.result = responses::RunSpecifiedActions(
            ctx_, alerting::kCategoryPrintServer, check_.fields.alertLevel,
            check_.fields.actionToTake, check_.title, failure.statusText,
            check_.fields.restart ? 1 : 0, check_.fields.command, check_.serviceName, std::nullopt,
            std::nullopt, description);
        if (response.result == responses::kResponseStarted) {
            response.description = std::move(description);
        }
        return response;
    }

    void RaiseFailure(const service::CheckOutcome& failure,
                      const std::optional<std::string>& description) override try {
        std::string message;
        if (description) {
            message = "Automatic response failed. The check " + check_.title +
                      " failed because the service " + check_.serviceName + " " +
                      failure.statusText + ". " + *description +
                      " but the problem persists. Further investigation is now required ...";
        } else {
            message = "The check " + check_.title + " failed because the service " +
                      check_.serviceName + " " + failure.statusText + " ...";
        }
        alerting::NotifyError(ctx_, alerting::kCategoryPrintServer, check_.fields.alertLevel,
                              check_.fields.actionToTake, "Service Not Running", check_.title,
                              message, check_.serviceName);
    } catch (const std::bad_alloc&) {
        NoMemoryForAlert();
    }

    void RaiseResponseSucceeded(const service::CheckOutcome&,
                                const std::string& description) override try {
        std::string message = "Automatic response was successful. The check " + check_.title +
                              " previously failed. " + description + ".";
        alerting::NotifyError(ctx_, alerting::kCategoryPrintServer, check_.fields.alertLevel,
                              check_.fields.actionToTake, "Automatic Response Taken", check_.title,
                              message, check_.serviceName, std::nullopt, std::nullopt, 1);
    } catch (const std::bad_alloc&) {
        NoMemoryForAlert();
    }

    void Healthy(const service::CheckOutcome&) override {
        responses::ResetLastRebootedFor(ctx_, check_.title);
    }

  private:
    // The alert is dropped for this cycle; the rule has already set the last alert tick.
    static void NoMemoryForAlert() {
        companion::Logger(kModule, "SpecificMonitor")(
            1, "Insufficient memory available to generate the display/alert message");
    }

    service::ServiceContext& ctx_;
    ServiceCheck& check_;
};

}  // namespace

ServicePhrase DescribeService(ServiceCondition condition) {
    switch (condition) {
        case ServiceCondition::StartPending:
            return {"is start pending", false};
        case ServiceCondition::Running:
            return {"is running", false};
        case ServiceCondition::ContinuePending:
            return {"is continue pending", false};
        case ServiceCondition::StopPending:
            return {"is being stopped on this host", true};
        case ServiceCondition::PausePending:
            return {"is being paused on this host", true};
        case ServiceCondition::Paused:
            return {"is paused on this host", true};
        case ServiceCondition::NotInstalled:
            return {"not installed on this host", true};
        case ServiceCondition::ManagerUnreachable:
            return {"Unable to contact the Service Control Manager", true};
        case ServiceCondition::Stopped:
            break;
    }
    return {"is stopped on this host", true};
}

ServiceCondition ConditionOf(platform::ServiceState state) {
    switch (state) {
        case platform::ServiceState::NotInstalled:
            return ServiceCondition::NotInstalled;
        case platform::ServiceState::StartPending:
            return ServiceCondition::StartPending;
        case platform::ServiceState::StopPending:
            return ServiceCondition::StopPending;
        case platform::ServiceState::Running:
            return ServiceCondition::Running;
        case platform::ServiceState::ManagerUnreachable:
            return ServiceCondition::ManagerUnreachable;
        case platform::ServiceState::Stopped:
        case platform::ServiceState::Unknown:
            break;
    }
    return ServiceCondition::Stopped;
}

int CheckServiceRunning(service::ServiceContext& ctx, std::string_view name, std::string& text) {
    const companion::Logger log(kModule, "CheckServiceRunning");
    ServiceCondition condition = ServiceCondition::ManagerUnreachable;
    bool threw = false;
    try {
        condition = QueryService(ctx, name);
    } catch (const std::exception& e) {
        threw = true;
        log(1, "Cannot verify a service - unable to connect to the SCM. The check is '", name,
            "' (", e.what(), ")");
    }
    if (condition == ServiceCondition::NotInstalled) {
        log(1,
            "Cannot verify a service - the service does not exist on this server. The check is '",
            name, "'");
    } else if (condition == ServiceCondition::ManagerUnreachable && !threw) {
        log(1, "Cannot verify a service - unable to connect to the SCM. The check is '", name, "'");
    }
    const ServicePhrase phrase = DescribeService(condition);
    text = phrase.text;
    return phrase.failed ? 1 : 0;
}

void VerifyLocalServices(service::ServiceContext& ctx, std::vector<ServiceCheck>& builtIns,
                         std::vector<ServiceCheck>& customs) {
    const companion::Logger log(kModule, "VerifyLocalServices");
    std::vector<ServiceCheck*> toVerify;
    for (ServiceCheck& check : builtIns) {
        if (check.fields.enabled && !check.serviceName.empty()) {
            toVerify.push_back(&check);
        }
    }
    for (ServiceCheck& check : customs) {
        if (check.fields.enabled) {
            toVerify.push_back(&check);
        }
    }
    if (toVerify.empty()) {
        return;
    }

    int errors = 0;
    try {
        for (ServiceCheck* check : toVerify) {
            const ServiceCondition condition = QueryService(ctx, check->serviceName);
            if (condition == ServiceCondition::ManagerUnreachable) {
                log(1, "Unable to connect to the SCM");
                return;
            }
            if (condition != ServiceCondition::NotInstalled) {
                continue;
            }
            const std::string& name = check->serviceName;
            log(1, "The service ", name, " does not exist on this host");
            if (!ctx.firstRun) {
                std::string message = "The service " + name +
                                      " cannot be monitored because it is not installed on this "
                                      "host. Please report this error to the System Administrator";
                alerting::NotifyError(ctx, alerting::kCategoryPrintServer, check->fields.alertLevel,
                                      0, "Monitor/Configuration Error", "Service " + name, message,
                                      name);
            }
            ++errors;
            service::RecordConfigStatus(ctx, kServerSpecificSection, "Title", errors, check->title);
            service::RecordConfigStatus(ctx, kServerSpecificSection, "Reason", errors,
                                        "Service does not exist on this server");
            check->fields.enabled = false;
        }
    } catch (const std::exception& e) {
        log(1, "Unable to connect to the SCM (", e.what(), ")");
    }
}

service::CheckResult EvaluateServiceCheck(service::ServiceContext& ctx, ServiceCheck& check,
                                          uint32_t now) {
    ServiceCheckActions actions(ctx, check);
    service::CheckRuleOptions options;
    options.clearTickAfterResponse = true;
    options.notifyRunningActions = ctx.notifyRunningActions;
    return service::EvaluateCheck(now, check.fields, check.state, actions, options);
}

}  // namespace kvzn::printmon
