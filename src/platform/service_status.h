// Status reports of the running service to the init system (the sd_notify protocol).
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace kvzn::platform {

enum class ServiceStatusState { StartPending, Running, StopPending, Stopped };

// Sends one status report. With systemd the datagram goes to $NOTIFY_SOCKET:
// start/stop pending carry STATUS= and EXTEND_TIMEOUT_USEC= (the wait hint), running
// READY=1, stop pending STOPPING=1. Without $NOTIFY_SOCKET every report succeeds and does
// nothing (SysV init or a manual start).
// @threadsafety Always.
class StatusNotifier {
  public:
    virtual ~StatusNotifier() = default;
    virtual Status Notify(ServiceStatusState state, uint32_t checkpoint, uint32_t waitHintMs,
                          uint32_t exitCode) = 0;
};

// The notifier of this process (reads $NOTIFY_SOCKET when first used).
StatusNotifier& SystemNotifier();
// The datagram text of one report (for logs and tests).
std::string NotifyMessage(ServiceStatusState state, uint32_t checkpoint, uint32_t waitHintMs,
                          uint32_t exitCode);

}  // namespace kvzn::platform
