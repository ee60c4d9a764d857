// An in-memory journal whose entries, read failures and vacuuming a test scripts by hand.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/journal.h"

namespace kvzn::platform {

// The entries a test appends, shared by every FakeJournal opened on the same store (as
// several readers share the system journal). Cursors are "fake;<sequence number>".
// @threadsafety Always.
class FakeJournalStore {
  public:
    void Append(std::vector<std::pair<std::string, std::string>> fields);
    // Drops every entry up to and including sequence number `last` (vacuuming).
    void Vacuum(uint64_t last);
    // The next `count` reads of any journal on the store fail with EIO.
    void FailReads(int count);

  private:
    friend class FakeJournal;
    mutable std::mutex mutex_;
    std::vector<JournalRecord> entries_;  // sequence numbers from 1, oldest first
    uint64_t appended_ = 0;
    int failReads_ = 0;
};

// Reads a FakeJournalStore. AddMatch "FIELD=value" keeps entries with that field value
// (matches of different fields must all hold, of one field any; AddDisjunction starts an
// alternative set). ChangeDescriptor is -1: a monitor of it runs on its poll interval.
// @threadsafety One thread at a time.
class FakeJournal final : public Journal {
  public:
    explicit FakeJournal(std::shared_ptr<FakeJournalStore> store) : store_(std::move(store)) {}
    Status AddMatch(std::string_view match) override;
    Status AddDisjunction() override;
    Result<std::optional<std::string>> SeekToEnd() override;
    Result<bool> SeekAfterCursor(const std::string& cursor) override;
    Result<std::optional<JournalRecord>> Next() override;
    int ChangeDescriptor() override { return -1; }
    JournalChange ProcessChanges() override { return JournalChange::kNone; }

  private:
    bool Matches(const JournalRecord& record) const;
    std::shared_ptr<FakeJournalStore> store_;
    std::vector<std::vector<std::string>> alternatives_{{}};
    uint64_t position_ = 0;  // sequence number of the last entry passed
};

}  // namespace kvzn::platform
