// Case-blind term search: a first-and-last-byte filter over 16-byte steps, then a
// comparison of the bytes between.
#include "logmon/term_search.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kvzn::logmon {

namespace {

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool EqualFolded(const char* text, const char* folded, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (FoldCase(text[i]) != folded[i]) {
            return false;
        }
    }
    return true;
}

size_t FindScalar(std::string_view text, std::string_view term, size_t from) {
    const size_t m = term.size();
    for (size_t i = from; i + m <= text.size(); ++i) {
        if (FoldCase(text[i]) == term[0] &&
            EqualFolded(text.data() + i + 1, term.data() + 1, m - 1)) {
            return i;
        }
    }
    return std::string_view::npos;
}

}  // namespace

std::string FoldCase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = FoldCase(c);
    }
    return out;
}

size_t FindFolded(std::string_view text, std::string_view term) {
    const size_t m = term.size();
    if (m == 0) {
        return 0;
    }
    if (m > text.size()) {
        return std::string_view::npos;
    }
    size_t i = 0;
#if defined(__SSE2__)
    // Letters compare with bit 0x20 set on both sides, which folds exactly the two cases of
    // that letter; other bytes compare exactly.
    const char first = term[0];
    const char last = term[m - 1];
    const __m128i firstOr = _mm_set1_epi8(IsLetter(first) ? 0x20 : 0);
    const __m128i lastOr = _mm_set1_epi8(IsLetter(last) ? 0x20 : 0);
    const __m128i firstByte = _mm_set1_epi8(first);
    const __m128i lastByte = _mm_set1_epi8(last);
    const char* p = text.data();
    for (; i + m - 1 + 16 <= text.size(); i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + m - 1));
        const __m128i eq = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, firstOr), firstByte),
                                         _mm_cmpeq_epi8(_mm_or_si128(b, lastOr), lastByte));
        unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(eq));
        while (bits != 0) {
            const unsigned bit = static_cast<unsigned>(__builtin_ctz(bits));
            if (m <= 2 || EqualFolded(p + i + bit + 1, term.data() + 1, m - 2)) {
                return i + bit;
            }
            bits &= bits - 1;
        }
    }
#endif
    return FindScalar(text, term, i);
}

bool ContainsTerm(std::string_view text, std::string_view term) {
    if (term.empty()) {
        return true;
    }
    std::string folded = FoldCase(term);
    return FindFolded(text, folded) != std::string_view::npos;
}

BlockScanner::BlockScanner(const std::vector<std::string>& terms) {
    for (const std::string& term : terms) {
        if (term.empty()) {
            continue;
        }
        std::string folded = FoldCase(term);
        if (std::find(terms_.begin(), terms_.end(), folded) == terms_.end()) {
            terms_.push_back(std::move(folded));
        }
    }
}

void BlockScanner::CandidateStarts(std::string_view block, std::vector<size_t>& starts) const {
    starts.clear();
    for (const std::string& term : terms_) {
        size_t pos = 0;
        while (pos < block.size()) {
            const size_t hit = FindFolded(block.substr(pos), term);
            if (hit == std::string_view::npos) {
                break;
            }
            const size_t at = pos + hit;
            const size_t lineStart = at == 0 ? 0 : block.rfind('\n', at - 1) + 1;  // npos + 1 = 0
            starts.push_back(lineStart);
            const size_t lineEnd = block.find('\n', at);
            if (lineEnd == std::string_view::npos) {
                break;
            }
            pos = lineEnd + 1;
        }
    }
    if (terms_.size() > 1) {
        std::sort(starts.begin(), starts.end());
        starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    }
}

}  // namespace kvzn::logmon
