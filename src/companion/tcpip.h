// The TCP/IP library: connections, replies, requests, files and the listening socket.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace kvzn::companion {

// A socket handle variable. The descriptor is atomic so that one thread may close a
// listening socket while another waits in IpAccept on it. -1 = no socket.
class Socket {
  public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket();  // closes a descriptor still held
    int fd() const { return fd_.load(); }
    bool valid() const { return fd_.load() >= 0; }
    // Takes the descriptor out of the handle (the handle becomes -1).
    int Release() { return fd_.exchange(-1); }
    void Reset(int fd);  // closes the old descriptor, keeps the new one

  private:
    std::atomic<int> fd_{-1};
};

// Thread-safety: one thread at a time works on a connection. IpClose may be called on a
// listener from another thread while IpAccept waits on the same Socket.

// Results shared by the calls below. Every other non-zero result is an errno value.
inline constexpr int kIpOk = 0;
inline constexpr int kIpWouldBlock = -4;          // IpSendText: the peer takes no data now
inline constexpr int kIpTimedOut = -11;           // no reply/request/connection in time
inline constexpr int kIpListenerClosed = -1;      // IpAccept: the listening socket was closed
inline constexpr int kIpInvalidConnection = -25;  // IpAccept: the listener is unusable
inline constexpr int kIpBadHandle = -9;           // the handle holds no socket
inline constexpr int kIpResolveFailed = -2;       // host name could not be resolved

// Connects to host (name or dotted address) and port, waiting at most `timeoutSeconds`
// (the per-caller constant: 6 SMTP, 9 HTTP, 1 console notices). On failure `error` gets a
// readable reason and the handle keeps what it held. Every address of the host is tried
// within the one time-out. Descriptors are close-on-exec. Sends never raise SIGPIPE.
int IpConnect(Socket& sock, std::string_view host, uint16_t port, int timeoutSeconds,
              std::string* error = nullptr);

// Closes the socket. A listening socket is shut down first, which wakes a thread blocked
// in IpAccept on it at once.
int IpClose(Socket& sock);

// Sends the whole text. kIpWouldBlock when nothing could be sent within the send time-out
// (10 s); partial progress keeps waiting. Other failures give errno. `flags` are added to
// send()'s flags (MSG_MORE, for example).
int IpSendText(Socket& sock, std::string_view text, int flags = 0, int timeoutSeconds = 10);

// Waits at most `timeoutSeconds` for data and stores what arrived (at most maxLength
// bytes) in `reply`. kIpTimedOut when nothing came; ECONNRESET when the peer closed.
int IpReceiveReply(Socket& sock, std::string& reply, size_t maxLength = 999,
                   int timeoutSeconds = 10);

// The same with a time-out in milliseconds (0: take only what has already arrived).
int IpReceiveSome(Socket& sock, std::string& reply, size_t maxLength,
                  std::chrono::milliseconds timeout);

// Reads a request: waits at most `timeoutSeconds` for the first data, then keeps reading
// until the end of the HTTP header block (and a Content-Length body when one is declared),
// the peer's end of sending, or maxLength bytes. `received` is the length read.
// kIpTimedOut when a wait passes without data; what came before stays in `request`.
// ECONNRESET when the peer closed without sending anything.
int IpReceiveRequest(Socket& sock, std::string& request, size_t& received, size_t maxLength = 99999,
                     int timeoutSeconds = 10);

// Sends the file's content, each wait limited to `timeoutSeconds` (kIpTimedOut when the
// peer takes nothing for that long). A file that cannot be opened gives its errno.
int IpSendFile(Socket& sock, const std::string& path, int timeoutSeconds = 30);

// Ends sending, reads and drops what the peer still sends for at most `timeoutSeconds`
// (the "WebSessionIPShutdownTimeout"), then closes.
int IpOrderlyClose(Socket& sock, int timeoutSeconds = 2);

// Creates a listening TCP socket on all addresses at `port` (SO_REUSEADDR) and listens.
// `bindAddress` may restrict it ("127.0.0.1" in tests). Port 0 picks a free port; see
// IpLocalPort. The listener is non-blocking and close-on-exec.
int IpCreateServer(Socket& sock, uint16_t port, std::string_view bindAddress = {});
uint16_t IpLocalPort(const Socket& sock);

// Waits for a client. kIpOk with `client` set and `clientAddress` the dotted address;
// kIpListenerClosed when the listening socket was closed (by IpClose from another thread);
// kIpInvalidConnection when the listener itself is unusable. Waits without time limit
// for a client, but wakes within half a second of the listener being closed. An empty
// listener handle also gives kIpListenerClosed.
int IpAccept(Socket& listener, Socket& client, std::string& clientAddress);

// Called once after an error reply was written: ends sending so the client sees the end.
int IpEndErrorResponse(Socket& sock);

}  // namespace kvzn::companion
