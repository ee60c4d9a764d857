// Keyword groups and the case-blind term search under them.
#include "logmon/keyword_groups.h"

#include <gtest/gtest.h>

#include <random>

#include "logmon/term_search.h"
#include "support/service_fixture.h"

namespace kvzn::logmon {
namespace {

TEST(KeywordGroups, SplitAndsFollowsTheSeparatorRules) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> terms;
    };
    const std::vector<Case> cases = {
        {"two terms", "disk [AND] full", {"disk", "full"}},
        {"separator in any case", "ERROR [and] disk", {"ERROR", "disk"}},
        {"two blanks each side keep one", "a  [AND]  b", {"a", " b"}},
        {"no separator", "printer jammed", {"printer jammed"}},
        {"separator needs its blank", "[AND] x", {"[AND] x"}},
        {"trailing separator", "x [AND]", {"x"}},
        {"three terms", "a [AND] b [AND] c", {"a", "b", "c"}},
        {"empty text", "", {}},
        // the blank after a separator is taken, so a second one directly after it is text
        {"separator twice", "a [AND] [AND] b", {"a", "[AND] b"}},
        {"long term cut", std::string(300, 'z'), {std::string(kMaxTermLength, 'z')}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SplitAnds(c.text).terms, c.terms) << c.name;
    }
}

TEST(KeywordGroups, MatchKeywordsModesAndEmptyInputs) {
    const KeywordList errorDisk = {SplitAnds("ERROR [AND] disk")};
    EXPECT_EQ(MatchKeywords("Disk error on drive C", 0, errorDisk), 1);
    EXPECT_EQ(MatchKeywords("error on drive C", 0, errorDisk), 0);

    const KeywordList timeoutRetry = {SplitAnds("timeout"), SplitAnds("retry")};
    struct Case {
        const char* text;
        int anyMode;
        int allMode;
    };
    for (const Case& c : {Case{"a Timeout occurred", 1, 0}, Case{"will RETRY", 1, 0},
                          Case{"timeout, retry later", 1, 1}, Case{"all is well", 0, 0}}) {
        EXPECT_EQ(MatchKeywords(c.text, 0, timeoutRetry), c.anyMode) << c.text;
        EXPECT_EQ(MatchKeywords(c.text, 1, timeoutRetry), c.allMode) << c.text;
    }
    EXPECT_EQ(MatchKeywords("anything", 0, {}), 0);
    EXPECT_EQ(MatchKeywords("anything", 1, {}), 0);
    EXPECT_EQ(MatchKeywords("", 1, timeoutRetry), 0);
}

TEST(KeywordGroups, LoadKeywordsReadsUpToTheFirstGap) {
    test::ServiceFixture f;
    const std::string key = "Software\\Test\\LOGS\\Log1";
    f.registry.WriteText(key, "KeywordInclude1", "disk [AND] full");
    f.registry.WriteText(key, "KeywordInclude2", "   ");
    f.registry.WriteText(key, "KeywordInclude3", "paper");
    f.registry.WriteText(key, "KeywordInclude5", "after the gap");
    KeywordList groups;
    EXPECT_EQ(LoadKeywords(f.registry, key, "KeywordInclude", groups), 3);
    ASSERT_EQ(groups.size(), 3U);
    EXPECT_EQ(groups[0].terms, (std::vector<std::string>{"disk", "full"}));
    EXPECT_EQ(groups[1].terms, (std::vector<std::string>{"   "}));
    EXPECT_EQ(groups[2].terms, (std::vector<std::string>{"paper"}));
    KeywordList none;
    EXPECT_EQ(LoadKeywords(f.registry, key, "KeywordExclude", none), 0);
}

// The vector search against a plain byte-by-byte search over random texts: every length
// around the 16-byte step, terms that start or end with non-letters, hits at both ends.
TEST(TermSearch, AgreesWithAPlainSearch) {
    std::mt19937 random(7);
    const std::string alphabet = "aAbB@`[{ \n\xc3\xa9";
    auto naive = [](std::string_view text, std::string_view term) -> size_t {
        for (size_t i = 0; i + term.size() <= text.size(); ++i) {
            bool same = true;
            for (size_t k = 0; k < term.size() && same; ++k) {
                same = FoldCase(text[i + k]) == FoldCase(term[k]);
            }
            if (same) {
                return i;
            }
        }
        return std::string_view::npos;
    };
    for (int round = 0; round < 20000; ++round) {
        std::string text(random() % 70, ' ');
        for (char& c : text) {
            c = alphabet[random() % alphabet.size()];
        }
        std::string term(1 + random() % 5, ' ');
        for (char& c : term) {
            c = alphabet[random() % alphabet.size()];
        }
        ASSERT_EQ(FindFolded(text, FoldCase(term)), naive(text, term))
            << "text '" << text << "' term '" << term << "'";
    }
}

TEST(TermSearch, BlockScannerPassesOnEachLineHoldingATermOnce) {
    const BlockScanner scanner({"disk", "FULL", "disk"});
    const std::string block = "disk full here\nnothing\nthe disk\nFull stop\n\nlast line disk";
    std::vector<std::string> lines;
    scanner.ForEachCandidateLine(block, [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(lines, (std::vector<std::string>{"disk full here", "the disk", "Full stop",
                                               "last line disk"}));
}

}  // namespace
}  // namespace kvzn::logmon
