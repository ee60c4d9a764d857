// The thread table of the kvZNPrint service.
#include "programs/component_table.h"

#include "alerting/dispatcher.h"
#include "alerting/notification_threads.h"
#include "channels/alert_email.h"
#include "channels/alert_engine.h"
#include "channels/alert_logs.h"
#include "channels/network_message.h"
#include "companion/activity_log.h"
#include "console/console_requests.h"
#include "logmon/event_log_monitor.h"
#include "logmon/log_file_monitor.h"
#include "monitors/system_monitor_threads.h"
#include "printmon/print_server_monitor.h"
#include "programs/monitor_reports.h"
#include "web/web_server.h"

namespace kvzn::programs {

namespace {
// A record channel that cannot end the delivery of the others: an unexpected failure is
// logged with the channel's function name.
alerting::AlertChannels::RecordChannel Barrier(
    const char* function,
    std::function<void(const alerting::AlertRecord&, const std::string&)> channel) {
    return [function, channel = std::move(channel)](service::ServiceContext&,
                                                    const alerting::AlertRecord& record,
                                                    const std::string& recordPath) {
        try {
            channel(record, recordPath);
        } catch (const std::exception& e) {
            companion::Logger("kvZNAlertNotification", function)(
                1, "The alert ", recordPath, " could not be handled: ", e.what());
        }
    };
}

std::string CannotStart(const char* what) {
    return std::string("The Tessel Monitor cannot be started because the ") + what +
           " could not be initialised. Error: ";
}
}  // namespace

void RunWebServerWithConsoles(service::ServiceContext& ctx, web::WebServer& server) {
    std::shared_ptr<console::ConsoleClients> clients;
    auto run = std::dynamic_pointer_cast<alerting::AlertRun>(ctx.alertPath);
    if (ctx.enableConsoleSupport) {
        console::ConsoleOptions options;
        options.cachePath = ctx.home + "/PRT-Console.dat";
        options.serverName = ctx.computerName;
        clients = std::make_shared<console::ConsoleClients>(options);
        ctx.SetComponentStatusSink([&ctx, clients](int code, std::string_view text) {
            console::PostToConsoles(ctx, *clients, code, text);
        });
        if (run) {
            run->store.SetConsoleAlertSender([clients](const std::string& time,
                                                       const std::string& title,
                                                       const std::string& message) {
                clients->NotifyAlert(time, title, message);
            });
        }
    }
    server.SetConsole(clients);
    ConnectMonitorReports(ctx, server.Sources());
    server.Run(ctx);
    DisconnectMonitorReports(server.Sources());
    if (clients) {
        ctx.SetComponentStatusSink(nullptr);
        if (run) {
            run->store.SetConsoleAlertSender(nullptr);
        }
        clients->Close();
    }
}

service::ComponentTable MakeComponentTable() {
    using service::ComponentEntry;
    using service::ServiceContext;
    service::ComponentTable table;
    auto webServer = std::make_shared<web::WebServer>();
    table.performance = {"PerformanceCounter",
                         3,
                         4,
                         CannotStart("Peformance Counter monitoring thread"),
                         nullptr,
                         monitors::PerformanceCounter};
    table.components = {
        {"VerifyEventLogs", 0, 2, CannotStart("Event Log monitoring thread"), nullptr,
         logmon::VerifyEventLogs},
        {"VerifyLogFiles", 1, 3, CannotStart("Log File monitoring thread"), nullptr,
         logmon::VerifyLogFiles},
        {"GenericMonitor", 2, 20, CannotStart("Generic Monitoring thread"), nullptr,
         monitors::GenericMonitor},
        {"SpecificMonitor", 4, 25, CannotStart("Server Specific monitoring thread"), nullptr,
         printmon::SpecificMonitor},
        {"AlertNotification", 7, 12, CannotStart("Alerting thread"), nullptr,
         alerting::AlertNotification},
        {"DelayedAlertNotification", 14, 19, CannotStart("Delayed Alerting thread"),
         [](ServiceContext& ctx) { return alerting::HasEMailRecipients(ctx.registry); },
         alerting::DelayedAlertNotification},
        {"EmbeddedWebServer", service::kWebSlot, 13, CannotStart("Embedded Web Server thread"),
         [](ServiceContext& ctx) { return ctx.enableWebReports; },
         [webServer](ServiceContext& ctx) { RunWebServerWithConsoles(ctx, *webServer); }},
        {"CheckForSummary", 10, 14, CannotStart("summary sender thread"),
         [](ServiceContext& ctx) {
             std::string list;
             return alerting::BuildSummaryRecipientList(ctx.registry, list) > 0;
         },
         alerting::CheckForSummary},
    };
    table.makeAlertPath = [](ServiceContext& ctx) -> std::shared_ptr<service::AlertPath> {
        return std::make_shared<alerting::AlertRun>(ctx, MakeAlertChannels(ctx));
    };
    table.closeWebListener = [webServer] { webServer->CloseListener(); };
    return table;
}

alerting::AlertChannels MakeAlertChannels(service::ServiceContext& ctx) {
    auto email = std::make_shared<channels::EMailChannel>(ctx);
    auto network = std::make_shared<channels::NetworkMessageChannel>(ctx);
    auto logs = std::make_shared<channels::AlertLogs>(ctx);
    auto engine = std::make_shared<channels::AlertEngine>(ctx);
    alerting::AlertChannels ch;
    ch.email = [email](service::ServiceContext&, const alerting::AlertRecord& record,
                       const std::optional<std::string>& list) {
        return email->SendEMailMessageFromFile(record, list);
    };
    ch.networkMessage = [network](service::ServiceContext&, const alerting::AlertRecord& record) {
        return network->SendNetworkMessageFromFile(record);
    };
    ch.emailText = [email](service::ServiceContext&, const std::string& title,
                           const std::string& text, const std::string& list) {
        return email->SendEMailMessage(title, title, text, list);
    };
    ch.networkText = [](service::ServiceContext& run, const std::string& title,
                        const std::string& text, const std::string& list) {
        return channels::SendNetworkMessage(run, title, text, list);
    };
    ch.alertDataFile = Barrier("WriteAlertFileFromFile",
                               [logs](const alerting::AlertRecord& record, const std::string&) {
                                   logs->WriteAlertFileFromFile(record);
                               });
    ch.alertDatabase = Barrier("WriteToDatabaseFromFile",
                               [logs](const alerting::AlertRecord& record, const std::string&) {
                                   logs->WriteToDatabaseFromFile(record);
                               });
    ch.alertEngine = Barrier("ProcessAlertEngine",
                             [engine](const alerting::AlertRecord& record, const std::string&) {
                                 engine->ProcessAlertEngine(record);
                             });
    ch.alertLog =
        Barrier("AppendAlertLog", [logs](const alerting::AlertRecord& record, const std::string&) {
            logs->AppendAlertLog(record);
        });
    return ch;
}

}  // namespace kvzn::programs
