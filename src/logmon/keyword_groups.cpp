// Keyword groups: splitting group texts into terms, loading them from a check entry and
// matching texts against them.
#include "logmon/keyword_groups.h"

#include "config/registry_names.h"
#include "logmon/term_search.h"
#include "platform/text.h"

namespace kvzn::logmon {

namespace {

constexpr std::string_view kSeparator = " [AND]";

void AddTerm(KeywordGroup& group, std::string_view term) {
    if (!term.empty()) {
        group.terms.emplace_back(term.substr(0, kMaxTermLength));
    }
}

}  // namespace

KeywordGroup SplitAnds(std::string_view text) {
    KeywordGroup group;
    size_t termStart = 0;
    size_t i = 0;
    while (i + kSeparator.size() <= text.size()) {
        if (!platform::EqualsNoCase(text.substr(i, kSeparator.size()), kSeparator)) {
            ++i;
            continue;
        }
        size_t termEnd = i;
        if (termEnd > termStart && text[termEnd - 1] == ' ') {
            --termEnd;
        }
        AddTerm(group, text.substr(termStart, termEnd - termStart));
        i += kSeparator.size();
        if (i < text.size() && text[i] == ' ') {
            ++i;
        }
        termStart = i;
    }
    AddTerm(group, text.substr(termStart));
    return group;
}

int LoadKeywords(const companion::Registry& registry, std::string_view entryKey,
                 std::string_view prefix, KeywordList& out) {
    int loaded = 0;
    for (int n = 1;; ++n) {
        std::string text;
        if (registry.ReadText(entryKey, std::string(prefix) + std::to_string(n), text,
                              kMaxGroupText + 1) != 0) {
            return loaded;
        }
        KeywordGroup group = SplitAnds(text);
        if (!group.terms.empty()) {
            out.push_back(std::move(group));
            ++loaded;
        }
    }
}

int MatchKeywords(std::string_view text, int mode, const KeywordList& groups) {
    if (groups.empty() || text.empty()) {
        return 0;
    }
    for (const KeywordGroup& group : groups) {
        bool all = !group.terms.empty();
        for (const std::string& term : group.terms) {
            if (!ContainsTerm(text, term)) {
                all = false;
                break;
            }
        }
        if (mode == 0 && all) {
            return 1;
        }
        if (mode != 0 && !all) {
            return 0;
        }
    }
    return mode == 0 ? 0 : 1;
}

std::vector<std::string> AllTerms(const std::vector<const KeywordList*>& lists) {
    std::vector<std::string> terms;
    for (const KeywordList* list : lists) {
        for (const KeywordGroup& group : *list) {
            terms.insert(terms.end(), group.terms.begin(), group.terms.end());
        }
    }
    return terms;
}

}  // namespace kvzn::logmon
