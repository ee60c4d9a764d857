// Test alerts delivered by the service's channels from inside the utility.
#include "cfgutil/test_delivery.h"

#include "alerting/message_text.h"
#include "channels/alert_engine.h"
#include "channels/network_message.h"
#include "config/registry_names.h"
#include "platform/text.h"

namespace kvzn::cfgutil {

namespace {

constexpr int kTestCategory = 15;  // the category of configuration test alerts

struct ScriptKind {
    channels::EngineKind kind;
    const char* prefix;  // "<prefix>N" holds the script, "<prefix>LevelN" its levels
};
constexpr ScriptKind kScriptKinds[] = {
    {channels::EngineKind::kCommand, "ScriptCMD"}, {channels::EngineKind::kVBScript, "ScriptVB"},
    {channels::EngineKind::kSmtp, "ScriptSMTP"},   {channels::EngineKind::kSysLog, "ScriptSysLog"},
    {channels::EngineKind::kHttp, "ScriptHTTP"},
};

}  // namespace

TestDelivery::TestDelivery(const platform::StoreTree& settings, platform::Clock& clock,
                           std::string computer)
    : store_(platform::MakeMemoryStore()),
      registry_(store_),
      status_(notifier_),
      ctx_(registry_, clock, status_) {
    store_->Update([&](platform::StoreTree& tree) {
        tree = settings;
        return true;
    });
    registry_.ReadText(config::kProductKey, config::value::kHome, ctx_.home);
    ctx_.computerName = std::move(computer);
}

TestDelivery::~TestDelivery() {
    ctx_.SetComponentStatusSink({});
}

alerting::AlertRecord TestDelivery::TestRecord() {
    alerting::AlertRecord record;
    const std::string text = std::string(kTestMessage) +
                             " This is a test alert sent by the Korvane Tessel Configuration "
                             "Utility. No action need be taken in response to this message ...";
    record.message = text;
    record.messageSize = static_cast<long>(text.size());
    record.errorType = kTestCategory;
    record.alertLevel = 1023;
    record.alertAction = 0;
    record.autoResponse = false;
    record.time = alerting::StandardTimeText(ctx_.DateFormat(), ctx_.clock);
    record.appName = "Korvane Tessel Configuration Utility";
    record.errorTitle = kTestMessage;
    record.additionalInfo[0] = "Korvane Test Only";
    return record;
}

void TestDelivery::NetworkMessage(const std::string& recipients,
                                  platform::TerminalMessages& terminals, const Progress& progress) {
    progress("Generating test message ...");
    channels::NetworkMessageChannel channel(ctx_);
    channels::NetSendOptions options;
    options.progress = progress;
    options.terminals = &terminals;
    channel.SendNetworkMessageFromFile(TestRecord(), recipients, options);
    progress("Processing complete ...");
}

int TestDelivery::AlertScripts(const Progress& progress) {
    // The scripts are compiled into the home directory, as the service compiles them.
    if (ctx_.home.empty()) {
        progress(
            "Error: the home directory (\"Home\") is not set, so no script can be compiled ...");
        progress("Processing complete ...");
        return 0;
    }
    ctx_.SetComponentStatusSink([&](int, std::string_view line) { progress(line); });
    channels::AlertEngine engine(ctx_);
    const alerting::AlertRecord record = TestRecord();
    const std::string key = config::SubKey(config::subkey::kAlertEngine);
    int ran = 0;
    for (const ScriptKind& kind : kScriptKinds) {
        const std::string prefix = kind.prefix;
        for (int n = 1;; ++n) {
            uint32_t levels = 0;
            if (registry_.ReadNumber(key, prefix + "Level" + std::to_string(n), levels) != 0) {
                break;
            }
            std::string script;
            registry_.ReadText(key, prefix + std::to_string(n), script, 521);
            if (platform::TrimBlanks(script).empty()) {
                continue;
            }
            progress("Compiling file/script " + script + " ...");
            if (engine.RunAlertEngine(kind.kind, record, script) == 0) {
                progress("Error: the script " + script + " could not be compiled or run ...");
            }
            ++ran;
        }
    }
    ctx_.SetComponentStatusSink({});
    if (ran == 0) {
        progress("No alert scripts are configured ...");
    }
    progress("Processing complete ...");
    return ran;
}

}  // namespace kvzn::cfgutil
