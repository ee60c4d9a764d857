// The checks of a monitored printer: its state (error conditions, paused, off-line), its
// queue (length, document size, page count) and the progress of the job it prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "printmon/print_server.h"

namespace kvzn::printmon {

inline constexpr int kDocumentSizeMode = 1;  // size in Kb
inline constexpr int kPageCountMode = 2;     // total pages

// Each returns 1 when the check failed in this evaluation, else 0. `handle` is null when
// the printer could not be opened. The check's status text, last measured value, failure
// count and last alert tick are updated; alerts are raised through NotifyError.
int CheckPrinterStatus(PrintEnv& env, const PrinterHandle* handle, const std::string& printer,
                       PrinterCheck& check, uint32_t now);
int CheckPrinterPaused(PrintEnv& env, const PrinterHandle* handle, const std::string& printer,
                       PrinterCheck& check, uint32_t now);
int CheckPrinterOffline(PrintEnv& env, const PrinterHandle* handle, const std::string& printer,
                        PrinterCheck& check, uint32_t now);
// Fails when the job being printed has shown no progress for longer than "Threshold"
// minutes: the same pages and sheets completed, job state and printer message since the
// pass that first saw them.
int CheckPrinterStalled(PrintEnv& env, const PrinterHandle* handle, const std::string& printer,
                        PrinterCheck& check, uint32_t now);
int CheckPrinterQueueLength(PrintEnv& env, const PrinterHandle* handle, const std::string& printer,
                            PrinterCheck& check, uint32_t now);
// Returns 1 when the queue could not be read; documents over the limit are alerted but do
// not make the result 1.
int CheckPrinterQueueJobSize(PrintEnv& env, int mode, const PrinterHandle* handle,
                             const std::string& printer, PrinterCheck& check, uint32_t now);

// The printer's jobs in queue order and its status bits. Returns 1 when they were read.
int GetPrinterJobs(const PrinterHandle& handle, std::vector<platform::JobInfo>& jobs,
                   uint32_t& printerStatus);

// Runs the check that `check.title` names. Returns its result (1 failed).
int RunPrinterCheck(PrintEnv& env, const PrinterHandle* handle, const std::string& printer,
                    PrinterCheck& check, uint32_t now);

}  // namespace kvzn::printmon
