// Writing the utility's changes back over a store that others write too.
#include "cfgutil/store_edit.h"

#include <gtest/gtest.h>

namespace kvzn::cfgutil {
namespace {

using platform::StoreTree;
using platform::StoreValue;

TEST(StoreEdit, NeverOverwritesAValueAnotherWriterChangedMeanwhile) {
    auto store = platform::MakeMemoryStore();
    ASSERT_TRUE(store
                    ->Update([](StoreTree& t) {
                        t.Set("K", "Interval", StoreValue::MakeNumber(5));
                        t.Set("K", "StoredMsgNo", StoreValue::MakeNumber(1));
                        return true;
                    })
                    .ok());
    StoreEdit edit;
    ASSERT_TRUE(edit.Reload(*store).ok());
    edit.Set("K", "Interval", StoreValue::MakeNumber(10));
    edit.Set("K", "New", StoreValue::MakeText("x"));

    // The service moves on its own value meanwhile: the edit keeps it and writes its own.
    store->Update([](StoreTree& t) {
        t.Set("K", "StoredMsgNo", StoreValue::MakeNumber(2));
        return true;
    });
    StoreEdit::Outcome outcome = edit.Commit(*store);
    ASSERT_EQ(outcome.kind, StoreEdit::Outcome::Kind::Written);
    StoreTree now;
    store->Read([&](const StoreTree& t) { now = t; });
    EXPECT_EQ(now.Find("K", "StoredMsgNo")->number, 2u);
    EXPECT_EQ(now.Find("K", "Interval")->number, 10u);
    EXPECT_TRUE(edit.Empty());
    EXPECT_TRUE(edit.Base() == now);

    // Another writer changes the very value being edited: nothing is written.
    edit.Set("k", "interval", StoreValue::MakeNumber(20));
    edit.Delete("K", "New");
    store->Update([](StoreTree& t) {
        t.Set("K", "Interval", StoreValue::MakeNumber(30));
        return true;
    });
    outcome = edit.Commit(*store);
    ASSERT_EQ(outcome.kind, StoreEdit::Outcome::Kind::Conflict);
    EXPECT_EQ(outcome.conflicts, std::vector<std::string>{"k\\interval"});
    store->Read([&](const StoreTree& t) { now = t; });
    EXPECT_EQ(now.Find("K", "Interval")->number, 30u);
    EXPECT_NE(now.Find("K", "New"), nullptr);

    // Setting a value back to what the snapshot holds is no change at all.
    ASSERT_TRUE(edit.Reload(*store).ok());
    edit.Set("K", "Interval", StoreValue::MakeNumber(30));
    EXPECT_TRUE(edit.Empty());
}

TEST(StoreEdit, ListsAreRewrittenWholeUnlessChangedMeanwhile) {
    auto store = platform::MakeMemoryStore();
    auto entry = [](uint32_t enabled, const char* drive) {
        return ListEntry{{"Enabled", StoreValue::MakeNumber(enabled)},
                         {"Drive", StoreValue::MakeText(drive)}};
    };
    store->Update([&](StoreTree& t) {
        t.Set("L\\Disk1", "Enabled", StoreValue::MakeNumber(1));
        t.Set("L\\Disk1", "Drive", StoreValue::MakeText("/"));
        t.Set("L\\Disk3", "Enabled", StoreValue::MakeNumber(1));  // after a gap
        return true;
    });
    StoreEdit edit;
    ASSERT_TRUE(edit.Reload(*store).ok());
    const ListShape disks{"L", "Disk", "Enabled", {}};
    EXPECT_EQ(edit.Entries(disks), std::vector<ListEntry>{entry(1, "/")});
    edit.ReplaceList(disks, {entry(0, "/var"), entry(1, "/srv")});
    ASSERT_EQ(edit.Commit(*store).kind, StoreEdit::Outcome::Kind::Written);
    StoreTree now;
    store->Read([&](const StoreTree& t) { now = t; });
    EXPECT_EQ(ReadListEntries(now, disks),
              (std::vector<ListEntry>{entry(0, "/var"), entry(1, "/srv")}));
    EXPECT_FALSE(now.KeyExists("L\\Disk3"));

    // Another writer adds an entry meanwhile: the rewrite would lose it, so nothing is written.
    edit.ReplaceList(disks, {});
    store->Update([&](StoreTree& t) {
        t.Set("L\\Disk3", "Enabled", StoreValue::MakeNumber(1));
        return true;
    });
    const StoreEdit::Outcome outcome = edit.Commit(*store);
    EXPECT_EQ(outcome.kind, StoreEdit::Outcome::Kind::Conflict);
    EXPECT_EQ(outcome.conflicts, std::vector<std::string>{"L"});
    store->Read([&](const StoreTree& t) { now = t; });
    EXPECT_EQ(ReadListEntries(now, disks).size(), 3u);

    // A list kept in numbered values: entries 1..n rewritten, other values of the key kept.
    const ListShape mails{"C", "", "EMail%d", {"EMail%d", "EMailLevel%d"}};
    store->Update([&](StoreTree& t) {
        t.Set("C", "EMail1", StoreValue::MakeText("a@x"));
        t.Set("C", "EMailLevel1", StoreValue::MakeNumber(1));
        t.Set("C", "EMail2", StoreValue::MakeText("b@x"));
        t.Set("C", "Sender", StoreValue::MakeText("me@x"));
        return true;
    });
    ASSERT_TRUE(edit.Reload(*store).ok());
    ASSERT_EQ(edit.Entries(mails).size(), 2u);
    edit.ReplaceList(mails, {ListEntry{{"EMail%d", StoreValue::MakeText("b@x")}}});
    ASSERT_EQ(edit.Commit(*store).kind, StoreEdit::Outcome::Kind::Written);
    store->Read([&](const StoreTree& t) { now = t; });
    EXPECT_EQ(now.Find("C", "EMail1")->text, "b@x");
    EXPECT_EQ(now.Find("C", "EMailLevel1"), nullptr);
    EXPECT_EQ(now.Find("C", "EMail2"), nullptr);
    EXPECT_EQ(now.Find("C", "Sender")->text, "me@x");
}

TEST(StoreEdit, RewrittenEntriesKeepTheirOwnSubkeys) {
    // Deleting the first printer moves the second up with its check subkeys.
    auto store = platform::MakeMemoryStore();
    store->Update([&](StoreTree& t) {
        t.Set("P\\Printer1", "Printer", StoreValue::MakeText("a"));
        t.Set("P\\Printer1\\Check Printer Paused", "Enabled", StoreValue::MakeNumber(1));
        t.Set("P\\Printer2", "Printer", StoreValue::MakeText("b"));
        t.Set("P\\Printer2\\Check Printer Offline", "Enabled", StoreValue::MakeNumber(1));
        t.Set("P\\Printer2\\Check Printer Offline", "Threshold", StoreValue::MakeNumber(7));
        return true;
    });
    StoreEdit edit;
    ASSERT_TRUE(edit.Reload(*store).ok());
    const ListShape printers{"P", "Printer", "Printer", {}};
    std::vector<ListEntry> entries = edit.Entries(printers);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].at("Check Printer Offline\\Threshold").number, 7u);
    entries.erase(entries.begin());
    edit.ReplaceList(printers, entries);
    ASSERT_EQ(edit.Commit(*store).kind, StoreEdit::Outcome::Kind::Written);
    StoreTree now;
    store->Read([&](const StoreTree& t) { now = t; });
    EXPECT_EQ(now.Find("P\\Printer1", "Printer")->text, "b");
    EXPECT_EQ(now.Find("P\\Printer1\\Check Printer Offline", "Threshold")->number, 7u);
    EXPECT_FALSE(now.KeyExists("P\\Printer1\\Check Printer Paused"));
    EXPECT_FALSE(now.KeyExists("P\\Printer2"));
}

}  // namespace
}  // namespace kvzn::cfgutil
