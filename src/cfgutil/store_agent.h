// The store agent ("kvZNPrintCfg --agent") and the client side that reaches a remote store
// and service manager through it.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/byte_channel.h"
#include "platform/config_store.h"
#include "platform/service_manager.h"

namespace kvzn::cfgutil {

// Serves requests from `channel` on `store` and `services` until the client closes the
// stream (0), or a request is malformed or the client goes silent for `idle` (1).
int RunStoreAgent(platform::ByteChannel& channel, platform::ConfigStore& store,
                  platform::ServiceManager& services,
                  std::chrono::milliseconds idle = std::chrono::hours(1));

// One connection to an agent. The store and the service manager it hands out share the
// connection and must not outlive it.
// @threadsafety One thread at a time (the utility's user-interface thread).
class AgentConnection {
  public:
    // Starts "TRANSPORT SERVER kvZNPrintCfg --agent" and checks that an agent answers.
    // A server name starting with '-' is refused: the transport would take it as an option.
    static platform::Result<std::unique_ptr<AgentConnection>> Open(const std::string& transport,
                                                                   const std::string& server,
                                                                   const std::string& agentCommand);
    explicit AgentConnection(std::unique_ptr<platform::ByteChannel> channel);
    ~AgentConnection();

    std::shared_ptr<platform::ConfigStore> Store();
    std::unique_ptr<platform::ServiceManager> Services();

    // One request and its reply; an error when the agent is gone, silent or speaks nonsense.
    struct Reply {
        std::string verb;
        std::string arg;
        std::string body;
    };
    platform::Result<Reply> Call(const std::string& verb, const std::string& arg,
                                 const std::string& body = {});

  private:
    std::unique_ptr<platform::ByteChannel> channel_;
    std::string pending_;
    bool broken_ = false;
    std::shared_ptr<platform::ConfigStore> store_;
};

// How often a remote write is tried again after another writer changed the store.
inline constexpr int kRemoteWriteAttempts = 5;
inline constexpr std::chrono::seconds kAgentReplyTimeout{60};

}  // namespace kvzn::cfgutil
