// Quoting of untrusted values pasted into a /bin/sh command line.
#include "responses/shell_quote.h"

#include <vector>

namespace kvzn::responses {
namespace {

enum class Quoting { kNone, kSingle, kDouble, kComment };

// Where a value would land: how the shell that reads it quotes there, and how many levels of
// backquotes (each of which removes one level of backslashes first) enclose that shell.
struct Place {
    bool certain = true;
    Quoting quoting = Quoting::kNone;
    int backquotes = 0;
};

// A piece of the command that the shell reads with quoting of its own: the command line, a
// command substitution "$(", an arithmetic expansion "$((" or a parameter expansion "${".
struct Frame {
    enum class Kind { kTop, kCommand, kArithmetic, kParameter } kind = Kind::kTop;
    Quoting quoting = Quoting::kNone;
    bool wordStart = true;
    int parens = 0;               // open "(" of a subshell or of the arithmetic
    bool inDoubleQuotes = false;  // a "${" opened inside double quotes
};

bool EndsWord(char c) {
    return std::string_view(" \t\n;&|()<>").find(c) != std::string_view::npos;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

// The text of the backquoted command that starts after the "`" at `open`, as the shell
// inside it reads it (each "\\", "\`" and "\$", and "\"" inside double quotes, loses its
// backslash). `close` receives the position of the closing "`", or npos when the text ends
// inside the backquotes.
std::string BackquotedText(std::string_view text, size_t open, bool inDoubleQuotes, size_t& close) {
    std::string inner;
    for (size_t i = open + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '`') {
            close = i;
            return inner;
        }
        if (c == '\\' && i + 1 < text.size()) {
            const char next = text[i + 1];
            if (next == '\\' || next == '`' || next == '$' || (inDoubleQuotes && next == '"')) {
                inner += next;
                ++i;
                continue;
            }
        }
        inner += c;
    }
    close = std::string_view::npos;
    return inner;
}

// Where the shell stands after reading `text`, following quotes, comments, command
// substitutions (both forms, nested), arithmetic and parameter expansions. A place that
// cannot be told for certain (inside an arithmetic or parameter expansion, a here-document,
// a "case" inside a command substitution, after a trailing "$" or "\", or anything this
// reading does not follow) is reported as uncertain.
Place PlaceAfter(std::string_view text) {
    constexpr Place kUncertain{false};
    std::vector<Frame> frames(1);
    for (size_t i = 0; i < text.size(); ++i) {
        Frame& f = frames.back();
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (f.quoting == Quoting::kComment) {
            if (c == '\n') {
                f.quoting = Quoting::kNone;
                f.wordStart = true;
            }
            continue;
        }
        if (f.quoting == Quoting::kSingle) {
            if (c == '\'') {
                f.quoting = Quoting::kNone;
            }
            continue;
        }
        const bool doubleQuoted = f.quoting == Quoting::kDouble;
        if (c == '\\') {
            if (i + 1 == text.size()) {
                return kUncertain;
            }
            ++i;
            f.wordStart = false;
            continue;
        }
        if (c == '`') {
            size_t close = 0;
            const std::string inner = BackquotedText(text, i, doubleQuoted, close);
            if (close == std::string_view::npos) {
                Place place = PlaceAfter(inner);
                ++place.backquotes;
                return place;
            }
            i = close;
            f.wordStart = false;
            continue;
        }
        if (c == '$') {
            if (next == '\0' || next == '\'' || next == '"') {
                return kUncertain;
            }
            if (next == '(' || next == '{') {
                Frame inner;
                inner.kind = next == '{' ? Frame::Kind::kParameter : Frame::Kind::kCommand;
                inner.inDoubleQuotes = doubleQuoted;
                ++i;
                if (next == '(' && i + 1 < text.size() && text[i + 1] == '(') {
                    inner.kind = Frame::Kind::kArithmetic;
                    ++i;
                }
                // Only a command starts with a word: "${#x}" is no comment.
                inner.wordStart = inner.kind == Frame::Kind::kCommand;
                f.wordStart = false;
                frames.push_back(inner);
                continue;
            }
        }
        if (doubleQuoted) {
            if (c == '"') {
                f.quoting = Quoting::kNone;
            }
            continue;
        }
        // Unquoted.
        if (f.kind == Frame::Kind::kParameter) {
            if (c == '}') {
                frames.pop_back();
                continue;
            }
            // Quotes inside "${...}" within double quotes mean different things to
            // different shells.
            if (f.inDoubleQuotes && (c == '\'' || c == '"')) {
                return kUncertain;
            }
        }
        if (f.kind == Frame::Kind::kCommand && f.wordStart && text.substr(i, 4) == "case" &&
            (i + 4 == text.size() || IsBlank(text[i + 4]))) {
            // Its patterns end in an unmatched ")".
            return kUncertain;
        }
        if (c == '(' && (f.kind == Frame::Kind::kCommand || f.kind == Frame::Kind::kArithmetic)) {
            ++f.parens;
        } else if (c == ')' && f.kind == Frame::Kind::kCommand) {
            if (f.parens == 0) {
                frames.pop_back();
                continue;
            }
            --f.parens;
        } else if (c == ')' && f.kind == Frame::Kind::kArithmetic) {
            if (f.parens > 0) {
                --f.parens;
            } else if (next == ')') {
                frames.pop_back();
                ++i;
                continue;
            } else {
                return kUncertain;
            }
        } else if (c == ')' && f.kind == Frame::Kind::kTop) {
            // A subshell or a case pattern: nothing to follow.
        } else if (c == '<' && next == '<') {
            return kUncertain;
        } else if (c == '#' && f.wordStart) {
            f.quoting = Quoting::kComment;
            continue;
        } else if (c == '\'') {
            f.quoting = Quoting::kSingle;
        } else if (c == '"') {
            f.quoting = Quoting::kDouble;
        }
        f.wordStart = EndsWord(c);
    }
    const Frame& f = frames.back();
    if (f.quoting == Quoting::kComment || f.kind == Frame::Kind::kArithmetic ||
        f.kind == Frame::Kind::kParameter) {
        return kUncertain;
    }
    return Place{true, f.quoting, 0};
}

// Characters that are plain text wherever they stand. A blank is not: after "<<" or a
// trailing "$" it would end the word and start a command.
bool SafeEverywhere(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           u >= 0x80 || std::string_view(".,:@%+=/-_").find(c) != std::string_view::npos;
}

// `value` written for the shell that reads it at `place`, before any backquote.
std::string QuotedFor(const Place& place, std::string_view value) {
    std::string out;
    out.reserve(value.size() + 2);
    if (place.certain && place.quoting == Quoting::kNone) {
        out += '\'';
    }
    for (const char c : value) {
        if (c == '\0') {
            continue;
        }
        if (!place.certain) {
            out += SafeEverywhere(c) ? c : '_';
        } else if (place.quoting == Quoting::kDouble) {
            if (c == '$' || c == '`' || c == '\\' || c == '"') {
                out += '\\';
            }
            out += c;
        } else {
            out += c == '\'' ? std::string_view("'\\''") : std::string_view(&c, 1);
        }
    }
    if (place.certain && place.quoting == Quoting::kNone) {
        out += '\'';
    }
    return out;
}

}  // namespace

std::string QuoteForShell(std::string_view value, std::string_view textBefore) {
    const Place place = PlaceAfter(textBefore);
    std::string out = QuotedFor(place, value);
    // Each enclosing backquote takes one backslash off "\\", "\`" and "\$" before its shell
    // reads the text.
    for (int level = 0; level < place.backquotes; ++level) {
        std::string escaped;
        escaped.reserve(out.size() + 8);
        for (const char c : out) {
            if (c == '\\' || c == '`' || c == '$') {
                escaped += '\\';
            }
            escaped += c;
        }
        out = std::move(escaped);
    }
    return out;
}

}  // namespace kvzn::responses
