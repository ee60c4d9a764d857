// The trace-mode console.
#include "service/trace.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <mutex>

#include "service/service_identity.h"
#include "service/status_reporter.h"

namespace kvzn::service {

namespace {

std::mutex& OutputMutex() {
    static std::mutex m;
    return m;
}

bool MatchesAt(std::string_view text, size_t pos, std::string_view word) {
    if (text.size() - pos < word.size()) {
        return false;
    }
    for (size_t i = 0; i < word.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[pos + i])) != word[i]) {
            return false;
        }
    }
    return true;
}

void WriteOut(const std::string& text) {
    std::scoped_lock lock(OutputMutex());
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

int ParseTraceSwitch(std::string_view argument) {
    for (size_t pos = 0; pos < argument.size(); ++pos) {
        for (std::string_view sw : {"/TRACENOMSG", "/TRACEFULL", "/TRACE"}) {
            if (MatchesAt(argument, pos, sw)) {
                return 1;
            }
        }
    }
    return 0;
}

std::string FormatTraceLine(const std::tm& t, std::string_view text) {
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d.%02d", t.tm_hour, t.tm_min, t.tm_sec);
    std::string line = stamp;
    line += " - ";
    line += text;
    return line;
}

void TraceLine(std::string_view text) {
    if (!TraceMode()) {
        return;  // a service has no console: the line would only fill the journal
    }
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    WriteOut(FormatTraceLine(t, text) + "\n");
}

std::string TraceBannerText(std::string_view name) {
    const std::string stars(70, '*');
    std::string text = "\n" + stars + " \n\n";
    text += name;
    text += "\nThe monitor has been started in trace mode. To stop,\n";
    text += "hit CTRL-C, CTRL-BRK, or close this window\n\n";
    text += stars + "\n\n";
    return text;
}

void ShowTraceBanner(std::string_view name) {
    if (::isatty(STDOUT_FILENO)) {
        WriteOut(std::string("\033]0;") + kTraceTitle + "\007");  // the terminal's title
    }
    WriteOut(TraceBannerText(name));
}

}  // namespace kvzn::service
