// kvZNPrintCfg: the configuration utility. An interactive sheet of the monitor's settings,
// subcommands for scripts, and the store agent that remote copies of the utility talk to.
#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cfgutil/commands.h"
#include "cfgutil/property_sheet.h"
#include "cfgutil/store_agent.h"
#include "companion/activity_log.h"
#include "companion/registry.h"
#include "config/log_settings.h"
#include "platform/byte_channel.h"
#include "platform/clock.h"
#include "platform/config_store.h"
#include "platform/screen.h"
#include "platform/spooler.h"
#include "service/service_identity.h"

namespace {

using namespace kvzn;

constexpr const char* kTransportVariable = "KVZN_TRANSPORT";
constexpr const char* kAgentVariable = "KVZN_AGENT_COMMAND";
constexpr const char* kDefaultTransport = "ssh";
constexpr const char* kDefaultAgent = "kvZNPrintCfg --agent";
constexpr const char* kConnectFailed =
    "Unable to connect to the requested server. Please check that the name is correct, the "
    "server is available on the network, and you have sufficient permissions to access it's "
    "Registry database ...";
// Names this short are not connected to: the utility works on the local store.
constexpr size_t kShortestRemoteName = 4;

struct Options {
    std::string transport;
    std::string server;
    bool agent = false;
    std::vector<std::string> rest;
};

void Usage() {
    std::cerr << "usage: kvZNPrintCfg [--registry FILE] [SERVER]\n"
                 "       kvZNPrintCfg [--registry FILE] [--server HOST] COMMAND ...\n"
                 "         get KEY NAME | set KEY NAME VALUE | list [KEY] | export [FILE]\n"
                 "         import FILE | check\n"
                 "       kvZNPrintCfg [--registry FILE] --agent\n"
                 "options: --transport CMD (default $KVZN_TRANSPORT or ssh)\n";
}

std::string EnvOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

// Takes "--opt VALUE" or "--opt=VALUE" at argv[i]; false when it is not that option.
bool TakeOption(int argc, char** argv, int& i, const char* name, std::string& out) {
    const size_t n = std::strlen(name);
    if (std::strncmp(argv[i], name, n) != 0) {
        return false;
    }
    if (argv[i][n] == '=') {
        out = argv[i] + n + 1;
        return true;
    }
    if (argv[i][n] == '\0' && i + 1 < argc) {
        out = argv[++i];
        return true;
    }
    return false;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    options.transport = EnvOr(kTransportVariable, kDefaultTransport);
    for (int i = 1; i < argc; ++i) {
        std::string registry;
        if (!options.rest.empty()) {
            options.rest.emplace_back(argv[i]);
        } else if (TakeOption(argc, argv, i, "--registry", registry)) {
            ::setenv(platform::kStoreEnvironmentVariable, registry.c_str(), 1);
        } else if (TakeOption(argc, argv, i, "--transport", options.transport) ||
                   TakeOption(argc, argv, i, "--server", options.server)) {
        } else if (std::strcmp(argv[i], "--agent") == 0) {
            options.agent = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || argv[i][0] == '-') {
            return false;
        } else {
            options.rest.emplace_back(argv[i]);
        }
    }
    return true;
}

// Sets up the activity log as the service does.
void FetchAndSetLogging(platform::ConfigStore& store) {
    const companion::Registry reg(
        std::shared_ptr<platform::ConfigStore>(&store, [](platform::ConfigStore*) {}));
    config::ApplyLogSettings(reg, companion::ActivityLog::Process());
}

std::unique_ptr<platform::ServiceManager> LocalServices() {
    const char* root = std::getenv(service::kSystemRootVariable);
    return platform::MakeServiceManager(root != nullptr && *root != '\0' ? root : "/");
}

std::string LocalHostName() {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    std::string host = name;
    return host.substr(0, host.find('.'));
}

int RunInteractive(const Options& options, platform::ConfigStore& localStore) {
    auto screen = platform::OpenTerminalScreen();
    if (!screen.ok()) {
        std::cerr << "kvZNPrintCfg: " << screen.status().Text() << '\n';
        return cfgutil::kExitUsage;
    }
    std::string server = options.rest.empty() ? std::string() : options.rest.front();
    const bool asked = options.rest.empty();
    std::unique_ptr<cfgutil::AgentConnection> connection;
    for (;;) {
        if (asked) {
            auto typed = (*screen)->Input(
                "Tessel Monitor Configuration Utility",
                "Please enter the server running the Monitor you wish to configure ...\n"
                "(leave it empty for the local server)",
                server);
            if (!typed) {
                return cfgutil::kExitOk;
            }
            server = typed->starts_with("---") ? std::string() : *typed;
        }
        if (server.empty() || ::strcasecmp(server.c_str(), LocalHostName().c_str()) == 0 ||
            server.size() < kShortestRemoteName) {
            break;
        }
        (*screen)->Wait("Connecting, please wait ...");
        auto opened = cfgutil::AgentConnection::Open(options.transport, server,
                                                     EnvOr(kAgentVariable, kDefaultAgent));
        if (opened.ok()) {
            connection = std::move(*opened);
            break;
        }
        companion::Logger("kvZNPrintCfg", "InitInstance")(2, "Warning: ", opened.status().Text());
        (*screen)->Message("Tessel Monitor Configuration Utility", kConnectFailed);
        if (!asked) {
            return cfgutil::kExitStoreError;
        }
    }
    if (!connection && !server.empty() &&
        ::strcasecmp(server.c_str(), LocalHostName().c_str()) == 0) {
        server.clear();  // the local computer's own name configures the local machine
    }
    auto services = connection ? connection->Services() : LocalServices();
    platform::ConfigStore& store = connection ? *connection->Store() : localStore;
    // A private system root (KVZN_SYSTEM_ROOT) holds the login records as well.
    const std::string root = EnvOr(service::kSystemRootVariable, "");
    // The local spooler lists the queues a printer entry may name.
    std::unique_ptr<platform::Spooler> spooler = connection ? nullptr : platform::MakeSpooler();
    cfgutil::PropertySheet sheet(
        {server, store, *services, service::kServiceName, EnvOr("PAGER", "less"),
         root.empty() ? std::string() : root + "/var/run/utmp", spooler.get()},
        **screen, platform::SystemClock());
    return sheet.Run();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        Usage();
        return cfgutil::kExitUsage;
    }
    auto localStore = platform::OpenFileStore(platform::DefaultStorePath());
    FetchAndSetLogging(*localStore);

    if (options.agent) {
        auto services = LocalServices();
        auto channel = platform::StandardStreams();
        return cfgutil::RunStoreAgent(*channel, *localStore, *services);
    }
    if (!options.rest.empty() && cfgutil::IsCommand(options.rest.front())) {
        if (options.server.empty()) {
            return cfgutil::RunCommand(options.rest, *localStore, std::cout, std::cerr);
        }
        auto connection = cfgutil::AgentConnection::Open(options.transport, options.server,
                                                         EnvOr(kAgentVariable, kDefaultAgent));
        if (!connection.ok()) {
            std::cerr << "kvZNPrintCfg: " << options.server << ": " << connection.status().Text()
                      << '\n';
            return cfgutil::kExitStoreError;
        }
        return cfgutil::RunCommand(options.rest, *(*connection)->Store(), std::cout, std::cerr);
    }
    if (options.rest.size() > 1) {
        Usage();
        return cfgutil::kExitUsage;
    }
    return RunInteractive(options, *localStore);
}
