// The in-memory journal of the tests.
#include "platform/fake/fake_journal.h"

#include <cerrno>
#include <map>

namespace kvzn::platform {

namespace {
constexpr std::string_view kCursorPrefix = "fake;";

uint64_t Sequence(const JournalRecord& record) {
    return std::stoull(record.cursor.substr(kCursorPrefix.size()));
}
}  // namespace

void FakeJournalStore::Append(std::vector<std::pair<std::string, std::string>> fields) {
    std::scoped_lock lock(mutex_);
    JournalRecord record;
    record.cursor = std::string(kCursorPrefix) + std::to_string(++appended_);
    record.realtimeUs = appended_;
    record.fields = std::move(fields);
    entries_.push_back(std::move(record));
}

void FakeJournalStore::Vacuum(uint64_t last) {
    std::scoped_lock lock(mutex_);
    std::erase_if(entries_, [&](const JournalRecord& r) { return Sequence(r) <= last; });
}

void FakeJournalStore::FailReads(int count) {
    std::scoped_lock lock(mutex_);
    failReads_ = count;
}

Status FakeJournal::AddMatch(std::string_view match) {
    if (match.find('=') == std::string_view::npos) {
        return Status::Error(EINVAL, "not a match: " + std::string(match));
    }
    alternatives_.back().emplace_back(match);
    return Status::Ok();
}

Status FakeJournal::AddDisjunction() {
    alternatives_.emplace_back();
    return Status::Ok();
}

bool FakeJournal::Matches(const JournalRecord& record) const {
    for (const std::vector<std::string>& set : alternatives_) {
        std::map<std::string, bool> byField;  // field -> any of its values present
        for (const std::string& match : set) {
            const size_t eq = match.find('=');
            const std::string field = match.substr(0, eq);
            const std::string* value = record.Field(field);
            byField[field] = byField[field] || (value != nullptr && *value == match.substr(eq + 1));
        }
        bool all = true;
        for (const auto& [field, present] : byField) {
            all = all && present;
        }
        if (all) {
            return true;
        }
    }
    return false;
}

Result<std::optional<std::string>> FakeJournal::SeekToEnd() {
    std::scoped_lock lock(store_->mutex_);
    position_ = store_->appended_;
    if (store_->entries_.empty()) {
        return std::optional<std::string>();
    }
    return std::optional<std::string>(store_->entries_.back().cursor);
}

Result<bool> FakeJournal::SeekAfterCursor(const std::string& cursor) {
    if (cursor.rfind(kCursorPrefix, 0) != 0) {
        return Status::Error(EINVAL, "not a cursor: " + cursor);
    }
    std::scoped_lock lock(store_->mutex_);
    position_ = std::stoull(cursor.substr(kCursorPrefix.size()));
    for (const JournalRecord& record : store_->entries_) {
        if (Sequence(record) == position_) {
            return true;
        }
    }
    return false;
}

Result<std::optional<JournalRecord>> FakeJournal::Next() {
    std::scoped_lock lock(store_->mutex_);
    if (store_->failReads_ > 0) {
        --store_->failReads_;
        return Status::Errno("sd_journal_next", {}, EIO);
    }
    for (const JournalRecord& record : store_->entries_) {
        if (Sequence(record) > position_) {
            position_ = Sequence(record);
            if (Matches(record)) {
                return std::optional<JournalRecord>(record);
            }
        }
    }
    return std::optional<JournalRecord>();
}

}  // namespace kvzn::platform
