// Framing of the store agent protocol.
#include "cfgutil/agent_protocol.h"

#include <charconv>
#include <cstdio>

namespace kvzn::cfgutil {

namespace {

bool ValidVerb(std::string_view verb) {
    if (verb.empty() || verb.size() > 32) {
        return false;
    }
    for (char c : verb) {
        if (!((c >= 'A' && c <= 'Z') || c == '-')) {
            return false;
        }
    }
    return true;
}

bool ValidArg(std::string_view arg) {
    if (arg.empty() || arg.size() > 255) {
        return false;
    }
    for (char c : arg) {
        if (c <= ' ' || c == 0x7f) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string EncodeFrame(const AgentFrame& frame) {
    std::string out = frame.verb;
    out += ' ';
    out += frame.arg.empty() ? std::string("-") : frame.arg;
    out += ' ';
    out += std::to_string(frame.body.size());
    out += '\n';
    out += frame.body;
    return out;
}

ParseOutcome ParseFrame(std::string_view buffer, AgentFrame& frame, size_t& consumed,
                        std::string& error) {
    const size_t newline = buffer.find('\n');
    if (newline == std::string_view::npos) {
        if (buffer.size() > kMaxHeaderLength) {
            error = "header line too long";
            return ParseOutcome::Bad;
        }
        return ParseOutcome::NeedMore;
    }
    if (newline > kMaxHeaderLength) {
        error = "header line too long";
        return ParseOutcome::Bad;
    }
    const std::string_view header = buffer.substr(0, newline);
    const size_t firstSpace = header.find(' ');
    const size_t lastSpace = header.rfind(' ');
    if (firstSpace == std::string_view::npos || firstSpace == lastSpace) {
        error = "header needs a verb, an argument and a length";
        return ParseOutcome::Bad;
    }
    const std::string_view verb = header.substr(0, firstSpace);
    const std::string_view arg = header.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    const std::string_view length = header.substr(lastSpace + 1);
    if (!ValidVerb(verb)) {
        error = "bad verb";
        return ParseOutcome::Bad;
    }
    if (!ValidArg(arg)) {
        error = "bad argument";
        return ParseOutcome::Bad;
    }
    size_t bodyLength = 0;
    const auto [end, ec] =
        std::from_chars(length.data(), length.data() + length.size(), bodyLength);
    if (length.empty() || ec != std::errc() || end != length.data() + length.size() ||
        (length.size() > 1 && length.front() == '0')) {
        error = "bad length";
        return ParseOutcome::Bad;
    }
    if (bodyLength > kMaxBodyLength) {
        error = "body too long";
        return ParseOutcome::Bad;
    }
    if (buffer.size() - newline - 1 < bodyLength) {
        return ParseOutcome::NeedMore;
    }
    frame.verb = verb;
    frame.arg = arg;
    frame.body = buffer.substr(newline + 1, bodyLength);
    consumed = newline + 1 + bodyLength;
    return ParseOutcome::Complete;
}

std::string StoreVersion(std::string_view storeText) {
    uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (char c : storeText) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

}  // namespace kvzn::cfgutil
