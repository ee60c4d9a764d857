// The macro values of an alert record as the delivery channels read them.
#pragma once

#include "alerting/alert_record.h"
#include "alerting/message_text.h"
#include "service/service_context.h"

namespace kvzn::channels {

// The alert text context of `record`: its message (cut to "MessageSize" + 5), title,
// time, source and the three extra values (each `infoFallback` when missing), the time
// now, the running system's name and release, the level number and the computer name.
alerting::AlertTextContext RecordTextContext(service::ServiceContext& ctx,
                                             const alerting::AlertRecord& record,
                                             std::string_view infoFallback = "");

}  // namespace kvzn::channels
