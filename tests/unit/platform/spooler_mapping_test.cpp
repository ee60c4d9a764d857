// Tests of the printer and job status bits read from IPP states and reasons.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/spooler.h"

namespace kvzn::platform {
namespace {

struct PrinterCase {
    const char* name;
    int state;
    std::vector<std::string> reasons;
    uint32_t bits;
};

TEST(SpoolerMappingTest, PrinterStatusBits) {
    const PrinterCase cases[] = {
        {"idle, no reasons", kIppPrinterIdle, {}, 0},
        {"printing, none", kIppPrinterProcessing, {"none"}, 0},
        {"stopped and paused", kIppPrinterStopped, {"paused"}, kPrinterPaused},
        {"stopped without paused is an error", kIppPrinterStopped, {}, kPrinterError},
        {"stopped by a jam",
         kIppPrinterStopped,
         {"media-jam-error"},
         kPrinterError | kPrinterPaperJam},
        {"paused with a jam",
         kIppPrinterStopped,
         {"paused", "media-jam"},
         kPrinterPaused | kPrinterPaperJam},
        {"paused reason on a running printer", kIppPrinterIdle, {"paused"}, 0},
        {"jam and paper out give both",
         kIppPrinterIdle,
         {"media-jam-error", "media-empty-error"},
         kPrinterPaperJam | kPrinterPaperOut},
        {"media needed", kIppPrinterIdle, {"media-needed"}, kPrinterPaperOut},
        {"warning does not count", kIppPrinterIdle, {"media-empty-warning"}, 0},
        {"report does not count", kIppPrinterIdle, {"media-jam-report"}, 0},
        {"tray missing", kIppPrinterIdle, {"input-tray-missing-error"}, kPrinterPaperProblem},
        {"paper low as an error", kIppPrinterIdle, {"media-low-error"}, kPrinterPaperProblem},
        {"paper low alone", kIppPrinterIdle, {"media-low"}, 0},
        {"paper low as a warning", kIppPrinterIdle, {"media-low-warning"}, 0},
        {"output full", kIppPrinterIdle, {"output-area-full"}, kPrinterOutputBinFull},
        {"output tray missing",
         kIppPrinterIdle,
         {"output-tray-missing-error"},
         kPrinterOutputBinFull},
        {"shut down", kIppPrinterIdle, {"shutdown"}, kPrinterNotAvailable},
        {"timed out", kIppPrinterIdle, {"timed-out-error"}, kPrinterNotAvailable},
        {"toner empty", kIppPrinterIdle, {"toner-empty-error"}, kPrinterNoToner},
        {"marker supply empty", kIppPrinterIdle, {"marker-supply-empty"}, kPrinterNoToner},
        {"toner low is only a warning", kIppPrinterIdle, {"toner-low-warning"}, 0},
        {"door", kIppPrinterIdle, {"door-open"}, kPrinterDoorOpen},
        {"cover", kIppPrinterIdle, {"cover-open-error"}, kPrinterDoorOpen},
        {"interlock", kIppPrinterIdle, {"interlock-open"}, kPrinterDoorOpen},
        {"cover open as a warning", kIppPrinterIdle, {"cover-open-warning"}, 0},
        {"offline report", kIppPrinterIdle, {"offline-report"}, kPrinterOffline},
        {"offline as a warning", kIppPrinterIdle, {"offline-warning"}, kPrinterOffline},
        {"offline as an error", kIppPrinterIdle, {"offline-error"}, kPrinterOffline},
        {"connecting to device", kIppPrinterProcessing, {"connecting-to-device"}, kPrinterOffline},
        {"connecting as a report", kIppPrinterProcessing, {"connecting-to-device-report"}, 0},
        {"other", kIppPrinterIdle, {"other"}, kPrinterError},
        {"other as a warning", kIppPrinterIdle, {"other-warning"}, 0},
        {"unmapped error", kIppPrinterIdle, {"spool-area-full-error"}, kPrinterError},
        {"unmapped without suffix", kIppPrinterIdle, {"cups-waiting-for-job-completed"}, 0},
        {"unmapped warning", kIppPrinterIdle, {"cups-missing-filter-warning"}, 0},
    };
    for (const PrinterCase& c : cases) {
        EXPECT_EQ(PrinterStatusBits(c.state, c.reasons), c.bits) << c.name;
    }
}

struct JobCase {
    const char* name;
    int state;
    std::vector<std::string> reasons;
    uint32_t printerBits;
    uint32_t bits;
};

TEST(SpoolerMappingTest, JobStatusBits) {
    const JobCase cases[] = {
        {"pending", kIppJobPending, {"none"}, 0, 0},
        {"held", kIppJobHeld, {"job-hold-until-specified"}, 0, kJobPaused},
        {"printing", kIppJobProcessing, {"job-printing"}, 0, kJobPrinting},
        {"printing on a jammed printer", kIppJobProcessing, {}, kPrinterPaperJam, kJobPrinting},
        // A stopped job says why when its printer does; only otherwise is it a plain error,
        // which the job texts would show before any of the specific ones.
        {"stopped", kIppJobStopped, {}, 0, kJobError},
        {"stopped, printer off-line", kIppJobStopped, {}, kPrinterOffline, kJobOffline},
        {"stopped, out of paper", kIppJobStopped, {}, kPrinterPaperOut, kJobPaperOut},
        {"stopped, jammed", kIppJobStopped, {}, kPrinterPaperJam, kJobUserIntervention},
        {"stopped, stopped printer with a jam",
         kIppJobStopped,
         {},
         kPrinterError | kPrinterPaperJam,
         kJobUserIntervention},
        {"stopped, door open and out of paper",
         kIppJobStopped,
         {},
         kPrinterDoorOpen | kPrinterPaperOut,
         kJobPaperOut | kJobUserIntervention},
        {"stopped, printer only paused", kIppJobStopped, {}, kPrinterPaused, kJobError},
        {"stopped, printer in error for no named reason",
         kIppJobStopped,
         {},
         kPrinterError,
         kJobError},
        {"stopped, printer not available", kIppJobStopped, {}, kPrinterNotAvailable, kJobError},
        {"canceled", kIppJobCanceled, {"job-canceled-by-user"}, 0, kJobDeleted},
        {"aborted", kIppJobAborted, {"job-aborted-by-system"}, 0, kJobError},
        {"aborted, bad format",
         kIppJobAborted,
         {"document-format-error"},
         0,
         kJobError | kJobBlocked},
        {"aborted, unsupported format",
         kIppJobAborted,
         {"unsupported-document-format"},
         0,
         kJobError | kJobBlocked},
        {"completed", kIppJobCompleted, {"job-completed-successfully"}, 0, kJobPrinted},
        {"being canceled",
         kIppJobProcessing,
         {"processing-to-stop-point"},
         0,
         kJobPrinting | kJobDeleting},
        {"unknown state", 42, {}, kPrinterError, 0},
    };
    for (const JobCase& c : cases) {
        EXPECT_EQ(JobStatusBits(c.state, c.reasons, c.printerBits), c.bits) << c.name;
    }
}

TEST(SpoolerMappingTest, SnapshotFindsPrintersByWholeNameInAnyCase) {
    SpoolerSnapshot snapshot;
    snapshot.printers.push_back({PrinterInfo{.name = "Laser-2"}, {}});
    snapshot.printers.push_back({PrinterInfo{.name = "Laser"}, {}});
    ASSERT_NE(snapshot.Find("laser"), nullptr);
    EXPECT_EQ(snapshot.Find("LASER")->printer.name, "Laser");
    EXPECT_EQ(snapshot.Find("Lase"), nullptr);
    EXPECT_EQ(snapshot.Find(""), nullptr);
}

}  // namespace
}  // namespace kvzn::platform
