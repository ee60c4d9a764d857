// A spooler handle for code that owns its spooler, forwarding to a fake the test keeps.
#pragma once

#include <memory>

#include "platform/fake/fake_spooler.h"

namespace kvzn::test {

class SharedSpooler final : public platform::Spooler {
  public:
    explicit SharedSpooler(std::shared_ptr<platform::FakeSpooler> fake) : f_(std::move(fake)) {}
    platform::Result<platform::SpoolerSnapshot> Snapshot() override { return f_->Snapshot(); }
    platform::Status PausePrinter(std::string_view p) override { return f_->PausePrinter(p); }
    platform::Status ResumePrinter(std::string_view p) override { return f_->ResumePrinter(p); }
    platform::Status PurgeJobs(std::string_view p) override { return f_->PurgeJobs(p); }
    platform::Status SetOffline(std::string_view p) override { return f_->SetOffline(p); }
    platform::Status SetOnline(std::string_view p) override { return f_->SetOnline(p); }
    platform::Result<std::vector<std::string>> ListPorts() override { return f_->ListPorts(); }
    platform::Status Redirect(std::string_view p, std::string_view port) override {
        return f_->Redirect(p, port);
    }
    platform::Status PauseJob(std::string_view p, int id) override { return f_->PauseJob(p, id); }
    platform::Status ResumeJob(std::string_view p, int id) override { return f_->ResumeJob(p, id); }
    platform::Status RestartJob(std::string_view p, int id) override {
        return f_->RestartJob(p, id);
    }
    platform::Status DeleteJob(std::string_view p, int id) override { return f_->DeleteJob(p, id); }

  private:
    std::shared_ptr<platform::FakeSpooler> f_;
};

}  // namespace kvzn::test
