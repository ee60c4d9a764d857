// A private, throw-away cupsd for tests: its own configuration, state, spool and logs in a
// temporary directory, serving a local socket only, with a test backend.
#pragma once

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/test_support.h"

namespace kvzn::test {

// The test device: "kvzntest://slow..." keeps its job printing for a minute, any other
// address prints at once. Discovery lists one device and one bare scheme template.
inline constexpr const char* kTestBackend = R"(#!/bin/sh
if [ $# -eq 0 ]; then
  echo 'direct kvzntest://discovered "Test" "Discovered test device"'
  echo 'network kvzntest "Unknown" "Test device template"'
  exit 0
fi
case "$DEVICE_URI" in
  kvzntest://slow*) exec sleep 60 ;;
esac
exit 0
)";

// Listens on DIR/cups.sock only, logs every request to DIR/log/access_log, lets anyone do
// anything, shows job owners and names to everyone, and takes the user a client names
// (lp -U) as the job's owner. Stopped (and continued first, if it was stopped) on
// destruction.
class PrivateCupsd {
  public:
    static constexpr const char* kProgram = "/usr/sbin/cupsd";

    PrivateCupsd() {
        const std::string& d = dir_.path();
        for (const char* sub : {"etc", "spool/tmp", "cache", "state", "log", "bin/backend"}) {
            std::filesystem::create_directories(d + "/" + sub);
        }
        for (const char* sub : {"daemon", "filter", "notifier", "cgi-bin", "monitor", "driver"}) {
            std::filesystem::create_directory_symlink(std::string("/usr/lib/cups/") + sub,
                                                      d + "/bin/" + sub);
        }
        // Backends must be owned by root and writable by nobody else.
        WriteFile(d + "/bin/backend/kvzntest", kTestBackend, 0700);
        // The network backend, for queues whose device is a test's own listener. A copy
        // that only root may run: the scheduler then runs it as root, who can reach it in
        // this private directory.
        std::filesystem::copy_file("/usr/lib/cups/backend/socket", d + "/bin/backend/socket");
        std::filesystem::permissions(d + "/bin/backend/socket", std::filesystem::perms::owner_all);
        std::string files = "FileDevice Yes\nPeerCred off\n";
        for (const auto& [key, path] : std::initializer_list<std::pair<const char*, const char*>>{
                 {"ServerRoot", "/etc"},
                 {"ServerBin", "/bin"},
                 {"RequestRoot", "/spool"},
                 {"TempDir", "/spool/tmp"},
                 {"CacheDir", "/cache"},
                 {"StateDir", "/state"},
                 {"ErrorLog", "/log/error_log"},
                 {"AccessLog", "/log/access_log"},
                 {"PageLog", "/log/page_log"},
                 {"Printcap", "/printcap"}}) {
            files += std::string(key) + " " + d + path + "\n";
        }
        WriteFile(d + "/etc/cups-files.conf", files);
        WriteFile(d + "/etc/cupsd.conf",
                  "Listen " + socket() +
                      "\nLogLevel info\nAccessLogLevel all\nBrowsing No\n"
                      "WebInterface No\nDefaultPolicy open\n<Policy open>\n"
                      "  JobPrivateAccess all\n  JobPrivateValues none\n"
                      "  SubscriptionPrivateAccess all\n  SubscriptionPrivateValues none\n"
                      "  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");
    }
    ~PrivateCupsd() { Stop(); }

    bool Start() {
        daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
            kProgram, "-f", "-c", dir_ / "etc/cupsd.conf", "-s", dir_ / "etc/cups-files.conf"});
        // lpstat -r exits 0 without a scheduler too; only its text tells.
        return WaitUntil(
            [&] {
                return Client({"lpstat", "-r"}).second.find("is running") != std::string::npos;
            },
            std::chrono::seconds(10));
    }
    void Stop() {
        if (daemon_) {
            daemon_->Signal(SIGCONT);
            daemon_->Signal(SIGTERM);
            daemon_->Wait(std::chrono::seconds(5));
            daemon_.reset();
        }
    }
    void Signal(int sig) const { daemon_->Signal(sig); }

    pid_t pid() const { return daemon_ ? daemon_->pid() : -1; }
    const std::string& dir() const { return dir_.path(); }
    std::string socket() const { return dir_ / "cups.sock"; }

    // Runs a CUPS client program against this scheduler: its exit status and output.
    std::pair<int, std::string> Client(const std::vector<std::string>& argv) const {
        ChildProcess child(argv, {"CUPS_SERVER=" + socket()});
        const std::optional<int> status = child.Wait(std::chrono::seconds(10));
        return {status.value_or(-1), child.Output()};
    }
    // Submits `document` to `printer` with lp as `user`, held when asked: the job id, or 0
    // when lp failed (`output` then says why).
    int Submit(const std::string& printer, const std::string& user, const std::string& title,
               const std::string& document, bool hold, std::string& output) const {
        std::vector<std::string> argv{"lp", "-d", printer, "-U", user, "-t", title};
        if (hold) {
            argv.insert(argv.end(), {"-H", "hold"});
        }
        argv.push_back(document);
        int status = 0;
        std::tie(status, output) = Client(argv);
        std::smatch match;
        if (status != 0 || !std::regex_search(output, match, std::regex("-([0-9]+) "))) {
            return 0;
        }
        return std::stoi(match[1]);
    }
    std::vector<std::string> LogLines(const std::string& log) const {
        std::istringstream in(ReadFile(dir_ / ("log/" + log)));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

  private:
    TempDir dir_;
    std::unique_ptr<ChildProcess> daemon_;
};

}  // namespace kvzn::test
