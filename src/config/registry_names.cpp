// Path helpers for the product key.
#include "config/registry_names.h"

#include <string>
#include <string_view>

namespace kvzn::config {

std::string SubKey(std::string_view name) {
    std::string path = kProductKey;
    path += '\\';
    path += name;
    return path;
}

}  // namespace kvzn::config
