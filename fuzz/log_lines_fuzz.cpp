// Log lines and keyword groups: the first line of the input is a group text (and a file
// name with date macros), the rest a block of a log file. The block scanner passes on
// exactly the lines a plain search finds a term in, and the matcher agrees with a plain
// case-blind search.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "logmon/date_macros.h"
#include "logmon/keyword_groups.h"
#include "logmon/term_search.h"

namespace {

using namespace kvzn::logmon;

bool PlainContains(std::string_view text, std::string_view term) {
    for (size_t i = 0; i + term.size() <= text.size(); ++i) {
        bool same = true;
        for (size_t k = 0; k < term.size() && same; ++k) {
            same = FoldCase(text[i + k]) == FoldCase(term[k]);
        }
        if (same) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\n');
    const std::string_view groupText = input.substr(0, std::min(split, kMaxGroupText));
    const std::string_view block =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

    const KeywordGroup group = SplitAnds(groupText);
    for (const std::string& term : group.terms) {
        KVZN_FUZZ_CHECK(!term.empty() && term.size() <= kMaxTermLength);
    }
    const KeywordList list = {group};

    std::vector<std::string> expected;
    size_t start = 0;
    while (start < block.size()) {
        const size_t end = std::min(block.find('\n', start), block.size());
        const std::string_view line = block.substr(start, end - start);
        bool any = false;
        bool all = !group.terms.empty();
        for (const std::string& term : group.terms) {
            const bool found = PlainContains(line, term);
            any = any || found;
            all = all && found;
        }
        if (any) {
            expected.emplace_back(line);
        }
        KVZN_FUZZ_CHECK(MatchKeywords(line, 0, list) == (all && !line.empty() ? 1 : 0));
        start = end + 1;
    }
    std::vector<std::string> found;
    BlockScanner(group.terms).ForEachCandidateLine(block, [&](std::string_view line) {
        found.emplace_back(line);
    });
    KVZN_FUZZ_CHECK(found == expected);

    std::tm today{};
    today.tm_year = 106;
    today.tm_mon = 11;
    today.tm_mday = 31;
    const auto noEnvironment = [](std::string_view) -> std::optional<std::string> {
        return std::nullopt;
    };
    const DateMacroExpansion expanded =
        ExpandDateMacroText(groupText, kPathBuffer, today, noEnvironment);
    KVZN_FUZZ_CHECK(expanded.text.size() <= kPathBuffer - 1);
    return 0;
}
