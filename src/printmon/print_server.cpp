// The spooler as one cycle of printer checks sees it.
#include "printmon/print_server.h"

#include <cerrno>

#include "platform/text.h"

namespace kvzn::printmon {

platform::Result<const platform::SpoolerSnapshot*> SpoolerSession::Current() {
    if (!snapshot_) {
        snapshot_.emplace(spooler_.Snapshot());
        ++reads_;
        if (snapshot_->ok()) {
            for (platform::PrinterQueue& queue : snapshot_->value().printers) {
                for (const std::string& name : unreachable_) {
                    if (platform::EqualsNoCase(queue.printer.name, name)) {
                        queue.printer.status |= platform::kPrinterOffline;
                    }
                }
            }
        }
    }
    if (!snapshot_->ok())
        return snapshot_->status();
    return &snapshot_->value();
}

void SpoolerSession::SetUnreachableDevices(std::vector<std::string> printers) {
    unreachable_ = std::move(printers);
    for (const std::string& name : unreachable_) {
        if (snapshot_ && snapshot_->ok()) {
            for (platform::PrinterQueue& queue : snapshot_->value().printers) {
                if (platform::EqualsNoCase(queue.printer.name, name)) {
                    queue.printer.status |= platform::kPrinterOffline;
                }
            }
        }
    }
}

std::optional<PrinterHandle> OpenPrinter(SpoolerSession& session, std::string_view name) {
    auto snapshot = session.Current();
    if (!snapshot.ok() || (*snapshot)->Find(name) == nullptr)
        return std::nullopt;
    return PrinterHandle{&session, std::string(name)};
}

platform::Result<platform::PrinterQueue> ReadPrinter(const PrinterHandle& handle) {
    if (handle.session == nullptr)
        return platform::Status::Error(EBADF, "no printer handle");
    auto snapshot = handle.session->Current();
    if (!snapshot.ok())
        return snapshot.status();
    const platform::PrinterQueue* queue = (*snapshot)->Find(handle.name);
    if (queue == nullptr)
        return platform::Status::Error(ENOENT, "printer " + handle.name + " no longer exists");
    return *queue;
}

}  // namespace kvzn::printmon
