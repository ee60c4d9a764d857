// A service context over a memory store and a fake clock, with private directories.
#pragma once

#include <filesystem>

#include "alerting/dispatcher.h"
#include "companion/registry.h"
#include "config/registry_names.h"
#include "platform/fake/fake_clock.h"
#include "service/service_context.h"
#include "support/test_support.h"

namespace kvzn::test {

class NullNotifier : public platform::StatusNotifier {
  public:
    platform::Status Notify(platform::ServiceStatusState, uint32_t, uint32_t, uint32_t) override {
        return platform::Status::Ok();
    }
};

// Everything a component needs from the host, as ServiceMain would have set it up.
struct ServiceFixture {
    ServiceFixture()
        : store(platform::MakeMemoryStore()),
          registry(store),
          status(notifier),
          context(registry, clock, status) {
        context.home = dir.path();
        context.dataDirectory = dir / "data";
        context.htmlTargetDirectory = dir / "html";
        context.imagesDirectory = dir / "images";
        context.computerName = "PRINTSRV";
        std::filesystem::create_directories(context.dataDirectory);
        std::filesystem::create_directories(context.htmlTargetDirectory);
        AttachAlerts();
    }
    // Gives the context a fresh alert store and dispatcher (reading the data directory as a
    // new run would) with `channels`.
    alerting::AlertRun& AttachAlerts(alerting::AlertChannels channels = {},
                                     alerting::AlertStoreOptions options = {},
                                     alerting::DispatcherOptions dispatcherOptions = {}) {
        context.alertPath.reset();
        return alerting::AttachAlertRun(context, std::move(channels), options, dispatcherOptions);
    }
    alerting::AlertRun& Alerts() { return alerting::Alerts(context); }
    // Alerts recorded so far in a fresh data directory (slots are used from 1 upwards).
    uint32_t RecordedAlerts() {
        uint32_t n = 0;
        while (std::filesystem::exists(Alerts().store.RecordPath(n + 1))) {
            ++n;
        }
        return n;
    }
    TempDir dir;
    std::shared_ptr<platform::ConfigStore> store;
    companion::Registry registry;
    NullNotifier notifier;
    service::StatusReporter status;
    platform::FakeClock clock;
    service::ServiceContext context;
};

}  // namespace kvzn::test
