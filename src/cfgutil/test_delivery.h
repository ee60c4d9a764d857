// The service's own delivery code run inside the utility against a test alert, over the
// settings as the sheet shows them, applied or not.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "alerting/alert_record.h"
#include "companion/registry.h"
#include "platform/clock.h"
#include "platform/config_store.h"
#include "platform/service_status.h"
#include "platform/terminal_messages.h"
#include "service/service_context.h"
#include "service/status_reporter.h"

namespace kvzn::cfgutil {

inline constexpr const char* kTestMessage = "*** Test Message ***";

// @threadsafety One thread (the user-interface thread).
class TestDelivery {
  public:
    using Progress = std::function<void(std::string_view line)>;

    // `settings`: the store as the user sees it; `computer`: this machine's short name.
    TestDelivery(const platform::StoreTree& settings, platform::Clock& clock, std::string computer);
    ~TestDelivery();
    TestDelivery(const TestDelivery&) = delete;
    TestDelivery& operator=(const TestDelivery&) = delete;

    // Sends the test alert as a network message to `recipients` (names separated by
    // commas) through `terminals`.
    void NetworkMessage(const std::string& recipients, platform::TerminalMessages& terminals,
                        const Progress& progress);
    // Runs every alert-engine entry of every kind with the test alert, whatever its levels
    // and window. Returns the number of entries that ran.
    int AlertScripts(const Progress& progress);

  private:
    // The service's status lines are not wanted here.
    class QuietNotifier final : public platform::StatusNotifier {
      public:
        platform::Status Notify(platform::ServiceStatusState, uint32_t, uint32_t,
                                uint32_t) override {
            return platform::Status::Ok();
        }
    };
    alerting::AlertRecord TestRecord();

    std::shared_ptr<platform::ConfigStore> store_;
    companion::Registry registry_;
    QuietNotifier notifier_;
    service::StatusReporter status_;
    service::ServiceContext ctx_;
};

}  // namespace kvzn::cfgutil
