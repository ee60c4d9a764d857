// Keyword groups: which messages and log records a check is interested in. A check has a
// list of include groups and a list of exclude groups; a group is a conjunction of terms.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "companion/registry.h"

namespace kvzn::logmon {

// One group: every term must occur in the text (ASCII case ignored). Terms are not empty.
struct KeywordGroup {
    std::vector<std::string> terms;
};
using KeywordList = std::vector<KeywordGroup>;

inline constexpr size_t kMaxTermLength = 255;
inline constexpr size_t kMaxGroupText = 260;

// Splits one group text at each " [AND]" (case ignored). One further blank before the
// separator and one blank after it are dropped; other blanks belong to the terms. Terms
// are cut to 255 characters; empty terms are left out.
// @threadsafety Always (pure).
KeywordGroup SplitAnds(std::string_view text);

// Reads the groups "<prefix>1", "<prefix>2", ... of the check entry `entryKey` up to the
// first missing value (each text cut to 260 characters) and appends them to `out`. A text
// without any term adds no group. Returns the number of groups added.
int LoadKeywords(const companion::Registry& registry, std::string_view entryKey,
                 std::string_view prefix, KeywordList& out);

// Mode 0: 1 when any group matches; mode 1: 1 when every group matches. An empty list or
// an empty text never matches.
// @threadsafety Always (pure).
int MatchKeywords(std::string_view text, int mode, const KeywordList& groups);

// Every term of every group of the lists, for a BlockScanner.
std::vector<std::string> AllTerms(const std::vector<const KeywordList*>& lists);

}  // namespace kvzn::logmon
