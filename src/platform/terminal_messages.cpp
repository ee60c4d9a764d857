// Text cleaning for terminal messages: nothing in an alert may drive the reader's terminal.
#include "platform/terminal_messages.h"

namespace kvzn::platform {

namespace {

constexpr unsigned char kEsc = 0x1b;
constexpr unsigned char kBel = 0x07;

unsigned char At(std::string_view s, size_t i) {
    return static_cast<unsigned char>(s[i]);
}

bool InRange(unsigned char c, unsigned char low, unsigned char high) {
    return c >= low && c <= high;
}

// Length of the well-formed UTF-8 sequence at `i` (overlong forms and surrogates are not
// well-formed), or 0.
size_t Utf8Length(std::string_view s, size_t i) {
    const unsigned char c = At(s, i);
    size_t length;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (InRange(c, 0xc2, 0xdf)) {
        length = 2;
    } else if (InRange(c, 0xe0, 0xef)) {
        length = 3;
        low = c == 0xe0 ? 0xa0 : 0x80;
        high = c == 0xed ? 0x9f : 0xbf;
    } else if (InRange(c, 0xf0, 0xf4)) {
        length = 4;
        low = c == 0xf0 ? 0x90 : 0x80;
        high = c == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (i + length > s.size() || !InRange(At(s, i + 1), low, high)) {
        return 0;
    }
    for (size_t k = 2; k < length; ++k) {
        if (!InRange(At(s, i + k), 0x80, 0xbf)) {
            return 0;
        }
    }
    return length;
}

// The position after the escape sequence that starts with the ESC at `i`.
size_t SkipEscape(std::string_view s, size_t i) {
    size_t j = i + 1;
    if (j >= s.size()) {
        return j;
    }
    const unsigned char kind = At(s, j++);
    if (kind == '[') {  // CSI: parameters and intermediates, then one final byte
        while (j < s.size() && InRange(At(s, j), 0x20, 0x3f)) {
            ++j;
        }
        return j < s.size() && InRange(At(s, j), 0x40, 0x7e) ? j + 1 : j;
    }
    if (kind == ']' || kind == 'P' || kind == 'X' || kind == '^' || kind == '_') {
        // A control string (title, device control, ...) runs to BEL or ESC "\". One that is
        // never closed is cut at the line end, so the rest of the message survives.
        for (; j < s.size(); ++j) {
            const unsigned char c = At(s, j);
            if (c == kBel) {
                return j + 1;
            }
            if (c == kEsc) {
                return j + 1 < s.size() && s[j + 1] == '\\' ? j + 2 : j;
            }
            if (c == '\n') {
                return j;
            }
        }
        return j;
    }
    --j;  // any other sequence: intermediates, then one final byte
    while (j < s.size() && InRange(At(s, j), 0x20, 0x2f)) {
        ++j;
    }
    return j < s.size() && InRange(At(s, j), 0x30, 0x7e) ? j + 1 : j;
}

}  // namespace

std::string CleanTerminalText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = At(text, i);
        if (c == kEsc) {
            i = SkipEscape(text, i);
        } else if (c == '\n' || c == '\t' || InRange(c, 0x20, 0x7e)) {
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x80) {  // other C0 controls and DEL
            ++i;
        } else if (const size_t n = Utf8Length(text, i); n > 0) {
            if (!(c == 0xc2 && At(text, i + 1) <= 0x9f)) {  // U+0080 to U+009F are C1 controls
                out.append(text.substr(i, n));
            }
            i += n;
        } else {
            if (c > 0x9f) {  // an 8-bit character of another code page
                out += static_cast<char>(c);
            }
            ++i;
        }
    }
    return out;
}

}  // namespace kvzn::platform
