// Datagrams over the sockets API.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/datagram.h"
#include "platform/file.h"

namespace kvzn::platform {

Status SendDatagram(std::string_view host, uint16_t port, std::string_view data) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const std::string name(host);
    const std::string service = std::to_string(port);
    const int gai =
        name.empty() ? EAI_NONAME : ::getaddrinfo(name.c_str(), service.c_str(), &hints, &found);
    if (gai != 0) {
        return Status::Errno("getaddrinfo", name + ": " + gai_strerror(gai), EHOSTUNREACH);
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
    UniqueFd fd(::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return Status::Errno("socket");
    }
    const ssize_t sent = ::sendto(fd.get(), data.data(), data.size(), MSG_NOSIGNAL, found->ai_addr,
                                  found->ai_addrlen);
    if (sent < 0 || static_cast<size_t>(sent) != data.size()) {
        return Status::Errno("sendto");
    }
    return Status::Ok();
}

}  // namespace kvzn::platform
