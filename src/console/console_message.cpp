// Building and checking of console messages.
#include "console/console_message.h"

#include <cstdio>

namespace kvzn::console {
namespace {

constexpr std::string_view kStart = "CSL##";
constexpr size_t kMaxNumberField = 9;  // digits of a length or request number

size_t Digits(size_t n) {
    size_t d = 1;
    while (n >= 10) {
        n /= 10;
        ++d;
    }
    return d;
}

std::optional<size_t> ParseNumber(std::string_view text) {
    if (text.empty() || text.size() > kMaxNumberField) {
        return std::nullopt;
    }
    size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<size_t>(c - '0');
    }
    return value;
}

ParsedMessage Invalid(std::string error) {
    ParsedMessage m;
    m.status = Parse::kInvalid;
    m.error = std::move(error);
    return m;
}

}  // namespace

std::string BuildConsoleMessage(int type, std::string_view text) {
    const std::string typeText = std::to_string(type);
    const size_t base = 3 + 3 * kSeparator.size() + typeText.size() + text.size();
    // The length includes its own digits; adding them may add a digit, so settle it.
    size_t length = base;
    while (base + Digits(length) != length) {
        length = base + Digits(length);
    }
    std::string out;
    out.reserve(length);
    out.append(kStart).append(std::to_string(length)).append(kSeparator);
    out.append(typeText).append(kSeparator).append(text);
    return out;
}

std::string JoinFields(const std::vector<std::string>& fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            out.append(kSeparator);
        }
        out.append(fields[i]);
    }
    return out;
}

bool MayBeConsoleMessage(std::string_view data) {
    const size_t n = std::min(data.size(), kStart.size());
    return data.substr(0, n) == kStart.substr(0, n);
}

ParsedMessage ParseConsoleMessage(std::string_view data) {
    if (!MayBeConsoleMessage(data)) {
        return Invalid("Inbound message does not start with CSL. The request cannot be processed");
    }
    if (data.size() < kStart.size()) {
        return {};
    }
    const std::string_view rest = data.substr(kStart.size());
    const size_t lengthEnd = rest.find(kSeparator);
    if (lengthEnd == std::string_view::npos) {
        // Only digits, perhaps with the first "#" of the separator, may be on their way.
        std::string_view digits = rest;
        if (!digits.empty() && digits.back() == '#') {
            digits.remove_suffix(1);
        }
        if (digits.size() <= kMaxNumberField && (rest.empty() || ParseNumber(digits))) {
            return {};
        }
        return Invalid("Inbound message length is not numeric. The request cannot be processed");
    }
    if (lengthEnd == 0) {
        return Invalid("Inbound message length is missing. The request cannot be processed");
    }
    const auto length = ParseNumber(rest.substr(0, lengthEnd));
    if (!length || *length == 0) {
        return Invalid("Inbound message length is not numeric. The request cannot be processed");
    }
    const size_t minimum = kStart.size() + lengthEnd + kSeparator.size() + 1;
    if (*length < minimum || *length > kMaxMessage) {
        return Invalid("Inbound message length " + std::to_string(*length) +
                       " is out of range. The request cannot be processed");
    }
    if (data.size() < *length) {
        return {};
    }
    const std::string_view body = data.substr(0, *length).substr(minimum - 1);
    ParsedMessage m;
    m.length = *length;
    const size_t numberEnd = body.find(kSeparator);
    const std::string_view number = body.substr(0, numberEnd);
    if (number.empty()) {
        return Invalid(
            "Inbound message request number is missing. The request cannot be processed");
    }
    const auto value = ParseNumber(number);
    if (!value) {
        return Invalid(
            "Inbound message request number is not numeric. The request cannot be processed");
    }
    m.number = static_cast<int>(*value);
    if (numberEnd != std::string_view::npos) {
        std::string_view text = body.substr(numberEnd + kSeparator.size());
        for (;;) {
            const size_t sep = text.find(kSeparator);
            m.fields.emplace_back(text.substr(0, sep));
            if (sep == std::string_view::npos) {
                break;
            }
            text.remove_prefix(sep + kSeparator.size());
        }
    }
    m.status = Parse::kComplete;
    return m;
}

std::optional<uint16_t> ParsePort(std::string_view text) {
    const auto value = ParseNumber(text);
    if (!value || *value == 0 || *value > 65535) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(*value);
}

std::string FormatActivityLine(int dateFormat, int year, int month, int day, int hour, int minute,
                               int second, std::string_view component, std::string_view text) {
    char stamp[64];
    const int first = dateFormat == 1 ? day : month;
    const int second2 = dateFormat == 1 ? month : day;
    std::snprintf(stamp, sizeof stamp, "%02d/%02d/%02d %02d:%02d.%02d", first, second2,
                  ((year % 100) + 100) % 100, hour, minute, second);
    std::string line(stamp);
    line.append("   [").append(component).append("]   ");
    const size_t budget = component.size() < 1000 ? 1000 - component.size() : 0;
    if (text.size() > budget) {
        const size_t keep = budget >= 3 ? budget - 3 : 0;
        line.append(text.substr(0, keep)).append("...");
    } else {
        line.append(text);
    }
    return line;
}

}  // namespace kvzn::console
