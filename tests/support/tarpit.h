// A loopback port that never answers: its accept queue is full, so further connection
// requests are dropped and a client's connect waits until its own time-out.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace kvzn::test {

class Tarpit {
  public:
    Tarpit() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(fd_, 0) == 0 &&
              ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
        port_ = ntohs(addr.sin_port);
        for (int& filler : fillers_) {
            filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(filler, reinterpret_cast<sockaddr*>(&addr), len);
        }
        // Let the handshakes of the fillers complete, so that the queue is full.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~Tarpit() {
        for (int filler : fillers_) {
            ::close(filler);
        }
        ::close(fd_);
    }
    Tarpit(const Tarpit&) = delete;
    Tarpit& operator=(const Tarpit&) = delete;

    bool ok() const { return ok_; }
    uint16_t port() const { return port_; }

  private:
    int fd_ = -1;
    int fillers_[3] = {-1, -1, -1};
    uint16_t port_ = 0;
    bool ok_ = false;
};

}  // namespace kvzn::test
