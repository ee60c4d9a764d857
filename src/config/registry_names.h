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
}  // namespace kvzn::config
