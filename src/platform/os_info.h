// The operating system's name and release, as shown to console programs.
#pragma once

#include <string>

namespace kvzn::platform {

// "Linux [6.1.0-18-amd64]"; the kernel's name alone when its release is unknown.
std::string OperatingSystemText();

}  // namespace kvzn::platform
