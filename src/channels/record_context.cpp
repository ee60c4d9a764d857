// The macro values of an alert record as the delivery channels read them.
#include "channels/record_context.h"

#include <algorithm>

namespace kvzn::channels {

alerting::AlertTextContext RecordTextContext(service::ServiceContext& ctx,
                                             const alerting::AlertRecord& record,
                                             std::string_view infoFallback) {
    using alerting::RecordText;
    alerting::AlertTextContext text;
    text.message =
        RecordText(record.message, "", static_cast<size_t>(std::max(0L, record.messageSize)) + 5);
    text.title = RecordText(record.errorTitle, "N/A");
    text.timeLogged = RecordText(record.time, "", alerting::kAlertTimeFieldSize);
    text.timeNow = alerting::StandardTimeText(ctx.clock.LocalNow(), ctx.DateFormat());
    text.extra1 = RecordText(record.additionalInfo[0], infoFallback, alerting::kAlertTextFieldSize);
    text.extra2 = RecordText(record.additionalInfo[1], infoFallback, alerting::kAlertTextFieldSize);
    text.extra3 = RecordText(record.additionalInfo[2], infoFallback, alerting::kAlertTextFieldSize);
    text.source = RecordText(record.appName, "N/A");
    text.osName = alerting::OperatingSystemName();
    text.servicePack = alerting::ServicePackText();
    text.levelNumber = alerting::LevelNumber(record.LevelMask());
    text.server = ctx.computerName;
    return text;
}

}  // namespace kvzn::channels
