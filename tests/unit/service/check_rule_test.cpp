// The shared check rule: counting, suppression, responses and their follow-up.
#include "service/check_rule.h"

#include <gtest/gtest.h>

#include <deque>

namespace kvzn::service {
namespace {

// A check whose results and response outcome the test scripts.
class ScriptedCheck : public CheckActions {
  public:
    CheckOutcome Run() override {
        ++runs;
        const bool fail = results.empty() ? failByDefault : results.front();
        if (!results.empty()) {
            results.pop_front();
        }
        return {fail, fail ? "down" : "up"};
    }
    ResponseOutcome RunResponse(const CheckOutcome&) override {
        ++responses;
        return response;
    }
    void RaiseFailure(const CheckOutcome&, const std::optional<std::string>& description) override {
        failures.push_back(description.value_or("<ordinary>"));
    }
    void RaiseResponseSucceeded(const CheckOutcome&, const std::string& description) override {
        successes.push_back(description);
    }
    void Healthy(const CheckOutcome&) override { ++healthy; }

    std::deque<bool> results;
    bool failByDefault = true;
    ResponseOutcome response;
    int runs = 0;
    int responses = 0;
    int healthy = 0;
    std::vector<std::string> failures;
    std::vector<std::string> successes;
};

config::CommonCheckFields Fields(uint32_t countBefore = 0, uint32_t period = 0) {
    config::CommonCheckFields f;
    f.enabled = true;
    f.countBeforeAction = countBefore;
    f.nonNotificationPeriod = period;
    return f;
}

TEST(CheckRuleTest, CountBeforeActionTwoAlertsOnTheThirdConsecutiveFailure) {
    ScriptedCheck check;
    CheckState state;
    const auto fields = Fields(2);
    uint32_t now = 1000;
    EXPECT_EQ(EvaluateCheck(now += 1000, fields, state, check, {}), CheckResult::Counting);
    EXPECT_EQ(EvaluateCheck(now += 1000, fields, state, check, {}), CheckResult::Counting);
    EXPECT_EQ(EvaluateCheck(now += 1000, fields, state, check, {}), CheckResult::Alerted);
    EXPECT_EQ(check.failures, std::vector<std::string>{"<ordinary>"});
    EXPECT_EQ(state.lastAlertTick, now);
    EXPECT_EQ(state.failureCount, 0u);
}

TEST(CheckRuleTest, AHealthyResultStartsTheCountAgain) {
    ScriptedCheck check;
    check.results = {true, true, false, true, true, true};
    CheckState state;
    const auto fields = Fields(2);
    std::vector<CheckResult> seen;
    for (uint32_t now = 1000; now <= 6000; now += 1000) {
        seen.push_back(EvaluateCheck(now, fields, state, check, {}));
    }
    EXPECT_EQ(seen, (std::vector<CheckResult>{CheckResult::Counting, CheckResult::Counting,
                                              CheckResult::Healthy, CheckResult::Counting,
                                              CheckResult::Counting, CheckResult::Alerted}));
    EXPECT_EQ(check.healthy, 1);
}

TEST(CheckRuleTest, NonNotificationPeriodSkipsTheCheckEntirely) {
    ScriptedCheck check;
    CheckState state;
    const auto fields = Fields(0, 15);
    const uint32_t start = 5000;
    ASSERT_EQ(EvaluateCheck(start, fields, state, check, {}), CheckResult::Alerted);
    const int runsAfterAlert = check.runs;
    check.failByDefault = false;  // whatever happens meanwhile
    EXPECT_EQ(EvaluateCheck(start + 14 * 60000 + 59999, fields, state, check, {}),
              CheckResult::Skipped);
    EXPECT_EQ(check.runs, runsAfterAlert);
    EXPECT_EQ(EvaluateCheck(start + 15 * 60000, fields, state, check, {}), CheckResult::Healthy);
}

TEST(CheckRuleTest, ClearedTickAfterTheWrapMakesASuppressedCheckRunAgain) {
    ScriptedCheck check;
    CheckState state;
    const auto fields = Fields(0, 60);
    ASSERT_EQ(EvaluateCheck(0xFFFF0000u, fields, state, check, {}), CheckResult::Alerted);
    // The skeleton clears the ticks when the counter wraps; the check is due at once.
    state.lastAlertTick = 0;
    EXPECT_EQ(EvaluateCheck(1000, fields, state, check, {}), CheckResult::Alerted);
}

TEST(CheckRuleTest, DisabledChecksNeverRun) {
    ScriptedCheck check;
    CheckState state;
    auto fields = Fields();
    fields.enabled = false;
    EXPECT_EQ(EvaluateCheck(1000, fields, state, check, {}), CheckResult::Skipped);
    EXPECT_EQ(check.runs, 0);
}

TEST(CheckRuleTest, ResponseOutcomesDecideTheFollowUp) {
    struct Case {
        const char* name;
        unsigned result;
        const char* description;  // nullptr: none
        bool failsAfterResponse;
        uint32_t notifyRunningActions;
        CheckResult expected;
        std::vector<std::string> failures;
        std::vector<std::string> successes;
        int runs;
    };
    const std::vector<Case> cases = {
        {"no response configured",
         1,
         nullptr,
         true,
         1,
         CheckResult::Alerted,
         {"<ordinary>"},
         {},
         1},
        {"runner alerted itself", 3, nullptr, true, 1, CheckResult::RunnerAlerted, {}, {}, 1},
        {"response did not help",
         2,
         "restarted",
         true,
         1,
         CheckResult::Alerted,
         {"restarted"},
         {},
         2},
        {"response helped, reported",
         2,
         "restarted",
         false,
         1,
         CheckResult::Recovered,
         {},
         {"restarted"},
         2},
        {"response helped, quiet", 2, "restarted", false, 0, CheckResult::Recovered, {}, {}, 2},
        {"started without description", 2, nullptr, false, 1, CheckResult::Recovered, {}, {}, 2},
    };
    for (const Case& c : cases) {
        ScriptedCheck check;
        check.results = {true, c.failsAfterResponse};
        check.response.result = c.result;
        if (c.description != nullptr) {
            check.response.description = c.description;
        }
        CheckState state;
        CheckRuleOptions options;
        options.notifyRunningActions = c.notifyRunningActions;
        EXPECT_EQ(EvaluateCheck(7000, Fields(), state, check, options), c.expected) << c.name;
        EXPECT_EQ(check.failures, c.failures) << c.name;
        EXPECT_EQ(check.successes, c.successes) << c.name;
        EXPECT_EQ(check.runs, c.runs) << c.name;
        EXPECT_EQ(state.lastAlertTick, 7000u) << c.name;
    }
}

TEST(CheckRuleTest, ServiceChecksForgetTheAlertAfterASuccessfulResponse) {
    ScriptedCheck check;
    check.results = {true, false};
    check.response = {2, "started"};
    CheckState state;
    CheckRuleOptions options;
    options.clearTickAfterResponse = true;
    EXPECT_EQ(EvaluateCheck(7000, Fields(0, 15), state, check, options), CheckResult::Recovered);
    EXPECT_EQ(state.lastAlertTick, 0u);
    EXPECT_EQ(check.healthy, 1);
}

}  // namespace
}  // namespace kvzn::service
