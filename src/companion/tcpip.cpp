// The TCP/IP library: plain POSIX sockets, every wait bounded by poll() with a time-out.
#include "companion/tcpip.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace kvzn::companion {

namespace {

using Clock = std::chrono::steady_clock;

// How often IpAccept looks again at its handle when nothing wakes it.
constexpr int kAcceptRecheckMs = 500;
constexpr size_t kChunkSize = 64 * 1024;

int ErrnoOr(int fallback) {
    return errno != 0 ? errno : fallback;
}

int SecondsToMs(int seconds) {
    if (seconds <= 0)
        return 0;
    return static_cast<int>(std::min<long long>(static_cast<long long>(seconds) * 1000, INT_MAX));
}

struct WaitResult {
    int ready = 0;  // 1 ready, 0 timed out, -1 failed (err set)
    short revents = 0;
    int err = 0;
};

// One wait for `events` on fd, at most timeoutMs in total even across EINTR.
WaitResult WaitFor(int fd, short events, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (r > 0)
            return {1, p.revents, 0};
        if (r == 0)
            return {0, 0, 0};
        if (errno != EINTR)
            return {-1, 0, ErrnoOr(EIO)};
    }
}

std::string ErrorText(int err) {
    return std::strerror(err);
}

std::string AddressText(const sockaddr* sa) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (sa->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        ::inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
    } else if (sa->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            // A client of a dual-stack listener: report the plain dotted IPv4 address.
            ::inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], buf, sizeof buf);
        } else {
            ::inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
        }
    }
    return buf;
}

bool IsListening(int fd) {
    int listening = 0;
    socklen_t len = sizeof listening;
    return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening != 0;
}

bool SetBlocking(int fd, bool blocking) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

// One connect attempt to one address, bounded by timeoutMs. Returns the connected
// descriptor (blocking mode, close-on-exec) or -1 with `err` set (kIpTimedOut or errno).
int ConnectOne(const addrinfo& ai, int timeoutMs, int& err) {
    Socket owned(
        ::socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai.ai_protocol));
    if (owned.fd() < 0) {
        err = ErrnoOr(EIO);
        return -1;
    }
    if (::connect(owned.fd(), ai.ai_addr, ai.ai_addrlen) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            err = ErrnoOr(EIO);
            return -1;
        }
        const WaitResult w = WaitFor(owned.fd(), POLLOUT, timeoutMs);
        if (w.ready < 0) {
            err = w.err;
            return -1;
        }
        if (w.ready == 0) {
            err = kIpTimedOut;
            return -1;
        }
        int soError = 0;
        socklen_t len = sizeof soError;
        if (::getsockopt(owned.fd(), SOL_SOCKET, SO_ERROR, &soError, &len) != 0) {
            err = ErrnoOr(EIO);
            return -1;
        }
        if (soError != 0) {
            err = soError;
            return -1;
        }
    }
    // Callers (and libraries they hand the descriptor to) may expect blocking mode; every
    // call of this library passes MSG_DONTWAIT and waits with poll() itself.
    if (!SetBlocking(owned.fd(), true)) {
        err = ErrnoOr(EIO);
        return -1;
    }
    return owned.Release();
}

// Sends all of data, each wait at most timeoutMs. Returns kIpOk, `onTimeout` when a wait
// passed without the peer taking anything, or errno.
int SendAll(int fd, const char* data, size_t size, int flags, int timeoutMs, int onTimeout) {
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(fd, data + sent, size - sent, flags | MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return ErrnoOr(EIO);
        const WaitResult w = WaitFor(fd, POLLOUT, timeoutMs);
        if (w.ready < 0)
            return w.err;
        if (w.ready == 0)
            return onTimeout;
        // POLLERR/POLLHUP: the next send reports the reason.
    }
    return kIpOk;
}

enum class ReadStep { kData, kNoData, kEof, kError };

// One non-blocking read (or peek) appended to `out`, at most `limit` bytes.
ReadStep ReadSome(int fd, std::string& out, size_t limit, int& err, int flags = 0) {
    const size_t old = out.size();
    out.resize(old + limit);
    ssize_t n;
    do {
        n = ::recv(fd, out.data() + old, limit, flags | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    out.resize(old + static_cast<size_t>(std::max<ssize_t>(n, 0)));
    if (n > 0)
        return ReadStep::kData;
    if (n == 0)
        return ReadStep::kEof;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return ReadStep::kNoData;
    err = ErrnoOr(EIO);
    return ReadStep::kError;
}

// Where the header block ends (just past its blank line), if it is complete.
std::optional<size_t> HeaderEnd(std::string_view data) {
    const size_t crlf = data.find("\r\n\r\n");
    const size_t lf = data.find("\n\n");
    if (crlf == std::string_view::npos && lf == std::string_view::npos)
        return std::nullopt;
    if (lf == std::string_view::npos || (crlf != std::string_view::npos && crlf < lf)) {
        return crlf + 4;
    }
    return lf + 2;
}

// The declared Content-Length of a header block; nullopt when absent or unreadable.
std::optional<size_t> ContentLength(std::string_view headers) {
    size_t pos = 0;
    while (pos < headers.size()) {
        size_t eol = headers.find('\n', pos);
        if (eol == std::string_view::npos)
            eol = headers.size();
        std::string_view line = headers.substr(pos, eol - pos);
        pos = eol + 1;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos ||
            !platform::EqualsNoCase(line.substr(0, colon), "Content-Length")) {
            continue;
        }
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.remove_prefix(1);
        }
        size_t length = 0;
        size_t digits = 0;
        for (char c : value) {
            if (c < '0' || c > '9')
                break;
            if (length > (SIZE_MAX - 9) / 10)
                return std::nullopt;
            length = length * 10 + static_cast<size_t>(c - '0');
            ++digits;
        }
        if (digits == 0)
            return std::nullopt;
        return length;
    }
    return std::nullopt;
}

// The total length of the request in `data` once it can be known.
std::optional<size_t> RequestLength(std::string_view data) {
    const std::optional<size_t> headerEnd = HeaderEnd(data);
    if (!headerEnd)
        return std::nullopt;
    const std::optional<size_t> body = ContentLength(data.substr(0, *headerEnd));
    if (!body)
        return *headerEnd;
    return *body > SIZE_MAX - *headerEnd ? SIZE_MAX : *headerEnd + *body;
}

}  // namespace

Socket::~Socket() {
    const int fd = fd_.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}

void Socket::Reset(int fd) {
    const int old = fd_.exchange(fd);
    if (old >= 0 && old != fd)
        ::close(old);
}

int IpConnect(Socket& sock, std::string_view host, uint16_t port, int timeoutSeconds,
              std::string* error) {
    auto fail = [error](int code, std::string text) {
        if (error)
            *error = std::move(text);
        return code;
    };
    const std::string hostName(host);
    const std::string portText = std::to_string(port);
    if (hostName.empty())
        return fail(kIpResolveFailed, "no host name given");

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int gai = ::getaddrinfo(hostName.c_str(), portText.c_str(), &hints, &found);
    if (gai != 0) {
        const std::string reason = gai == EAI_SYSTEM ? ErrorText(errno) : ::gai_strerror(gai);
        return fail(kIpResolveFailed, "cannot resolve " + hostName + ": " + reason);
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);

    // One deadline for all addresses of the host, tried in the resolver's order.
    const auto deadline = Clock::now() + std::chrono::milliseconds(SecondsToMs(timeoutSeconds));
    int lastError = EHOSTUNREACH;
    std::string lastAddress = hostName;
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 && ai != list.get()) {
            lastError = kIpTimedOut;
            break;
        }
        lastAddress = AddressText(ai->ai_addr);
        const int fd =
            ConnectOne(*ai, static_cast<int>(std::max<long long>(0, left.count())), lastError);
        if (fd >= 0) {
            sock.Reset(fd);
            if (error)
                error->clear();
            return kIpOk;
        }
    }
    const std::string where = "connect to " + hostName +
                              (lastAddress != hostName ? " (" + lastAddress + ")" : "") + " port " +
                              portText + ": ";
    if (lastError == kIpTimedOut) {
        return fail(kIpTimedOut,
                    where + "no answer within " + std::to_string(timeoutSeconds) + " s");
    }
    return fail(lastError, where + ErrorText(lastError));
}

int IpClose(Socket& sock) {
    const int fd = sock.Release();
    if (fd < 0)
        return kIpBadHandle;
    // A thread blocked in poll() or accept() on a listener is not woken by close(), only by
    // shutdown(); the handle is already -1 when it wakes, so it reports kIpListenerClosed.
    if (IsListening(fd))
        ::shutdown(fd, SHUT_RDWR);
    if (::close(fd) != 0 && errno != EINTR)
        return ErrnoOr(EIO);
    return kIpOk;
}

int IpSendText(Socket& sock, std::string_view text, int flags, int timeoutSeconds) {
    const int fd = sock.fd();
    if (fd < 0)
        return kIpBadHandle;
    return SendAll(fd, text.data(), text.size(), flags, SecondsToMs(timeoutSeconds), kIpWouldBlock);
}

int IpReceiveReply(Socket& sock, std::string& reply, size_t maxLength, int timeoutSeconds) {
    return IpReceiveSome(sock, reply, maxLength,
                         std::chrono::milliseconds(SecondsToMs(timeoutSeconds)));
}

int IpReceiveSome(Socket& sock, std::string& reply, size_t maxLength,
                  std::chrono::milliseconds timeout) {
    reply.clear();
    const int fd = sock.fd();
    if (fd < 0)
        return kIpBadHandle;
    if (maxLength == 0)
        return EINVAL;
    const auto deadline = Clock::now() + timeout;
    // Wait for the first data, then take everything that has already arrived without
    // waiting for more.
    for (;;) {
        int err = 0;
        switch (ReadSome(fd, reply, std::min(maxLength - reply.size(), kChunkSize), err)) {
            case ReadStep::kData:
                if (reply.size() >= maxLength)
                    return kIpOk;
                continue;
            case ReadStep::kEof:
                return reply.empty() ? ECONNRESET : kIpOk;
            case ReadStep::kError:
                return reply.empty() ? err : kIpOk;
            case ReadStep::kNoData:
                if (!reply.empty())
                    return kIpOk;
                break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return kIpTimedOut;
        const WaitResult w = WaitFor(fd, POLLIN, static_cast<int>(left.count()));
        if (w.ready < 0)
            return w.err;
        if (w.ready == 0)
            return kIpTimedOut;
    }
}

int IpReceiveRequest(Socket& sock, std::string& request, size_t& received, size_t maxLength,
                     int timeoutSeconds) {
    request.clear();
    received = 0;
    const int fd = sock.fd();
    if (fd < 0)
        return kIpBadHandle;
    if (maxLength == 0)
        return EINVAL;
    const int timeoutMs = SecondsToMs(timeoutSeconds);
    size_t limit = maxLength;
    int result = kIpOk;
    std::string peeked;
    while (request.size() < limit) {
        // Look before taking, so that a pipelined next request stays in the socket.
        peeked.clear();
        int err = 0;
        const ReadStep step =
            ReadSome(fd, peeked, std::min(limit - request.size(), kChunkSize), err, MSG_PEEK);
        if (step == ReadStep::kData) {
            const size_t before = request.size();
            request += peeked;
            if (const std::optional<size_t> total = RequestLength(request)) {
                limit = std::min(maxLength, *total);
            }
            request.resize(std::min(request.size(), limit));
            // The peeked bytes are queued, so this read returns them at once.
            std::string taken;
            if (ReadSome(fd, taken, request.size() - before, err) == ReadStep::kError) {
                result = err;
                request.resize(before);
                break;
            }
            request.resize(before + taken.size());
            continue;
        }
        if (step == ReadStep::kEof) {
            if (request.empty())
                result = ECONNRESET;
            break;
        }
        if (step == ReadStep::kError) {
            result = err;
            break;
        }
        const WaitResult w = WaitFor(fd, POLLIN, timeoutMs);
        if (w.ready < 0) {
            result = w.err;
            break;
        }
        if (w.ready == 0) {
            result = kIpTimedOut;
            break;
        }
    }
    received = request.size();
    return result;
}

int IpSendFile(Socket& sock, const std::string& path, int timeoutSeconds) {
    const int fd = sock.fd();
    if (fd < 0)
        return kIpBadHandle;
    Socket file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd() < 0)
        return ErrnoOr(EIO);
    const int timeoutMs = SecondsToMs(timeoutSeconds);
    std::vector<char> buffer(kChunkSize);
    for (;;) {
        const ssize_t n = ::read(file.fd(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return ErrnoOr(EIO);
        if (n == 0)
            return kIpOk;
        const int r = SendAll(fd, buffer.data(), static_cast<size_t>(n), 0, timeoutMs, kIpTimedOut);
        if (r != kIpOk)
            return r;
    }
}

int IpOrderlyClose(Socket& sock, int timeoutSeconds) {
    const int fd = sock.Release();
    if (fd < 0)
        return kIpBadHandle;
    Socket owned(fd);
    int result = kIpOk;
    if (::shutdown(fd, SHUT_WR) != 0) {
        // ENOTCONN: the peer is already gone, nothing is left to drain.
        if (errno != ENOTCONN)
            result = ErrnoOr(EIO);
        return result;
    }
    // Closing with unread input makes the kernel reset the connection, which can destroy
    // what the peer has not read yet; read and drop input until the peer ends or time runs out.
    const auto deadline = Clock::now() + std::chrono::milliseconds(SecondsToMs(timeoutSeconds));
    std::string sink;
    for (;;) {
        sink.clear();
        int err = 0;
        const ReadStep step = ReadSome(fd, sink, kChunkSize, err);
        if (step == ReadStep::kEof || step == ReadStep::kError)
            break;
        if (step == ReadStep::kData)
            continue;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        if (WaitFor(fd, POLLIN, static_cast<int>(left.count())).ready <= 0)
            break;
    }
    return result;
}

int IpCreateServer(Socket& sock, uint16_t port, std::string_view bindAddress) {
    sockaddr_storage addr{};
    socklen_t addrLen = 0;
    if (bindAddress.empty()) {
        // All addresses: one dual-stack socket when IPv6 exists, else IPv4 only.
        Socket probe(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe.fd() >= 0) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_any;
            in6->sin6_port = htons(port);
            addrLen = sizeof *in6;
        } else {
            auto* in = reinterpret_cast<sockaddr_in*>(&addr);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_ANY);
            in->sin_port = htons(port);
            addrLen = sizeof *in;
        }
    } else {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo* found = nullptr;
        const std::string host(bindAddress);
        const std::string portText = std::to_string(port);
        if (::getaddrinfo(host.c_str(), portText.c_str(), &hints, &found) != 0) {
            return kIpResolveFailed;
        }
        std::memcpy(&addr, found->ai_addr, found->ai_addrlen);
        addrLen = found->ai_addrlen;
        ::freeaddrinfo(found);
    }

    // Non-blocking, so that accept() after poll() cannot hang when the client has gone.
    Socket owned(::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (owned.fd() < 0)
        return ErrnoOr(EIO);
    const int on = 1;
    if (::setsockopt(owned.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return ErrnoOr(EIO);
    }
    if (addr.ss_family == AF_INET6) {
        const int v6only = 0;
        ::setsockopt(owned.fd(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    }
    if (::bind(owned.fd(), reinterpret_cast<const sockaddr*>(&addr), addrLen) != 0) {
        return ErrnoOr(EIO);
    }
    if (::listen(owned.fd(), SOMAXCONN) != 0)
        return ErrnoOr(EIO);
    sock.Reset(owned.Release());
    return kIpOk;
}

uint16_t IpLocalPort(const Socket& sock) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (sock.fd() < 0 || ::getsockname(sock.fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    if (addr.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    if (addr.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    }
    return 0;
}

int IpAccept(Socket& listener, Socket& client, std::string& clientAddress) {
    clientAddress.clear();
    int fd = listener.fd();
    if (fd < 0)
        return kIpListenerClosed;
    if (!IsListening(fd))
        return listener.valid() ? kIpInvalidConnection : kIpListenerClosed;
    // accept() after poll() must not block if the client went away in between.
    if (!SetBlocking(fd, false))
        return listener.valid() ? kIpInvalidConnection : kIpListenerClosed;

    for (;;) {
        fd = listener.fd();
        if (fd < 0)
            return kIpListenerClosed;
        const WaitResult w = WaitFor(fd, POLLIN, kAcceptRecheckMs);
        if (listener.fd() != fd)
            return kIpListenerClosed;
        if (w.ready < 0)
            return w.err;
        if (w.ready == 0)
            continue;
        if (w.revents & POLLNVAL)
            return kIpInvalidConnection;

        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        const int conn = ::accept4(fd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
        if (conn >= 0) {
            if (listener.fd() != fd) {
                // Closed meanwhile: the caller is shutting down and will not serve it.
                ::close(conn);
                return kIpListenerClosed;
            }
            client.Reset(conn);
            clientAddress = AddressText(reinterpret_cast<const sockaddr*>(&addr));
            return kIpOk;
        }
        const int err = ErrnoOr(EIO);
        if (listener.fd() != fd)
            return kIpListenerClosed;
        switch (err) {
            case EAGAIN:
#if EWOULDBLOCK != EAGAIN
            case EWOULDBLOCK:
#endif
            case EINTR:
            case ECONNABORTED:
            case EPROTO:
            case ENETDOWN:
            case ENOPROTOOPT:
            case EHOSTDOWN:
            case ENONET:
            case EHOSTUNREACH:
            case EOPNOTSUPP:
            case ENETUNREACH:
                continue;  // that client is gone; wait for the next one
            case EINVAL:   // shut down by someone else, or no longer listening
            case EBADF:
            case ENOTSOCK:
                return kIpInvalidConnection;
            default:
                return err;
        }
    }
}

int IpEndErrorResponse(Socket& sock) {
    const int fd = sock.fd();
    if (fd < 0)
        return kIpBadHandle;
    if (::shutdown(fd, SHUT_WR) != 0)
        return ErrnoOr(EIO);
    return kIpOk;
}

}  // namespace kvzn::companion
