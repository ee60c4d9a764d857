// A real SysV service for tests: the init script of a /bin/sleep daemon installed in a
// private root under the unit name "cups" (which the alias table gives "Spooler").
#pragma once

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "platform/service_manager.h"
#include "support/test_support.h"

namespace kvzn::test {

// Installed (stopped) on construction with a SysV manager of the private root; update-rc.d
// is a no-op on PATH. A daemon still running is killed on destruction.
struct SleepingSysVService {
    explicit SleepingSysVService(const std::string& dir)
        : root(dir + "/root"), bin(dir + "/bin"), manager(platform::MakeSysVManager(root)) {
        std::filesystem::create_directories(bin);
        WriteFile(bin + "/update-rc.d", "#!/bin/sh\nexit 0\n", 0755);
        const char* current = std::getenv("PATH");
        path.emplace("PATH", bin + ":" + (current ? current : "/usr/sbin:/usr/bin:/sbin:/bin"));
        std::filesystem::create_directories(root + "/etc/default");
        WriteFile(root + "/etc/default/cups", "DAEMON_ARGS=60\n");
        installed = manager->Install({.name = "cups",
                                      .displayName = "Test spooler",
                                      .description = "A sleeping stand-in",
                                      .executable = "/bin/sleep",
                                      .environment = {}});
    }
    ~SleepingSysVService() {
        std::ifstream in(root + "/run/cups.pid");
        int pid = 0;
        if (in >> pid && pid > 0) {
            ::kill(pid, SIGKILL);
        }
    }

    const std::string root;
    const std::string bin;
    std::optional<ScopedEnv> path;
    std::unique_ptr<platform::ServiceManager> manager;
    platform::Status installed;
};

}  // namespace kvzn::test
