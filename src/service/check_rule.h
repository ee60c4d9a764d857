// The evaluation rule shared by the checks of every monitor: count, suppress, respond,
// re-check and follow up.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "config/check_fields.h"

namespace kvzn::service {

// What a monitor keeps per check between cycles.
struct CheckState {
    uint32_t lastAlertTick = 0;  // tick of the last alert or response; 0 = none
    uint32_t failureCount = 0;   // consecutive failures not yet acted upon
    std::string lastStatus;      // the latest description, shown by the web pages
};

struct CheckOutcome {
    bool failed = false;
    std::string statusText;
};

// Result of a response runner: 1 nothing run, 2 started (description set), 3 the runner
// alerted itself or a restart is under way.
struct ResponseOutcome {
    unsigned result = 1;
    std::optional<std::string> description;
};

// What the rule needs from the monitor for one check.
class CheckActions {
  public:
    virtual ~CheckActions() = default;
    virtual CheckOutcome Run() = 0;
    virtual ResponseOutcome RunResponse(const CheckOutcome& failure) = 0;
    // The failure alert; with a description, the "Automatic response failed." text.
    virtual void RaiseFailure(const CheckOutcome& failure,
                              const std::optional<std::string>& responseDescription) = 0;
    // The "Automatic response was successful." alert.
    virtual void RaiseResponseSucceeded(const CheckOutcome& healthy,
                                        const std::string& responseDescription) = 0;
    // Called whenever the check is found healthy (ResetLastRebootedFor and the like).
    virtual void Healthy(const CheckOutcome&) {}
};

enum class CheckResult {
    Skipped,        // disabled, or inside the non-notification period
    Healthy,        // healthy, nothing raised
    Counting,       // failed, below "CountBeforeAction"
    Alerted,        // failed: the failure alert was raised
    RunnerAlerted,  // the runner raised its own alert (result 3)
    Recovered,      // a response made the check healthy
};

struct CheckRuleOptions {
    // Windows service checks forget the alert after a successful response; printer checks
    // keep the tick of the response.
    bool clearTickAfterResponse = false;
    uint32_t notifyRunningActions = 0;
};

// Evaluates one check at tick `now` and updates its state.
CheckResult EvaluateCheck(uint32_t now, const config::CommonCheckFields& fields, CheckState& state,
                          CheckActions& actions, const CheckRuleOptions& options);

}  // namespace kvzn::service
