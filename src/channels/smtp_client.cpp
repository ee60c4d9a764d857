// The SMTP session layer: one session per thread, the mail dialogue and its replies.
#include "channels/smtp_client.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <new>
#include <random>

#include "companion/activity_log.h"
#include "companion/tcpip.h"
#include "platform/text.h"

namespace kvzn::channels {

namespace {

constexpr std::string_view kModule = "kvNotify.DLL";
// A reply longer than this without its final line is not an SMTP reply.
constexpr size_t kMaxReplyLength = 64 * 1024;
// Longest line of a message, line end excluded.
constexpr size_t kMaxLineLength = 998;
constexpr size_t kQuotedPrintableLine = 76;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Sends text over the session, through TLS once it is encrypted.
int SessionSend(SmtpSession& s, std::string_view text) {
    if (s.tls) {
        const platform::Status st = s.tls->Send(text, kSmtpReplyTimeout);
        return st.ok() ? companion::kIpOk
                       : (st.err() == ETIMEDOUT ? companion::kIpTimedOut : st.err());
    }
    return companion::IpSendText(s.sock, text, 0, kSmtpReplyTimeout);
}

int SessionReceive(SmtpSession& s, std::string& chunk, int timeoutSeconds) {
    if (s.tls) {
        const platform::Status st = s.tls->Receive(chunk, 999, timeoutSeconds);
        return st.ok() ? companion::kIpOk
                       : (st.err() == ETIMEDOUT ? companion::kIpTimedOut : st.err());
    }
    return companion::IpReceiveReply(s.sock, chunk, 999, timeoutSeconds);
}

// Reads one complete reply (all lines of a multi-line reply) within kSmtpReplyTimeout.
// Returns kIpOk, kIpTimedOut, EMSGSIZE for an endless reply, or the library's error.
int ReadReply(SmtpSession& s, SmtpReplyScan& reply) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(kSmtpReplyTimeout);
    for (;;) {
        reply = ScanSmtpReply(s.pending);
        if (reply.complete) {
            s.pending.erase(0, reply.length);
            return companion::kIpOk;
        }
        if (s.pending.size() > kMaxReplyLength)
            return EMSGSIZE;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return companion::kIpTimedOut;
        std::string chunk;
        const int rc = SessionReceive(s, chunk, static_cast<int>((left + 999) / 1000));
        if (rc != companion::kIpOk)
            return rc;
        s.pending += chunk;
    }
}

// Reads the reply to the greeting or HELO and checks its code, logging each failure with
// `opening` as kvZNNotify_SMTPConnect does. Closes the session on failure.
bool ExpectConnectReply(SmtpSession& s, std::string_view expected, const std::string& opening,
                        const companion::Logger& log) {
    SmtpReplyScan reply;
    const int rc = ReadReply(s, reply);
    if (rc == companion::kIpTimedOut) {
        log(1, opening, " timed out waiting for an initial response");
    } else if (rc != companion::kIpOk) {
        log(1, opening, " failed with the error ", rc);
    } else if (!CheckSMTPResponse(reply.lastLine, expected)) {
        log(1, opening, " failed with the unexpected response ", reply.text);
    } else {
        return true;
    }
    s.Close();
    return false;
}

std::string Hex(unsigned long long n) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llx", n);
    return buf;
}

// The domain of the sender address, for the Message-ID; "localhost" without one.
std::string MessageIdDomain(std::string_view sender) {
    const size_t at = sender.rfind('@');
    std::string domain;
    if (at != std::string_view::npos) {
        for (char c : sender.substr(at + 1)) {
            if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-')
                domain += c;
        }
    }
    return domain.empty() ? "localhost" : domain;
}

std::string NewMessageId(std::string_view sender, std::time_t when) {
    // 96 random bits per message: unique without any state shared between sessions.
    std::random_device rd;
    const unsigned long long high = (static_cast<unsigned long long>(rd()) << 32) ^ rd();
    return "<" + Hex(static_cast<unsigned long long>(when)) + "." + Hex(high) + "." + Hex(rd()) +
           "@" + MessageIdDomain(sender) + ">";
}

bool IsPlainAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool HasLongLine(std::string_view crlfText) {
    size_t start = 0;
    for (;;) {
        const size_t eol = crlfText.find("\r\n", start);
        const size_t end = eol == std::string_view::npos ? crlfText.size() : eol;
        if (end - start > kMaxLineLength)
            return true;
        if (eol == std::string_view::npos)
            return false;
        start = eol + 2;
    }
}

// Quoted-printable (RFC 2045) of CR LF text: hard line breaks kept, soft breaks keep
// every line within 76 characters, blanks at a line end encoded.
std::string QuotedPrintable(std::string_view crlfText) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    size_t start = 0;
    for (;;) {
        const size_t eol = crlfText.find("\r\n", start);
        const std::string_view line = crlfText.substr(
            start, eol == std::string_view::npos ? std::string_view::npos : eol - start);
        size_t column = 0;
        for (size_t i = 0; i < line.size(); ++i) {
            const auto c = static_cast<unsigned char>(line[i]);
            const bool last = i + 1 == line.size();
            std::string token;
            if ((c >= 33 && c <= 126 && c != '=') || (IsBlank(static_cast<char>(c)) && !last)) {
                token = static_cast<char>(c);
            } else {
                token = {'=', kHex[c >> 4], kHex[c & 15]};
            }
            // Room for the soft break "=" unless this is the line's last token.
            const size_t limit = last ? kQuotedPrintableLine : kQuotedPrintableLine - 1;
            if (column + token.size() > limit) {
                out += "=\r\n";
                column = 0;
            }
            out += token;
            column += token.size();
        }
        if (eol == std::string_view::npos)
            return out;
        out += "\r\n";
        start = eol + 2;
    }
}

std::string Base64(std::string_view data) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        const unsigned n = static_cast<unsigned char>(data[i]) << 16 |
                           static_cast<unsigned char>(data[i + 1]) << 8 |
                           static_cast<unsigned char>(data[i + 2]);
        out += {kAlphabet[n >> 18], kAlphabet[(n >> 12) & 63], kAlphabet[(n >> 6) & 63],
                kAlphabet[n & 63]};
    }
    if (i < data.size()) {
        unsigned n = static_cast<unsigned char>(data[i]) << 16;
        if (i + 1 < data.size())
            n |= static_cast<unsigned char>(data[i + 1]) << 8;
        out += {kAlphabet[n >> 18], kAlphabet[(n >> 12) & 63]};
        out += i + 1 < data.size() ? kAlphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// A header line. Text beyond 7-bit ASCII is written as UTF-8 encoded words (RFC 2047), one
// per folded line, never splitting a character; a plain line over 998 characters is folded
// at blanks.
std::string HeaderLine(std::string_view name, std::string_view value) {
    std::string line = std::string(name) + ": ";
    if (!IsPlainAscii(value)) {
        constexpr size_t kChunk = 45;  // 60 characters of base64 per word
        size_t pos = 0;
        while (pos < value.size()) {
            size_t end = std::min(value.size(), pos + kChunk);
            while (end < value.size() && end > pos + 1 &&
                   (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80) {
                --end;
            }
            if (pos > 0)
                line += "\r\n ";
            line += "=?utf-8?B?" + Base64(value.substr(pos, end - pos)) + "?=";
            pos = end;
        }
        return line + "\r\n";
    }
    size_t lineStart = 0;
    for (size_t i = 0; i < value.size(); ++i) {
        if (line.size() - lineStart >= kMaxLineLength && IsBlank(value[i]) && i > 0) {
            line += "\r\n";
            lineStart = line.size();
        }
        line += value[i];
    }
    return line + "\r\n";
}

// "a@b, c@d": the recipient text as one header value.
std::string RecipientHeaderValue(std::string_view recipients) {
    std::string value;
    for (const std::string& address : SplitRecipientText(recipients)) {
        if (!value.empty())
            value += ", ";
        value += CleanHeaderValue(address);
    }
    return value;
}

// Fills the caller's error text as described for kvZNNotify_SMTPSend.
void FillErrorText(std::string& errorText, size_t size, int code, const std::string& reply) {
    errorText.clear();
    if (size == 0)
        return;
    errorText = "Unable to send the requested e-mail";
    if (size >= 100) {
        errorText += ". The server's last response (" + std::to_string(code) + ") was " + reply;
    }
    if (errorText.size() > size - 1)
        errorText.resize(size - 1);
}

}  // namespace

SmtpReplyScan ScanSmtpReply(std::string_view received) {
    SmtpReplyScan scan;
    size_t pos = 0;
    std::string text;
    for (;;) {
        const size_t eol = received.find('\n', pos);
        if (eol == std::string_view::npos)
            return SmtpReplyScan{};
        std::string_view line = received.substr(pos, eol - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        pos = eol + 1;
        if (!text.empty())
            text += ' ';
        text += line;
        const bool continuation = line.size() >= 4 && IsDigit(line[0]) && IsDigit(line[1]) &&
                                  IsDigit(line[2]) && line[3] == '-';
        if (!continuation) {
            scan.complete = true;
            scan.length = pos;
            scan.lastLine = std::string(line);
            scan.text = std::move(text);
            return scan;
        }
    }
}

std::string NormaliseLineEnds(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string DotStuff(std::string_view crlfText) {
    std::string out;
    out.reserve(crlfText.size() + 8);
    bool lineStart = true;
    for (char c : crlfText) {
        if (lineStart && c == '.')
            out += '.';
        out += c;
        lineStart = c == '\n';
    }
    return out;
}

std::string CleanHeaderValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    bool inBreak = false;
    for (char c : value) {
        if (c == '\r' || c == '\n') {
            if (!inBreak)
                out += ' ';
            inBreak = true;
            continue;
        }
        inBreak = false;
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7f)
            continue;
        out += c;
    }
    return out;
}

std::vector<std::string> SplitRecipientText(std::string_view recipients) {
    std::vector<std::string> addresses;
    size_t start = 0;
    while (start <= recipients.size()) {
        size_t end = recipients.find_first_of(",\r\n", start);
        if (end == std::string_view::npos)
            end = recipients.size();
        const std::string_view item = platform::TrimBlanks(recipients.substr(start, end - start));
        if (!item.empty())
            addresses.emplace_back(item);
        start = end + 1;
    }
    return addresses;
}

std::string MailFromCommand(std::string_view sender) {
    const std::string clean = CleanHeaderValue(sender);
    const std::string_view s = platform::TrimBlanks(clean);
    if (!s.empty() && s.front() == '<')
        return "MAIL FROM: " + std::string(s) + "\r\n";
    return "MAIL FROM: <" + std::string(s) + ">\r\n";
}

std::string RcptToCommand(std::string_view address) {
    const std::string clean = CleanHeaderValue(address);
    const std::string_view a = platform::TrimBlanks(clean);
    if (!a.empty() && a.front() == '<')
        return "RCPT TO: " + std::string(a) + "\r\n";
    return "RCPT TO: <" + std::string(a) + ">\r\n";
}

std::string MailDateText(std::time_t when) {
    static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                         "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm t{};
    ::localtime_r(&when, &t);
    const long offset = t.tm_gmtoff / 60;
    const long absOffset = offset < 0 ? -offset : offset;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[static_cast<size_t>(t.tm_wday) % 7], t.tm_mday,
                  kMonths[static_cast<size_t>(t.tm_mon) % 12], t.tm_year + 1900, t.tm_hour,
                  t.tm_min, t.tm_sec, offset < 0 ? '-' : '+', absOffset / 60, absOffset % 60);
    return buf;
}

std::string BuildMessageData(std::string_view sender, std::string_view recipients,
                             std::string_view subject, std::string_view body, std::time_t when,
                             std::string_view messageId) {
    const std::string cleanSender = CleanHeaderValue(sender);
    std::string text = NormaliseLineEnds(body);
    const bool encode = !IsPlainAscii(text) || HasLongLine(text);
    if (encode)
        text = QuotedPrintable(text);

    std::string data;
    data += HeaderLine("Date", MailDateText(when));
    data += HeaderLine("From", platform::TrimBlanks(cleanSender));
    data += HeaderLine("To", RecipientHeaderValue(recipients));
    data += HeaderLine("Subject", CleanHeaderValue(subject));
    data += HeaderLine("Message-ID", CleanHeaderValue(messageId));
    data += "MIME-Version: 1.0\r\n";
    data += "Content-Type: text/plain; charset=utf-8\r\n";
    data += encode ? "Content-Transfer-Encoding: quoted-printable\r\n"
                   : "Content-Transfer-Encoding: 7bit\r\n";
    data += "\r\n";
    data += DotStuff(text);
    data += "\r\n\r\n.\r\n";
    return data;
}

int CheckSMTPResponse(std::string_view reply, std::string_view expected) {
    const size_t n = std::min<size_t>(3, expected.size());
    const bool match =
        reply.size() >= n && platform::EqualsNoCase(reply.substr(0, n), expected.substr(0, n));
    if (!match) {
        companion::Logger(kModule, "CheckSMTPResponse")(
            1, "An error occurred during an SMTP transmission. Response expected: ", expected,
            ", response received ", reply.substr(0, 49));
    }
    return match ? 1 : 0;
}

int SmtpSession::Close() {
    pending.clear();
    if (tls) {
        tls->Bye();
        tls.reset();
    }
    return companion::IpClose(sock);
}

SmtpExtensions ParseEhloReply(std::string_view replyText) {
    SmtpExtensions ext;
    // The reply's lines are joined by blanks: look at each "250-" or "250 " item.
    std::string upper;
    for (char c : replyText) {
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    size_t pos = 0;
    while ((pos = upper.find("250", pos)) != std::string::npos) {
        if (pos + 3 < upper.size() && (upper[pos + 3] == '-' || upper[pos + 3] == ' ') &&
            (pos == 0 || upper[pos - 1] == ' ')) {
            size_t end = upper.find(" 250", pos + 4);
            const std::string_view line = std::string_view(upper).substr(
                pos + 4, end == std::string::npos ? std::string::npos : end - pos - 4);
            if (line == "STARTTLS") {
                ext.startTls = true;
            } else if (line.starts_with("AUTH ") || line.starts_with("AUTH=")) {
                for (std::string_view rest = line.substr(5); !rest.empty();) {
                    const size_t blank = rest.find(' ');
                    const std::string_view mech = rest.substr(0, blank);
                    ext.authPlain = ext.authPlain || mech == "PLAIN";
                    ext.authLogin = ext.authLogin || mech == "LOGIN";
                    rest = blank == std::string_view::npos ? std::string_view()
                                                           : rest.substr(blank + 1);
                }
            }
        }
        pos += 3;
    }
    return ext;
}

std::string Base64Text(std::string_view text) {
    return Base64(text);
}

std::string AuthPlainCommand(std::string_view user, std::string_view password) {
    std::string token;
    token += '\0';
    token += user;
    token += '\0';
    token += password;
    return "AUTH PLAIN " + Base64(token) + "\r\n";
}

namespace {

// One command and its reply, whose code must begin with `expected`.
bool Command(SmtpSession& s, const std::string& text, std::string_view expected,
             SmtpReplyScan& reply) {
    if (SessionSend(s, text) != companion::kIpOk || ReadReply(s, reply) != companion::kIpOk) {
        reply = SmtpReplyScan{};
        return false;
    }
    return reply.lastLine.size() >= 3 &&
           platform::EqualsNoCase(std::string_view(reply.lastLine).substr(0, 3), expected);
}

// EHLO (HELO when the server knows no EHLO and nothing more is asked), STARTTLS and AUTH as
// `security` asks. Closes the session on failure.
bool ExtendedGreeting(SmtpSession& s, std::string_view server, const std::string& name,
                      const SmtpSecurity& security, const std::string& opening,
                      const companion::Logger& log) {
    auto fail = [&](const std::string& why) {
        log(1, opening, " ", why);
        s.Close();
        return false;
    };
    SmtpReplyScan reply;
    if (!Command(s, "EHLO " + name + "\r\n", "250", reply)) {
        if (security.tls == SmtpTls::kRequired || !security.user.empty() || !s.Open()) {
            return fail("failed: the server does not take EHLO (" + reply.text + ")");
        }
        if (SessionSend(s, "HELO " + name + "\r\n") != companion::kIpOk) {
            return fail(
                "could not be established. The first greeting was not accepted by the "
                "Server");
        }
        return ExpectConnectReply(s, "250", opening, log);
    }
    SmtpExtensions ext = ParseEhloReply(reply.text);
    if (security.tls != SmtpTls::kOff && ext.startTls) {
        if (!Command(s, "STARTTLS\r\n", "220", reply)) {
            return fail("failed: STARTTLS was refused (" + reply.text + ")");
        }
        auto tls =
            platform::StartTlsSession(s.sock.fd(), server, security.trust, kSmtpReplyTimeout);
        if (!tls.ok()) {
            return fail("failed: the TLS handshake failed. " + tls.status().Text());
        }
        s.tls = std::move(*tls);
        s.pending.clear();
        if (!Command(s, "EHLO " + name + "\r\n", "250", reply)) {
            return fail("failed: EHLO over TLS was refused (" + reply.text + ")");
        }
        ext = ParseEhloReply(reply.text);
    } else if (security.tls == SmtpTls::kRequired) {
        return fail("failed: the server does not offer STARTTLS, which is required");
    }
    if (security.user.empty()) {
        return true;
    }
    if (!s.Encrypted()) {
        return fail("failed: the user name and password are only sent over an encrypted session");
    }
    if (ext.authPlain) {
        if (!Command(s, AuthPlainCommand(security.user, security.password), "235", reply)) {
            return fail("failed: the server refused the logon (" + reply.text + ")");
        }
        return true;
    }
    if (ext.authLogin) {
        if (!Command(s, "AUTH LOGIN\r\n", "334", reply) ||
            !Command(s, Base64(security.user) + "\r\n", "334", reply) ||
            !Command(s, Base64(security.password) + "\r\n", "235", reply)) {
            return fail("failed: the server refused the logon (" + reply.text + ")");
        }
        return true;
    }
    return fail("failed: the server offers neither AUTH PLAIN nor AUTH LOGIN");
}

}  // namespace

int kvZNNotify_SMTPConnect(SmtpSession& s, std::string_view server, std::string_view greetingName,
                           int port, const SmtpSecurity& security) {
    const companion::Logger log(kModule, "kvZNNotify_SMTPConnect");
    if (s.Open()) {
        log(2, "An existing SMTP connection already exists. It will be disconnected");
        s.Close();
    }
    s.pending.clear();

    std::string reason = "port " + std::to_string(port) + " is not a TCP port";
    const int rc = port > 0 && port <= 65535
                       ? companion::IpConnect(s.sock, server, static_cast<uint16_t>(port),
                                              kSmtpConnectTimeout, &reason)
                       : EINVAL;
    if (rc != companion::kIpOk) {
        log(1, "Unable to send SMTP message as a connection to the target server ", server,
            " could not be established. Error ", rc);
        log(4, reason);
        return 0;
    }

    const std::string opening =
        "Unable to send SMTP message as the connection to the target server " + std::string(server);
    if (!ExpectConnectReply(s, "220", opening, log))
        return 0;
    const std::string name(platform::TrimBlanks(CleanHeaderValue(greetingName)));
    const bool extended = security.tls != SmtpTls::kOff || !security.user.empty();
    if (!extended) {
        if (SessionSend(s, "HELO " + name + "\r\n") != companion::kIpOk) {
            log(1, opening,
                " could not be established. The first greeting was not accepted by the Server");
            s.Close();
            return 0;
        }
        return ExpectConnectReply(s, "250", opening, log) ? 1 : 0;
    }
    return ExtendedGreeting(s, server, name, security, opening, log) ? 1 : 0;
}

int kvZNNotify_SMTPSend(SmtpSession& s, std::string_view sender, std::string_view recipients,
                        std::string_view subject, std::string_view body, std::string& errorText,
                        size_t errorTextSize) {
    const companion::Logger log(kModule, "kvZNNotify_SMTPSend");
    if (!s.Open()) {
        log(1, "Unable to send SMTP message. No SMTP connection exists");
        return 0;
    }
    if (sender.empty() || recipients.empty() || body.empty()) {
        log(1,
            "Unable to send SMTP message. One or more incoming parameters have not been "
            "specified");
        return 0;
    }
    std::vector<std::string> addresses;
    try {
        addresses = SplitRecipientText(recipients);
    } catch (const std::bad_alloc&) {
        log(1, "Insufficient memory available to build recipient list");
        return 0;
    }
    if (addresses.empty()) {
        log(1, "Cannot send mail as there are no valid recipients");
        return 0;
    }
    std::string data;
    try {
        const std::time_t now = std::time(nullptr);
        data = BuildMessageData(sender, recipients, subject, body, now, NewMessageId(sender, now));
    } catch (const std::bad_alloc&) {
        log(1, "Insufficient memory available to send SMTP message text");
        return 0;
    }

    int code = 0;
    std::string lastCommand;
    std::string lastReply;
    // Sends one command (or the message text) and checks the reply's code.
    auto exchange = [&](const std::string& text, std::string shown, std::string_view expected) {
        lastCommand = std::move(shown);
        lastReply.clear();
        int rc = SessionSend(s, text);
        if (rc != companion::kIpOk) {
            code = rc;
            return false;
        }
        SmtpReplyScan reply;
        rc = ReadReply(s, reply);
        if (rc != companion::kIpOk) {
            code = rc;
            return false;
        }
        lastReply = reply.text;
        if (!CheckSMTPResponse(reply.lastLine, expected)) {
            code = -1;
            return false;
        }
        return true;
    };
    auto commandText = [](const std::string& line) { return line.substr(0, line.size() - 2); };

    bool ok = true;
    const std::string mailFrom = MailFromCommand(sender);
    ok = exchange(mailFrom, commandText(mailFrom), "250");
    for (size_t i = 0; ok && i < addresses.size(); ++i) {
        const std::string rcpt = RcptToCommand(addresses[i]);
        ok = exchange(rcpt, commandText(rcpt), "250");
    }
    ok = ok && exchange("DATA\r\n", "DATA", "354");
    ok =
        ok && exchange(data, "the message text (" + std::to_string(data.size()) + " bytes)", "250");
    ok = ok && exchange("QUIT\r\n", "QUIT", "221");
    if (ok)
        return 1;

    if (!lastCommand.empty())
        log(2, "Unable to send SMTP message. The original request was ", lastCommand);
    const std::string shownReply = lastReply.empty() ? "[no response]" : lastReply;
    FillErrorText(errorText, errorTextSize, code, shownReply);
    log(1, "Unable to send SMTP message. The server's response (", code, ") was ", shownReply);
    return 0;
}

int kvZNNotify_SMTPDisconnect(SmtpSession& s) {
    const companion::Logger log(kModule, "kvZNNotify_SMTPDisconnect");
    if (!s.Open()) {
        log(1, "Unable to disconnect. No SMTP connection exists");
        return 0;
    }
    const int rc = s.Close();
    if (rc != companion::kIpOk) {
        log(1, "An error occurred whilst disconnecting from the SMTP server. Error ", rc);
        return 0;
    }
    return 1;
}

int kvZNNotify_SMTPConnectAndSend(std::string_view server, std::string_view greetingName, int port,
                                  std::string_view sender, std::string_view recipients,
                                  std::string_view subject, std::string_view body,
                                  const SmtpProgress& progress, const SmtpSecurity& security) {
    const companion::Logger log(kModule, "kvZNNotify_SMTPConnectAndSend");
    auto show = [&progress](std::string_view line) {
        if (progress)
            progress(line);
    };
    SmtpSession session;
    show("Connecting to the SMTP server ...");
    if (!kvZNNotify_SMTPConnect(session, server, greetingName, port, security)) {
        log(1, "Unable to connect to the SMTP Server ", server);
        show("Error: Unable to connect to the SMTP server ...");
        show("Please check the server name, port number, that the SMTP service is running and is ");
        show("available over the network.");
        return 0;
    }
    show("Sending the SMTP (e-mail) message ...");
    std::string errorText;
    if (!kvZNNotify_SMTPSend(session, sender, recipients, subject, body, errorText,
                             kSmtpErrorTextSize)) {
        log(1, "An error occurred sending SMTP message to the Server ", server);
        kvZNNotify_SMTPDisconnect(session);
        show("Error: Unable to send the SMTP (e-mail) message ...");
        show("Please check the Korvane log file for more information on this error.");
        return 0;
    }
    show("The e-mail was sent successfully ...");
    if (!kvZNNotify_SMTPDisconnect(session)) {
        log(2, "Unable to disconnect SMTP connection to server ", server);
        return 0;
    }
    return 1;
}

}  // namespace kvzn::channels
