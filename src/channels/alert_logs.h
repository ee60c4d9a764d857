// The three records of delivered alerts: the alert log "AlertLog.txt", the alert data
// file and the alert database.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "alerting/alert_record.h"
#include "alerting/message_text.h"
#include "service/service_context.h"

namespace kvzn::channels {

inline constexpr const char* kAlertLogName = "AlertLog.txt";
inline constexpr size_t kAlertLogHeaderLines = 9;
// Appends between two trims of the alert log.
inline constexpr int kAlertLogRewriteEvery = 50;
inline constexpr int kDatabaseTimeout = 60;
inline constexpr const char* kDefaultAlertString =
    "<$$TIMELOGGED>,<$$ALERTLEVEL>,<$$SERVER>,<$$TEST>,<$$SOURCE>,<$$ERROR>";
inline constexpr const char* kDefaultAlertSql =
    "INSERT INTO Korvane_Alerts (TimeLogged, AlertLevel, Server, CheckName, AlertText) VALUES "
    "('<$$TIMELOGGED>', <$$ALERTLEVEL>, '<$$SERVER>', '<$$TEST>', '<$$ERROR>')";
// The table of the embedded database the service sets up itself.
inline constexpr const char* kAlertTableSql =
    "CREATE TABLE IF NOT EXISTS Korvane_Alerts (TimeLogged TEXT, AlertLevel INTEGER, "
    "Server TEXT, CheckName TEXT, AlertText TEXT)";
// The ODBC driver of the embedded database.
inline constexpr const char* kEmbeddedDriver = "SQLite3";

// The nine header lines of the alert log, each ending with a line feed.
std::string AlertLogHeader(std::string_view computerName);
// One record line of the alert log (with its line feed); line breaks inside the texts
// become blanks, so one alert is always one line.
std::string AlertLogLine(std::string_view time, std::string_view title, std::string_view message);
// The log after a trim: header, the newest records so that `maxStored` - 1 remain (all of
// them when there are fewer than `maxStored`), then `newLine`.
std::string TrimmedAlertLog(std::string_view oldLog, std::string_view header, size_t maxStored,
                            std::string_view newLine);

// One line of the alert data file: `templ` expanded with each value made safe for a
// comma-separated line (line breaks become blanks; a value holding "," or a double quote
// is quoted with its double quotes doubled). Without the line end.
std::string AlertDataLine(int category, std::string_view templ,
                          const alerting::AlertTextContext& ctx, int dateFormat);

// A statement ready to run: the SQL with "?" markers and the values bound to them.
struct AlertStatement {
    std::string sql;
    std::vector<std::string> params;
};
// Expands the statement template for one alert. A quoted literal that is exactly one macro
// ('<$$ERROR>') becomes a "?" marker with the value bound; a macro inside a longer literal
// is expanded with its single quotes doubled; a macro outside any literal is written as it
// is when it is a number, otherwise as a quoted literal with its single quotes doubled.
// No value can end a literal or add SQL of its own.
AlertStatement PrepareAlertStatement(int category, std::string_view templ,
                                     const alerting::AlertTextContext& ctx, int dateFormat);

// The alert logs of one run. Called only on the alert notification thread; the members keep
// the run's state (append counter, database settings read once).
// @threadsafety One thread at a time.
class AlertLogs {
  public:
    explicit AlertLogs(service::ServiceContext& ctx) : ctx_(ctx) {}

    // Appends the record's line to the alert log, creating the log with its header and
    // trimming it to "MaxStoredMsgs" at the first append of the run and every 50th. 1 or 0.
    int AppendAlertLog(const alerting::AlertRecord& record);
    // Appends the record's line to the alert data file. 1 when written or disabled.
    int WriteAlertFileFromFile(const alerting::AlertRecord& record);
    // Runs the statement of the record on the alert database. 1 when it was attempted, 0
    // when database logging is off or the connection failed.
    int WriteToDatabaseFromFile(const alerting::AlertRecord& record);

  private:
    struct DatabaseSettings {
        bool enabled = false;
        std::string source;
        std::string sql;
        std::string user;
        std::string password;
        bool embedded = false;  // a SQLite file of our own: the data source does not exist
    };
    const DatabaseSettings& Database();

    service::ServiceContext& ctx_;
    int appendCounter_ = kAlertLogRewriteEvery;
    bool logReady_ = false;
    uint32_t maxStored_ = 50;
    std::optional<DatabaseSettings> database_;
};

}  // namespace kvzn::channels
