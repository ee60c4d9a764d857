// The operating system text from uname.
#include <sys/utsname.h>

#include "platform/os_info.h"

namespace kvzn::platform {

std::string OperatingSystemText() {
    struct utsname names {};
    if (::uname(&names) != 0) {
        return "Linux";
    }
    std::string text = names.sysname;
    if (names.release[0] != '\0') {
        text += std::string(" [") + names.release + "]";
    }
    return text;
}

}  // namespace kvzn::platform
