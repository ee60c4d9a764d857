// Console request handling.
#include "console/console_requests.h"

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "platform/os_info.h"

namespace kvzn::console {
namespace {

constexpr std::string_view kModule = "kvZNConsoleHandler";

std::string RegistrationData(service::ServiceContext& ctx) {
    std::string stamp;
    ctx.registry.ReadText(config::kProductKey, config::value::kLastConfigUpdateTime, stamp, 51);
    if (stamp.empty()) {
        stamp = "N/A";
    }
    return JoinFields({stamp, ctx.enableWebReports ? "1" : "0", "", "",
                       platform::OperatingSystemText(), std::string(kMonitorVersion)});
}

ConsoleReply Reply(int request, int type, std::string_view text) {
    return {BuildConsoleMessage(type, text), type, {}, request};
}

}  // namespace

std::optional<std::string> ResolveHomeFile(const std::string& home, const std::string& name) {
    namespace fs = std::filesystem;
    const fs::path relative(name);
    if (name.empty() || relative.is_absolute() || relative.has_root_name() ||
        std::any_of(relative.begin(), relative.end(),
                    [](const fs::path& p) { return p == ".."; })) {
        return std::nullopt;
    }
    std::error_code ec;
    const fs::path root = fs::canonical(home, ec);
    if (ec) {
        return std::nullopt;
    }
    const fs::path file = fs::canonical(root / relative, ec);
    if (ec) {
        return std::nullopt;
    }
    // Links are followed: what they lead to must still lie inside the home directory.
    const auto [end, unused] = std::mismatch(root.begin(), root.end(), file.begin(), file.end());
    if (end != root.end() || !fs::is_regular_file(file, ec)) {
        return std::nullopt;
    }
    return file.string();
}

std::vector<std::string> ActivityBanner(const std::string& osText, uint64_t uptimeSeconds) {
    const std::string dashes(136, '-');
    const uint64_t days = uptimeSeconds / 86400;
    const uint64_t hours = uptimeSeconds / 3600 % 24;
    const uint64_t mins = uptimeSeconds / 60 % 60;
    const uint64_t secs = uptimeSeconds % 60;
    return {dashes,
            "Korvane Tessel Monitor Integrated Web Server & Console Display",
            "Run time Activity Information Enabled",
            "O/S : " + osText,
            "Monitor Version : " + std::string(kMonitorVersion),
            "Monitor Status : Enabled",
            "Windows Running Time : " + std::to_string(days) + " day(s), " + std::to_string(hours) +
                " hour(s), " + std::to_string(mins) + " mins(s), " + std::to_string(secs) +
                " sec(s)",
            dashes};
}

std::optional<ConsoleReply> ProcessConsoleMessage(service::ServiceContext& ctx,
                                                  ConsoleClients& clients,
                                                  const ParsedMessage& message,
                                                  const std::string& clientAddress) {
    const companion::Logger log(kModule, "ProcessConsoleMessage");
    if (message.status != Parse::kComplete) {
        log(1, message.error);
        return std::nullopt;
    }
    const int request = message.number;
    const std::string first = message.fields.empty() ? std::string() : message.fields[0];
    switch (request) {
        case kRegister:
        case kReRegister:
        case kStartActivity:
        case kStopActivity: {
            const auto port = ParsePort(first);
            if (!port) {
                log(1, first.empty() ? "Inbound REGISTER request is invalid. The client's port "
                                       "number is missing. The request cannot be processed"
                                     : "Inbound REGISTER request is invalid. The client's port "
                                       "number is not numeric. The request cannot be processed");
                return std::nullopt;
            }
            if (request == kStopActivity) {
                clients.StopActivity(clientAddress, *port);
                return Reply(request, kDone, "");
            }
            if (request != kStartActivity) {
                ctx.PostComponentStatus(
                    kConsoleComponent,
                    "Register/re-register request received from client " + clientAddress);
            }
            clients.Register(clientAddress, *port, request == kStartActivity);
            return request == kStartActivity ? Reply(request, kDone, "")
                                             : Reply(request, kDone, RegistrationData(ctx));
        }
        case kGetFile: {
            if (first.empty()) {
                log(1,
                    "Inbound GETFILE request is invalid. The target file name is missing. The "
                    "request cannot be processed");
                return std::nullopt;
            }
            ctx.PostComponentStatus(kConsoleComponent,
                                    "Console file request received for file " + first);
            const auto path = ResolveHomeFile(ctx.home, first);
            if (!path) {
                log(1, "Inbound GETFILE request cannot be processed because the requested file ",
                    first,
                    " was not found on this server (only files of the home directory are "
                    "sent)");
                return Reply(request, kFileNotFound, kFileNotFoundText);
            }
            ConsoleReply reply = Reply(request, kFileFollows, kFileFollowsText);
            reply.filePath = *path;
            return reply;
        }
        default:
            log(1, "The inbound message request ", request,
                " is not supported by this version of the Tessel Monitor");
            return Reply(request, kNotSupported, kNotSupportedText);
    }
}

bool PostToConsoles(service::ServiceContext& ctx, ConsoleClients& clients, int componentCode,
                    std::string_view text) {
    const std::time_t now = ctx.clock.Now();
    std::tm t{};
    localtime_r(&now, &t);
    return clients.PostActivity(FormatActivityLine(ctx.DateFormat(), t.tm_year + 1900, t.tm_mon + 1,
                                                   t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                                                   service::ComponentName(componentCode), text));
}

}  // namespace kvzn::console
