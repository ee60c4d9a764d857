// The texts and colours that describe printer and job states, for the checks and the
// printer pages.
#pragma once

#include <cstdint>
#include <string>

#include "platform/spooler.h"

namespace kvzn::printmon {

inline constexpr int kLongText = 1;    // the checks and the printers page
inline constexpr int kShortText = 2;   // the printer summary page
inline constexpr int kPausedMode = 1;  // report the paused state as well

// Describes the printer from its status bits, then from its jobs in queue order (the first
// job in error decides). `foreground` and `background` receive the colour attributes of
// the cells that show the text. Returns 1 when an error state was found, else 0.
int PrinterStatusText(int form, int pausedMode, const platform::PrinterQueue& printer,
                      std::string& text, std::string& foreground, std::string& background);

// Describes a job from its status bits; with `errorsOnly` every state that is not an
// error reads "OK".
void JobStatusText(uint32_t status, std::string& text, std::string& foreground,
                   std::string& background, bool& error, bool errorsOnly);

// 0 when the printer's work-off-line attribute is set, else 1.
int IsQueueOnline(const platform::PrinterInfo& printer);

}  // namespace kvzn::printmon
