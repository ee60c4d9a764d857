// The automatic response runner: server restart with repeat protection, commands, scripts
// and service starts.
#include "responses/response_runner.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <new>
#include <vector>

#include "alerting/dispatcher.h"
#include "alerting/message_text.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "platform/process.h"
#include "platform/service_aliases.h"
#include "platform/service_manager.h"
#include "platform/system_restart.h"
#include "platform/text.h"
#include "responses/shell_quote.h"

namespace kvzn::responses {
namespace {

constexpr std::string_view kModule = "kvZNShared";
constexpr int kAlertNotifyComponent = 12;
constexpr uint32_t kDefaultActionTimeout = 120;
constexpr uint32_t kRestartDelayMs = 30000;
constexpr size_t kLastRebootedForSize = 260;
// Product key value: the program that runs scripts without a "#!" line of their own.
constexpr const char* kScriptInterpreterValue = "ScriptInterpreter";
constexpr const char* kDefaultScriptInterpreter = "/bin/sh";

constexpr std::string_view kRebootingTitle = "Server is Rebooting";
constexpr std::string_view kConfigErrorTitle = "Monitor/Configuration Error";
constexpr std::string_view kServiceRestartTitle = "Service Restart";

void PostStatus(service::ServiceContext& ctx, const std::string& text) {
    ctx.PostComponentStatus(kAlertNotifyComponent, text);
}

std::string_view StoredName(std::string_view name) {
    return name.substr(0, kLastRebootedForSize - 1);
}

std::string Joined(const std::vector<std::string>& argv) {
    std::string text;
    for (const auto& arg : argv) {
        text += (text.empty() ? "" : " ") + arg;
    }
    return text;
}

std::string WithoutNul(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c != '\0') {
            out += c;
        }
    }
    return out;
}

void Alert(service::ServiceContext& ctx, int category, uint32_t levelMask, uint32_t code,
           std::string_view title, std::string_view checkName, std::string message,
           const std::optional<std::string>& info2 = std::nullopt) {
    alerting::NotifyError(ctx, category, levelMask, code, title, checkName, message,
                          std::string(checkName), info2, std::nullopt, 0);
}

uint32_t ActionTimeoutSeconds(service::ServiceContext& ctx) {
    uint32_t seconds = kDefaultActionTimeout;
    ctx.registry.ReadNumber(config::kProductKey, config::value::kActionTimeout, seconds);
    // A DWORD above INT_MAX was written as a negative number.
    return seconds < 1 || seconds > INT_MAX ? kDefaultActionTimeout : seconds;
}

unsigned RestartServer(service::ServiceContext& ctx, int category, uint32_t levelMask,
                       uint32_t code, std::string_view checkName) {
    const std::string name(checkName);
    if (ctx.restartUnderWay.exchange(true)) {
        return kRunnerAlerted;
    }
    PostStatus(ctx, "Checking for repeat reboot for check " + name);
    if (IsLastRebootedFor(ctx, checkName)) {
        PostStatus(ctx, "Repeat reboot detected - the server will not be restarted");
        ctx.restartUnderWay.store(false);
        Alert(ctx, category, levelMask, code, kRebootingTitle, checkName,
              "Warning: The Korvane/Tessel Monitor was due to restart the local server in "
              "response to the test " +
                  name +
                  " which failed. However, because a previous reboot did not resolve the "
                  "problem, the action was cancelled. Further investigation is now required "
                  "...");
        return kRunnerAlerted;
    }

    SetLastRebootedFor(ctx, checkName);
    PostStatus(ctx, "The server will be restarted in response to the check " + name);
    const companion::Logger log(kModule, "RunSpecifiedActions");
    log.Milestone(2,
                  "The Tessel Monitor is restarting the Windows installation in response "
                  "to the check: ",
                  name);
    const std::string stars(79, '*');
    const std::string blanks(79, ' ');
    log(3, stars);
    log(3, blanks);
    log(3, "            The Tessel Monitor is restarting the Windows installation           ");
    log(3, "            in response to the check >>> ", name, " <<<");
    log(3, blanks);
    log(3, stars);
    Alert(ctx, category, levelMask, code, kRebootingTitle, checkName,
          "Warning: The Korvane/Tessel Monitor is restarting the local server. This is in "
          "response to the test " +
              name + " which failed...");

    if (ctx.clock.SleepUnlessSet(ctx.stopEvent, kRestartDelayMs)) {
        // Nothing was restarted: the check must not count as the cause of a restart.
        ResetLastRebootedFor(ctx, checkName);
        ctx.restartUnderWay.store(false);
        log.Milestone(2, "The restart of the server in response to the check ", name,
                      " was cancelled because the service is stopping");
        return kRunnerAlerted;
    }
    platform::Status failure;
    if (RestartWindows(ctx, &failure) == 0) {
        // The flag stays set: no further restart is tried until the service restarts.
        Alert(ctx, category, levelMask, code, kConfigErrorTitle, checkName,
              "Tessel Configuration Error. The Korvane/Tessel Monitor was unable to restart "
              "the local server in response to the check " +
                  name + ". The restart request failed with error " +
                  std::to_string(failure.err()) + ": " + failure.Text(),
              std::to_string(failure.err()));
    }
    return kRunnerAlerted;
}

unsigned StartService(service::ServiceContext& ctx, int category, uint32_t levelMask,
                      std::string_view checkName, std::string_view serviceName,
                      std::string& description) {
    PostStatus(ctx, "The service " + std::string(serviceName) + " is being restarted");
    int error = 0;
    if (RestartServiceFromName(ctx, serviceName, &error) == 0) {
        Alert(ctx, category, levelMask, kResponseRestartService, kServiceRestartTitle, checkName,
              "The Korvane/Tessel Monitor was unable to restart the service in response to the "
              "failure of check " +
                  std::string(checkName) + ". The return code was " + std::to_string(error),
              std::to_string(error));
        return kRunnerAlerted;
    }
    try {
        description = "The Korvane/Tessel Monitor automatically initiated a service restart";
    } catch (const std::bad_alloc&) {
        companion::Logger(kModule, "RunSpecifiedActions")(
            1, "Insufficient memory available to generate the display/alert message");
    }
    return kResponseStarted;
}

alerting::AlertTextContext TextContext(service::ServiceContext& ctx, uint32_t levelMask,
                                       std::string_view checkName, std::string_view alertMessage,
                                       const std::optional<std::string>& info1,
                                       const std::optional<std::string>& info2,
                                       const std::optional<std::string>& info3) {
    alerting::AlertTextContext text;
    text.message = alertMessage;
    text.title = checkName;
    text.timeLogged = alerting::StandardTimeText(ctx.DateFormat(), ctx.clock);
    text.timeNow = text.timeLogged;
    text.extra1 = info1.value_or("");
    text.extra2 = info2.value_or("");
    text.extra3 = info3.value_or("");
    text.source = checkName;
    text.osName = alerting::OperatingSystemName();
    text.servicePack = alerting::ServicePackText();
    text.levelNumber = alerting::LevelNumber(levelMask);
    text.server = ctx.computerName;
    return text;
}

std::vector<std::string> AlertEnvironment(const alerting::AlertTextContext& text) {
    const std::pair<const char*, const std::string*> values[] = {
        {"KVZN_SERVER", &text.server},
        {"KVZN_TITLE", &text.title},
        {"KVZN_ERROR", &text.message},
        {"KVZN_SOURCE", &text.source},
        {"KVZN_INFO1", &text.extra1},
        {"KVZN_INFO2", &text.extra2},
        {"KVZN_INFO3", &text.extra3},
        {"KVZN_TIMELOGGED", &text.timeLogged},
        {"KVZN_TIMENOW", &text.timeNow},
        {"KVZN_OSNAME", &text.osName},
        {"KVZN_SERVICEPACK", &text.servicePack},
    };
    std::vector<std::string> env;
    for (const auto& [name, value] : values) {
        env.push_back(std::string(name) + "=" + WithoutNul(*value));
    }
    env.push_back("KVZN_ALERTLEVEL=" + std::to_string(text.levelNumber));
    return env;
}

// The command line of a script: the file itself when it is executable and names its own
// interpreter, else the configured interpreter with the file. A relative path is taken
// from the working directory of the command. An error when the file cannot be run at all.
platform::Result<std::vector<std::string>> ScriptCommand(service::ServiceContext& ctx,
                                                         const std::string& script) {
    std::filesystem::path path(script);
    if (path.is_relative()) {
        std::error_code ec;
        path = (ctx.home.empty() ? std::filesystem::current_path(ec)
                                 : std::filesystem::path(ctx.home)) /
               path;
    }
    const std::string file = path.string();
    struct stat st {};
    if (script.empty() || ::stat(file.c_str(), &st) != 0) {
        return platform::Status::Errno("stat", file, script.empty() ? ENOENT : errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return platform::Status::Errno("stat", file, S_ISDIR(st.st_mode) ? EISDIR : EACCES);
    }
    std::ifstream in(file, std::ios::binary);
    char magic[2] = {};
    const bool ownInterpreter = in.read(magic, 2) && magic[0] == '#' && magic[1] == '!' &&
                                ::access(file.c_str(), X_OK) == 0;
    if (ownInterpreter) {
        return std::vector<std::string>{file};
    }
    std::string interpreter = kDefaultScriptInterpreter;
    ctx.registry.ReadText(config::kProductKey, kScriptInterpreterValue, interpreter);
    if (interpreter.empty()) {
        interpreter = kDefaultScriptInterpreter;
    }
    return std::vector<std::string>{interpreter, file};
}

// The script path of `templ` with its macros expanded. A value may name a file or a part
// of a name, never another directory: a value holding "/", or one that makes a whole path
// component "." or "..", is refused (logged at level 1) and the result is EINVAL.
platform::Result<std::string> ScriptPath(service::ServiceContext& ctx, int category,
                                         std::string_view templ,
                                         const alerting::AlertTextContext& text) {
    struct Inserted {
        size_t component;
        std::string value;
    };
    std::vector<Inserted> inserted;
    const alerting::ValueTransform keep = [&inserted](std::string_view value,
                                                      std::string_view before) {
        const auto component = static_cast<size_t>(std::count(before.begin(), before.end(), '/'));
        inserted.push_back({component, WithoutNul(value)});
        return inserted.back().value;
    };
    std::string path;
    if (alerting::SubstituteParamsForString_Dynamic(category, templ, path, text, ctx.DateFormat(),
                                                    keep) == 0) {
        return platform::Status::Error(ENOMEM, "the command could not be built");
    }
    std::vector<std::string_view> components;
    for (size_t start = 0;;) {
        const size_t slash = path.find('/', start);
        components.push_back(std::string_view(path).substr(start, slash - start));
        if (slash == std::string::npos) {
            break;
        }
        start = slash + 1;
    }
    for (const Inserted& value : inserted) {
        const bool leaves =
            value.value.find('/') != std::string::npos ||
            (value.component < components.size() &&
             (components[value.component] == "." || components[value.component] == ".."));
        if (leaves) {
            companion::Logger(kModule, "RunSpecifiedActions")(
                1, "The value ", value.value, " of a macro in the script path ", templ,
                " would leave its directory; the script is not run");
            return platform::Status::Error(EINVAL,
                                           "a macro value would leave the script's directory");
        }
    }
    return path;
}

unsigned RunCommand(service::ServiceContext& ctx, int category, uint32_t levelMask, uint32_t code,
                    std::string_view checkName, std::string_view alertMessage,
                    std::string_view command, const std::optional<std::string>& info1,
                    const std::optional<std::string>& info2,
                    const std::optional<std::string>& info3, std::string& description) {
    const std::string name(checkName);
    const std::string unsubstituted(command);
    const alerting::AlertTextContext text =
        TextContext(ctx, levelMask, checkName, alertMessage, info1, info2, info3);
    platform::Result<std::vector<std::string>> argv =
        platform::Status::Error(ENOMEM, "the command could not be built");
    if (code == kResponseScript) {
        const platform::Result<std::string> script = ScriptPath(ctx, category, command, text);
        argv = script.ok() ? ScriptCommand(ctx, *script)
                           : platform::Result<std::vector<std::string>>(script.status());
    } else if (std::string line;
               alerting::SubstituteParamsForString_Dynamic(category, command, line, text,
                                                           ctx.DateFormat(), QuoteForShell) != 0) {
        argv = std::vector<std::string>{"/bin/sh", "-c", std::move(line)};
    }
    if (argv.ok()) {
        PostStatus(ctx, "Running the command " + Joined(*argv));
    }
    platform::SpawnOptions options;
    options.workingDirectory = ctx.home;
    options.environment = AlertEnvironment(text);
    // Without a visible window there is nothing to show; in trace mode the output goes to
    // the console.
    options.inheritOutput = ctx.status.TraceMode();
    platform::Result<platform::SpawnedProcess> process =
        argv.ok() ? platform::SpawnProcess(*argv, options)
                  : platform::Result<platform::SpawnedProcess>(argv.status());
    if (!process.ok()) {
        const int err = process.status().err();
        companion::Logger(kModule, "RunSpecifiedActions")(1, "Unable to run the command or script ",
                                                          unsubstituted, ": ",
                                                          process.status().Text());
        Alert(ctx, category, levelMask, code, kConfigErrorTitle, checkName,
              "Tessel Configuration Error. The Korvane/Tessel Monitor was unable to take "
              "automatic action for the check " +
                  name + " because the command or script " + unsubstituted +
                  " could not be run. The return code was " + std::to_string(err),
              std::to_string(err));
        return kRunnerAlerted;
    }

    const uint32_t seconds = ActionTimeoutSeconds(ctx);
    PostStatus(ctx, "Waiting for command to complete. Timeout will be after " +
                        std::to_string(seconds) + " seconds");
    const platform::WaitOutcome outcome =
        process->WaitFor(std::chrono::seconds(seconds), &ctx.stopEvent);
    // A process still running is left to the reaper when `process` goes.
    if (outcome == platform::WaitOutcome::kStopped) {
        return kRunnerAlerted;
    }
    if (outcome == platform::WaitOutcome::kTimedOut) {
        Alert(ctx, category, levelMask, code, kConfigErrorTitle, checkName,
              "Tessel Configuration Error. The Korvane/Tessel Monitor was unable to take "
              "automatic action for the check " +
                  name + " because the command " + unsubstituted + " timed out",
              std::string("Timed Out"));
        return kRunnerAlerted;
    }
    try {
        description = "The Korvane/Tessel Monitor automatically initiated the command " +
                      unsubstituted + " in response to the error";
    } catch (const std::bad_alloc&) {
        companion::Logger(kModule, "RunSpecifiedActions")(
            1, "Insufficient memory available to generate the display/alert message");
    }
    return kResponseStarted;
}

}  // namespace

uint32_t LevelMaskFromPosition(int position, int levels) {
    if (position < 0 || position >= levels || position >= 32) {
        return 1;
    }
    return uint32_t{1} << position;
}

int LevelPositionFromMask(uint32_t mask, int levels) {
    if (!std::has_single_bit(mask)) {
        return 0;
    }
    const int position = std::countr_zero(mask);
    return position < levels ? position : 0;
}

unsigned RunSpecifiedActions(service::ServiceContext& ctx, int category, uint32_t levelMask,
                             uint32_t responseCode, std::string_view checkName,
                             std::string_view alertMessage, int restartFlag,
                             std::string_view command, const std::optional<std::string>& info1,
                             const std::optional<std::string>& info2,
                             const std::optional<std::string>& info3, std::string& description) {
    if (restartFlag == 1) {
        return RestartServer(ctx, category, levelMask, responseCode, checkName);
    }
    if (responseCode == kResponseRestartService) {
        return StartService(ctx, category, levelMask, checkName, command, description);
    }
    if (command.empty()) {
        return kNoResponseRun;
    }
    return RunCommand(ctx, category, levelMask, responseCode, checkName, alertMessage, command,
                      info1, info2, info3, description);
}

int RestartWindows(service::ServiceContext& ctx, platform::Status* failure) {
    const platform::Status status = ctx.Restarter().RestartNow();
    if (status.ok()) {
        return 1;
    }
    companion::Logger(kModule, "RestartWindows")(
        1,
        "Unable to restart the Windows installation due to the following error performing "
        "the restart: ",
        status.err(), " (", status.Text(), ")");
    if (failure != nullptr) {
        *failure = status;
    }
    return 0;
}

int RestartServiceFromName(service::ServiceContext& ctx, std::string_view name, int* error) {
    const companion::Logger log(kModule, "RestartServiceFromName");
    platform::ServiceManager& services = ctx.Services();
    const std::string unit = platform::ResolveServiceName(services, name);
    int err = 0;
    if (services.Query(unit) == platform::ServiceState::NotInstalled) {
        log(1, "Unable to open the service ", name);
        err = ENOENT;
    } else if (const platform::Status started = services.Start(unit); !started.ok()) {
        log(1, "Unable to start the service ", name, ": ", started.Text());
        err = started.err();
    }
    if (error != nullptr) {
        *error = err;
    }
    errno = err;
    return err == 0 ? 1 : 0;
}

void SetLastRebootedFor(service::ServiceContext& ctx, std::string_view checkName) {
    if (ctx.registry.WriteText(config::kProductKey, config::value::kLastRebootedFor,
                               StoredName(checkName)) != 0) {
        companion::Logger(kModule, "SetLastRebootedFor")(
            1, "Unable to record the check ", checkName,
            " as the cause of the restart: ", ctx.registry.LastError());
    }
}

bool IsLastRebootedFor(service::ServiceContext& ctx, std::string_view checkName) {
    std::string stored;
    ctx.registry.ReadText(config::kProductKey, config::value::kLastRebootedFor, stored,
                          kLastRebootedForSize);
    return !stored.empty() && platform::EqualsNoCase(stored, StoredName(checkName));
}

void ResetLastRebootedFor(service::ServiceContext& ctx, std::string_view checkName) {
    if (IsLastRebootedFor(ctx, checkName)) {
        ctx.registry.WriteText(config::kProductKey, config::value::kLastRebootedFor, "");
    }
}

bool RestartUnderWay(const service::ServiceContext& ctx) {
    return ctx.restartUnderWay.load();
}

}  // namespace kvzn::responses
