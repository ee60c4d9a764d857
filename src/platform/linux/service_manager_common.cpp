// Helpers shared by the systemd and SysV service managers.
#include "platform/linux/service_manager_common.h"

#include <cctype>
#include <cerrno>
#include <filesystem>

#include "platform/process.h"
#include "platform/profile_file.h"

namespace kvzn::platform::service_detail {

std::string NormalizeRoot(const std::string& root) {
    std::string normalized = root;
    while (normalized.size() > 1 && normalized.back() == '/') {
        normalized.pop_back();
    }
    return normalized.empty() ? "/" : normalized;
}

bool IsServiceName(std::string_view name) {
    if (name.empty() || name.front() == '-' || name.front() == '.') {
        return false;
    }
    for (const unsigned char c : name) {
        if (!std::isalnum(c) &&
            std::string_view("-_.@:").find(static_cast<char>(c)) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

bool IsVariableName(std::string_view name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name.front()))) {
        return false;
    }
    for (const unsigned char c : name) {
        if (!std::isalnum(c) && c != '_') {
            return false;
        }
    }
    return true;
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

Status CheckStopTimeout(const ServiceDefinition& def) {
    if (def.stopTimeout < std::chrono::seconds(1) || def.stopTimeout > kMaxStopTimeout) {
        return Status::Error(EINVAL, "service " + def.name +
                                         ": the stop time-out must lie between 1 and " +
                                         std::to_string(kMaxStopTimeout.count()) + " seconds");
    }
    return Status::Ok();
}

Status RefuseStop(std::string_view name, ServiceState state) {
    const std::string service = "service " + std::string(name);
    switch (state) {
        case ServiceState::NotInstalled:
            return Status::Error(ENOENT, service + " is not installed");
        case ServiceState::StopPending:
            return Status::Error(EALREADY, service + " is already stopping");
        case ServiceState::Stopped:
            return Status::Error(ESRCH, service + " is not running");
        case ServiceState::StartPending:
            return Status::Error(EAGAIN, service + " is starting and cannot stop now");
        default:
            return Status::Error(EIO, "the state of " + service + " cannot be determined");
    }
}

Status WriteServiceFile(const std::string& path, const std::string& content, int mode) {
    const std::filesystem::path target(path);
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    if (ec) {
        return Status::Errno("mkdir", target.parent_path().string(), ec.value());
    }
    return WriteFileAtomically(path, content, mode);
}

}  // namespace kvzn::platform::service_detail
