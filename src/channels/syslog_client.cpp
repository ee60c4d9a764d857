// SysLog delivery: one alert text as one BSD SysLog datagram over UDP.
#include "channels/syslog_client.h"

#include <array>
#include <cstdio>

#include "companion/activity_log.h"
#include "platform/datagram.h"

namespace kvzn::channels {

namespace {
constexpr std::string_view kModule = "kvZNSysLog";
}  // namespace

std::string BuildSysLogDatagram(int facility, int severity, const std::tm& local,
                                std::string_view host, std::string_view text) {
    static constexpr std::array<const char*, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char head[96];
    std::snprintf(head, sizeof head, "<%d> %s %02d %02d:%02d:%02d ", facility * 8 + severity,
                  kMonths[static_cast<size_t>(local.tm_mon) % 12], local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec);
    std::string datagram = head;
    datagram += host;
    datagram += ' ';
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        datagram += u < 0x20 || u == 0x7f ? ' ' : c;
    }
    if (datagram.size() > kSysLogMaxDatagram) {
        size_t cut = kSysLogMaxDatagram;
        // Back to the first byte of a UTF-8 character.
        while (cut > 0 && (static_cast<unsigned char>(datagram[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        datagram.resize(cut);
    }
    return datagram;
}

int kvZNSysLog_Send(const SysLogProgress& progress, std::string_view server, int port, int facility,
                    int severity, std::string_view host, std::string_view text,
                    const platform::Clock& clock) {
    const companion::Logger log(kModule, "kvZNSysLog_Send");
    auto show = [&progress](std::string_view line) {
        if (progress) {
            progress(line);
        }
    };
    const std::string datagram =
        BuildSysLogDatagram(facility, severity, clock.LocalNow(), host, text);
    if (port <= 0 || port > 65535) {
        log(1, "Unable to send SysLog message to server ", server, " on port ", port,
            ". Error: not a UDP port");
        show("Error: Cannot send data to the remote host ...");
        return 0;
    }
    show("Transmitting data ...");
    const platform::Status st =
        platform::SendDatagram(server, static_cast<uint16_t>(port), datagram);
    if (st.ok()) {
        show("The SysLog message was sent successfully ...");
        return 1;
    }
    if (st.call() == "getaddrinfo") {
        log(1, "Unable to resolve the host name ", server);
        show("Error: Cannot resolve the host name ...");
        show("Please check the server name and that any configured DNS server is running");
        show("& accessible over the network.");
    } else if (st.call() == "socket") {
        log(1, "Unable to create TCP/IP socket for SysLog server ", server, " on port ", port,
            ". Error: ", st.err());
        show("Error: Cannot create the outbound socket ...");
        show("Please check that TCP/IP is configured correctly on the local machine.");
    } else {
        log(1, "Unable to send SysLog message to server ", server, " on port ", port,
            ". Error: ", st.err());
        show("Error: Cannot send data to the remote host ...");
        show("Please check the Korvane log file for more information on this error.");
    }
    return 0;
}

}  // namespace kvzn::channels
