// Process entry of kvZNPrint: command line, service run, trace run, installation.
#pragma once

#include <string>

#include "platform/clock.h"
#include "platform/service_manager.h"
#include "service/service_host.h"

namespace kvzn::service {

// The whole program: chooses /register, /unregister, trace mode or the service run from
// the first argument and returns the process exit status. `table` is the thread table of
// the service run. A leading "--registry FILE" (or "--registry=FILE") selects the store
// file, like $KVZN_REGISTRY.
int ServiceProgramMain(int argc, char** argv, ComponentTable table);

// The service run: sets up the stop control (SIGTERM calls ServiceStop), reports start
// pending and runs ServiceMain. When the stop control cannot be set up the service does not
// start: "Call to RegisterServiceCtrlHandler failed. Error: " is logged with the error number.
// Call it before any other thread of the process exists (the signal stays blocked in all).
void ServiceStart(int argc, char** argv, ServiceHost& host);

// /register (1) and /unregister (0) through `manager`; messages go to standard output.
// `executable` is the program to register; `clock` paces the stop polls.
void RegisterOrRemoveService(int doRegister, platform::ServiceManager& manager,
                             const std::string& executable, platform::Clock& clock);

// "text (0xN)" for an error number, or empty when the buffer size is too small.
std::string GetLastErrorText(int error, size_t bufferSize = 260);

}  // namespace kvzn::service
