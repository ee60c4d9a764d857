// The SMTP session layer: sessions, the mail dialogue and its replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "companion/tcpip.h"
#include "platform/tls.h"

namespace kvzn::channels {

// Receives each progress line of a session (the configuration utility's test dialog shows
// them); the service passes none.
using SmtpProgress = std::function<void(std::string_view line)>;

// Seconds allowed for the connection and for each reply of the server.
inline constexpr int kSmtpConnectTimeout = 6;
inline constexpr int kSmtpReplyTimeout = 10;
// The error text buffer kvZNNotify_SMTPConnectAndSend hands to kvZNNotify_SMTPSend.
inline constexpr size_t kSmtpErrorTextSize = 2000;

// One connection to a mail server and what was received beyond the last reply; after
// STARTTLS every byte goes through the TLS session. Sessions are independent of each other;
// one session is used by one thread at a time.
struct SmtpSession {
    companion::Socket sock;
    std::string pending;
    std::unique_ptr<platform::TlsSession> tls;
    bool Open() const { return sock.valid(); }
    bool Encrypted() const { return tls != nullptr; }
    int Close();
};

// When a session encrypts its traffic with STARTTLS.
enum class SmtpTls {
    kOff,          // never: the session says HELO, as mail servers have always understood
    kWhenOffered,  // when the server offers STARTTLS (EHLO); otherwise in plain text
    kRequired,     // always: a server that does not offer it, or fails it, gets no mail
};

// How a session secures itself and logs on. With a user name the session logs on with AUTH
// PLAIN or LOGIN (whichever the server offers), and only over an encrypted session.
struct SmtpSecurity {
    SmtpTls tls = SmtpTls::kOff;
    platform::TlsTrust trust;
    std::string user;
    std::string password;
};

// What a server offers in its EHLO reply.
struct SmtpExtensions {
    bool startTls = false;
    bool authPlain = false;
    bool authLogin = false;
};
SmtpExtensions ParseEhloReply(std::string_view replyText);

// The AUTH PLAIN command for `user` and `password` (RFC 4616), with CR LF.
std::string AuthPlainCommand(std::string_view user, std::string_view password);
// Base64 of a text (the AUTH LOGIN answers).
std::string Base64Text(std::string_view text);

// The session calls below are not serialised with each other; callers that must not
// overlap take the e-mail send lock. Every wait is bounded: the connection by kSmtpConnectTimeout,
// each reply and each send by kSmtpReplyTimeout. All return 1 on success and 0 on failure (logged
// under "kvNotify.DLL").

// Opens a session: connects, reads the greeting and says HELO with `greetingName`. A
// session still open is closed first, with a warning.
// With `security` the session says EHLO, encrypts with STARTTLS and logs on as it asks.
int kvZNNotify_SMTPConnect(SmtpSession& session, std::string_view server,
                           std::string_view greetingName, int port,
                           const SmtpSecurity& security = {});

// Sends one message over the session: MAIL FROM, RCPT TO for each address of
// `recipients` ("," or line feed between them), DATA, the header and body, QUIT.
// `recipients` is also the text of the "To:" header. On failure `errorText` receives a
// reason of at most `errorTextSize` - 1 characters (nothing when the size is 0).
int kvZNNotify_SMTPSend(SmtpSession& session, std::string_view sender, std::string_view recipients,
                        std::string_view subject, std::string_view body, std::string& errorText,
                        size_t errorTextSize);

// Closes the session.
int kvZNNotify_SMTPDisconnect(SmtpSession& session);

// One complete delivery on a session of its own: connect, send, disconnect, reporting
// progress on the way.
int kvZNNotify_SMTPConnectAndSend(std::string_view server, std::string_view greetingName, int port,
                                  std::string_view sender, std::string_view recipients,
                                  std::string_view subject, std::string_view body,
                                  const SmtpProgress& progress = {},
                                  const SmtpSecurity& security = {});

// 1 when `reply` begins with the three characters of `expected` (any case); otherwise
// logs the mismatch and returns 0.
int CheckSMTPResponse(std::string_view reply, std::string_view expected);

// ---- Text building blocks of a session (pure functions). ----

// Where a complete reply ends in the received text. A reply is complete once a line that
// is not a continuation line ("250-...") has ended with a line feed.
struct SmtpReplyScan {
    bool complete = false;
    size_t length = 0;     // bytes of the text the reply takes, line ends included
    std::string lastLine;  // the final line ("250 OK"), without its line end
    std::string text;      // every line of the reply, joined by single blanks
};
SmtpReplyScan ScanSmtpReply(std::string_view received);

// Every line end (CR LF, a lone LF or a lone CR) becomes CR LF.
std::string NormaliseLineEnds(std::string_view text);
// Doubles the "." at the start of every line of CR LF text, so that no line of the body can
// end the message.
std::string DotStuff(std::string_view crlfText);
// A header value or command argument on one line: each run of CR and LF becomes one blank
// and other control characters except tab are dropped.
std::string CleanHeaderValue(std::string_view value);

// The addresses of a recipient text: items between "," and line ends, without surrounding
// blanks; empty items are left out.
std::vector<std::string> SplitRecipientText(std::string_view recipients);

// "MAIL FROM: <sender>" / "RCPT TO: <address>" with CR LF; an argument already written in
// angle brackets is sent as it is. Leading blanks are removed, line breaks cleaned.
std::string MailFromCommand(std::string_view sender);
std::string RcptToCommand(std::string_view address);

// "Thu, 01 Jan 2026 10:00:00 +0100": the local time of `when` with its numeric zone.
std::string MailDateText(std::time_t when);

// The text sent after DATA: Date, From, To, Subject, Message-ID and the MIME lines, a blank
// line, the body with CR LF line ends and doubled leading dots, and the closing
// "\r\n\r\n.\r\n".
std::string BuildMessageData(std::string_view sender, std::string_view recipients,
                             std::string_view subject, std::string_view body, std::time_t when,
                             std::string_view messageId);

}  // namespace kvzn::channels
