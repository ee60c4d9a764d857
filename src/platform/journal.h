// The system journal as the event log: reading entries forwards from a cursor, and its
// change notification.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace kvzn::platform {

// One journal entry: its cursor, its time and its fields ("MESSAGE", "PRIORITY", ...) as
// stored (values may hold any bytes; each is cut to 64 KiB).
struct JournalRecord {
    std::string cursor;
    uint64_t realtimeUs = 0;
    std::vector<std::pair<std::string, std::string>> fields;
    // The first value of `name`, or null.
    const std::string* Field(std::string_view name) const;
};

enum class JournalChange {
    kNone,         // nothing new
    kAppended,     // entries were added
    kInvalidated,  // files were added or removed (rotation, vacuum); the position is kept
};

// An open journal (the system's, or the files of one directory).
// @threadsafety One thread at a time.
class Journal {
  public:
    virtual ~Journal() = default;
    // Narrows reading to entries with the field value "FIELD=value"; matches of different
    // fields must all hold, matches of one field are alternatives; AddDisjunction starts
    // an alternative set.
    virtual Status AddMatch(std::string_view match) = 0;
    virtual Status AddDisjunction() = 0;
    // Places the position after the newest entry. Returns the cursor of that entry (none
    // when the journal is empty).
    virtual Result<std::optional<std::string>> SeekToEnd() = 0;
    // Places the position after the entry `cursor`. Returns true when that entry is still
    // in the journal; false when it was rotated or vacuumed away (reading then resumes at
    // the first entry after it that is still there).
    virtual Result<bool> SeekAfterCursor(const std::string& cursor) = 0;
    // The next entry after the position, which moves past it; none at the end.
    virtual Result<std::optional<JournalRecord>> Next() = 0;
    // A descriptor that becomes readable when the journal changes; -1 when there is none.
    virtual int ChangeDescriptor() = 0;
    // Takes in pending change notices (call after the descriptor was readable).
    virtual JournalChange ProcessChanges() = 0;
};

// Opens the system journal, or the journal files of `directory` when one is given.
Result<std::unique_ptr<Journal>> OpenJournal(const std::optional<std::string>& directory);

}  // namespace kvzn::platform
