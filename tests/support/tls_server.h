#ifndef CATRACA_TESTS_TLS_SERVER_H
#define CATRACA_TESTS_TLS_SERVER_H

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "loopback.h"

struct x509_st;
struct evp_pkey_st;

namespace testsupport {

// A client's certificate and key, in files.
struct ClientCertificate {
    std::string certFile;
    std::string keyFile;
};

// A private certificate authority made at test time (never stored anywhere but the
// temporary directory): ca.pem, and server.pem with server.key for 127.0.0.1,
// signed by it.
class TestCertificates {
  public:
    explicit TestCertificates(const TempDir& dir);
    std::string caFile;
    std::string certFile;
    std::string keyFile;

    // A client certificate with the common name `name` (two, "a\nb", for a line end),
    // signed by the authority: valid
    // for a day, or, when `expired`, until an hour ago.
    ClientCertificate client(const std::string& name, bool expired = false);

  private:
    std::string dir_;
    std::shared_ptr<x509_st> ca_;
    std::shared_ptr<evp_pkey_st> caKey_;
    long serial_ = 2;
};

// An HTTPS server on 127.0.0.1 and a port the system picks, with the certificate and
// key given, serving connections one after another on a thread of its own: each
// request (head plus Content-Length bytes of body) gets `answer(method, target)`,
// a status and a body. Handshakes the client breaks off are dropped. The destructor
// stops and joins it.
class TlsServer {
  public:
    TlsServer(const TestCertificates& certs,
              std::function<std::pair<int, std::string>(const std::string& method,
                                                        const std::string& target)>
                  answer);
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    int port() const { return port_; }
    // Requests read over completed handshakes.
    int requests() const { return requests_; }

  private:
    void run();

    void* ctx_ = nullptr;  // SSL_CTX
    int listenFd_ = -1;
    int port_ = 0;
    std::function<std::pair<int, std::string>(const std::string&, const std::string&)> answer_;
    std::atomic<int> requests_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace testsupport

#endif
