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

std::string Numbered(std::string_view format, int n, std::string_view prefix) {
    std::string out;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() &&
            (format[i + 1] == 'd' || format[i + 1] == 's')) {
            if (format[i + 1] == 'd') {
                out += std::to_string(n);
            } else {
                out += prefix;
            }
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

}  // namespace kvzn::config
