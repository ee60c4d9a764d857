// Journal records, whatever reads them.
#include "platform/journal.h"

namespace kvzn::platform {

const std::string* JournalRecord::Field(std::string_view name) const {
    for (const auto& [key, value] : fields) {
        if (key == name) {
            return &value;
        }
    }
    return nullptr;
}

}  // namespace kvzn::platform
