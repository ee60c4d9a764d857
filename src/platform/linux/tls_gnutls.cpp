// TLS client sessions with GnuTLS, the library the CUPS library already brings in.
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <string>

#include "platform/tls.h"

namespace kvzn::platform {

namespace {

bool Retry(int rc) {
    return rc == GNUTLS_E_AGAIN || rc == GNUTLS_E_INTERRUPTED;
}

class GnuTlsSession final : public TlsSession {
  public:
    GnuTlsSession(int fd) : fd_(fd) {}
    ~GnuTlsSession() override {
        if (session_ != nullptr) {
            gnutls_deinit(session_);
        }
        if (credentials_ != nullptr) {
            gnutls_certificate_free_credentials(credentials_);
        }
    }

    Status Start(std::string_view hostName, const TlsTrust& trust, int timeoutSeconds) {
        int rc = gnutls_certificate_allocate_credentials(&credentials_);
        if (rc < 0) {
            return Fail("gnutls_certificate_allocate_credentials", rc);
        }
        rc = trust.caFile.empty() ? gnutls_certificate_set_x509_system_trust(credentials_)
                                  : gnutls_certificate_set_x509_trust_file(
                                        credentials_, trust.caFile.c_str(), GNUTLS_X509_FMT_PEM);
        if (rc <= 0) {
            return Status::Error(EINVAL,
                                 (trust.caFile.empty() ? std::string("the system's trust store")
                                                       : "the CA file " + trust.caFile) +
                                     " holds no usable certificate" +
                                     (rc < 0 ? std::string(": ") + gnutls_strerror(rc) : ""));
        }
        rc = gnutls_init(&session_, GNUTLS_CLIENT);
        if (rc < 0) {
            session_ = nullptr;
            return Fail("gnutls_init", rc);
        }
        const std::string host(hostName);
        gnutls_set_default_priority(session_);
        gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, credentials_);
        gnutls_server_name_set(session_, GNUTLS_NAME_DNS, host.data(), host.size());
        gnutls_session_set_verify_cert(session_, host.c_str(), 0);
        gnutls_transport_set_int(session_, fd_);
        gnutls_handshake_set_timeout(session_, static_cast<unsigned>(timeoutSeconds) * 1000);
        do {
            rc = gnutls_handshake(session_);
        } while (rc < 0 && !gnutls_error_is_fatal(rc));
        if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
            gnutls_datum_t text{};
            const unsigned status = gnutls_session_get_verify_cert_status(session_);
            std::string why = "certificate verification failed";
            if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) ==
                0) {
                why = "the server's certificate is not accepted: " +
                      std::string(reinterpret_cast<char*>(text.data), text.size);
                gnutls_free(text.data);
            }
            return Status::Error(EACCES, why);
        }
        if (rc == GNUTLS_E_TIMEDOUT) {
            return Status::Error(ETIMEDOUT, "the TLS handshake timed out");
        }
        if (rc < 0) {
            return Fail("gnutls_handshake", rc);
        }
        return Status::Ok();
    }

    Status Send(std::string_view data, int timeoutSeconds) override {
        SetSendTimeout(timeoutSeconds);
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = gnutls_record_send(session_, data.data() + done, data.size() - done);
            if (n >= 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n == GNUTLS_E_AGAIN && errno == EAGAIN) {
                return Status::Error(ETIMEDOUT, "the peer took no data in time");
            }
            if (!Retry(static_cast<int>(n))) {
                return Fail("gnutls_record_send", static_cast<int>(n));
            }
        }
        return Status::Ok();
    }

    Status Receive(std::string& out, size_t maxLength, int timeoutSeconds) override {
        gnutls_record_set_timeout(session_, static_cast<unsigned>(timeoutSeconds) * 1000);
        std::string buffer(maxLength == 0 ? 1 : maxLength, '\0');
        for (;;) {
            const ssize_t n = gnutls_record_recv(session_, buffer.data(), buffer.size());
            if (n > 0) {
                out.append(buffer.data(), static_cast<size_t>(n));
                return Status::Ok();
            }
            if (n == 0) {
                return Status::Error(ECONNRESET, "the peer ended the TLS session");
            }
            if (n == GNUTLS_E_TIMEDOUT) {
                return Status::Error(ETIMEDOUT, "no data within the time-out");
            }
            if (n == GNUTLS_E_PREMATURE_TERMINATION) {
                return Status::Error(ECONNRESET, "the peer closed the connection");
            }
            if (!Retry(static_cast<int>(n))) {
                return Fail("gnutls_record_recv", static_cast<int>(n));
            }
        }
    }

    void Bye() override {
        SetSendTimeout(2);
        gnutls_bye(session_, GNUTLS_SHUT_WR);
    }

  private:
    static Status Fail(const char* call, int rc) {
        return Status::Error(EPROTO, std::string(call) + ": " + gnutls_strerror(rc));
    }
    void SetSendTimeout(int seconds) {
        timeval tv{seconds, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }

    int fd_;
    gnutls_certificate_credentials_t credentials_ = nullptr;
    gnutls_session_t session_ = nullptr;
};

}  // namespace

Result<std::unique_ptr<TlsSession>> StartTlsSession(int fd, std::string_view hostName,
                                                    const TlsTrust& trust, int timeoutSeconds) {
    auto session = std::make_unique<GnuTlsSession>(fd);
    if (Status st = session->Start(hostName, trust, timeoutSeconds); !st.ok()) {
        return st;
    }
    return std::unique_ptr<TlsSession>(std::move(session));
}

}  // namespace kvzn::platform
