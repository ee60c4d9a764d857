// Following a text log file: positions, rotation and truncation, block reads of complete
// lines.
#include "logmon/log_follower.h"

#include <cerrno>
#include <cstring>

namespace kvzn::logmon {

namespace {

bool IsBlank(std::string_view line) {
    for (char c : line) {
        if (c != ' ' && c != '\r' && c != '\n') {
            return false;
        }
    }
    return true;
}

}  // namespace

int64_t EndOfLastCompleteLine(int fd, int64_t size) {
    std::string block(64 * 1024, '\0');
    int64_t end = size;
    while (end > 0) {
        const int64_t start =
            end > static_cast<int64_t>(block.size()) ? end - static_cast<int64_t>(block.size()) : 0;
        auto n = platform::ReadAt(fd, start, block.data(), static_cast<size_t>(end - start));
        if (!n.ok() || *n == 0) {
            return 0;
        }
        const void* nl = ::memrchr(block.data(), '\n', *n);
        if (nl != nullptr) {
            return start + (static_cast<const char*>(nl) - block.data()) + 1;
        }
        end = start;
    }
    return 0;
}

void LogFollower::PositionAtEnd(std::string path) {
    path_ = std::move(path);
    fd_ = platform::UniqueFd();
    identity_.reset();
    skippingLongLine_ = false;
    offset_ = 0;
    readWholeNextFile_ = true;
    auto opened = platform::OpenForReading(path_);
    if (!opened.ok()) {
        return;
    }
    auto id = platform::IdentifyOpenFile(opened->get());
    if (!id.ok()) {
        return;
    }
    offset_ = EndOfLastCompleteLine(opened->get(), id->size);
    identity_ = *id;
    fd_ = std::move(*opened);
    readWholeNextFile_ = false;
}

bool LogFollower::OpenCurrent(const NoticeSink& notice) {
    auto opened = platform::OpenForReading(path_);
    if (!opened.ok()) {
        if (opened.status().err() != ENOENT && opened.status().err() != lastError_) {
            notice(FollowNotice::kUnreadable, opened.status().Text());
        }
        lastError_ = opened.status().err();
        return false;
    }
    auto id = platform::IdentifyOpenFile(opened->get());
    if (!id.ok()) {
        return false;
    }
    lastError_ = 0;
    fd_ = std::move(*opened);
    identity_ = *id;
    if (readWholeNextFile_) {
        offset_ = 0;
        skippingLongLine_ = false;
        readWholeNextFile_ = false;
    }
    return true;
}

bool LogFollower::ReadNew(const BlockScanner* scanner, const RecordSink& sink,
                          const NoticeSink& notice) {
    auto named = platform::IdentifyPath(path_);
    if (fd_.valid() && (!named.ok() || !named->SameFile(*identity_))) {
        // Renamed away or replaced: finish the old file (its last line will never get its
        // line end now), then take the new one from its beginning.
        if (!ReadFrom(fd_.get(), Drain::kAll, scanner, sink, notice)) {
            return false;
        }
        fd_ = platform::UniqueFd();
        identity_.reset();
        readWholeNextFile_ = true;
        if (named.ok()) {
            notice(FollowNotice::kReplaced, path_);
        }
    }
    if (!named.ok()) {
        if (named.status().err() != ENOENT && named.status().err() != lastError_) {
            notice(FollowNotice::kUnreadable, named.status().Text());
            lastError_ = named.status().err();
        }
        return true;  // not there (yet): tried again next time
    }
    if (!fd_.valid() && !OpenCurrent(notice)) {
        return true;
    }
    auto now = platform::IdentifyOpenFile(fd_.get());
    if (!now.ok()) {
        return true;
    }
    if (now->size < offset_) {
        // Truncated in place (copy-and-truncate rotation, or emptied by hand).
        notice(FollowNotice::kReset, path_);
        offset_ = EndOfLastCompleteLine(fd_.get(), now->size);
        skippingLongLine_ = false;
        return true;
    }
    return ReadFrom(fd_.get(), Drain::kCompleteLines, scanner, sink, notice);
}

bool LogFollower::Deliver(std::string_view line, const RecordSink& sink, const NoticeSink& notice) {
    while (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    if (IsBlank(line)) {
        return true;
    }
    if (line.size() > kMaxRecordLength) {
        notice(FollowNotice::kLongRecord, path_);
        return true;
    }
    return sink(line);
}

bool LogFollower::ReadFrom(int fd, Drain mode, const BlockScanner* scanner, const RecordSink& sink,
                           const NoticeSink& notice) {
    block_.resize(kReadBlock);
    for (;;) {
        auto got = platform::ReadAt(fd, offset_, block_.data(), block_.size());
        if (!got.ok()) {
            notice(FollowNotice::kUnreadable, got.status().Text());
            return true;
        }
        const size_t n = *got;
        if (n == 0) {
            return true;
        }
        const std::string_view data(block_.data(), n);
        if (skippingLongLine_) {
            const size_t nl = data.find('\n');
            if (nl == std::string_view::npos) {
                offset_ += static_cast<int64_t>(n);
                continue;
            }
            offset_ += static_cast<int64_t>(nl + 1);
            skippingLongLine_ = false;
            continue;
        }
        const void* last = ::memrchr(data.data(), '\n', n);
        if (last == nullptr) {
            if (n > kMaxRecordLength) {
                notice(FollowNotice::kLongRecord, path_);
                skippingLongLine_ = true;
                offset_ += static_cast<int64_t>(n);
                continue;
            }
            if (mode == Drain::kAll) {
                if (!Deliver(data, sink, notice)) {
                    return false;
                }
                offset_ += static_cast<int64_t>(n);
            }
            return true;  // a line still being written
        }
        const std::string_view region =
            data.substr(0, static_cast<const char*>(last) - data.data() + 1);
        if (scanner != nullptr) {
            bool stopped = false;
            scanner->ForEachCandidateLine(region, [&](std::string_view line) {
                if (stopped) {
                    return;
                }
                if (!Deliver(line, sink, notice)) {
                    offset_ += static_cast<int64_t>(line.data() - region.data());
                    stopped = true;
                }
            });
            if (stopped) {
                return false;
            }
        } else {
            size_t start = 0;
            while (start < region.size()) {
                const size_t end = region.find('\n', start);
                if (!Deliver(region.substr(start, end - start), sink, notice)) {
                    offset_ += static_cast<int64_t>(start);
                    return false;
                }
                start = end + 1;
            }
        }
        offset_ += static_cast<int64_t>(region.size());
    }
}

}  // namespace kvzn::logmon
