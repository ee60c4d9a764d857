// Small text helpers shared by every subsystem.
#pragma once

#include <string>
#include <string_view>

namespace kvzn::platform {

// ASCII letters compare without regard to case; every other byte compares as it is.
bool EqualsNoCase(std::string_view a, std::string_view b);
bool ContainsNoCase(std::string_view text, std::string_view part);

// Without leading and trailing blanks (spaces and tabs).
std::string_view TrimBlanks(std::string_view s);

}  // namespace kvzn::platform
