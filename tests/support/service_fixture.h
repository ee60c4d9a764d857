// A service context over a memory store and a fake clock, with private directories.
#pragma once

#include <filesystem>

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
