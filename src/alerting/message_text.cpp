// Macro substitution for alert texts and scripts, and the date and time texts.
#include "alerting/message_text.h"

#include <sys/utsname.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <span>
#include <utility>

#include "companion/activity_log.h"

namespace kvzn::alerting {

namespace {

constexpr std::string_view kNotificationModule = "kvZNAlertNotification";
constexpr std::string_view kEngineModule = "kvZNAlertEngine";

constexpr std::string_view kNotDefined = "[not defined]";
constexpr std::string_view kMacroStart = "<$$";
constexpr size_t kTemplatePieceSize = 258;
constexpr size_t kExchangedDateSize = 50;
constexpr uint32_t kLevelBits = 20;

enum class Value {
    kServer,
    kExtra1,
    kExtra2,
    kExtra3,
    kMessage,
    kMessageStart,
    kTitle,
    kTimeLogged,
    kTimeLoggedMdy,
    kSource,
    kTimeNow,
    kTimeNowMdy,
    kOsName,
    kServicePack,
    kAlertLevel,
};

struct Macro {
    std::string_view text;
    Value value;
};

// Tried in this order at each position.
constexpr std::array kCommonMacros = {
    Macro{"<$$SERVER>", Value::kServer},
    Macro{"<$$INFO>", Value::kExtra1},
    Macro{"<$$INFO1>", Value::kExtra1},
    Macro{"<$$INFO2>", Value::kExtra2},
    Macro{"<$$INFO3>", Value::kExtra3},
    Macro{"<$$ERROR>", Value::kMessage},
    Macro{"<$$ERROR,", Value::kMessageStart},  // "<$$ERROR," n ">", script form only
    Macro{"<$$TEST>", Value::kTitle},
    Macro{"<$$TITLE>", Value::kTitle},
    Macro{"<$$TIMELOGGED>", Value::kTimeLogged},
    Macro{"<$$TIMELOGGED-MDY>", Value::kTimeLoggedMdy},
    Macro{"<$$SOURCE>", Value::kSource},
    Macro{"<$$TIMENOW>", Value::kTimeNow},
    Macro{"<$$TIMENOW-MDY>", Value::kTimeNowMdy},
    Macro{"<$$OSNAME>", Value::kOsName},
    Macro{"<$$SERVICEPACK>", Value::kServicePack},
    Macro{"<$$ALERTLEVEL>", Value::kAlertLevel},
};

constexpr std::array kDiskMacros = {
    Macro{"<$$DRIVE>", Value::kExtra1},
    Macro{"<$$REQDISKSPACE>", Value::kExtra2},
    Macro{"<$$AVAILDISKSPACE>", Value::kExtra3},
};

constexpr std::array kCheckMacros = {
    Macro{"<$$SERVICE>", Value::kExtra1},
    Macro{"<$$PROCESSNAME>", Value::kExtra1},
    Macro{"<$$FILENAME>", Value::kExtra1},
    Macro{"<$$PRINTER>", Value::kExtra1},
    Macro{"<$$SQLCONNECTIONNAME>", Value::kExtra1},
    Macro{"<$$SQLBLOCKEDPID>", Value::kExtra1},
    Macro{"<$$SQLLONGRUNNINGQUERY>", Value::kExtra1},
    Macro{"<$$EMAIL>", Value::kExtra1},
    Macro{"<$$URL>", Value::kExtra1},
    Macro{"<$$FTPCHECK>", Value::kExtra1},
    Macro{"<$$PORTNO>", Value::kExtra1},
    Macro{"<$$CHANGEDFILES>", Value::kExtra2},
    Macro{"<$$DOCUMENT>", Value::kExtra2},
    Macro{"<$$PRINTQUEUELENGTH>", Value::kExtra2},
    Macro{"<$$SQLQUERYNAME>", Value::kExtra2},
    Macro{"<$$SQLBLOCKINGPID>", Value::kExtra2},
    Macro{"<$$SQLLONGRUNNINGTIME>", Value::kExtra2},
    Macro{"<$$HTTPSVR>", Value::kExtra2},
    Macro{"<$$FTPSVR>", Value::kExtra2},
    Macro{"<$$PORTSVR>", Value::kExtra2},
    Macro{"<$$PRINTSIZE>", Value::kExtra3},
    Macro{"<$$PRINTPAGES>", Value::kExtra3},
    Macro{"<$$SQLLONGRUNNINGHOST>", Value::kExtra3},
};

constexpr std::array kLogMacros = {
    Macro{"<$$EVENTLOG>", Value::kExtra1},     Macro{"<$$LOGFILE>", Value::kExtra1},
    Macro{"<$$FILEPATH>", Value::kExtra2},     Macro{"<$$EVENTLOGCHECK>", Value::kExtra3},
    Macro{"<$$LOGFILECHECK>", Value::kExtra3},
};

constexpr std::array kPerformanceMacros = {
    Macro{"<$$PERFNAME>", Value::kExtra1},
    Macro{"<$$PERFTHRESHOLD>", Value::kExtra2},
    Macro{"<$$PERFVALUE>", Value::kExtra3},
};

std::span<const Macro> CategoryMacros(int category) {
    switch (category) {
        case 1:
            return kDiskMacros;
        case 2:
            return kCheckMacros;
        case 4:
            return kLogMacros;
        case 8:
            return kPerformanceMacros;
        default:
            return {};
    }
}

enum class Form { kString, kScript };

struct ScanRules {
    Form form = Form::kString;
    int dateFormat = 1;
    bool timeLoggedInDateOrder = false;
    const ValueTransform* transform = nullptr;
};

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when `text` begins with `macro`, letters compared without regard to case.
bool StartsWithMacro(std::string_view text, std::string_view macro) {
    if (text.size() < macro.size()) {
        return false;
    }
    for (size_t i = 0; i < macro.size(); ++i) {
        if (Upper(text[i]) != macro[i]) {
            return false;
        }
    }
    return true;
}

std::string_view Clip(std::string_view value, size_t fieldSize) {
    return value.substr(0, fieldSize - 1);
}

std::string ValueText(Value value, const AlertTextContext& ctx, const ScanRules& rules) {
    switch (value) {
        case Value::kServer:
            return ctx.server;
        case Value::kExtra1:
            return std::string(Clip(ctx.extra1, kAlertTextFieldSize));
        case Value::kExtra2:
            return std::string(Clip(ctx.extra2, kAlertTextFieldSize));
        case Value::kExtra3:
            return std::string(Clip(ctx.extra3, kAlertTextFieldSize));
        case Value::kMessage:
        case Value::kMessageStart:
            return ctx.message;
        case Value::kTitle:
            return std::string(Clip(ctx.title, kAlertTextFieldSize));
        case Value::kTimeLogged: {
            const std::string_view logged = Clip(ctx.timeLogged, kAlertTimeFieldSize);
            return rules.timeLoggedInDateOrder && rules.dateFormat == 2 ? ExchangeDateFields(logged)
                                                                        : std::string(logged);
        }
        case Value::kTimeLoggedMdy:
            return ExchangeDateFields(Clip(ctx.timeLogged, kAlertTimeFieldSize));
        case Value::kSource:
            return std::string(Clip(ctx.source, kAlertTextFieldSize));
        case Value::kTimeNow:
            return std::string(Clip(ctx.timeNow, kAlertTimeFieldSize));
        case Value::kTimeNowMdy: {
            const std::string_view now = Clip(ctx.timeNow, kAlertTimeFieldSize);
            return rules.dateFormat == 2 ? std::string(now) : ExchangeDateFields(now);
        }
        case Value::kOsName:
            return std::string(Clip(ctx.osName, kAlertTextFieldSize));
        case Value::kServicePack:
            return std::string(Clip(ctx.servicePack, kAlertTextFieldSize));
        case Value::kAlertLevel:
            return std::to_string(ctx.levelNumber);
    }
    return {};
}

// `prefix` ("<$$ERROR,"), blanks, a decimal number n and anything up to the next ">" at the
// start of `text`: the length of the macro and n, or a length of 0 when no ">" ends it.
std::pair<size_t, long long> MatchErrorPrefix(std::string_view text, std::string_view prefix) {
    if (!StartsWithMacro(text, prefix)) {
        return {0, 0};
    }
    const size_t close = text.find('>', prefix.size());
    if (close == std::string_view::npos) {
        return {0, 0};
    }
    size_t pos = prefix.size();
    while (pos < close && (text[pos] == ' ' || text[pos] == '\t')) {
        ++pos;
    }
    long long n = 0;
    constexpr long long kLimit = 1LL << 40;  // far beyond any message; keeps n from overflowing
    for (; pos < close && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        n = std::min(kLimit, n * 10 + (text[pos] - '0'));
    }
    return {close + 1, n};
}

// Appends a macro's value, through the caller's transform when there is one.
void Insert(std::string& out, std::string_view value, const ScanRules& rules) {
    if (rules.transform != nullptr && *rules.transform) {
        std::string transformed = (*rules.transform)(value, out);
        out += transformed;
    } else {
        out += value;
    }
}

// Tries the macros of `table` in order at the start of `text`; on a match appends the value
// to `out` and returns the length of the macro, else returns 0.
size_t ExpandOne(std::span<const Macro> table, std::string_view text, const AlertTextContext& ctx,
                 const ScanRules& rules, std::string& out) {
    for (const Macro& macro : table) {
        if (macro.value == Value::kMessageStart) {
            if (rules.form != Form::kScript) {
                continue;
            }
            const auto [length, n] = MatchErrorPrefix(text, macro.text);
            if (length != 0) {
                const std::string_view message = ctx.message;
                const bool whole = n < 1 || static_cast<size_t>(n) >= message.size();
                Insert(out, whole ? message : message.substr(0, static_cast<size_t>(n)), rules);
                return length;
            }
        } else if (StartsWithMacro(text, macro.text)) {
            Insert(out, ValueText(macro.value, ctx, rules), rules);
            return macro.text.size();
        }
    }
    return 0;
}

// Appends the expansion of `text` to `out`.
void Scan(int category, std::string_view text, const AlertTextContext& ctx, const ScanRules& rules,
          std::string& out) {
    const std::span<const Macro> own = CategoryMacros(category);
    size_t pos = 0;
    while (pos < text.size()) {
        if (!text.substr(pos).starts_with(kMacroStart)) {  // no macro can start here
            out += text[pos];
            ++pos;
            continue;
        }
        const size_t common = ExpandOne(kCommonMacros, text.substr(pos), ctx, rules, out);
        pos += common;
        const size_t specific = ExpandOne(own, text.substr(pos), ctx, rules, out);
        pos += specific;
        if (common != 0 || specific != 0) {
            continue;
        }
        // "<$$" with no macro: an unknown one when a ">" follows, else plain text.
        if (const size_t close = text.find('>', pos + kMacroStart.size());
            close != std::string_view::npos) {
            out += kNotDefined;
            pos = close + 1;
        } else {
            out += text[pos];
            ++pos;
        }
    }
}

// Reads the next piece of the template: up to and including a line feed, at most
// kTemplatePieceSize characters. False at the end of the file.
bool ReadPiece(std::istream& in, std::string& piece) {
    piece.clear();
    char c = 0;
    while (piece.size() < kTemplatePieceSize && in.get(c)) {
        piece += c;
        if (c == '\n') {
            break;
        }
    }
    return !piece.empty();
}

std::string StripOneQuotePair(std::string path) {
    if (!path.empty() && path.front() == '"') {
        path.erase(0, 1);
    }
    if (!path.empty() && path.back() == '"') {
        path.pop_back();
    }
    return path;
}

// The value of an os-release assignment: quotes removed, backslash escapes resolved
// inside double quotes.
std::string OsReleaseValue(std::string_view raw) {
    if (raw.size() >= 2 && raw.front() == '\'' && raw.back() == '\'') {
        return std::string(raw.substr(1, raw.size() - 2));
    }
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') {
        raw = raw.substr(1, raw.size() - 2);
        std::string value;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\\' && i + 1 < raw.size()) {
                ++i;
            }
            value += raw[i];
        }
        return value;
    }
    return std::string(raw);
}

const char* const kOrdinalSuffix[] = {"th", "st", "nd", "rd"};
const char* const kMonthNames[] = {"Jan.", "Feb.",   "March", "April", "May",  "June",
                                   "July", "August", "Sept.", "Oct.",  "Nov.", "Dec."};

}  // namespace

int LevelNumber(uint32_t mask) {
    if (!std::has_single_bit(mask) || mask >= (1u << kLevelBits)) {
        return 0;
    }
    return std::countr_zero(mask) + 1;
}

namespace {

int SubstituteString(int category, std::string_view templ, std::string& out,
                     const AlertTextContext& ctx, const ScanRules& rules) {
    try {
        std::string text;
        text.reserve(std::max<size_t>(1000, templ.size()));
        Scan(category, templ, ctx, rules, text);
        out = std::move(text);
        return 1;
    } catch (const std::bad_alloc&) {
        out.clear();
        companion::Logger(kNotificationModule, "SubstituteParamsForString_Dynamic")(
            1, "Insufficient memory available to allocate message string");
        return 0;
    }
}

}  // namespace

int SubstituteParamsForString_Dynamic(int category, std::string_view templ, std::string& out,
                                      const AlertTextContext& ctx, int dateFormat,
                                      TimeLoggedText timeLogged) {
    ScanRules rules;
    rules.form = Form::kString;
    rules.dateFormat = dateFormat;
    rules.timeLoggedInDateOrder = timeLogged == TimeLoggedText::kInDateOrder;
    return SubstituteString(category, templ, out, ctx, rules);
}

int SubstituteParamsForString_Dynamic(int category, std::string_view templ, std::string& out,
                                      const AlertTextContext& ctx, int dateFormat,
                                      const ValueTransform& transform) {
    ScanRules rules;
    rules.form = Form::kString;
    rules.dateFormat = dateFormat;
    rules.transform = &transform;
    return SubstituteString(category, templ, out, ctx, rules);
}

int SubstituteParams(int category, const std::string& templatePath, const std::string& outputPath,
                     const AlertTextContext& ctx, int dateFormat, TemplateNotices& notices,
                     const ValueTransform* transform) {
    const companion::Logger log(kEngineModule, "SubstituteParams");
    const std::string path = StripOneQuotePair(templatePath);
    std::ifstream in(path, std::ios::binary);
    std::error_code ec;
    if (!in || std::filesystem::is_directory(path, ec)) {
        const bool logged = notices.missingLogged.exchange(true);
        log(logged ? 5 : 1, "Unable to open the Alert Engine script file ", path,
            ". Please check this file exists and is accessible to the Tessel Monitor");
        return 0;
    }
    std::ofstream out(outputPath, std::ios::binary | std::ios::trunc);
    if (!out) {
        log(1, "Unable to create the Alert Engine script file ", outputPath,
            ". The file cannot be craeted/opened");
        return 0;
    }
    ScanRules rules;
    rules.form = Form::kScript;
    rules.dateFormat = dateFormat;
    rules.timeLoggedInDateOrder = true;
    rules.transform = transform;
    std::string piece;
    std::string expanded;
    while (ReadPiece(in, piece)) {
        expanded.clear();
        Scan(category, piece, ctx, rules, expanded);
        out.write(expanded.data(), static_cast<std::streamsize>(expanded.size()));
    }
    out.close();
    if (!out) {
        log(1, "Unable to write the Alert Engine script file ", outputPath);
        return 0;
    }
    return 1;
}

std::string StandardTimeText(const std::tm& local, int dateFormat) {
    const bool monthFirst = dateFormat == 2;
    char text[64];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d",
                  monthFirst ? local.tm_mon + 1 : local.tm_mday,
                  monthFirst ? local.tm_mday : local.tm_mon + 1, local.tm_year + 1900,
                  local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

std::string StandardTimeText(int dateFormat, const platform::Clock& clock) {
    return StandardTimeText(clock.LocalNow(), dateFormat);
}

std::string LongDateText(const std::tm& local) {
    const int day = local.tm_mday;
    const int lastDigit = day % 10;
    const bool teens = day % 100 >= 11 && day % 100 <= 13;
    const char* suffix =
        !teens && lastDigit >= 1 && lastDigit <= 3 ? kOrdinalSuffix[lastDigit] : kOrdinalSuffix[0];
    const int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
    char text[96];
    std::snprintf(text, sizeof text, "%d%s %s %04d at %02d:%02d:%02d", day, suffix,
                  kMonthNames[month], local.tm_year + 1900, local.tm_hour, local.tm_min,
                  local.tm_sec);
    return text;
}

std::string LongDateText(const platform::Clock& clock) {
    return LongDateText(clock.LocalNow());
}

std::string ExchangeDateFields(std::string_view text) {
    const size_t first = text.find('/');
    const size_t second = first == std::string_view::npos ? first : text.find('/', first + 1);
    if (second == std::string_view::npos) {
        return std::string(text);
    }
    std::string result;
    result.reserve(text.size());
    result += text.substr(first + 1, second - first - 1);
    result += '/';
    result += text.substr(0, first);
    result += '/';
    result += text.substr(second + 1);
    result.resize(std::min(result.size(), kExchangedDateSize));
    return result;
}

std::string OperatingSystemName() {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        if (std::ifstream probe(path); probe) {
            return OperatingSystemName(path);
        }
    }
    return "N/A";
}

std::string OperatingSystemName(const std::string& osReleasePath) {
    std::ifstream in(osReleasePath);
    if (!in) {
        return "N/A";
    }
    constexpr std::string_view kKey = "PRETTY_NAME=";
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.starts_with(kKey)) {
            return OsReleaseValue(std::string_view(line).substr(kKey.size()));
        }
    }
    return in.bad() ? "N/A" : "Linux";
}

std::string ServicePackText() {
    utsname names{};
    if (::uname(&names) != 0 || names.release[0] == '\0') {
        return "[None]";
    }
    return names.release;
}

}  // namespace kvzn::alerting
