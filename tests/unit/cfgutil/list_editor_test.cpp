// Value lists kept inside one list entry (a log entry's keyword groups).
#include "cfgutil/list_editor.h"

#include <gtest/gtest.h>

namespace kvzn::cfgutil {
namespace {

using platform::StoreValue;

TEST(EntryValueList, RemovingAGroupRenumbersTheRestAndKeepsTheEntrysOtherValues) {
    const ListRule* logs = nullptr;
    for (const ListRule& list : SheetLists()) {
        if (std::string_view(list.subkey) == "LOGS") {
            logs = &list;
        }
    }
    ASSERT_NE(logs, nullptr);
    const ListRule& include = logs->sublists.at(0);
    ListEntry entry = {{"File", StoreValue::MakeText("/var/log/app.log")},
                       {"KeywordInclude1", StoreValue::MakeText("disk")},
                       {"KeywordInclude2", StoreValue::MakeText("quota")},
                       {"KeywordInclude3", StoreValue::MakeText("full")},
                       {"KeywordInclude5", StoreValue::MakeText("after a gap")},
                       {"KeywordExclude1", StoreValue::MakeText("test")}};
    std::vector<ListEntry> groups = EntryValueList(include, entry);
    ASSERT_EQ(groups.size(), 3u);  // the group after the gap is never read
    groups.erase(groups.begin() + 1);
    SetEntryValueList(include, entry, groups);
    EXPECT_EQ(entry.at("KeywordInclude1").text, "disk");
    EXPECT_EQ(entry.at("KeywordInclude2").text, "full");
    EXPECT_EQ(entry.count("KeywordInclude3"), 0u);
    EXPECT_EQ(entry.count("KeywordInclude5"), 0u);
    EXPECT_EQ(entry.at("KeywordExclude1").text, "test");
    EXPECT_EQ(entry.at("File").text, "/var/log/app.log");
    EXPECT_EQ(EntryValueList(logs->sublists.at(1), entry).size(), 1u);
}

}  // namespace
}  // namespace kvzn::cfgutil
