// The scheduler's IPP replies decoded from memory: the printer and job lists of a snapshot.
// Pure functions over bytes and decoded messages, apart from the connection.
#pragma once

#include <cups/ipp.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/spooler.h"

namespace kvzn::platform::ipp {

struct IppDeleter {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using IppPtr = std::unique_ptr<ipp_t, IppDeleter>;

// Decodes one IPP message from the start of `bytes`. Null when the bytes do not hold a
// complete message; otherwise `used` (when given) receives the bytes the message took.
IppPtr DecodeMessage(std::string_view bytes, size_t* used = nullptr);

// The first value of the attribute as text; empty when it has none.
std::string Text(ipp_attribute_t* attr);
// The queue name at the end of "ipp://host/printers/NAME" (or /classes/NAME), decoded;
// empty when the text is no URI.
std::string QueueNameOf(const std::string& uri);

// The printers of a CUPS-Get-Printers reply, one per printer group that names its printer,
// with their status bits and attributes.
std::vector<PrinterInfo> PrintersOf(ipp_t* reply);
// The jobs of a Get-Jobs reply, one per job group, in the reply's order. Status bits and
// positions are set by SnapshotOf.
std::vector<JobInfo> JobsOf(ipp_t* reply);
// The "device-uri" values of a CUPS-Get-Devices reply.
std::vector<std::string> DeviceUrisOf(ipp_t* reply);

// The snapshot of the printers with their jobs: jobs in reply order under the printer they
// name (without regard to case), numbered from 1 in each queue; jobs without a positive id
// or of a printer not in the list are left out.
SpoolerSnapshot SnapshotOf(std::vector<PrinterInfo> printers, std::vector<JobInfo> jobs);

}  // namespace kvzn::platform::ipp
