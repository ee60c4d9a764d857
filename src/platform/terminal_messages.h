// Network messages on this machine: text written to the terminals of logged-in users.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace kvzn::platform {

class Clock;

// Result codes of a delivery. 0 means at least one terminal received the whole text.
inline constexpr int kTerminalDelivered = 0;
// The user has no terminal in the login records (or nobody is logged in at all).
inline constexpr int kTerminalNotLoggedIn = 1;
// The user is logged in, but every terminal refuses messages ("mesg n").
inline constexpr int kTerminalMessagesOff = 2;
// The message should be relayed through another host; only this machine delivers.
inline constexpr int kTerminalRemoteHost = 3;
// The login records could not be read, or every write to an accepting terminal failed or
// timed out.
inline constexpr int kTerminalIoError = 4;

struct TerminalDelivery {
    int code = kTerminalDelivered;
    int terminals = 0;   // terminals that received the text
    std::string detail;  // why the delivery failed, or the first terminal that failed
};

// Delivers a text to terminals the way `write` and `wall` do: a banner line naming the
// sender, host and time, then the text with CR LF line ends. Only terminals whose device
// is group-writable ("mesg y") are written to; a terminal that does not take the text
// within the write time-out is given up, so a stuck terminal never holds the caller.
// The text is passed through CleanTerminalText before it is written.
// @threadsafety Always.
class TerminalMessages {
  public:
    virtual ~TerminalMessages() = default;
    // Every terminal of the login name `user` (compared exactly, as `write` does).
    virtual TerminalDelivery SendToUser(std::string_view user, std::string_view text) = 0;
    // Every terminal of every logged-in user.
    virtual TerminalDelivery SendToAll(std::string_view text) = 0;
};

struct TerminalOptions {
    std::string utmpPath;  // empty: the system's login records (_PATH_UTMP)
    std::string sender = "kvZNPrint";
    std::string hostName;                          // empty: the short host name of this machine
    std::chrono::milliseconds writeTimeout{1000};  // per terminal
    Clock* clock = nullptr;                        // banner time; null: the system clock
};

// The terminals of this machine, from the system's login records.
TerminalMessages& LocalTerminals();
std::unique_ptr<TerminalMessages> MakeTerminalMessages(TerminalOptions options);

// The text with everything a terminal would act on removed: escape sequences (ESC and
// what it introduces, whole control strings included), C0 controls other than line feed
// and tab, DEL, and C1 controls, both as single bytes and in their UTF-8 form. Valid UTF-8
// sequences and other 8-bit characters are kept.
std::string CleanTerminalText(std::string_view text);

}  // namespace kvzn::platform
