#include "tls_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>

namespace testsupport {

namespace {

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr) {
        throw std::runtime_error("test certificate: bad extension");
    }
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

enum class Kind { Authority, Server, Client };

// A certificate for `key` named `cn`, signed by `issuerKey` (itself when the issuer
// is null), valid from an hour ago until `until` seconds from now.
X509* certificate(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuerKey, long serial,
                  Kind kind = Kind::Server, long until = 24 * 3600) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -7200);
    X509_gmtime_adj(X509_getm_notAfter(cert), until);
    X509_set_pubkey(cert, key);
    std::istringstream names(cn);  // a name with a line end is two common names
    for (std::string one; std::getline(names, one);) {
        X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(one.c_str()), -1, -1, 0);
    }
    X509_set_issuer_name(cert, X509_get_subject_name(issuer == nullptr ? cert : issuer));
    if (kind == Kind::Authority) {
        addExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else if (kind == Kind::Server) {
        addExtension(cert, issuer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert, issuer, NID_subject_alt_name, "IP:127.0.0.1");
        addExtension(cert, issuer, NID_ext_key_usage, "serverAuth");
    } else {
        addExtension(cert, issuer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert, issuer, NID_ext_key_usage, "clientAuth");
    }
    X509_sign(cert, issuerKey, EVP_sha256());
    return cert;
}

void writePem(const std::string& path, X509* cert, EVP_PKEY* key) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        throw std::runtime_error("test certificate: cannot write " + path);
    }
    if (cert != nullptr) {
        PEM_write_X509(f, cert);
    } else {
        PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    }
    std::fclose(f);
}

}  // namespace

TestCertificates::TestCertificates(const TempDir& dir)
    : caFile(dir.file("ca.pem")),
      certFile(dir.file("server.pem")),
      keyFile(dir.file("server.key")),
      dir_(dir.path()),
      caKey_(EVP_EC_gen("P-256"), EVP_PKEY_free) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    ca_.reset(certificate(caKey_.get(), "catraca test authority", nullptr, caKey_.get(), 1,
                          Kind::Authority),
              X509_free);
    X509* server = certificate(key, "127.0.0.1", ca_.get(), caKey_.get(), 2);
    writePem(caFile, ca_.get(), nullptr);
    writePem(certFile, server, nullptr);
    writePem(keyFile, nullptr, key);
    X509_free(server);
    EVP_PKEY_free(key);
}

ClientCertificate TestCertificates::client(const std::string& name, bool expired) {
    ClientCertificate made;
    const long serial = ++serial_;
    const std::string base = dir_ + "/client-" + std::to_string(serial);
    made.certFile = base + ".pem";
    made.keyFile = base + ".key";
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = certificate(key, name.c_str(), ca_.get(), caKey_.get(), serial, Kind::Client,
                             expired ? -3600 : 24 * 3600);
    writePem(made.certFile, cert, nullptr);
    writePem(made.keyFile, nullptr, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return made;
}

TlsServer::TlsServer(
    const TestCertificates& certs,
    std::function<std::pair<int, std::string>(const std::string&, const std::string&)> answer)
    : answer_(std::move(answer)) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr ||
        SSL_CTX_use_certificate_file(ctx, certs.certFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, certs.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(ctx);
        throw std::runtime_error("tls server: cannot load the certificate");
    }
    ctx_ = ctx;
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd_, 8) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("tls server: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

TlsServer::~TlsServer() {
    stopping_ = true;
    // Wakes the accept; on Linux a shut-down listener refuses every later connection.
    shutdown(listenFd_, SHUT_RDWR);
    thread_.join();
    close(listenFd_);
    SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
}

void TlsServer::run() {
    while (!stopping_) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        SSL* ssl = SSL_new(static_cast<SSL_CTX*>(ctx_));
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            std::string in;
            size_t total = std::string::npos;
            char buf[4096];
            while (total == std::string::npos || in.size() < total) {
                int n = SSL_read(ssl, buf, sizeof buf);
                if (n <= 0) {
                    break;
                }
                in.append(buf, static_cast<size_t>(n));
                size_t end = in.find("\r\n\r\n");
                if (total == std::string::npos && end != std::string::npos) {
                    size_t at = in.find("Content-Length: ");
                    total = end + 4 +
                            (at == std::string::npos || at > end
                                 ? 0
                                 : std::strtoul(in.c_str() + at + 16, nullptr, 10));
                }
            }
            if (total != std::string::npos && in.size() >= total) {
                ++requests_;
                size_t sp = in.find(' ');
                std::pair<int, std::string> a =
                    answer_(in.substr(0, sp), in.substr(sp + 1, in.find(' ', sp + 1) - sp - 1));
                std::string out = "HTTP/1.1 " + std::to_string(a.first) +
                                  " Test\r\nConnection: close\r\nContent-Length: " +
                                  std::to_string(a.second.size()) + "\r\n\r\n" + a.second;
                SSL_write(ssl, out.data(), static_cast<int>(out.size()));
            }
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        close(fd);
    }
}

}  // namespace testsupport
