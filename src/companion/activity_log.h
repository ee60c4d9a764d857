// The activity log: one plain-text record per line, written from every thread.
#pragma once

#include <concepts>
#include <cstdint>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/file.h"

namespace kvzn::companion {

// One piece of a record's message: a text ("s") or an integer ("l", "i").
class LogPiece {
  public:
    LogPiece(const char* text) : value_(std::string_view(text ? text : "")) {}  // NOLINT
    LogPiece(std::string_view text) : value_(text) {}                           // NOLINT
    LogPiece(const std::string& text) : value_(std::string_view(text)) {}       // NOLINT
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>) LogPiece(T n)
        : value_(static_cast<long long>(n)) {}  // NOLINT
    bool IsText() const { return std::holds_alternative<std::string_view>(value_); }
    std::string_view Text() const { return std::get<std::string_view>(value_); }
    long long Number() const { return std::get<long long>(value_); }

  private:
    std::variant<std::string_view, long long> value_;
};

struct LogRecord {
    int level = 3;
    bool milestone = false;
    bool showToUser = false;
    std::string module;
    std::string function;
    std::string message;
    std::time_t time = 0;
};

// Receives every record that passes the level (tests capture records with one).
class LogSink {
  public:
    virtual ~LogSink() = default;
    virtual void Consume(const LogRecord& record) = 0;
};

// Levels: 1 error, 2 warning, 3 information, 4 and 5 detail, 6 service milestones.
// Milestone records are always written, whatever the level.
// @threadsafety Always. Records from several threads never interleave within a line; each
// record is one write() to a file opened for appending, so two processes may share a file.
class ActivityLog {
  public:
    static constexpr const char* kDefaultFileName = "KVZN.LOG";

    ActivityLog();
    ~ActivityLog();
    ActivityLog(const ActivityLog&) = delete;
    ActivityLog& operator=(const ActivityLog&) = delete;

    // The process-wide log (never destroyed, so detached threads may still log at exit).
    static ActivityLog& Process();

    void SetLevel(int level);
    int Level() const;
    // Directory against which relative file names are resolved (the home directory);
    // empty = the working directory.
    void SetBaseDirectory(std::string dir);
    // Switches to the file. Returns true when it can be written; otherwise the previous
    // file (or the default) stays in use and false is returned.
    bool SetFile(const std::string& path);
    std::string FilePath() const;

    // The record call of the library contract: `types` names each piece ("s" text,
    // "l"/"i" integer). A piece whose type letter does not match is written as "?".
    void WriteTyped(int level, int showToUser, int reserved, std::string_view module,
                    std::string_view function, std::string_view types,
                    std::initializer_list<LogPiece> pieces);
    void Write(int level, std::string_view module, std::string_view function,
               std::initializer_list<LogPiece> pieces, bool showToUser = false);
    void Milestone(int level, std::string_view module, std::string_view function,
                   std::initializer_list<LogPiece> pieces);

    void AddSink(LogSink* sink);
    void RemoveSink(LogSink* sink);
    // Called for records written with show-to-user (the configuration utility shows them).
    void SetUserNotifier(std::function<void(const LogRecord&)> notifier);

    // Formats one line of the file (without the line feed).
    static std::string FormatLine(const LogRecord& record);

  private:
    void Emit(LogRecord record);
    bool OpenLocked(const std::string& path);
    std::string Resolve(const std::string& path) const;

    mutable std::mutex mutex_;
    int level_ = 3;
    platform::UniqueFd fd_;
    std::string path_;
    std::string baseDir_;
    std::vector<LogSink*> sinks_;
    std::function<void(const LogRecord&)> notifier_;
};

// Records of one module and function: Logger(kModule, "ServiceMain")(3, "text ", n).
class Logger {
  public:
    Logger(std::string_view module, std::string_view function,
           ActivityLog& log = ActivityLog::Process())
        : log_(log), module_(module), function_(function) {}
    void operator()(int level, std::initializer_list<LogPiece> pieces) const {
        log_.Write(level, module_, function_, pieces);
    }
    template <class... P>
    void operator()(int level, const P&... pieces) const {
        log_.Write(level, module_, function_, {LogPiece(pieces)...});
    }
    template <class... P>
    void Milestone(int level, const P&... pieces) const {
        log_.Milestone(level, module_, function_, {LogPiece(pieces)...});
    }

  private:
    ActivityLog& log_;
    std::string_view module_;
    std::string_view function_;
};

}  // namespace kvzn::companion
