// The activity log: level filter, file selection with fall-back, one line per record.
#include "companion/activity_log.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace kvzn::companion {

namespace {

long ThreadId() {
    return static_cast<long>(::syscall(SYS_gettid));
}

// A record is one line: control characters in the message become blanks.
void Flatten(std::string& text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = ' ';
        }
    }
}

}  // namespace

ActivityLog::ActivityLog() = default;

ActivityLog::~ActivityLog() = default;

ActivityLog& ActivityLog::Process() {
    static ActivityLog* log = new ActivityLog();  // never destroyed: see header
    return *log;
}

void ActivityLog::SetLevel(int level) {
    std::scoped_lock lock(mutex_);
    level_ = level;
}

int ActivityLog::Level() const {
    std::scoped_lock lock(mutex_);
    return level_;
}

void ActivityLog::SetBaseDirectory(std::string dir) {
    std::scoped_lock lock(mutex_);
    baseDir_ = std::move(dir);
}

std::string ActivityLog::Resolve(const std::string& path) const {
    if (path.empty() || path.front() == '/' || baseDir_.empty()) {
        return path;
    }
    return baseDir_ + (baseDir_.back() == '/' ? "" : "/") + path;
}

bool ActivityLog::OpenLocked(const std::string& path) {
    const std::string resolved = Resolve(path);
    if (resolved.empty()) {
        return false;
    }
    auto fd = platform::OpenForAppending(resolved, 0640);
    if (!fd.ok()) {
        return false;
    }
    fd_ = std::move(*fd);
    path_ = resolved;
    return true;
}

bool ActivityLog::SetFile(const std::string& path) {
    std::scoped_lock lock(mutex_);
    return OpenLocked(path);
}

std::string ActivityLog::FilePath() const {
    std::scoped_lock lock(mutex_);
    return path_.empty() ? Resolve(kDefaultFileName) : path_;
}

void ActivityLog::WriteTyped(int level, int showToUser, int /*reserved*/, std::string_view module,
                             std::string_view function, std::string_view types,
                             std::initializer_list<LogPiece> pieces) {
    LogRecord record;
    record.level = level;
    record.showToUser = showToUser != 0;
    record.module = module;
    record.function = function;
    size_t i = 0;
    for (const LogPiece& piece : pieces) {
        const char type = i < types.size() ? types[i] : '\0';
        if (type == 's' && piece.IsText()) {
            record.message += piece.Text();
        } else if ((type == 'l' || type == 'i') && !piece.IsText()) {
            record.message += std::to_string(piece.Number());
        } else {
            record.message += '?';
        }
        ++i;
    }
    Emit(std::move(record));
}

void ActivityLog::Write(int level, std::string_view module, std::string_view function,
                        std::initializer_list<LogPiece> pieces, bool showToUser) {
    LogRecord record;
    record.level = level;
    record.showToUser = showToUser;
    record.module = module;
    record.function = function;
    for (const LogPiece& piece : pieces) {
        record.message +=
            piece.IsText() ? std::string(piece.Text()) : std::to_string(piece.Number());
    }
    Emit(std::move(record));
}

void ActivityLog::Milestone(int level, std::string_view module, std::string_view function,
                            std::initializer_list<LogPiece> pieces) {
    LogRecord record;
    record.level = level;
    record.milestone = true;
    record.module = module;
    record.function = function;
    for (const LogPiece& piece : pieces) {
        record.message +=
            piece.IsText() ? std::string(piece.Text()) : std::to_string(piece.Number());
    }
    Emit(std::move(record));
}

std::string ActivityLog::FormatLine(const LogRecord& record) {
    std::tm tm{};
    const std::time_t t = record.time;
    localtime_r(&t, &tm);
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::string line = stamp;
    line += record.milestone ? " M" : " L";
    line += std::to_string(record.level);
    line += " [";
    line += std::to_string(ThreadId());
    line += "] ";
    line += record.module;
    line += ' ';
    line += record.function;
    line += ": ";
    line += record.message;
    return line;
}

void ActivityLog::Emit(LogRecord record) {
    Flatten(record.message);
    record.time = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::function<void(const LogRecord&)> notifier;
    {
        std::scoped_lock lock(mutex_);
        if (!record.milestone && record.level > level_) {
            return;
        }
        if (!fd_.valid()) {
            OpenLocked(kDefaultFileName);
        }
        if (fd_.valid()) {
            platform::WriteAll(fd_.get(), FormatLine(record) + "\n", path_);
        }
        for (LogSink* sink : sinks_) {
            sink->Consume(record);
        }
        if (record.showToUser) {
            notifier = notifier_;
        }
    }
    if (notifier) {
        notifier(record);
    }
}

void ActivityLog::AddSink(LogSink* sink) {
    std::scoped_lock lock(mutex_);
    sinks_.push_back(sink);
}

void ActivityLog::RemoveSink(LogSink* sink) {
    std::scoped_lock lock(mutex_);
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

void ActivityLog::SetUserNotifier(std::function<void(const LogRecord&)> notifier) {
    std::scoped_lock lock(mutex_);
    notifier_ = std::move(notifier);
}

}  // namespace kvzn::companion
