// The evaluation rule shared by the checks of every monitor.
#include "service/check_rule.h"

#include "service/monitor_schedule.h"

namespace kvzn::service {

CheckResult EvaluateCheck(uint32_t now, const config::CommonCheckFields& fields, CheckState& state,
                          CheckActions& actions, const CheckRuleOptions& options) {
    if (!fields.enabled ||
        !IsIntervalElapsed(now, state.lastAlertTick, fields.nonNotificationPeriod)) {
        return CheckResult::Skipped;
    }
    CheckOutcome outcome = actions.Run();
    state.lastStatus = outcome.statusText;
    if (!outcome.failed) {
        state.failureCount = 0;
        state.lastAlertTick = 0;
        actions.Healthy(outcome);
        return CheckResult::Healthy;
    }
    if (state.failureCount + 1 <= fields.countBeforeAction) {
        ++state.failureCount;
        return CheckResult::Counting;
    }

    state.failureCount = 0;
    state.lastAlertTick = now;
    ResponseOutcome response = actions.RunResponse(outcome);
    if (response.result == 3) {
        return CheckResult::RunnerAlerted;
    }
    if (response.result == 2) {
        outcome = actions.Run();  // the response's effect, seen at once
        state.lastStatus = outcome.statusText;
    } else {
        response.description.reset();
    }
    if (outcome.failed) {
        state.lastAlertTick = now;
        actions.RaiseFailure(outcome, response.description);
        return CheckResult::Alerted;
    }
    if (options.notifyRunningActions != 0 && response.description) {
        actions.RaiseResponseSucceeded(outcome, *response.description);
    }
    if (options.clearTickAfterResponse) {
        state.lastAlertTick = 0;
        actions.Healthy(outcome);
    }
    return CheckResult::Recovered;
}

}  // namespace kvzn::service
