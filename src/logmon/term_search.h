// Case-blind search for the terms of keyword groups: one term in one text, and all terms of
// a file's checks over a whole block of lines at once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kvzn::logmon {

// ASCII case folding; other bytes (UTF-8 sequences, binary data) compare as they are.
inline char FoldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string FoldCase(std::string_view text);

// The offset of the first occurrence of `foldedTerm` (already folded with FoldCase) in
// `text`, compared without regard to ASCII case, or npos. An empty term is found at 0.
// Scans 16 bytes a step, testing the term's first and last byte before comparing the rest.
// @threadsafety Always (pure).
size_t FindFolded(std::string_view text, std::string_view foldedTerm);

// True when `term` occurs in `text` without regard to ASCII case.
bool ContainsTerm(std::string_view text, std::string_view term);

// The lines of a block that contain at least one of a fixed set of terms. Lines end at
// '\n'; the block is expected to end at a line end. Each term is looked for over the whole
// block rather than line by line, so lines without any term cost nothing beyond the scan.
// @threadsafety Const members: Always.
class BlockScanner {
  public:
    explicit BlockScanner(const std::vector<std::string>& terms);
    bool Empty() const { return terms_.empty(); }
    // Calls `visit(line)` once for each line (without its '\n') holding any term, in order.
    template <class Visit>
    void ForEachCandidateLine(std::string_view block, Visit&& visit) const {
        CandidateStarts(block, starts_);
        for (size_t start : starts_) {
            const size_t end = block.find('\n', start);
            visit(block.substr(start,
                               end == std::string_view::npos ? block.size() - start : end - start));
        }
    }

  private:
    void CandidateStarts(std::string_view block, std::vector<size_t>& starts) const;
    std::vector<std::string> terms_;  // folded, distinct, not empty
    mutable std::vector<size_t> starts_;
};

}  // namespace kvzn::logmon
