// A private HTTP (or HTTPS) server on loopback that records every request it receives and
// answers with a fixed reply, and a throw-away certificate authority for it.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/child_process.h"
#include "support/mail_server.h"
#include "support/test_support.h"

namespace kvzn::test {

// A CA and a server certificate for "localhost" and 127.0.0.1 signed by it, made with
// certtool in `dir`.
struct TestCertificates {
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    std::string error;  // empty when all were made
};

inline TestCertificates MakeTestCertificates(const std::string& dir) {
    TestCertificates c{dir + "/ca.pem", dir + "/server.pem", dir + "/server.key", {}};
    WriteFile(dir + "/ca.tmpl",
              "cn = \"kvZN Test CA\"\nca\ncert_signing_key\nexpiration_days = 2\n");
    WriteFile(dir + "/server.tmpl",
              "cn = \"localhost\"\ndns_name = \"localhost\"\nip_address = \"127.0.0.1\"\n"
              "tls_www_server\nencryption_key\nsigning_key\nexpiration_days = 2\n");
    const std::vector<std::vector<std::string>> steps = {
        {"certtool", "--generate-privkey", "--outfile", dir + "/ca.key"},
        {"certtool", "--generate-self-signed", "--load-privkey", dir + "/ca.key", "--template",
         dir + "/ca.tmpl", "--outfile", c.caFile},
        {"certtool", "--generate-privkey", "--outfile", c.keyFile},
        {"certtool", "--generate-certificate", "--load-privkey", c.keyFile, "--load-ca-certificate",
         c.caFile, "--load-ca-privkey", dir + "/ca.key", "--template", dir + "/server.tmpl",
         "--outfile", c.certFile},
    };
    for (const auto& step : steps) {
        const platform::Status st = platform::RunCommandChecked(step, std::chrono::seconds(60));
        if (!st.ok()) {
            c.error = st.Text();
            return c;
        }
    }
    return c;
}

// Each request is written to "<dir>/request-N" as received (head and body), in order.
class CaptureServer {
  public:
    // `reply` is sent whole after each request; with `certs` the server speaks HTTPS.
    CaptureServer(const std::string& dir, const std::string& reply,
                  const TestCertificates* certs = nullptr)
        : port_(FreeLoopbackPort()), dir_(dir + "/capture-" + std::to_string(port_)) {
        std::filesystem::create_directories(dir_);
        WriteFile(dir_ + "/reply", reply);
        WriteFile(dir_ + "/capture.py", kScript);
        std::vector<std::string> argv = {kMailPython, dir_ + "/capture.py", std::to_string(port_),
                                         dir_};
        if (certs != nullptr) {
            argv.push_back(certs->certFile);
            argv.push_back(certs->keyFile);
        }
        server_.emplace(argv);
        ready_ = server_->WaitForOutput("listening", std::chrono::seconds(10));
    }
    bool ready() const { return ready_; }
    uint16_t port() const { return port_; }
    std::string Output() { return server_->Output(); }
    // The requests received so far.
    std::vector<std::string> Requests() const {
        std::vector<std::string> out;
        for (int n = 1; std::filesystem::exists(dir_ + "/request-" + std::to_string(n)); ++n) {
            out.push_back(ReadFile(dir_ + "/request-" + std::to_string(n)));
        }
        return out;
    }

  private:
    static constexpr const char* kScript =
        "import os, socket, ssl, sys\n"
        "port, folder = int(sys.argv[1]), sys.argv[2]\n"
        "reply = open(os.path.join(folder, 'reply'), 'rb').read()\n"
        "ctx = None\n"
        "if len(sys.argv) > 4:\n"
        "    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)\n"
        "    ctx.load_cert_chain(sys.argv[3], sys.argv[4])\n"
        "srv = socket.socket()\n"
        "srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
        "srv.bind(('127.0.0.1', port))\n"
        "srv.listen(8)\n"
        "print('listening', flush=True)\n"
        "count = 0\n"
        "while True:\n"
        "    conn, _ = srv.accept()\n"
        "    try:\n"
        "        if ctx:\n"
        "            conn = ctx.wrap_socket(conn, server_side=True)\n"
        "        conn.settimeout(10)\n"
        "        data = b''\n"
        "        while b'\\r\\n\\r\\n' not in data:\n"
        "            chunk = conn.recv(65536)\n"
        "            if not chunk: break\n"
        "            data += chunk\n"
        "        head, _, body = data.partition(b'\\r\\n\\r\\n')\n"
        "        length = 0\n"
        "        for line in head.split(b'\\r\\n'):\n"
        "            if line.lower().startswith(b'content-length:'):\n"
        "                length = int(line.split(b':')[1])\n"
        "        while len(body) < length:\n"
        "            chunk = conn.recv(65536)\n"
        "            if not chunk: break\n"
        "            body += chunk\n"
        "        count += 1\n"
        "        path = os.path.join(folder, 'request-%d' % count)\n"
        "        open(path + '.part', 'wb').write(head + b'\\r\\n\\r\\n' + body)\n"
        "        os.rename(path + '.part', path)\n"
        "        conn.sendall(reply)\n"
        "    except Exception as e:\n"
        "        print('failed:', e, flush=True)\n"
        "    finally:\n"
        "        conn.close()\n";

    uint16_t port_;
    std::string dir_;
    std::optional<ChildProcess> server_;
    bool ready_ = false;
};

// A private rsyslogd receiving UDP datagrams on a loopback port and writing each as
// "PRI|HOST|TAG|RAW DATAGRAM" lines to "<dir>/syslog.out".
class PrivateRsyslog {
  public:
    explicit PrivateRsyslog(const std::string& dir)
        : port_(FreeLoopbackPort()), dir_(dir + "/rsyslog-" + std::to_string(port_)) {
        std::filesystem::create_directories(dir_);
        WriteFile(dir_ + "/rsyslog.conf",
                  "global(workDirectory=\"" + dir_ +
                      "\")\n"
                      "module(load=\"imudp\")\n"
                      "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" +
                      std::to_string(port_) +
                      "\")\n"
                      "template(name=\"fields\" type=\"string\" "
                      "string=\"%pri%|%hostname%|%programname%|%rawmsg%\\n\")\n"
                      "*.* action(type=\"omfile\" file=\"" +
                      dir_ + "/syslog.out\" template=\"fields\")\n");
        server_.emplace(std::vector<std::string>{"rsyslogd", "-n", "-f", dir_ + "/rsyslog.conf",
                                                 "-i", dir_ + "/rsyslog.pid"});
    }
    uint16_t port() const { return port_; }
    std::string Received() const {
        return std::filesystem::exists(dir_ + "/syslog.out") ? ReadFile(dir_ + "/syslog.out") : "";
    }
    // Sends probes until one arrives (the input is open), at most 10 seconds.
    bool WaitReady(const std::function<void()>& probe) {
        return WaitUntil(
            [&] {
                probe();
                return !Received().empty();
            },
            std::chrono::seconds(10));
    }
    std::string Output() { return server_->Output(); }

  private:
    uint16_t port_;
    std::string dir_;
    std::optional<ChildProcess> server_;
};

}  // namespace kvzn::test
