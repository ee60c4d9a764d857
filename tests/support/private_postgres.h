// A private PostgreSQL server on a free loopback port, in a directory of its own, for the
// alert database tests. Stopped and removed on destruction.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/child_process.h"
#include "support/mail_server.h"
#include "support/test_support.h"

namespace kvzn::test {

inline constexpr const char* kPostgresBin = "/usr/lib/postgresql/15/bin";

// The server runs as the "postgres" account when the tests run as root (PostgreSQL refuses
// to run as root), otherwise as the test's own user. Trust authentication on loopback.
class PrivatePostgres {
  public:
    PrivatePostgres() : port_(FreeLoopbackPort()) {
        if (!std::filesystem::exists(std::string(kPostgresBin) + "/initdb")) {
            error_ = "PostgreSQL 15 is not installed";
            return;
        }
        char templ[] = "/tmp/kvzn-pg-XXXXXX";
        if (::mkdtemp(templ) == nullptr) {
            error_ = "mkdtemp failed";
            return;
        }
        dir_ = templ;
        if (::geteuid() == 0) {
            const passwd* pw = ::getpwnam("postgres");
            if (pw == nullptr) {
                error_ = "no postgres account";
                return;
            }
            if (::chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
                error_ = "chown failed";
                return;
            }
            prefix_ = {"runuser", "-u", "postgres", "--"};
        }
        auto init = platform::RunProcess(
            Command({std::string(kPostgresBin) + "/initdb", "-D", dir_ + "/data", "-U", "postgres",
                     "--auth=trust", "-E", "UTF8", "--locale=C"}),
            Options(120));
        if (!init.ok() || init->exitCode != 0) {
            error_ = "initdb failed: " + (init.ok() ? init->output : init.status().Text());
            return;
        }
        server_.emplace(Command({std::string(kPostgresBin) + "/postgres", "-D", dir_ + "/data",
                                 "-p", std::to_string(port_), "-k", dir_, "-c",
                                 "listen_addresses=127.0.0.1", "-c", "fsync=off"}));
        if (!server_->WaitForOutput("ready to accept connections", std::chrono::seconds(60))) {
            error_ = "postgres did not start: " + server_->Output();
        }
    }
    ~PrivatePostgres() {
        server_.reset();
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }
    PrivatePostgres(const PrivatePostgres&) = delete;
    PrivatePostgres& operator=(const PrivatePostgres&) = delete;

    // Empty when the server runs, otherwise why it does not.
    const std::string& error() const { return error_; }
    uint16_t port() const { return port_; }

    // Runs one statement with psql; its unaligned output (fields separated by "|").
    std::string Query(const std::string& sql) {
        auto r = platform::RunProcess(
            Command({"psql", "-X", "-h", "127.0.0.1", "-p", std::to_string(port_), "-U", "postgres",
                     "-At", "-v", "ON_ERROR_STOP=1", "-c", sql}),
            Options(30));
        return r.ok() ? r->output : r.status().Text();
    }

  private:
    static platform::ProcessOptions Options(int seconds) {
        platform::ProcessOptions options;
        options.timeout = std::chrono::seconds(seconds);
        return options;
    }
    std::vector<std::string> Command(std::vector<std::string> argv) const {
        std::vector<std::string> full = prefix_;
        full.insert(full.end(), argv.begin(), argv.end());
        return full;
    }
    uint16_t port_;
    std::string dir_;
    std::vector<std::string> prefix_;
    std::optional<ChildProcess> server_;
    std::string error_;
};

}  // namespace kvzn::test
