// Printer and job status bits from the spooler's IPP states and reasons.
#include "platform/spooler.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <utility>

#include "platform/text.h"

namespace kvzn::platform {

namespace {

enum class Suffix { None, Error, Warning, Report };

struct Reason {
    std::string_view base;
    Suffix suffix = Suffix::None;
};

Reason SplitReason(std::string_view keyword) {
    constexpr std::array<std::pair<std::string_view, Suffix>, 3> kSuffixes{{
        {"-error", Suffix::Error},
        {"-warning", Suffix::Warning},
        {"-report", Suffix::Report},
    }};
    for (const auto& [text, suffix] : kSuffixes) {
        if (keyword.size() > text.size() && keyword.ends_with(text)) {
            return {keyword.substr(0, keyword.size() - text.size()), suffix};
        }
    }
    return {keyword, Suffix::None};
}

// Reasons that have a bit of their own; everything else only counts as an error.
constexpr std::array<std::pair<std::string_view, uint32_t>, 15> kReasonBits{{
    {"media-jam", kPrinterPaperJam},
    {"media-empty", kPrinterPaperOut},
    {"media-needed", kPrinterPaperOut},
    {"input-tray-missing", kPrinterPaperProblem},
    {"output-area-full", kPrinterOutputBinFull},
    {"output-tray-missing", kPrinterOutputBinFull},
    {"shutdown", kPrinterNotAvailable},
    {"timed-out", kPrinterNotAvailable},
    {"toner-empty", kPrinterNoToner},
    {"marker-supply-empty", kPrinterNoToner},
    {"door-open", kPrinterDoorOpen},
    {"cover-open", kPrinterDoorOpen},
    {"interlock-open", kPrinterDoorOpen},
    {"connecting-to-device", kPrinterOffline},
    {"other", kPrinterError},
}};

uint32_t ReasonBits(const Reason& reason) {
    // Off-line counts whatever its severity: CUPS itself only ever reports it as a report.
    if (reason.base == "offline") {
        return kPrinterOffline;
    }
    if (reason.suffix != Suffix::None && reason.suffix != Suffix::Error) {
        return 0;
    }
    // A low paper supply is a problem only when the printer says it stopped for it.
    if (reason.base == "media-low") {
        return reason.suffix == Suffix::Error ? kPrinterPaperProblem : 0;
    }
    for (const auto& [base, bits] : kReasonBits) {
        if (reason.base == base) {
            return bits;
        }
    }
    return reason.suffix == Suffix::Error ? kPrinterError : 0;
}

bool HasReason(const std::vector<std::string>& reasons, std::string_view keyword) {
    return std::find(reasons.begin(), reasons.end(), keyword) != reasons.end();
}

// job-state-reasons of an aborted job whose document the spooler could not convert.
constexpr std::array<std::string_view, 5> kBlockedReasons{
    "document-format-error", "document-unprintable-error", "unsupported-document-format",
    "unsupported-compression", "compression-error"};

constexpr uint32_t kNeedsSomeone = kPrinterPaperJam | kPrinterPaperProblem | kPrinterOutputBinFull |
                                   kPrinterNoToner | kPrinterDoorOpen;

}  // namespace

uint32_t PrinterStatusBits(int state, const std::vector<std::string>& reasons) {
    uint32_t bits = 0;
    for (const std::string& keyword : reasons) {
        bits |= ReasonBits(SplitReason(keyword));
    }
    if (state == kIppPrinterStopped) {
        bits |= HasReason(reasons, "paused") ? kPrinterPaused : kPrinterError;
    }
    return bits;
}

uint32_t JobStatusBits(int state, const std::vector<std::string>& reasons, uint32_t printerStatus) {
    uint32_t bits = 0;
    switch (state) {
        case kIppJobHeld:
            bits = kJobPaused;
            break;
        case kIppJobProcessing:
            bits = kJobPrinting;
            break;
        case kIppJobStopped:
            // The job texts test the plain error before the named reasons, so it is given
            // only when the printer names none.
            if (printerStatus & kPrinterOffline) {
                bits |= kJobOffline;
            }
            if (printerStatus & kPrinterPaperOut) {
                bits |= kJobPaperOut;
            }
            if (printerStatus & kNeedsSomeone) {
                bits |= kJobUserIntervention;
            }
            if (bits == 0) {
                bits = kJobError;
            }
            break;
        case kIppJobCanceled:
            bits = kJobDeleted;
            break;
        case kIppJobAborted:
            bits = kJobError;
            for (std::string_view blocked : kBlockedReasons) {
                if (HasReason(reasons, blocked)) {
                    bits |= kJobBlocked;
                }
            }
            break;
        case kIppJobCompleted:
            bits = kJobPrinted;
            break;
        default:  // pending, or a state this spooler does not know
            break;
    }
    if (HasReason(reasons, "processing-to-stop-point")) {
        bits |= kJobDeleting;
    }
    return bits;
}

const PrinterQueue* SpoolerSnapshot::Find(std::string_view name) const {
    for (const PrinterQueue& queue : printers) {
        if (EqualsNoCase(queue.printer.name, name)) {
            return &queue;
        }
    }
    return nullptr;
}

}  // namespace kvzn::platform
