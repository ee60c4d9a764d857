// The store agent and its client.
#include "cfgutil/store_agent.h"

#include <cerrno>
#include <cstdlib>

#include "cfgutil/agent_protocol.h"

namespace kvzn::cfgutil {

namespace {

using platform::Result;
using platform::Status;
using platform::StoreTree;

constexpr std::chrono::seconds kWriteTimeout{60};

struct StateName {
    platform::ServiceState state;
    const char* name;
};
constexpr StateName kStateNames[] = {
    {platform::ServiceState::NotInstalled, "not-installed"},
    {platform::ServiceState::Stopped, "stopped"},
    {platform::ServiceState::StartPending, "start-pending"},
    {platform::ServiceState::StopPending, "stop-pending"},
    {platform::ServiceState::Running, "running"},
    {platform::ServiceState::Unknown, "unknown"},
    {platform::ServiceState::ManagerUnreachable, "unreachable"},
};

const char* NameOfState(platform::ServiceState state) {
    for (const StateName& s : kStateNames) {
        if (s.state == state) {
            return s.name;
        }
    }
    return "unknown";
}

platform::ServiceState StateOfName(std::string_view name) {
    for (const StateName& s : kStateNames) {
        if (name == s.name) {
            return s.state;
        }
    }
    return platform::ServiceState::Unknown;
}

AgentFrame ErrorFrame(const Status& status) {
    return {"ERR", std::to_string(status.err()), status.Text()};
}

std::string StoreText(platform::ConfigStore& store, Status& status) {
    std::string text;
    status = store.Read([&](const StoreTree& tree) { text = tree.Serialize(); });
    return text;
}

AgentFrame Serve(const AgentFrame& request, platform::ConfigStore& store,
                 platform::ServiceManager& services) {
    if (request.verb == "READ") {
        Status status;
        std::string text = StoreText(store, status);
        if (!status.ok()) {
            return ErrorFrame(status);
        }
        return {"OK", StoreVersion(text), std::move(text)};
    }
    if (request.verb == "WRITE") {
        StoreTree wanted;
        if (Status parsed = StoreTree::Parse(request.body, "request", wanted); !parsed.ok()) {
            return ErrorFrame(parsed);
        }
        std::string current;
        bool conflict = false;
        const Status status = store.Update([&](StoreTree& tree) {
            current = tree.Serialize();
            if (StoreVersion(current) != request.arg) {
                conflict = true;
                return false;
            }
            tree = wanted;
            return true;
        });
        if (!status.ok()) {
            return ErrorFrame(status);
        }
        if (conflict) {
            return {"CONFLICT", StoreVersion(current), {}};
        }
        return {"OK", StoreVersion(wanted.Serialize()), {}};
    }
    if (request.verb == "SERVICE-QUERY") {
        return {"OK", NameOfState(services.Query(request.arg)), {}};
    }
    if (request.verb == "SERVICE-START" || request.verb == "SERVICE-STOP") {
        const Status status = request.verb == "SERVICE-START" ? services.Start(request.arg)
                                                              : services.RequestStop(request.arg);
        return status.ok() ? AgentFrame{"OK", "-", {}} : ErrorFrame(status);
    }
    if (request.verb == "LOCATION") {
        return {"OK", "-", store.Location()};
    }
    return ErrorFrame(Status::Error(EINVAL, "unknown request " + request.verb));
}

// A store reached through an agent. Updates read the store with its version, run the
// writer locally and write back only if the version is still the same; otherwise they
// read again and retry.
class RemoteStore final : public platform::ConfigStore {
  public:
    explicit RemoteStore(AgentConnection& connection) : connection_(connection) {}

    Status Read(const std::function<void(const StoreTree&)>& reader) override {
        std::string version;
        Result<StoreTree> tree = Fetch(version);
        if (!tree.ok()) {
            return tree.status();
        }
        reader(*tree);
        return Status::Ok();
    }

    Status Update(const std::function<bool(StoreTree&)>& writer) override {
        for (int attempt = 0; attempt < kRemoteWriteAttempts; ++attempt) {
            std::string version;
            Result<StoreTree> tree = Fetch(version);
            if (!tree.ok()) {
                return tree.status();
            }
            if (!writer(*tree)) {
                return Status::Ok();
            }
            auto reply = connection_.Call("WRITE", version, tree->Serialize());
            if (!reply.ok()) {
                return reply.status();
            }
            if (reply->verb == "OK") {
                return Status::Ok();
            }
            if (reply->verb != "CONFLICT") {
                return ReplyError(*reply);
            }
        }
        return Status::Error(EAGAIN, "the remote store kept changing while it was written");
    }

    std::string Location() const override { return location_; }
    void SetLocation(std::string location) { location_ = std::move(location); }

    static Status ReplyError(const AgentConnection::Reply& reply) {
        const int err = std::atoi(reply.arg.c_str());
        return Status::Error(err > 0 ? err : EIO, "agent: " + reply.body);
    }

  private:
    Result<StoreTree> Fetch(std::string& version) {
        auto reply = connection_.Call("READ", "-");
        if (!reply.ok()) {
            return reply.status();
        }
        if (reply->verb != "OK") {
            return ReplyError(*reply);
        }
        StoreTree tree;
        if (Status parsed = StoreTree::Parse(reply->body, location_, tree); !parsed.ok()) {
            return parsed;
        }
        version = reply->arg;
        return tree;
    }

    AgentConnection& connection_;
    std::string location_;
};

class RemoteServices final : public platform::ServiceManager {
  public:
    explicit RemoteServices(AgentConnection& connection) : connection_(connection) {}
    std::string_view Kind() const override { return "remote"; }
    Status Install(const platform::ServiceDefinition&) override {
        return Status::Error(ENOTSUP, "services are not registered through the agent");
    }
    Status Remove(std::string_view) override {
        return Status::Error(ENOTSUP, "services are not removed through the agent");
    }
    platform::ServiceState Query(std::string_view name) override {
        auto reply = connection_.Call("SERVICE-QUERY", std::string(name));
        if (!reply.ok() || reply->verb != "OK") {
            return platform::ServiceState::ManagerUnreachable;
        }
        return StateOfName(reply->arg);
    }
    Status Start(std::string_view name) override { return Control("SERVICE-START", name); }
    Status RequestStop(std::string_view name) override { return Control("SERVICE-STOP", name); }

  private:
    Status Control(const char* verb, std::string_view name) {
        auto reply = connection_.Call(verb, std::string(name));
        if (!reply.ok()) {
            return reply.status();
        }
        return reply->verb == "OK" ? Status::Ok() : RemoteStore::ReplyError(*reply);
    }
    AgentConnection& connection_;
};

}  // namespace

int RunStoreAgent(platform::ByteChannel& channel, platform::ConfigStore& store,
                  platform::ServiceManager& services, std::chrono::milliseconds idle) {
    std::string buffer;
    for (;;) {
        AgentFrame request;
        size_t consumed = 0;
        std::string error;
        const ParseOutcome outcome = ParseFrame(buffer, request, consumed, error);
        if (outcome == ParseOutcome::Bad) {
            channel.Write(EncodeFrame(ErrorFrame(Status::Error(EPROTO, error))), kWriteTimeout);
            return 1;
        }
        if (outcome == ParseOutcome::NeedMore) {
            bool end = false;
            if (!channel.Read(buffer, end, idle).ok()) {
                return 1;
            }
            if (end) {
                return buffer.empty() ? 0 : 1;
            }
            continue;
        }
        buffer.erase(0, consumed);
        if (!channel.Write(EncodeFrame(Serve(request, store, services)), kWriteTimeout).ok()) {
            return 1;
        }
    }
}

AgentConnection::AgentConnection(std::unique_ptr<platform::ByteChannel> channel)
    : channel_(std::move(channel)) {}

AgentConnection::~AgentConnection() = default;

Result<std::unique_ptr<AgentConnection>> AgentConnection::Open(const std::string& transport,
                                                               const std::string& server,
                                                               const std::string& agentCommand) {
    if (server.empty() || server.front() == '-') {
        return Status::Error(EINVAL, "invalid server name \"" + server + "\"");
    }
    auto channel = platform::StartTransport(transport, {server, agentCommand});
    if (!channel.ok()) {
        return channel.status();
    }
    auto connection = std::make_unique<AgentConnection>(std::move(*channel));
    auto reply = connection->Call("LOCATION", "-");
    if (!reply.ok()) {
        return reply.status();
    }
    if (reply->verb != "OK") {
        return RemoteStore::ReplyError(*reply);
    }
    auto store = std::make_shared<RemoteStore>(*connection);
    store->SetLocation(server + ":" + reply->body);
    connection->store_ = std::move(store);
    return connection;
}

std::shared_ptr<platform::ConfigStore> AgentConnection::Store() {
    if (!store_) {
        store_ = std::make_shared<RemoteStore>(*this);
    }
    return store_;
}

std::unique_ptr<platform::ServiceManager> AgentConnection::Services() {
    return std::make_unique<RemoteServices>(*this);
}

Result<AgentConnection::Reply> AgentConnection::Call(const std::string& verb,
                                                     const std::string& arg,
                                                     const std::string& body) {
    if (broken_) {
        return Status::Error(ECONNRESET, "the connection to the agent was lost");
    }
    if (Status sent = channel_->Write(EncodeFrame({verb, arg, body}), kWriteTimeout); !sent.ok()) {
        broken_ = true;
        return sent;
    }
    for (;;) {
        AgentFrame frame;
        size_t consumed = 0;
        std::string error;
        const ParseOutcome outcome = ParseFrame(pending_, frame, consumed, error);
        if (outcome == ParseOutcome::Complete) {
            pending_.erase(0, consumed);
            return Reply{std::move(frame.verb), std::move(frame.arg), std::move(frame.body)};
        }
        if (outcome == ParseOutcome::Bad) {
            broken_ = true;
            return Status::Error(EPROTO, "agent reply: " + error);
        }
        bool end = false;
        if (Status read = channel_->Read(pending_, end, kAgentReplyTimeout); !read.ok()) {
            broken_ = true;
            return read;
        }
        if (end) {
            broken_ = true;
            return Status::Error(ECONNRESET, "the agent closed the connection");
        }
    }
}

}  // namespace kvzn::cfgutil
