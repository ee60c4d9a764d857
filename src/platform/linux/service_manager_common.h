// Helpers shared by the systemd and SysV service managers.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "platform/service_manager.h"
#include "platform/status.h"

namespace kvzn::platform::service_detail {

// "/" for an empty root; no trailing slashes otherwise.
std::string NormalizeRoot(const std::string& root);
// Unit and init script names: letters, digits and "-_.@:", not starting with '-' or '.'
// (a leading '-' would be read as an option by the tools).
bool IsServiceName(std::string_view name);
bool IsVariableName(std::string_view name);
bool HasLineBreak(std::string_view text);
// Creates the parent directories, then writes the file atomically.
Status WriteServiceFile(const std::string& path, const std::string& content, int mode);
// EINVAL when the definition's stop time-out lies outside 1 s to kMaxStopTimeout.
Status CheckStopTimeout(const ServiceDefinition& def);
// The refusal of a stop request in the given state.
Status RefuseStop(std::string_view name, ServiceState state);

}  // namespace kvzn::platform::service_detail
