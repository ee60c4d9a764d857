// The texts and colours that describe printer and job states, shared by the printer checks
// and the printer pages.
#include "printmon/printer_texts.h"

#include <array>
#include <string_view>

namespace kvzn::printmon {
namespace {

constexpr std::string_view kErrorBackground = "bgcolor=#D3302C";
constexpr std::string_view kErrorForeground = "color=#FFFFFF";
constexpr std::string_view kPausedBackground = "bgcolor=#FFFF00";
constexpr std::string_view kPausedForeground = "color=#000000";

constexpr std::string_view kQueueOnline = " (Queue On-line)";
constexpr std::string_view kQueueOffline = " (Queue Off-line)";

struct PrinterStateText {
    uint32_t bit;
    std::string_view longText;
    std::string_view shortText;
};

// Tested in this order; the first bit that is set decides.
constexpr std::array<PrinterStateText, 9> kPrinterErrorTexts = {{
    {platform::kPrinterError, "An error has been detected on the printer!",
     "Printer Error detected."},
    {platform::kPrinterPaperJam, "A paper jam has occurred. Printing has stopped", "Paper jam!"},
    {platform::kPrinterPaperOut, "The printer is currently out of paper", "Out of paper!"},
    {platform::kPrinterPaperProblem, "A paper feed problem has occurred. Printing has stopped",
     "Paper feed problem!"},
    {platform::kPrinterOutputBinFull, "The printer's output tray is full. Printing has stopped",
     "Output tray full!"},
    {platform::kPrinterNotAvailable, "The printer is currently unavailable",
     "Printer is unavailable"},
    {platform::kPrinterNoToner, "The printer is out of toner. Printing has stopped",
     "Out of toner!"},
    {platform::kPrinterOutOfMemory, "The printer is out of memory. Printing has stopped",
     "Out of memory!"},
    {platform::kPrinterDoorOpen, "One or more doors/covers are open. Printing has stopped",
     "Door open!"},
}};
constexpr PrinterStateText kPrinterOk = {0, "OK - no issues are currently being reported",
                                         "Printer OK"};
constexpr PrinterStateText kPrinterPausedText = {
    platform::kPrinterPaused, "The printer is currently paused", "Printer Paused"};

struct JobStateText {
    uint32_t bit;
    std::string_view text;
};

// Error states first, in the order they are tested.
constexpr std::array<JobStateText, 5> kJobErrorTexts = {{
    {platform::kJobBlocked, "Driver cannot complete job"},
    {platform::kJobError, "Printer Error detected."},
    {platform::kJobPaperOut, "The printer is Out of Paper"},
    {platform::kJobUserIntervention, "User Intervention Req'd"},
    {platform::kJobOffline, "The printer is Off-line"},
}};
constexpr std::array<JobStateText, 7> kJobStateTexts = {{
    {platform::kJobDeleted, "Deleted"},
    {platform::kJobDeleting, "Being deleted"},
    {platform::kJobPaused, "Paused"},
    {platform::kJobPrinted, "Printed"},
    {platform::kJobPrinting, "Printing"},
    {platform::kJobRestarting, "Restarting"},
    {platform::kJobSpooling, "Spooling"},
}};
constexpr std::string_view kJobOk = "OK";

std::string_view TextOf(const PrinterStateText& state, int form) {
    return form == kLongText ? state.longText : state.shortText;
}

void SetErrorColours(std::string& foreground, std::string& background) {
    foreground = kErrorForeground;
    background = kErrorBackground;
}

}  // namespace

int PrinterStatusText(int form, int pausedMode, const platform::PrinterQueue& printer,
                      std::string& text, std::string& foreground, std::string& background) {
    foreground.clear();
    background.clear();
    const uint32_t status = printer.printer.status;
    for (const auto& state : kPrinterErrorTexts) {
        if ((status & state.bit) != 0) {
            text = TextOf(state, form);
            SetErrorColours(foreground, background);
            return 1;
        }
    }

    // No printer error: the first job in error speaks for the printer.
    for (const auto& job : printer.jobs) {
        bool error = false;
        JobStatusText(job.status, text, foreground, background, error, true);
        if (error) {
            SetErrorColours(foreground, background);
            return 1;
        }
    }

    if (pausedMode == kPausedMode && (status & platform::kPrinterPaused) != 0) {
        text = TextOf(kPrinterPausedText, form);
        foreground = kPausedForeground;
        background = kPausedBackground;
    } else {
        text = TextOf(kPrinterOk, form);
        foreground.clear();
        background.clear();
    }
    text += IsQueueOnline(printer.printer) == 1 ? kQueueOnline : kQueueOffline;
    return 0;
}

void JobStatusText(uint32_t status, std::string& text, std::string& foreground,
                   std::string& background, bool& error, bool errorsOnly) {
    foreground.clear();
    background.clear();
    for (const auto& state : kJobErrorTexts) {
        if ((status & state.bit) != 0) {
            text = state.text;
            SetErrorColours(foreground, background);
            error = true;
            return;
        }
    }
    error = false;
    text = kJobOk;
    if (errorsOnly) {
        return;
    }
    for (const auto& state : kJobStateTexts) {
        if ((status & state.bit) != 0) {
            text = state.text;
            if (state.bit == platform::kJobPaused) {
                background = kPausedBackground;
            }
            return;
        }
    }
}

int IsQueueOnline(const platform::PrinterInfo& printer) {
    return (printer.attributes & platform::kPrinterAttributeWorkOffline) != 0 ? 0 : 1;
}

}  // namespace kvzn::printmon
