// Text of a platform Status for log records and error messages.
#include "platform/status.h"

#include <cstring>

namespace kvzn::platform {

std::string Status::Text() const {
    if (ok()) {
        return "success";
    }
    if (call_.empty()) {
        return detail_.empty() ? std::string(std::strerror(err_)) : detail_;
    }
    std::string text = call_;
    if (!detail_.empty()) {
        text += "(" + detail_ + ")";
    }
    text += ": ";
    text += std::strerror(err_);
    return text;
}

}  // namespace kvzn::platform
