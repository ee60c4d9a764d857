// The event log over the systemd journal (sd-journal).
#include <systemd/sd-journal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/journal.h"

namespace kvzn::platform {

namespace {

constexpr size_t kFieldLimit = 65536;

Status SdError(const char* call, int r, std::string detail = {}) {
    return Status::Errno(call, std::move(detail), -r);
}

class SdJournal final : public Journal {
  public:
    explicit SdJournal(sd_journal* j) : j_(j) {}
    ~SdJournal() override { sd_journal_close(j_); }
    SdJournal(const SdJournal&) = delete;
    SdJournal& operator=(const SdJournal&) = delete;

    Status AddMatch(std::string_view match) override {
        const int r = sd_journal_add_match(j_, match.data(), match.size());
        return r < 0 ? SdError("sd_journal_add_match", r, std::string(match)) : Status::Ok();
    }
    Status AddDisjunction() override {
        const int r = sd_journal_add_disjunction(j_);
        return r < 0 ? SdError("sd_journal_add_disjunction", r) : Status::Ok();
    }

    Result<std::optional<std::string>> SeekToEnd() override {
        pendingCurrent_ = false;
        int r = sd_journal_seek_tail(j_);
        if (r < 0) {
            return SdError("sd_journal_seek_tail", r);
        }
        r = sd_journal_previous(j_);
        if (r < 0) {
            return SdError("sd_journal_previous", r);
        }
        if (r == 0) {
            return std::optional<std::string>();
        }
        Result<std::string> cursor = Cursor();
        if (!cursor.ok()) {
            return cursor.status();
        }
        return std::optional<std::string>(std::move(*cursor));
    }

    Result<bool> SeekAfterCursor(const std::string& cursor) override {
        pendingCurrent_ = false;
        int r = sd_journal_seek_cursor(j_, cursor.c_str());
        if (r < 0) {
            return SdError("sd_journal_seek_cursor", r, cursor);
        }
        r = sd_journal_next(j_);
        if (r < 0) {
            return SdError("sd_journal_next", r);
        }
        if (r == 0) {
            return false;  // nothing at or after the cursor's place
        }
        if (sd_journal_test_cursor(j_, cursor.c_str()) > 0) {
            return true;
        }
        // The entry is gone: the one found is the first not yet read.
        pendingCurrent_ = true;
        return false;
    }

    Result<std::optional<JournalRecord>> Next() override {
        if (!pendingCurrent_) {
            const int r = sd_journal_next(j_);
            if (r < 0) {
                return SdError("sd_journal_next", r);
            }
            if (r == 0) {
                return std::optional<JournalRecord>();
            }
        }
        pendingCurrent_ = false;
        JournalRecord record;
        Result<std::string> cursor = Cursor();
        if (!cursor.ok()) {
            return cursor.status();
        }
        record.cursor = std::move(*cursor);
        sd_journal_get_realtime_usec(j_, &record.realtimeUs);
        const void* data = nullptr;
        size_t length = 0;
        sd_journal_restart_data(j_);
        int r = 0;
        while ((r = sd_journal_enumerate_data(j_, &data, &length)) > 0) {
            const std::string_view field(static_cast<const char*>(data), length);
            const size_t eq = field.find('=');
            if (eq == std::string_view::npos) {
                continue;
            }
            record.fields.emplace_back(std::string(field.substr(0, eq)),
                                       std::string(field.substr(eq + 1)));
        }
        // A field that cannot be read (a damaged or vacuumed object) is left out.
        return std::optional<JournalRecord>(std::move(record));
    }

    int ChangeDescriptor() override {
        const int fd = sd_journal_get_fd(j_);
        return fd < 0 ? -1 : fd;
    }

    JournalChange ProcessChanges() override {
        switch (sd_journal_process(j_)) {
            case SD_JOURNAL_APPEND:
                return JournalChange::kAppended;
            case SD_JOURNAL_INVALIDATE:
                return JournalChange::kInvalidated;
            default:
                return JournalChange::kNone;
        }
    }

  private:
    Result<std::string> Cursor() {
        char* text = nullptr;
        const int r = sd_journal_get_cursor(j_, &text);
        if (r < 0) {
            return SdError("sd_journal_get_cursor", r);
        }
        std::string cursor(text);
        std::free(text);
        return cursor;
    }

    sd_journal* j_;
    bool pendingCurrent_ = false;  // the current entry has not been returned yet
};

}  // namespace

Result<std::unique_ptr<Journal>> OpenJournal(const std::optional<std::string>& directory) {
    sd_journal* j = nullptr;
    const int r = directory ? sd_journal_open_directory(&j, directory->c_str(), 0)
                            : sd_journal_open(&j, SD_JOURNAL_LOCAL_ONLY);
    if (r < 0) {
        return SdError(directory ? "sd_journal_open_directory" : "sd_journal_open", r,
                       directory.value_or(""));
    }
    sd_journal_set_data_threshold(j, kFieldLimit);
    // Sets up the change notification now, before any reading, so that no entry appended
    // between opening and the first wait goes unnoticed.
    sd_journal_get_fd(j);
    return std::unique_ptr<Journal>(std::make_unique<SdJournal>(j));
}

}  // namespace kvzn::platform
