// Quoting of untrusted values pasted into a /bin/sh command line.
#include "responses/shell_quote.h"

namespace kvzn::responses {
namespace {

enum class Place { kUnquoted, kSingleQuoted, kDoubleQuoted, kUncertain };

bool EndsWord(char c) {
    return std::string_view(" \t\n;&|()<>").find(c) != std::string_view::npos;
}

// Where the shell stands after reading `text`, for the quoting rules of POSIX sh without
// command substitution, parameter expansion in braces or here-documents: once one of those
// appears the answer is kUncertain.
Place PlaceAfter(std::string_view text) {
    enum class State { kUnquoted, kSingle, kDouble, kComment } state = State::kUnquoted;
    bool escaped = false;
    bool wordStart = true;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        switch (state) {
            case State::kComment:
                if (c == '\n') {
                    state = State::kUnquoted;
                    wordStart = true;
                }
                continue;
            case State::kSingle:
                if (c == '\'') {
                    state = State::kUnquoted;
                }
                continue;
            default:
                break;
        }
        if (escaped) {
            escaped = false;
            wordStart = false;
            continue;
        }
        if (c == '\\') {
            escaped = true;
            continue;
        }
        if (c == '`') {
            return Place::kUncertain;
        }
        if (c == '$' && (i + 1 == text.size() ||
                         std::string_view("({'\"").find(next) != std::string_view::npos)) {
            return Place::kUncertain;
        }
        if (state == State::kDouble) {
            if (c == '"') {
                state = State::kUnquoted;
            }
            continue;
        }
        if (c == '<' && next == '<') {
            return Place::kUncertain;
        }
        if (c == '#' && wordStart) {
            state = State::kComment;
            continue;
        }
        if (c == '\'') {
            state = State::kSingle;
        } else if (c == '"') {
            state = State::kDouble;
        }
        wordStart = EndsWord(c);
    }
    if (escaped || state == State::kComment) {
        return Place::kUncertain;
    }
    switch (state) {
        case State::kSingle:
            return Place::kSingleQuoted;
        case State::kDouble:
            return Place::kDoubleQuoted;
        default:
            return Place::kUnquoted;
    }
}

bool SafeEverywhere(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           u >= 0x80 || std::string_view(" .,:@%+=/-_").find(c) != std::string_view::npos;
}

}  // namespace

std::string QuoteForShell(std::string_view value, std::string_view textBefore) {
    const Place place = PlaceAfter(textBefore);
    std::string out;
    out.reserve(value.size() + 2);
    if (place == Place::kUnquoted) {
        out += '\'';
    }
    for (const char c : value) {
        if (c == '\0') {
            continue;
        }
        switch (place) {
            case Place::kUnquoted:
            case Place::kSingleQuoted:
                out += c == '\'' ? std::string_view("'\\''") : std::string_view(&c, 1);
                break;
            case Place::kDoubleQuoted:
                if (c == '$' || c == '`' || c == '\\' || c == '"') {
                    out += '\\';
                }
                out += c;
                break;
            case Place::kUncertain:
                out += SafeEverywhere(c) ? c : '_';
                break;
        }
    }
    if (place == Place::kUnquoted) {
        out += '\'';
    }
    return out;
}

}  // namespace kvzn::responses
