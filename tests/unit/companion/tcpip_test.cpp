// Tests of the TCP/IP library against real sockets on the loopback interface.
#include "companion/tcpip.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_support.h"

using namespace kvzn::companion;
using namespace std::chrono_literals;

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A TCP socket bound to a free loopback port, neither listening nor connected.
uint16_t BindLoopback(Socket& sock) {
    sock.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sock.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    return IpLocalPort(sock);
}

// A listener and one connection to it: `client` is our end, `server` the accepted one.
struct Connection {
    Socket listener, client, server;
    std::string clientAddress;

    explicit Connection(std::string_view bindTo = "127.0.0.1", std::string_view host = {}) {
        if (IpCreateServer(listener, 0, bindTo) != kIpOk)
            return;
        EXPECT_EQ(IpConnect(client, host.empty() ? bindTo : host, IpLocalPort(listener), 2), 0);
        EXPECT_EQ(IpAccept(listener, server, clientAddress), kIpOk);
    }
    bool ok() const { return client.valid() && server.valid(); }
};

// Reads until the peer ends; `reset` tells whether it ended with a reset.
std::string ReadToEnd(int fd, bool* reset = nullptr) {
    std::string data;
    char buf[65536];
    pollfd p{fd, POLLIN, 0};
    ssize_t n = 0;
    errno = 0;
    while (poll(&p, 1, 5000) > 0 && (n = recv(fd, buf, sizeof buf, 0)) > 0) {
        data.append(buf, static_cast<size_t>(n));
    }
    if (reset)
        *reset = n < 0 && errno == ECONNRESET;
    return data;
}

std::string Pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 7919 + i / 251) & 0xff);
    return s;
}

}  // namespace

TEST(TcpIpConnectTest, FailuresLeaveTheHandleEmpty) {
    Socket bound;  // keeps the port ours; a connection to it is refused
    const uint16_t port = BindLoopback(bound);
    Socket sock;
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(IpConnect(sock, "127.0.0.1", port, 6, &error), ECONNREFUSED) << error;
    EXPECT_LT(SecondsSince(start), 1.0);
    EXPECT_NE(error.find(std::to_string(port)), std::string::npos) << error;

    EXPECT_EQ(IpConnect(sock, "no-such-host.invalid", 80, 2, &error), kIpResolveFailed);
    EXPECT_NE(error.find("no-such-host.invalid"), std::string::npos) << error;
    EXPECT_EQ(IpConnect(sock, "", 80, 2), kIpResolveFailed);

    // With a backlog of 0 one unaccepted connection fills the queue and the kernel drops
    // the handshake of the next, so that connect never completes.
    ASSERT_EQ(listen(bound.fd(), 0), 0);
    Socket first;
    ASSERT_EQ(IpConnect(first, "127.0.0.1", port, 1), kIpOk);
    const auto waited = std::chrono::steady_clock::now();
    EXPECT_EQ(IpConnect(sock, "127.0.0.1", port, 1), kIpTimedOut);
    EXPECT_GE(SecondsSince(waited), 0.9);
    EXPECT_LT(SecondsSince(waited), 3.0);
    EXPECT_FALSE(sock.valid());
}

TEST(TcpIpConnectTest, DescriptorsAreCloseOnExecAndClientAddressIsDotted) {
    Connection c("127.0.0.1", "localhost");  // a name, through the resolver
    ASSERT_TRUE(c.ok());
    for (const Socket* s : {&c.listener, &c.client, &c.server}) {
        EXPECT_TRUE(fcntl(s->fd(), F_GETFD) & FD_CLOEXEC);
    }
    EXPECT_EQ(c.clientAddress, "127.0.0.1");

    // An IPv4 client of an IPv6 socket is still reported with its dotted address.
    Connection mapped("::ffff:127.0.0.1", "127.0.0.1");
    Connection six("::1");
    if (!mapped.listener.valid() || !six.listener.valid())
        GTEST_SKIP() << "no IPv6 here";
    EXPECT_EQ(mapped.clientAddress, "127.0.0.1");
    EXPECT_EQ(six.clientAddress, "::1");
}

TEST(TcpIpReceiveTest, RoundTripMaxLengthAndTimeOut) {
    Connection c;
    ASSERT_TRUE(c.ok());
    std::string reply = "stale";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(IpReceiveReply(c.server, reply, 999, 1), kIpTimedOut);
    EXPECT_GE(SecondsSince(start), 0.9);
    EXPECT_LT(SecondsSince(start), 3.0);
    ASSERT_EQ(IpSendText(c.client, "220 ready\r\n"), kIpOk);
    ASSERT_EQ(IpReceiveReply(c.server, reply, 999, 1), kIpOk);
    EXPECT_EQ(reply, "220 ready\r\n");
    ASSERT_EQ(IpSendText(c.server, "abcdef"), kIpOk);
    ASSERT_EQ(IpReceiveReply(c.client, reply, 4, 1), kIpOk);
    EXPECT_EQ(reply, "abcd");
    ASSERT_EQ(IpReceiveReply(c.client, reply, 4, 1), kIpOk);
    EXPECT_EQ(reply, "ef");
}

TEST(TcpIpReceiveTest, PeerGoneGivesErrorsNotSignals) {
    Connection c;
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(IpClose(c.client), kIpOk);
    std::string reply;
    EXPECT_EQ(IpReceiveReply(c.server, reply, 999, 1), ECONNRESET);
    int rc = kIpOk;  // the first send may still be taken; a later one meets the reset
    for (int i = 0; i < 10 && rc == kIpOk; ++i, std::this_thread::sleep_for(10ms)) {
        rc = IpSendText(c.server, std::string(4096, 'x'), 0, 1);
    }
    EXPECT_TRUE(rc == EPIPE || rc == ECONNRESET) << rc;
}

TEST(TcpIpReceiveTest, RequestEndsAtItsLengthMaxLengthOrThePeersEnd) {
    Connection c;
    ASSERT_TRUE(c.ok());
    const std::string request =
        "POST /x HTTP/1.1\r\nHost: x\r\ncontent-LENGTH: 11\r\n\r\nhello world";
    const std::string next = "GET /y HTTP/1.1\r\n\r\n";
    // Split inside the header name, inside the blank line and inside the body, with the
    // next request right behind: only the declared length can end the first read.
    std::thread sender([&] {
        size_t from = 0;
        for (size_t cut : {30, 48, 54}) {
            IpSendText(c.client, request.substr(from, cut - from));
            from = cut;
            std::this_thread::sleep_for(50ms);
        }
        IpSendText(c.client, request.substr(from) + next);
    });
    std::string got;
    size_t received = 0;
    EXPECT_EQ(IpReceiveRequest(c.server, got, received, 99999, 2), kIpOk);
    sender.join();
    EXPECT_EQ(got, request);
    EXPECT_EQ(received, request.size());
    // Without a body the blank line ends the request; the peer has not ended sending.
    EXPECT_EQ(IpReceiveRequest(c.server, got, received, 99999, 2), kIpOk);
    EXPECT_EQ(got, next);

    ASSERT_EQ(IpSendText(c.client, "0123456789abcdef"), kIpOk);
    ASSERT_EQ(IpReceiveRequest(c.server, got, received, 10, 2), kIpOk);
    EXPECT_EQ(got, "0123456789");
    ASSERT_EQ(IpEndErrorResponse(c.client), kIpOk);  // no blank line will ever come
    ASSERT_EQ(IpReceiveRequest(c.server, got, received, 99999, 2), kIpOk);
    EXPECT_EQ(got, "abcdef");
    EXPECT_EQ(IpReceiveRequest(c.server, got, received, 99999, 2), ECONNRESET);
    EXPECT_EQ(received, 0u);
}

TEST(TcpIpSendTest, PeerThatReadsNothingGivesWouldBlock) {
    Connection c;
    ASSERT_TRUE(c.ok());
    const int small = 4096;
    setsockopt(c.server.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    setsockopt(c.client.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(IpSendText(c.client, std::string(8 << 20, 'x'), 0, 1), kIpWouldBlock);
    EXPECT_GE(SecondsSince(start), 0.9);
    EXPECT_LT(SecondsSince(start), 5.0);
}

TEST(TcpIpSendTest, FileAndOrderlyCloseReachThePeerWhole) {
    kvzn::test::TempDir dir;
    const std::string content = Pattern(1 << 20);
    kvzn::test::WriteFile(dir / "page.bin", content);
    Connection c;
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(IpSendFile(c.server, dir / "missing.html", 1), ENOENT);
    // The request stays unread: a plain close() would answer it with a reset and drop the
    // reply data still queued.
    ASSERT_EQ(IpSendText(c.client, "GET / HTTP/1.0\r\n\r\n"), kIpOk);
    auto server = std::async(std::launch::async, [&] {
        EXPECT_EQ(IpSendFile(c.server, dir / "page.bin", 5), kIpOk);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(IpOrderlyClose(c.server, 5), kIpOk);
        return SecondsSince(start);
    });
    std::this_thread::sleep_for(100ms);
    bool reset = true;
    const std::string got = ReadToEnd(c.client.fd(), &reset);
    IpClose(c.client);
    EXPECT_LT(server.get(), 2.0);  // ended with the peer, not at the time-out
    EXPECT_FALSE(reset);
    EXPECT_EQ(got.size(), content.size());
    EXPECT_TRUE(got == content);
}

TEST(TcpIpAcceptTest, CloseFromAnotherThreadWakesAcceptAtOnce) {
    // Shared with the accepting thread, which would outlive the test if it never woke.
    struct Shared {
        Socket listener;
        std::promise<int> result;
    };
    auto shared = std::make_shared<Shared>();
    ASSERT_EQ(IpCreateServer(shared->listener, 0, "127.0.0.1"), kIpOk);
    auto done = shared->result.get_future();
    std::thread acceptor([shared] {
        Socket client;
        std::string address;
        shared->result.set_value(IpAccept(shared->listener, client, address));
    });
    // Close just after the thread's first half-second recheck, so that only a wake-up by
    // the close itself ends the wait before the next recheck.
    std::this_thread::sleep_for(550ms);
    ASSERT_EQ(done.wait_for(0s), std::future_status::timeout) << "returned without a client";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(IpClose(shared->listener), kIpOk);
    if (done.wait_for(5s) != std::future_status::ready) {
        acceptor.detach();
        FAIL() << "IpAccept did not return after IpClose";
    }
    acceptor.join();
    EXPECT_LT(SecondsSince(start), 0.3);
    EXPECT_EQ(done.get(), kIpListenerClosed);

    Socket client;
    std::string address;
    EXPECT_EQ(IpAccept(shared->listener, client, address), kIpListenerClosed);
}

TEST(TcpIpHandleTest, EmptyOrWrongHandles) {
    Socket sock;
    std::string text;
    size_t received = 7;
    EXPECT_EQ(IpSendText(sock, "x"), kIpBadHandle);
    EXPECT_EQ(IpReceiveReply(sock, text), kIpBadHandle);
    EXPECT_EQ(IpReceiveRequest(sock, text, received), kIpBadHandle);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(IpSendFile(sock, "/dev/null"), kIpBadHandle);
    EXPECT_EQ(IpOrderlyClose(sock), kIpBadHandle);
    EXPECT_EQ(IpEndErrorResponse(sock), kIpBadHandle);
    EXPECT_EQ(IpClose(sock), kIpBadHandle);

    Connection c;
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(IpAccept(c.server, sock, text), kIpInvalidConnection);
    EXPECT_FALSE(sock.valid());
    EXPECT_EQ(IpClose(c.client), kIpOk);
    EXPECT_EQ(IpClose(c.client), kIpBadHandle);
}
