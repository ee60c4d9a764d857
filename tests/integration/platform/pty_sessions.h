// Pseudo-terminals posing as login sessions, listed in a private login-record file.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utmpx.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace kvzn::test {

// One pty: the master stays with the test, which reads what was written to the slave. The
// slave is kept open in raw mode, as a login shell would keep it, so the bytes arrive as
// the sender wrote them.
class PtySession {
  public:
    PtySession(std::string user, bool acceptsMessages) : user_(std::move(user)) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[64] = {};
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
            ::ptsname_r(master_, name, sizeof name) != 0) {
            ADD_FAILURE() << "cannot create a pty: " << std::strerror(errno);
            return;
        }
        device_ = name;
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        if (slave_ < 0 || ::tcgetattr(slave_, &raw) != 0) {
            ADD_FAILURE() << "cannot open " << device_ << ": " << std::strerror(errno);
            return;
        }
        ::cfmakeraw(&raw);
        ::tcsetattr(slave_, TCSANOW, &raw);
        // "mesg y" leaves the terminal group-writable, "mesg n" does not.
        EXPECT_EQ(::chmod(name, acceptsMessages ? 0620 : 0600), 0) << std::strerror(errno);
    }
    ~PtySession() {
        if (slave_ >= 0) {
            ::close(slave_);
        }
        if (master_ >= 0) {
            ::close(master_);
        }
    }
    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;

    const std::string& user() const { return user_; }
    // "pts/7", as the login records name it.
    std::string line() const { return device_.substr(5); }
    int slave() const { return slave_; }

    // Everything that arrives within `wait`, reading on until the terminal is quiet.
    std::string Read(std::chrono::milliseconds wait = std::chrono::milliseconds(1000)) const {
        std::string text;
        int timeout = static_cast<int>(wait.count());
        for (;;) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, timeout) <= 0 || (p.revents & POLLIN) == 0) {
                return text;
            }
            char buf[4096];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) {
                return text;
            }
            text.append(buf, static_cast<size_t>(n));
            timeout = 100;
        }
    }

  private:
    std::string user_;
    std::string device_;
    int master_ = -1;
    int slave_ = -1;
};

struct LoginRecord {
    std::string user;
    std::string line;
    short type = USER_PROCESS;
};

template <size_t N>
void PutField(char (&field)[N], const std::string& value) {
    std::memcpy(field, value.data(), std::min(N, value.size()));
}

// Writes the records to `path` in the system's binary layout.
inline void WriteLoginRecords(const std::string& path, const std::vector<LoginRecord>& records) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const LoginRecord& r : records) {
        utmpx u{};
        u.ut_type = r.type;
        u.ut_pid = ::getpid();
        PutField(u.ut_user, r.user);
        PutField(u.ut_line, r.line);
        PutField(u.ut_id, r.line.size() > 4 ? r.line.substr(r.line.size() - 4) : r.line);
        out.write(reinterpret_cast<const char*>(&u), sizeof u);
    }
    ASSERT_TRUE(out.good()) << path;
}

}  // namespace kvzn::test
