// The duplicate filter and the recent-record store of the event log and log file monitors.
#include "logmon/recent_records.h"

namespace kvzn::logmon {

bool DuplicateFilter::IsRecentDuplicate(std::string_view origin, std::string_view text,
                                        uint32_t now) {
    for (const Slot& slot : slots_) {
        if (slot.used && static_cast<uint32_t>(now - slot.tick) < kWindowMs &&
            slot.origin == origin && slot.text == text) {
            return true;
        }
    }
    Slot& slot = slots_[next_];
    slot.origin.assign(origin);
    slot.text.assign(text);
    slot.tick = now;
    slot.used = true;
    next_ = (next_ + 1) % slots_.size();
    return false;
}

void RecentRecords::Add(RecentRecord record) {
    std::scoped_lock lock(mutex_);
    rows_.push_front(std::move(record));
    if (rows_.size() > kCapacity) {
        rows_.pop_back();
    }
}

std::vector<RecentRecord> RecentRecords::Rows() const {
    std::scoped_lock lock(mutex_);
    return {rows_.begin(), rows_.end()};
}

void RecentRecords::Clear() {
    std::scoped_lock lock(mutex_);
    rows_.clear();
}

}  // namespace kvzn::logmon
