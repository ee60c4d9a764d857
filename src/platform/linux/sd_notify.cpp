// The sd_notify datagram protocol, written directly over an AF_UNIX datagram socket.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/service_status.h"

namespace kvzn::platform {

std::string NotifyMessage(ServiceStatusState state, uint32_t checkpoint, uint32_t waitHintMs,
                          uint32_t exitCode) {
    const std::string extend =
        "EXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<uint64_t>(waitHintMs) * 1000) + "\n";
    switch (state) {
        case ServiceStatusState::StartPending:
            return "STATUS=Starting (checkpoint " + std::to_string(checkpoint) + ")\n" +
                   (waitHintMs ? extend : "");
        case ServiceStatusState::Running:
            return "READY=1\nSTATUS=Running\n";
        case ServiceStatusState::StopPending:
            return "STOPPING=1\nSTATUS=Stopping (checkpoint " + std::to_string(checkpoint) + ")\n" +
                   (waitHintMs ? extend : "");
        case ServiceStatusState::Stopped:
            return "STATUS=Stopped\n" +
                   (exitCode ? "ERRNO=" + std::to_string(exitCode) + "\n" : std::string());
    }
    return {};
}

namespace {

class SdNotifier final : public StatusNotifier {
  public:
    Status Notify(ServiceStatusState state, uint32_t checkpoint, uint32_t waitHintMs,
                  uint32_t exitCode) override {
        const char* socketPath = std::getenv("NOTIFY_SOCKET");
        if (socketPath == nullptr || *socketPath == '\0') {
            return Status::Ok();
        }
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const size_t len = std::strlen(socketPath);
        if (len >= sizeof addr.sun_path || (socketPath[0] != '/' && socketPath[0] != '@')) {
            return Status::Error(EINVAL, std::string("unusable NOTIFY_SOCKET ") + socketPath);
        }
        std::memcpy(addr.sun_path, socketPath, len);
        if (addr.sun_path[0] == '@') {
            addr.sun_path[0] = '\0';  // abstract namespace
        }
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return Status::Errno("socket");
        }
        const std::string message = NotifyMessage(state, checkpoint, waitHintMs, exitCode);
        const auto addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
        const ssize_t sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&addr), addrLen);
        const Status result = sent < 0 ? Status::Errno("sendto", socketPath) : Status::Ok();
        ::close(fd);
        return result;
    }
};

}  // namespace

StatusNotifier& SystemNotifier() {
    static SdNotifier notifier;
    return notifier;
}

}  // namespace kvzn::platform
