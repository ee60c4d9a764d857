// Date macros in log file names.
#include "logmon/date_macros.h"

#include <array>
#include <chrono>
#include <cstdlib>

#include "platform/text.h"

namespace kvzn::logmon {

namespace {

constexpr std::array<std::string_view, 7> kDayNames = {"SUNDAY",   "MONDAY", "TUESDAY", "WEDNESDAY",
                                                       "THURSDAY", "FRIDAY", "SATURDAY"};
// Longer than any real offset; keeps the calendar arithmetic in range.
constexpr long kLargestOffset = 1000000;

bool StartsNoCase(std::string_view text, size_t at, std::string_view what) {
    return text.size() - at >= what.size() &&
           platform::EqualsNoCase(text.substr(at, what.size()), what);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The run of digits at `at` as a number (capped) and its length.
long Digits(std::string_view text, size_t at, size_t& length) {
    long n = 0;
    length = 0;
    while (at + length < text.size() && IsDigit(text[at + length])) {
        n = std::min(kLargestOffset, n * 10 + (text[at + length] - '0'));
        ++length;
    }
    return n;
}

struct Offset {
    bool weekday = false;  // "$$DN": the day of the week; "$$DD": the date
    long days = 0;         // signed
};

// Finds the first offset macro and rewrites every offset and bracket form to its base macro.
std::string RewriteOffsets(std::string_view name, std::optional<Offset>& offset) {
    std::string out;
    size_t i = 0;
    while (i < name.size()) {
        const bool dd = StartsNoCase(name, i, "$$DD");
        const bool dn = StartsNoCase(name, i, "$$DN");
        if ((dd || dn) && i + 4 < name.size()) {
            const char c = name[i + 4];
            if (c == '+' || c == '-') {
                size_t length = 0;
                const long n = Digits(name, i + 5, length);
                if (!offset) {
                    offset = Offset{dn, c == '-' ? -n : n};
                }
                out.append(name.substr(i, 4));
                i += 5 + length;
                continue;
            }
            if (c == '[' && i + 5 < name.size() && (name[i + 5] == '+' || name[i + 5] == '-')) {
                size_t length = 0;
                Digits(name, i + 6, length);
                out.append(name.substr(i, 4));
                out.append(name.substr(i + 5, 1 + length));
                i += 6 + length;
                if (i < name.size() && name[i] == ']') {
                    ++i;
                }
                continue;
            }
        }
        out.push_back(name[i]);
        ++i;
    }
    return out;
}

std::string TwoDigits(int n) {
    std::string s(2, '0');
    s[0] = static_cast<char>('0' + (n / 10) % 10);
    s[1] = static_cast<char>('0' + n % 10);
    return s;
}

}  // namespace

EnvironmentLookup ProcessEnvironment() {
    return [](std::string_view name) -> std::optional<std::string> {
        const char* value = std::getenv(std::string(name).c_str());
        if (value == nullptr) {
            return std::nullopt;
        }
        return std::string(value);
    };
}

std::string ExpandEnvironment(std::string_view text, const EnvironmentLookup& env) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '%') {
            const size_t close = text.find('%', i + 1);
            if (close != std::string_view::npos && close > i + 1) {
                if (std::optional<std::string> value = env(text.substr(i + 1, close - i - 1))) {
                    out += *value;
                    i = close + 1;
                    continue;
                }
            }
        }
        out.push_back(text[i]);
        ++i;
    }
    return out;
}

DateMacroExpansion ExpandDateMacroText(std::string_view name, size_t size, const std::tm& today,
                                       const EnvironmentLookup& env) {
    std::optional<Offset> offset;
    const std::string rewritten = RewriteOffsets(ExpandEnvironment(name, env), offset);

    using namespace std::chrono;
    year_month_day date{year(today.tm_year + 1900), month(static_cast<unsigned>(today.tm_mon + 1)),
                        day(static_cast<unsigned>(today.tm_mday))};
    int weekday = ((today.tm_wday % 7) + 7) % 7;
    if (offset && !offset->weekday) {
        date = year_month_day(sys_days(date) + days(offset->days));
    } else if (offset) {
        weekday = static_cast<int>(((weekday + offset->days) % 7 + 7) % 7);
    }
    const int yy = ((static_cast<int>(date.year()) % 100) + 100) % 100;
    const std::string y = TwoDigits(yy);
    const std::string m = TwoDigits(static_cast<int>(static_cast<unsigned>(date.month())));
    const std::string d = TwoDigits(static_cast<int>(static_cast<unsigned>(date.day())));

    struct Macro {
        std::string_view name;
        std::string value;
    };
    const std::array<Macro, 7> macros = {{
        {"$$YYMMDD", y + m + d},
        {"$$MMDDYY", m + d + y},
        {"$$DDMMYY", d + m + y},
        {"$$DD", d},
        {"$$MM", m},
        {"$$YY", y},
        {"$$DN", std::to_string(weekday + 1)},
    }};

    DateMacroExpansion result;
    const size_t limit = size == 0 ? 0 : size - 1;
    auto append = [&](std::string_view piece) {
        if (result.text.size() + piece.size() > limit) {
            result.text.append(piece.substr(0, limit - result.text.size()));
            result.fits = false;
            return false;
        }
        result.text.append(piece);
        return true;
    };
    size_t i = 0;
    while (i < rewritten.size()) {
        std::string_view piece;
        size_t consumed = 0;
        for (const Macro& macro : macros) {
            if (StartsNoCase(rewritten, i, macro.name)) {
                piece = macro.value;
                consumed = macro.name.size();
                break;
            }
        }
        if (consumed == 0 && StartsNoCase(rewritten, i, "$$DC")) {
            size_t length = 0;
            long n = Digits(rewritten, i + 4, length);
            if (n < 1) {
                n = 3;
            }
            piece = kDayNames[static_cast<size_t>(weekday)].substr(0, static_cast<size_t>(n));
            consumed = 4 + length;
        }
        if (consumed == 0) {
            if (!append(std::string_view(rewritten).substr(i, 1))) {
                return result;
            }
            ++i;
            continue;
        }
        if (!append(piece)) {
            return result;
        }
        ++result.replaced;
        i += consumed;
    }
    return result;
}

int ExpandDateMacros(std::string_view name, std::string& out, size_t size, const std::tm& today,
                     const EnvironmentLookup& env) {
    DateMacroExpansion expansion = ExpandDateMacroText(name, size, today, env);
    out = std::move(expansion.text);
    return expansion.fits && expansion.replaced > 0 ? 1 : 0;
}

}  // namespace kvzn::logmon
