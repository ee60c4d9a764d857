// The service checks of the print server monitor: is a configured service running, do the
// configured services exist, and the alerts of a service that is not running.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/check_fields.h"
#include "platform/service_manager.h"
#include "service/check_rule.h"
#include "service/service_context.h"

namespace kvzn::printmon {

// One service check: a built-in entry of the compiled table or a custom list entry.
struct ServiceCheck {
    std::string title;        // check name; for built-in entries also the subkey under "Print"
    std::string displayName;  // shown on the status page
    std::string serviceName;  // as configured ("Spooler"); aliases are resolved when used
    // "Enabled" (cleared for the life of the thread when the service does not exist),
    // "AlertLevel", "ActionToTake", "CountBeforeAction", "NonNotificationPeriod",
    // "Command" (the service name for the service-restart code), restart flag.
    config::CommonCheckFields fields;
    service::CheckState state;  // last alert tick, failure count, last status text
};

// The states the status texts tell apart. The platform reports a subset of them.
enum class ServiceCondition {
    StartPending,
    Running,
    ContinuePending,
    StopPending,
    PausePending,
    Paused,
    Stopped,  // also every state without a phrase of its own
    NotInstalled,
    ManagerUnreachable,
};

struct ServicePhrase {
    std::string_view text;  // "is running", "is stopped on this host", ...
    bool failed = false;    // the check counts the service as not running
};

ServicePhrase DescribeService(ServiceCondition condition);
ServiceCondition ConditionOf(platform::ServiceState state);

// Reads the state of the service `name` (alias table applied) into `text`. Returns 1 when
// the service counts as failed, 0 when it counts as running (start and continue pending
// included). A missing service and an unusable service manager are logged at level 1.
// @threadsafety Always; the status page calls it on web worker threads.
int CheckServiceRunning(service::ServiceContext& ctx, std::string_view name, std::string& text);

// Once at the start of the monitor: every enabled check whose service does not exist is
// logged, alerted ("Monitor/Configuration Error", not on the first run of the service),
// listed in the "Server-specific" section of the configuration-status file and disabled
// for the life of the thread. Built-in entries without a service name are passed over.
void VerifyLocalServices(service::ServiceContext& ctx, std::vector<ServiceCheck>& builtIns,
                         std::vector<ServiceCheck>& customs);

// Evaluates one service check at tick `now` by the common check rule: "Service Not
// Running" when it fails, the service's response through RunSpecifiedActions, and
// "Automatic Response Taken" after a response that worked when "NotifyRunningActions" is
// set.
service::CheckResult EvaluateServiceCheck(service::ServiceContext& ctx, ServiceCheck& check,
                                          uint32_t now);

}  // namespace kvzn::printmon
