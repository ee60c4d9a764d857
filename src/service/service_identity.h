// Fixed identity of the service: names, texts and version shown in logs and banners.
#pragma once

namespace kvzn::service {

inline constexpr const char* kServiceName = "kvZNPrint";
inline constexpr const char* kDisplayName = "Korvane/Tessel (Print) Monitor Server";
inline constexpr const char* kDescription =
    "Monitors the local Print Server for errors, availability & performance as well as "
    "connected printers, notifying the Administrator in the event a fault is detected";
inline constexpr const char* kProductName = "Korvane/Tessel Print Monitor ";
inline constexpr const char* kVersionText = "v4.2 - February, 2007";
inline constexpr const char* kTraceTitle = "Korvane/Tessel Monitor - Trace";

// Environment variable naming the root directory below which /register and /unregister
// write the service entry ("/" when unset): packaging and tests install into a private root.
inline constexpr const char* kSystemRootVariable = "KVZN_SYSTEM_ROOT";

}  // namespace kvzn::service
