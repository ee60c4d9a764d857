// Names of the product key, its top-level values and its subkeys, kept in one place.
#pragma once

namespace kvzn::config {

inline constexpr const char* kProductKey =
    "Software\\Halvern\\Korvane Tessel Print Monitor\\CurrentVersion";

// Top-level values of the product key.
namespace value {
inline constexpr const char* kHome = "Home";
inline constexpr const char* kDataDirectory = "DataDirectory";
inline constexpr const char* kHTMLTargetDirectory = "HTMLTargetDirectory";
inline constexpr const char* kImagesDirectory = "ImagesDirectory";
inline constexpr const char* kLogFile = "LogFile";
inline constexpr const char* kLogLevel = "LogLevel";
inline constexpr const char* kEnableWebReports = "EnableWebReports";
inline constexpr const char* kEnableConsoleSupport = "EnableConsoleSupport";
inline constexpr const char* kInitialStartupDelay = "InitialStartupDelay";
inline constexpr const char* kAutoAdjustPrivileges = "AutoAdjustPrivileges";
inline constexpr const char* kSendOneOffWarnings = "SendOneOffWarnings";
inline constexpr const char* kRunBefore = "RunBefore";
inline constexpr const char* kNotifyRunningActions = "NotifyRunningActions";
inline constexpr const char* kDateFormat = "DateFormat";
inline constexpr const char* kStartMonitoringOn = "StartMonitoringOn";
inline constexpr const char* kActionTimeout = "ActionTimeout";
inline constexpr const char* kLastRebootedFor = "LastRebootedFor";
inline constexpr const char* kMaxStoredMsgs = "MaxStoredMsgs";
inline constexpr const char* kStoredMsgNo = "StoredMsgNo";
inline constexpr const char* kLastConfigUpdateTime = "LastConfigUpdateTime";
inline constexpr const char* kStartAutomatically = "StartAutomatically";
inline constexpr const char* kPrintInterval = "PrintInterval";
inline constexpr const char* kPrinterInterval = "PrinterInterval";
// Seconds a probe of the network devices of busy queues may take (2 when missing, 0: no
// probe).
inline constexpr const char* kDeviceProbeTimeout = "DeviceProbeTimeout";
inline constexpr const char* kPrintActionWaitTime = "PrintActionWaitTime";
inline constexpr const char* kDiskInterval = "DiskInterval";
inline constexpr const char* kPerfInterval = "PerfInterval";
inline constexpr const char* kEventLogPollInterval = "EventLogPollInterval";
inline constexpr const char* kLogFilePollInterval = "LogFilePollInterval";
inline constexpr const char* kDelayedSMTPCheckInterval = "DelayedSMTPCheckInterval";
inline constexpr const char* kHTTPListenPortNo = "HTTPListenPortNo";
inline constexpr const char* kMaxWebServerThreads = "MaxWebServerThreads";
inline constexpr const char* kWebSvrIPRetryLimit = "WebSvrIPRetryLimit";
inline constexpr const char* kWebSvrIPRetryTime = "WebSvrIPRetryTime";
inline constexpr const char* kWebSessionLogon = "WebSessionLogon";
inline constexpr const char* kWebSessionTimeout = "WebSessionTimeout";
inline constexpr const char* kWebSessionIPShutdownTimeout = "WebSessionIPShutdownTimeout";
inline constexpr const char* kWebPassword = "Data2";
inline constexpr const char* kEnableRExecSessions = "EnableRExecSessions";
inline constexpr const char* kRExecSessionTimeout = "RExecSessionTimeout";
inline constexpr const char* kWebJSRefreshTime = "WebJSRefreshTime";
inline constexpr const char* kWebHomeURLPrefix = "WebHomeURLPrefix";
}  // namespace value

// Values of the "Contacts" subkey besides the numbered contact list: the common e-mail
// server and the message templates live here, where their readers look for them.
namespace contacts {
inline constexpr const char* kEMailServer = "E-Mail Server";
inline constexpr const char* kEMailServerPort = "E-Mail Server Port";
// Mail encryption and logon: "SMTPTLS" 0 never, 1 when offered (default), 2 required;
// "SMTPCAFile" a PEM file of trusted CAs (empty: the system's); user and password of the
// common server, scrambled.
inline constexpr const char* kSmtpTls = "SMTPTLS";
inline constexpr const char* kSmtpCAFile = "SMTPCAFile";
inline constexpr const char* kSmtpUser = "SMTPUser";
inline constexpr const char* kSmtpPassword = "SMTPPassword";
inline constexpr const char* kSender = "Sender";
inline constexpr const char* kMessageText = "MessageText";
inline constexpr const char* kTitleText = "TitleText";
inline constexpr const char* kNetSendServer = "NetSend Server";
// Numbered values (format with the entry number).
inline constexpr const char* kEMail = "EMail%d";
inline constexpr const char* kEMailLevel = "EMailLevel%d";
inline constexpr const char* kEMailServerN = "EMailServer%d";
inline constexpr const char* kEMailSender = "EMailSender%d";
inline constexpr const char* kEMailPortNo = "EMailPortNo%d";
inline constexpr const char* kNetSend = "NetSend%d";
inline constexpr const char* kNetSendLevel = "NetSendLevel%d";
inline constexpr const char* kDailyReport = "DailyReport%d";
// Weekly time windows: format with a prefix ("Email", "NetSend") and the entry number.
inline constexpr const char* kWindowMask = "%sMask%d";
inline constexpr const char* kWindowStartTime = "%sStartTime%d";
inline constexpr const char* kWindowEndTime = "%sEndTime%d";
}  // namespace contacts

// Values of the "AlertLogging" subkey: alert data file, alert database and the
// performance CSV log.
namespace alert_logging {
inline constexpr const char* kEnableAlertLogging = "EnableAlertLogging";
inline constexpr const char* kAlertDataFile = "AlertDataFile";
inline constexpr const char* kAlertString = "AlertString";
inline constexpr const char* kEnableDBLogging = "EnableDBLogging";
inline constexpr const char* kDatabase = "Database";
inline constexpr const char* kSQL = "SQL";
inline constexpr const char* kDatabaseUser = "Data1";      // scrambled
inline constexpr const char* kDatabasePassword = "Data2";  // scrambled
inline constexpr const char* kEnablePerfLogging = "EnablePerfLogging";
inline constexpr const char* kPerfDataFile = "PerfDataFile";
inline constexpr const char* kAutoDelTime = "AutoDelTime";
}  // namespace alert_logging

// Fields shared by every check entry.
namespace check {
inline constexpr const char* kEnabled = "Enabled";
inline constexpr const char* kAlertLevel = "AlertLevel";
inline constexpr const char* kActionToTake = "ActionToTake";
inline constexpr const char* kCountBeforeAction = "CountBeforeAction";
inline constexpr const char* kNonNotificationPeriod = "NonNotificationPeriod";
inline constexpr const char* kCommand = "Command";
inline constexpr const char* kThreshold = "Threshold";
inline constexpr const char* kName = "Name";
inline constexpr const char* kDisplayName = "DisplayName";
}  // namespace check

// Numbered list entries: subkey names and the value that identifies an entry.
namespace list {
inline constexpr const char* kPrinterEntry = "Printer%d";
inline constexpr const char* kPrinterIdentity = "Printer";
inline constexpr const char* kServiceEntry = "Service%d";
inline constexpr const char* kServiceIdentity = "Enabled";
inline constexpr const char* kCounterEntry = "Counter%d";
inline constexpr const char* kLogEntry = "Log%d";
inline constexpr const char* kLogType = "LogType";
inline constexpr const char* kDiskEntry = "Disk%d";
inline constexpr const char* kWebAccessAddress = "Address%d";
}  // namespace list

// The six check subkeys of a printer entry.
namespace printer_check {
inline constexpr const char* kErrorConditions = "Check Error Conditions";
inline constexpr const char* kQueueLength = "Check Print Queue Length";
inline constexpr const char* kDocumentSize = "Check Document Size (Kb)";
inline constexpr const char* kPageCount = "Check No of Pages in Print Document";
inline constexpr const char* kPaused = "Check Printer Paused";
inline constexpr const char* kOffline = "Check Printer Offline";
inline constexpr const char* kStalledPrinting = "Check Stalled Printing";
}  // namespace printer_check

// Subkeys of the product key (relative names; join with SubKey()).
namespace subkey {
inline constexpr const char* kPrinters = "Printers";
inline constexpr const char* kPrint = "Print";
inline constexpr const char* kCustomServices = "CustomServices";
inline constexpr const char* kPerformance = "Performance";
inline constexpr const char* kCustomPerformance = "CustomPerformance";
inline constexpr const char* kLogs = "LOGS";
inline constexpr const char* kDiskSpace = "Disk Space";
inline constexpr const char* kContacts = "Contacts";
inline constexpr const char* kAlertEngine = "AlertEngine";
inline constexpr const char* kAlertLogging = "AlertLogging";
inline constexpr const char* kWebAccess = "WebAccess";
}  // namespace subkey

}  // namespace kvzn::config

#include <string>
#include <string_view>

namespace kvzn::config {
// The path of a subkey of the product key: "...\CurrentVersion\<name>".
std::string SubKey(std::string_view name);
// A name built from a format with one "%d" (and optionally a leading "%s"):
// Numbered("EMail%d", 3) = "EMail3", Numbered("%sMask%d", 2, "Email") = "EmailMask2".
std::string Numbered(std::string_view format, int n, std::string_view prefix = {});
}  // namespace kvzn::config
