// Following one text log file while another program writes it: complete lines only, read
// in blocks, through growth, truncation and both styles of rotation.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "logmon/term_search.h"
#include "platform/file.h"
#include "platform/followed_file.h"

namespace kvzn::logmon {

// The longest record evaluated; a longer line is reported and passed over.
inline constexpr size_t kMaxRecordLength = 30000;
// Bytes read at a time.
inline constexpr size_t kReadBlock = 1 << 20;

// What happened to the file since the last look, for the monitor's log records.
enum class FollowNotice {
    kReset,       // the file shrank: followed again from its last complete line
    kReplaced,    // another file now has the name: read from its beginning
    kLongRecord,  // a line longer than kMaxRecordLength was passed over
    kUnreadable,  // the file exists but cannot be opened or read
};

// @threadsafety One thread at a time.
class LogFollower {
  public:
    // Gets each record (a complete, non-blank line without its line end); false stops the
    // read, which resumes at that record next time.
    using RecordSink = std::function<bool(std::string_view record)>;
    using NoticeSink = std::function<void(FollowNotice notice, const std::string& detail)>;

    explicit LogFollower(std::string path) : path_(std::move(path)) {}
    const std::string& Path() const { return path_; }
    int64_t Offset() const { return offset_; }

    // Follows `path` from now on, starting at the end of its last complete line (at 0 when
    // it does not exist yet, so a file created later is read whole).
    void PositionAtEnd(std::string path);
    void PositionAtEnd() { PositionAtEnd(path_); }

    // Reads what was appended since the last call. With a scanner only the lines holding
    // one of its terms are passed on (the others cannot match); without one every record.
    // A line still being written (no line end yet) waits for its end. Returns false when
    // the sink stopped the read.
    bool ReadNew(const BlockScanner* scanner, const RecordSink& sink, const NoticeSink& notice);

  private:
    enum class Drain { kAll, kCompleteLines };
    bool ReadFrom(int fd, Drain mode, const BlockScanner* scanner, const RecordSink& sink,
                  const NoticeSink& notice);
    bool Deliver(std::string_view line, const RecordSink& sink, const NoticeSink& notice);
    bool OpenCurrent(const NoticeSink& notice);

    std::string path_;
    platform::UniqueFd fd_;
    std::optional<platform::FileIdentity> identity_;  // of fd_
    int64_t offset_ = 0;
    bool readWholeNextFile_ = true;  // the next file found under the name is read from 0
    bool skippingLongLine_ = false;
    int lastError_ = 0;  // the open failure last reported (reported once)
    std::string block_;
};

// The offset after the last line end of the open file (0 when it has none).
int64_t EndOfLastCompleteLine(int fd, int64_t size);

}  // namespace kvzn::logmon
