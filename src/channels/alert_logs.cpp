// The alert log, the alert data file and the alert database of delivered alerts.
#include "channels/alert_logs.h"

#include <cstdio>
#include <new>

#include "channels/record_context.h"
#include "companion/activity_log.h"
#include "config/registry_names.h"
#include "config/scrambled_values.h"
#include "platform/database.h"
#include "platform/file.h"
#include "platform/text.h"

namespace kvzn::channels {

namespace {

constexpr std::string_view kModule = "kvZNAlertNotification";
constexpr int kAlertNotifyComponent = 12;
constexpr size_t kAlertStringSize = 520;
constexpr size_t kDataFileSize = 260;
constexpr size_t kSettingSize = 256;

// Line breaks (any run of CR and LF) become one blank.
std::string OneLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool inBreak = false;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!inBreak) {
                out += ' ';
            }
            inBreak = true;
            continue;
        }
        inBreak = false;
        out += c;
    }
    return out;
}

std::string DoubleQuotes(std::string_view text, char quote) {
    std::string out;
    out.reserve(text.size() + 2);
    for (char c : text) {
        out += c;
        if (c == quote) {
            out += quote;
        }
    }
    return out;
}

bool IsNumber(std::string_view text) {
    if (!text.empty() && text.front() == '-') {
        text.remove_prefix(1);
    }
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

size_t CountChar(std::string_view text, char c) {
    size_t n = 0;
    for (char x : text) {
        n += x == c ? 1 : 0;
    }
    return n;
}

// A file name for the embedded database of a data source name.
std::string EmbeddedFileName(std::string_view source) {
    std::string name;
    for (char c : source) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        name += plain ? c : '_';
    }
    return name + ".sqlite";
}

}  // namespace

std::string AlertLogHeader(std::string_view computerName) {
    std::string header = "\n";
    header += "Monitor: Korvane Tessel Print Monitor\n";
    header += "Version: 4.2\n";
    header += "\n";
    header +=
        "Recent Alerts generated from " + std::string(computerName) + " will be listed below\n";
    header += std::string(74, '-') + "\n";
    header += "\n";
    char line[128];
    std::snprintf(line, sizeof line, "%-19s\t%-30s\tDetails or Message\n", "Date/Time",
                  "Error Source/Check Title");
    header += line;
    header += "\n";
    return header;
}

std::string AlertLogLine(std::string_view time, std::string_view title, std::string_view message) {
    auto padded = [](std::string text, size_t width) {
        if (text.size() < width) {
            text.append(width - text.size(), ' ');
        }
        return text;
    };
    return padded(OneLine(time), 19) + "\t" + padded(OneLine(title), 30) + "\t" + OneLine(message) +
           "\n";
}

std::string TrimmedAlertLog(std::string_view oldLog, std::string_view header, size_t maxStored,
                            std::string_view newLine) {
    std::vector<std::string_view> lines;
    size_t pos = 0;
    while (pos < oldLog.size()) {
        size_t end = oldLog.find('\n', pos);
        end = end == std::string_view::npos ? oldLog.size() : end + 1;
        lines.push_back(oldLog.substr(pos, end - pos));
        pos = end;
    }
    const size_t records =
        lines.size() > kAlertLogHeaderLines ? lines.size() - kAlertLogHeaderLines : 0;
    // Fewer records than the limit: all are kept; otherwise the newest limit - 1.
    const size_t keep = records < maxStored ? records : (maxStored > 0 ? maxStored - 1 : 0);
    std::string out(header);
    for (size_t i = lines.size() - keep; i < lines.size(); ++i) {
        out += lines[i];
        if (out.back() != '\n') {
            out += '\n';
        }
    }
    out += newLine;
    return out;
}

std::string AlertDataLine(int category, std::string_view templ,
                          const alerting::AlertTextContext& ctx, int dateFormat) {
    std::string out;
    alerting::SubstituteParamsForString_Dynamic(
        category, templ, out, ctx, dateFormat, [](std::string_view value, std::string_view) {
            std::string v = OneLine(value);
            if (v.find_first_of(",\"") != std::string::npos) {
                return "\"" + DoubleQuotes(v, '"') + "\"";
            }
            return v;
        });
    return OneLine(out);
}

AlertStatement PrepareAlertStatement(int category, std::string_view templ,
                                     const alerting::AlertTextContext& ctx, int dateFormat) {
    AlertStatement statement;
    // Literals that are exactly one macro become markers; the rest keeps its macros.
    std::string rest;
    std::vector<std::string> boundMacros;
    bool inLiteral = false;
    for (size_t i = 0; i < templ.size(); ++i) {
        const char c = templ[i];
        if (!inLiteral && c == '\'') {
            const size_t close = templ.find('\'', i + 1);
            if (close != std::string_view::npos) {
                const std::string_view inner = templ.substr(i + 1, close - i - 1);
                const bool oneMacro = inner.starts_with("<$$") && inner.ends_with(">") &&
                                      inner.find('>') == inner.size() - 1 &&
                                      inner.find("<$$", 3) == std::string_view::npos;
                if (oneMacro) {
                    rest += '?';
                    boundMacros.emplace_back(inner);
                    i = close;
                    continue;
                }
            }
            inLiteral = true;
        } else if (inLiteral && c == '\'') {
            inLiteral = false;
        }
        rest += c;
    }
    alerting::SubstituteParamsForString_Dynamic(
        category, rest, statement.sql, ctx, dateFormat,
        [](std::string_view value, std::string_view before) {
            // Escaped values hold an even number of quotes, so the parity of what came
            // before tells whether the macro stands inside a literal.
            if (CountChar(before, '\'') % 2 == 1) {
                return DoubleQuotes(value, '\'');
            }
            if (IsNumber(value)) {
                return std::string(value);
            }
            return "'" + DoubleQuotes(value, '\'') + "'";
        });
    for (const std::string& macro : boundMacros) {
        std::string value;
        alerting::SubstituteParamsForString_Dynamic(category, macro, value, ctx, dateFormat);
        statement.params.push_back(std::move(value));
    }
    return statement;
}

int AlertLogs::AppendAlertLog(const alerting::AlertRecord& record) {
    const companion::Logger log(kModule, "AppendAlertLog");
    const std::string path = ctx_.dataDirectory + "/" + kAlertLogName;
    if (!logReady_) {
        uint32_t maxStored = 0;
        ctx_.registry.ReadNumber(config::kProductKey, config::value::kMaxStoredMsgs, maxStored);
        maxStored_ = maxStored == 0 ? 50 : maxStored;
        ctx_.PostComponentStatus(kAlertNotifyComponent, "Initialising alert log " + path);
        auto existing = platform::ReadWholeFile(path);
        if (!existing.ok() && existing.status().err() == ENOENT) {
            const platform::Status st =
                platform::WriteFileAtomically(path, AlertLogHeader(ctx_.computerName));
            if (!st.ok()) {
                log(1, "Unable to open the Alert Log ", path,
                    ". One or more entries may be missing (", st.Text(), ")");
            }
        }
        logReady_ = true;
    }
    ctx_.PostComponentStatus(kAlertNotifyComponent, "Appending alert details to " + path);
    std::string line;
    try {
        line = AlertLogLine(alerting::RecordText(record.time, "", alerting::kAlertTimeFieldSize),
                            alerting::RecordText(record.errorTitle, "N/A"),
                            alerting::RecordText(record.message, "", 0));
    } catch (const std::bad_alloc&) {
        log(1, "Insufficient memory available to write Alert File");
        return 0;
    }
    if (++appendCounter_ < kAlertLogRewriteEvery) {
        const platform::Status st = platform::AppendToFile(path, line, platform::Durability::kNone);
        if (!st.ok()) {
            log(1, "Unable to open the Alert Log ", path, ". One or more entries may be missing (",
                st.Text(), ")");
            return 0;
        }
        return 1;
    }
    appendCounter_ = 0;
    auto old = platform::ReadWholeFile(path);
    const std::string oldLog = old.ok() ? *old : std::string();
    std::string trimmed;
    try {
        trimmed = TrimmedAlertLog(oldLog, AlertLogHeader(ctx_.computerName), maxStored_, line);
    } catch (const std::bad_alloc&) {
        log(1, "Insufficient memory available to count Alert Log records");
        return 0;
    }
    // The new log replaces the old one in one step: a crash leaves one or the other.
    const platform::Status st = platform::WriteFileAtomically(path, trimmed);
    if (!st.ok()) {
        log(1, "Unable to open the Alert log ", path, ". One or more entries will be missing (",
            st.Text(), ")");
        return 0;
    }
    return 1;
}

int AlertLogs::WriteAlertFileFromFile(const alerting::AlertRecord& record) {
    const companion::Logger log(kModule, "WriteAlertFileFromFile");
    const std::string key = config::SubKey(config::subkey::kAlertLogging);
    uint32_t enabled = 0;
    std::string dataFile;
    std::string templ;
    ctx_.registry.ReadNumber(key, config::alert_logging::kEnableAlertLogging, enabled);
    ctx_.registry.ReadText(key, config::alert_logging::kAlertDataFile, dataFile, kDataFileSize);
    ctx_.registry.ReadText(key, config::alert_logging::kAlertString, templ, kAlertStringSize);
    if (enabled == 0 || dataFile.empty()) {
        return 1;
    }
    if (templ.empty()) {
        templ = kDefaultAlertString;
    }
    ctx_.PostComponentStatus(kAlertNotifyComponent, "Logging alert to the file " + dataFile);
    std::string line;
    try {
        line = AlertDataLine(record.errorType, templ, RecordTextContext(ctx_, record),
                             ctx_.DateFormat()) +
               "\r\n";
    } catch (const std::bad_alloc&) {
        log(1, "Insufficient memory available to write Alert File");
        return 0;
    }
    const platform::Status st = platform::AppendToFile(dataFile, line, platform::Durability::kNone);
    if (!st.ok()) {
        log(1, "Unable to write triggered alert to the Alert File ", dataFile,
            ". The Alert was not written (", st.Text(), ")");
        return 0;
    }
    return 1;
}

const AlertLogs::DatabaseSettings& AlertLogs::Database() {
    if (database_) {
        return *database_;
    }
    const std::string key = config::SubKey(config::subkey::kAlertLogging);
    DatabaseSettings s;
    uint32_t enabled = 0;
    ctx_.registry.ReadNumber(key, config::alert_logging::kEnableDBLogging, enabled);
    ctx_.registry.ReadText(key, config::alert_logging::kDatabase, s.source, kSettingSize);
    ctx_.registry.ReadText(key, config::alert_logging::kSQL, s.sql, kAlertStringSize);
    config::kvHlpSvc2(ctx_.registry, ctx_.registry.Store(), key,
                      config::alert_logging::kDatabaseUser, s.user, kSettingSize);
    config::kvHlpSvc2(ctx_.registry, ctx_.registry.Store(), key,
                      config::alert_logging::kDatabasePassword, s.password, kSettingSize);
    if (s.sql.empty()) {
        s.sql = kDefaultAlertSql;
    }
    s.enabled = enabled != 0 && !s.source.empty();
    s.embedded = s.enabled && s.source.find('=') == std::string::npos &&
                 !platform::DataSourceExists(s.source);
    database_ = std::move(s);
    return *database_;
}

int AlertLogs::WriteToDatabaseFromFile(const alerting::AlertRecord& record) {
    const companion::Logger log(kModule, "WriteToDatabaseFromFile");
    const DatabaseSettings& s = Database();
    if (!s.enabled) {
        return 0;
    }
    platform::DatabaseTarget target{s.source, s.user, s.password, 15};
    if (s.embedded) {
        // No such data source: the service keeps the alerts in a SQLite file of its own.
        target.source = std::string("DRIVER=") + kEmbeddedDriver + ";DATABASE=" +
                        platform::ConnectionAttributeValue(ctx_.dataDirectory + "/" +
                                                           EmbeddedFileName(s.source)) +
                        ";";
    }
    auto connection = platform::ConnectDatabase(target);
    if (!connection.ok()) {
        log(1,
            "Unable to write triggered alert to the Alert Database. Unable to connect to the "
            "database. ",
            connection.status().Text());
        return 0;
    }
    if (s.embedded) {
        const platform::Status st = (*connection)->Execute(kAlertTableSql, {}, kDatabaseTimeout);
        if (!st.ok()) {
            log(1, "Unable to create the alert table of the embedded database. ", st.Text());
        }
    }
    const AlertStatement statement = PrepareAlertStatement(
        record.errorType, s.sql, RecordTextContext(ctx_, record), ctx_.DateFormat());
    ctx_.PostComponentStatus(kAlertNotifyComponent, "Logging alert to the database " + s.source);
    const platform::Status st =
        (*connection)->Execute(statement.sql, statement.params, kDatabaseTimeout);
    if (!st.ok()) {
        log(1, "Unable to write triggered alert to the Alert Database. Error executing query. ",
            st.Text());
    }
    return 1;
}

}  // namespace kvzn::channels
