// Printer and job state texts and their colours.
#include "printmon/printer_texts.h"

#include <gtest/gtest.h>

namespace kvzn::printmon {
namespace {

using namespace platform;

enum Colours { kPlain, kErrorColours, kPausedColours };

void ExpectPrinter(uint32_t status, std::vector<uint32_t> jobs, int form, int pausedMode, int error,
                   const char* text, Colours colours, uint32_t attributes = 0) {
    SCOPED_TRACE(text);
    PrinterQueue queue;
    queue.printer.status = status;
    queue.printer.attributes = attributes;
    for (const uint32_t bits : jobs)
        queue.jobs.push_back(JobInfo{.status = bits});
    std::string got, fg = "x", bg = "x";
    EXPECT_EQ(PrinterStatusText(form, pausedMode, queue, got, fg, bg), error);
    EXPECT_EQ(got, text);
    EXPECT_EQ(fg, colours == kErrorColours    ? "color=#FFFFFF"
                  : colours == kPausedColours ? "color=#000000"
                                              : "");
    EXPECT_EQ(bg, colours == kErrorColours    ? "bgcolor=#D3302C"
                  : colours == kPausedColours ? "bgcolor=#FFFF00"
                                              : "");
}

TEST(PrinterTextsTest, PrinterStates) {
    // Printer bits in table order, before any job.
    ExpectPrinter(kPrinterPaperOut | kPrinterPaperJam, {kJobBlocked}, kLongText, 0, 1,
                  "A paper jam has occurred. Printing has stopped", kErrorColours);
    ExpectPrinter(kPrinterError | kPrinterDoorOpen, {}, kShortText, 0, 1, "Printer Error detected.",
                  kErrorColours);
    ExpectPrinter(kPrinterDoorOpen | kPrinterPaused, {}, kLongText, kPausedMode, 1,
                  "One or more doors/covers are open. Printing has stopped", kErrorColours);
    // The first job in error, held or not, speaks for a printer without error bits.
    ExpectPrinter(kPrinterPaused, {kJobPrinting, kJobPaused | kJobUserIntervention, kJobBlocked},
                  kLongText, kPausedMode, 1, "User Intervention Req'd", kErrorColours);
    // No error: the queue's state follows the text.
    ExpectPrinter(0, {kJobPrinting}, kLongText, 0, 0,
                  "OK - no issues are currently being reported (Queue On-line)", kPlain);
    ExpectPrinter(0, {}, kShortText, 0, 0, "Printer OK (Queue Off-line)", kPlain,
                  kPrinterAttributeWorkOffline);
    ExpectPrinter(kPrinterPaused, {}, kLongText, 0, 0,
                  "OK - no issues are currently being reported (Queue On-line)", kPlain);
    ExpectPrinter(kPrinterPaused, {kJobPaused}, kLongText, kPausedMode, 0,
                  "The printer is currently paused (Queue On-line)", kPausedColours);
    ExpectPrinter(kPrinterPaused, {}, kShortText, kPausedMode, 0, "Printer Paused (Queue Off-line)",
                  kPausedColours, kPrinterAttributeWorkOffline);
}

TEST(PrinterTextsTest, JobStatesInTableOrder) {
    const struct {
        uint32_t bits;
        const char* text;
        bool error;
    } cases[] = {
        {kJobBlocked | kJobError, "Driver cannot complete job", true},
        {kJobError | kJobPaperOut, "Printer Error detected.", true},
        {kJobPaperOut | kJobOffline, "The printer is Out of Paper", true},
        {kJobUserIntervention | kJobPaused, "User Intervention Req'd", true},
        {kJobOffline | kJobPrinting, "The printer is Off-line", true},
        {kJobDeleted | kJobPaused, "Deleted", false},
        {kJobDeleting | kJobPaused, "Being deleted", false},
        {kJobPaused | kJobPrinting, "Paused", false},
        {kJobPrinted | kJobPrinting, "Printed", false},
        {kJobPrinting | kJobSpooling, "Printing", false},
        {kJobRestarting | kJobSpooling, "Restarting", false},
        {0, "OK", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const bool paused = std::string(c.text) == "Paused";
        for (const bool errorsOnly : {false, true}) {
            std::string text, fg = "x", bg = "x";
            bool error = !c.error;
            JobStatusText(c.bits, text, fg, bg, error, errorsOnly);
            EXPECT_EQ(text, c.error || !errorsOnly ? c.text : "OK");
            EXPECT_EQ(error, c.error);
            EXPECT_EQ(fg, c.error ? "color=#FFFFFF" : "");
            EXPECT_EQ(bg, c.error                 ? "bgcolor=#D3302C"
                          : paused && !errorsOnly ? "bgcolor=#FFFF00"
                                                  : "");
        }
    }
}

TEST(PrinterTextsTest, QueueIsOnlineUnlessWorkingOffline) {
    PrinterInfo printer;
    printer.status = kPrinterOffline;  // the status bit is not the attribute
    EXPECT_EQ(IsQueueOnline(printer), 1);
    printer.attributes = kPrinterAttributeWorkOffline;
    EXPECT_EQ(IsQueueOnline(printer), 0);
}

}  // namespace
}  // namespace kvzn::printmon
