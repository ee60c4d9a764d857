// Network messages written to the terminals listed in the login records, as write and wall do.
#include <fcntl.h>
#include <paths.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmpx.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/clock.h"
#include "platform/status.h"
#include "platform/terminal_messages.h"

namespace kvzn::platform {

namespace {

struct Session {
    std::string user;
    std::string line;  // relative to /dev, e.g. "pts/3"
};

std::string FixedField(const char* field, size_t size) {
    return std::string(field, ::strnlen(field, size));
}

// The user sessions of the login records; a missing file means nobody is logged in.
Result<std::vector<Session>> ReadSessions(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return std::vector<Session>{};
        }
        return Status::Errno("open", path);
    }
    std::string data;
    char buf[16384];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            Status failure = Status::Errno("read", path);
            ::close(fd);
            return failure;
        }
        data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);

    std::vector<Session> sessions;
    for (size_t pos = 0; pos + sizeof(utmpx) <= data.size(); pos += sizeof(utmpx)) {
        utmpx record;
        std::memcpy(&record, data.data() + pos, sizeof record);
        if (record.ut_type != USER_PROCESS || record.ut_user[0] == '\0') {
            continue;
        }
        std::string line = FixedField(record.ut_line, sizeof record.ut_line);
        if (line.starts_with("/dev/")) {
            line.erase(0, 5);
        }
        // Only names below /dev: a record must not steer the write anywhere else.
        if (line.empty() || line.front() == '/' || line.find("..") != std::string::npos) {
            continue;
        }
        sessions.push_back({FixedField(record.ut_user, sizeof record.ut_user), std::move(line)});
    }
    return sessions;
}

std::string ShortHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return "localhost";
    }
    std::string host(name);
    return host.substr(0, host.find('.'));
}

enum class Outcome { kWritten, kRefused, kAbsent, kFailed };

class LinuxTerminalMessages final : public TerminalMessages {
  public:
    explicit LinuxTerminalMessages(TerminalOptions options) : options_(std::move(options)) {
        if (options_.utmpPath.empty()) {
            options_.utmpPath = _PATH_UTMP;
        }
        if (options_.hostName.empty()) {
            options_.hostName = ShortHostName();
        }
    }

    TerminalDelivery SendToUser(std::string_view user, std::string_view text) override {
        return Deliver(&user, text);
    }
    TerminalDelivery SendToAll(std::string_view text) override { return Deliver(nullptr, text); }

  private:
    TerminalDelivery Deliver(const std::string_view* user, std::string_view text) {
        TerminalDelivery result;
        auto sessions = ReadSessions(options_.utmpPath);
        if (!sessions.ok()) {
            result.code = kTerminalIoError;
            result.detail = "cannot read the login records: " + sessions.status().Text();
            return result;
        }
        const std::string payload = Compose(user == nullptr, text);
        std::vector<std::string> done;
        int refused = 0;
        int failed = 0;
        for (const Session& s : *sessions) {
            if ((user != nullptr && s.user != *user) ||
                std::find(done.begin(), done.end(), s.line) != done.end()) {
                continue;
            }
            done.push_back(s.line);
            std::string why;
            switch (WriteTerminal("/dev/" + s.line, payload, why)) {
                case Outcome::kWritten:
                    ++result.terminals;
                    break;
                case Outcome::kRefused:
                    ++refused;
                    break;
                case Outcome::kFailed:
                    if (failed++ == 0) {
                        result.detail = why;
                    }
                    break;
                case Outcome::kAbsent:
                    break;
            }
        }
        if (result.terminals > 0) {
            result.code = kTerminalDelivered;
        } else if (failed > 0) {
            result.code = kTerminalIoError;
        } else if (refused > 0) {
            result.code = kTerminalMessagesOff;
            result.detail = user ? std::string(*user) + " has messages turned off on every terminal"
                                 : "every logged-in terminal has messages turned off";
        } else {
            result.code = kTerminalNotLoggedIn;
            result.detail = user ? std::string(*user) + " is not logged in" : "nobody is logged in";
        }
        return result;
    }

    // Banner and text with CR LF line ends, as they go to each terminal.
    std::string Compose(bool broadcast, std::string_view text) const {
        const std::tm now = (options_.clock ? *options_.clock : SystemClock()).LocalNow();
        char when[64];
        std::strftime(when, sizeof when, "%a %d %b %Y at %H:%M", &now);
        std::string out = "\r\n";
        out += broadcast ? "Broadcast message from " : "Message from ";
        out += options_.sender + "@" + options_.hostName + " on " + when + " ...\r\n";
        for (char c : CleanTerminalText(text)) {
            if (c == '\n') {
                out += '\r';
            }
            out += c;
        }
        if (!out.ends_with("\r\n")) {
            out += "\r\n";
        }
        return out;
    }

    Outcome WriteTerminal(const std::string& path, std::string_view payload,
                          std::string& why) const {
        struct stat before {};
        if (::lstat(path.c_str(), &before) != 0 || !S_ISCHR(before.st_mode)) {
            return Outcome::kAbsent;  // a stale record: the session has gone
        }
        if ((before.st_mode & S_IWGRP) == 0) {
            return Outcome::kRefused;
        }
        // Non-blocking, and never as the controlling terminal of this process.
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            why = Status::Errno("open", path).Text();
            return Outcome::kFailed;
        }
        struct stat opened {};
        if (::fstat(fd, &opened) != 0 || opened.st_rdev != before.st_rdev || !::isatty(fd)) {
            ::close(fd);
            why = path + " is not the terminal named in the login records";
            return Outcome::kFailed;
        }
        const Status written = WriteWithin(fd, payload, path);
        ::close(fd);
        if (!written.ok()) {
            why = written.Text();
            return Outcome::kFailed;
        }
        return Outcome::kWritten;
    }

    Status WriteWithin(int fd, std::string_view data, const std::string& path) const {
        using std::chrono::steady_clock;
        const auto deadline = steady_clock::now() + options_.writeTimeout;
        while (!data.empty()) {
            const ssize_t n = ::write(fd, data.data(), data.size());
            if (n > 0) {
                data.remove_prefix(static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno != EINTR && errno != EAGAIN) {
                return Status::Errno("write", path);
            }
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock::now());
            if (left.count() <= 0) {
                return Status::Error(ETIMEDOUT, path + " took no text for " +
                                                    std::to_string(options_.writeTimeout.count()) +
                                                    " ms");
            }
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
                return Status::Errno("poll", path);
            }
        }
        return Status::Ok();
    }

    TerminalOptions options_;
};

}  // namespace

TerminalMessages& LocalTerminals() {
    static LinuxTerminalMessages terminals{TerminalOptions{}};
    return terminals;
}

std::unique_ptr<TerminalMessages> MakeTerminalMessages(TerminalOptions options) {
    return std::make_unique<LinuxTerminalMessages>(std::move(options));
}

}  // namespace kvzn::platform
