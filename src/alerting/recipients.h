// Recipients of an alert: the numbered contact list filtered by level mask and time window.
#pragma once

#include <cstdint>
#include <string>

#include "service/service_context.h"

namespace kvzn::alerting {

inline constexpr int kRecipientNetworkMessage = 1;
inline constexpr int kRecipientEMail = 2;
inline constexpr size_t kRecipientListSize = 7000;

// Appends to `list` ("," between entries) every contact of the kind whose level mask shares
// a bit with `alertMask` (every contact when the mask is 1023) and whose weekly window is open
// now. An e-mail contact with its own server is written "address~server~sender~port" (sender
// "<NONE>" when empty, port 25 when missing). An entry that would not fit `bufferSize` is left
// out with a warning. Returns the number of entries appended.
int BuildRecipientList(service::ServiceContext& ctx, uint32_t alertMask, int kind,
                       std::string& list, size_t bufferSize = kRecipientListSize);

}  // namespace kvzn::alerting
