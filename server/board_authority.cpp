#include "board_authority.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

namespace ru {

namespace {

constexpr std::chrono::seconds kLookInterval{1};
// One authority, and its successor while boards move to it, is what a restaurant needs.
constexpr int kFewAuthorities = 3;

struct InfoFree {
    void operator()(STACK_OF(X509_INFO) * infos) const {
        sk_X509_INFO_pop_free(infos, X509_INFO_free);
    }
};
struct StoreFree {
    void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
using Infos = std::unique_ptr<STACK_OF(X509_INFO), InfoFree>;

// The reason of OpenSSL's latest error, and its queue emptied.
std::string sslReason() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    return reason != nullptr ? reason : "not PEM";
}

// Every certificate and revocation list of the PEM file at `path`.
Infos readPem(const std::string& path, const char* what) {
    BIO* bio = BIO_new_file(path.c_str(), "r");
    if (bio == nullptr) {
        const int error = errno;
        ERR_clear_error();
        throw AuthorityError(std::string("cannot read the ") + what + " " + path + ": " +
                             std::strerror(error));
    }
    Infos infos(PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    if (!infos) {
        throw AuthorityError(std::string("cannot read the ") + what + " " + path + ": " +
                             sslReason());
    }
    return infos;
}

// The subject of `certificate` in one line, for messages.
std::string subjectOf(X509* certificate) {
    char* text = X509_NAME_oneline(X509_get_subject_name(certificate), nullptr, 0);
    std::string subject = text != nullptr ? text : "?";
    OPENSSL_free(text);
    return subject;
}

// The ex_data slot of a connection that keeps the first fault its certificate's
// verification found, since the handshake goes on whatever it finds.
int faultIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// A list past its next update still revokes what it names; refusing every board until
// someone makes a new one would stop the restaurant. So does a list whose start is still
// to come, as it is when this machine's clock is behind the authority's.
bool tolerated(long fault) {
    return fault == X509_V_ERR_CRL_HAS_EXPIRED || fault == X509_V_ERR_CRL_NOT_YET_VALID;
}

int keepGoing(int ok, X509_STORE_CTX* verification) {
    const int fault = X509_STORE_CTX_get_error(verification);
    if (ok == 0 && !tolerated(fault)) {
        auto* connection = static_cast<SSL*>(
            X509_STORE_CTX_get_ex_data(verification, SSL_get_ex_data_X509_STORE_CTX_idx()));
        if (connection != nullptr && SSL_get_ex_data(connection, faultIndex()) == nullptr) {
            SSL_set_ex_data(connection, faultIndex(),
                            reinterpret_cast<void*>(static_cast<std::intptr_t>(fault)));
        }
    }
    // The route decides: a client whose certificate fails is at most a viewer.
    return 1;
}

// keepGoing for a verification made after the handshake: the first fault goes to the
// int that the context's application data points at.
int keepFirstFault(int ok, X509_STORE_CTX* verification) {
    const int fault = X509_STORE_CTX_get_error(verification);
    auto* first = static_cast<int*>(X509_STORE_CTX_get_app_data(verification));
    if (ok == 0 && !tolerated(fault) && *first == 0) {
        *first = fault;
    }
    return 1;
}

// The board's name in `certificate`, its one common name, or nothing with why in `refused`.
std::optional<std::string> boardNameOf(X509* certificate, std::string& refused) {
    X509_NAME* subject = X509_get_subject_name(certificate);
    const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    std::string name;
    if (at >= 0 && X509_NAME_get_index_by_NID(subject, NID_commonName, at) < 0) {
        unsigned char* text = nullptr;
        const int length =
            ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
        if (length > 0) {
            name.assign(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
        }
        OPENSSL_free(text);
    }
    if (!isBoardName(name)) {
        refused = "its common name is not a board's name (1 to " +
                  std::to_string(kMaxBoardNameBytes) + " printable characters, no space)";
        return std::nullopt;
    }
    return name;
}

}  // namespace

bool isBoardName(const std::string& name) {
    if (name.empty() || name.size() > kMaxBoardNameBytes) {
        return false;
    }
    for (const char c : name) {
        if (c < 0x21 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

bool BoardAuthority::Stamp::operator==(const Stamp& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

BoardAuthority::BoardAuthority(std::string caFile, std::string crlFile)
    : caFile_(std::move(caFile)), crlFile_(std::move(crlFile)) {
    const Infos infos = readPem(caFile_, "client authority");
    certificates_ = sk_X509_new_null();
    for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i) {
        X509_INFO* info = sk_X509_INFO_value(infos.get(), i);
        if (info->x509 != nullptr) {
            sk_X509_push(certificates_, info->x509);
            info->x509 = nullptr;
        }
    }
    const auto fail = [this](const std::string& why) {
        sk_X509_pop_free(certificates_, X509_free);
        throw AuthorityError(why);
    };
    if (sk_X509_num(certificates_) == 0) {
        fail("no certificate in the client authority " + caFile_);
    }
    for (int i = 0; i < sk_X509_num(certificates_); ++i) {
        if (X509_check_ca(sk_X509_value(certificates_, i)) == 0) {
            fail("the client authority " + caFile_ + " holds a certificate that is no authority's");
        }
    }
    if (!crlFile_.empty()) {
        stamp_ = stampOf(crlFile_);
    }
    std::size_t revoked = 0;
    try {
        store_ = makeStore(revoked, startNotices_);
    } catch (const AuthorityError& e) {
        fail(e.what());
    }
    lookedAt_ = std::chrono::steady_clock::now();
    if (sk_X509_num(certificates_) > kFewAuthorities) {
        startNotices_.push_back("ru-server: the client authority file " + caFile_ + " holds " +
                                std::to_string(sk_X509_num(certificates_)) +
                                " authorities, and a certificate of any of them makes a board");
    }
}

BoardAuthority::~BoardAuthority() {
    X509_STORE_free(store_);
    sk_X509_pop_free(certificates_, X509_free);
}

X509_STORE* BoardAuthority::makeStore(std::size_t& revoked,
                                      std::vector<std::string>& notices) const {
    std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
    for (int i = 0; i < sk_X509_num(certificates_); ++i) {
        X509_STORE_add_cert(store.get(), sk_X509_value(certificates_, i));
    }
    revoked = 0;
    if (crlFile_.empty()) {
        return store.release();
    }
    const Infos infos = readPem(crlFile_, "revocation list");
    int lists = 0;
    std::vector<bool> listed(static_cast<std::size_t>(sk_X509_num(certificates_)), false);
    for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i) {
        X509_CRL* list = sk_X509_INFO_value(infos.get(), i)->crl;
        if (list == nullptr) {
            continue;
        }
        bool signedByUs = false;
        for (int j = 0; j < sk_X509_num(certificates_); ++j) {
            X509* authority = sk_X509_value(certificates_, j);
            const bool byThisOne =
                X509_NAME_cmp(X509_CRL_get_issuer(list), X509_get_subject_name(authority)) == 0 &&
                X509_CRL_verify(list, X509_get0_pubkey(authority)) == 1;
            listed[static_cast<std::size_t>(j)] = listed[static_cast<std::size_t>(j)] || byThisOne;
            signedByUs = signedByUs || byThisOne;
        }
        ERR_clear_error();
        if (!signedByUs) {
            throw AuthorityError("the revocation list " + crlFile_ +
                                 " is not signed by the client authority " + caFile_);
        }
        if (X509_cmp_current_time(X509_CRL_get0_lastUpdate(list)) > 0) {
            notices.push_back(
                "ru-server: the revocation list " + crlFile_ +
                " is not valid yet (is this machine's clock behind?); what it revokes is "
                "refused all the same");
        }
        X509_STORE_add_crl(store.get(), list);
        const STACK_OF(X509_REVOKED)* entries = X509_CRL_get_REVOKED(list);
        revoked += entries != nullptr ? static_cast<std::size_t>(sk_X509_REVOKED_num(entries)) : 0;
        ++lists;
    }
    if (lists == 0) {
        throw AuthorityError("no revocation list in " + crlFile_);
    }
    for (std::size_t j = 0; j < listed.size(); ++j) {
        if (!listed[j]) {
            notices.push_back("ru-server: no revocation list in " + crlFile_ +
                              " for the client authority " +
                              subjectOf(sk_X509_value(certificates_, static_cast<int>(j))) +
                              " of " + caFile_ + ": none of its boards is taken");
        }
    }
    X509_STORE_set_flags(store.get(), X509_V_FLAG_CRL_CHECK);
    return store.release();
}

std::optional<BoardAuthority::Stamp> BoardAuthority::stampOf(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    Stamp stamp;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.modified = info.st_mtim;
    return stamp;
}

void BoardAuthority::configure(SSL_CTX* context) {
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, keepGoing);
    // Names the authority in the request, so that a browser does not offer its user a
    // certificate of some other one.
    STACK_OF(X509_NAME)* names = sk_X509_NAME_new_null();
    for (int i = 0; i < sk_X509_num(certificates_); ++i) {
        sk_X509_NAME_push(names,
                          X509_NAME_dup(X509_get_subject_name(sk_X509_value(certificates_, i))));
    }
    SSL_CTX_set_client_CA_list(context, names);
    SSL_CTX_set1_verify_cert_store(context, store_);
    // A resumed session would skip the check of the certificate against today's list.
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(context, 0);
}

void BoardAuthority::refresh(SSL_CTX* context, const std::function<void(std::string)>& log) {
    if (crlFile_.empty()) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lookedAt_ < kLookInterval) {
        return;
    }
    lookedAt_ = now;
    const std::optional<Stamp> stamp = stampOf(crlFile_);
    if (stamp == stamp_) {
        return;
    }
    stamp_ = stamp;
    try {
        std::size_t revoked = 0;
        std::vector<std::string> notices;
        X509_STORE* store = makeStore(revoked, notices);
        X509_STORE_free(store_);
        store_ = store;
        SSL_CTX_set1_verify_cert_store(context, store_);
        ++generation_;
        log("ru-server: read the revocation list " + crlFile_ +
            " again: " + std::to_string(revoked) + " revoked");
        for (std::string& notice : notices) {
            log(std::move(notice));
        }
    } catch (const AuthorityError& e) {
        log("ru-server: " + std::string(e.what()) + "; the list read before stays in force");
    }
}

std::optional<std::string> BoardAuthority::board(SSL* connection, std::string& refused) {
    refused.clear();
    X509* certificate = SSL_get0_peer_certificate(connection);
    if (certificate == nullptr) {
        return std::nullopt;
    }
    const auto fault = reinterpret_cast<std::intptr_t>(SSL_get_ex_data(connection, faultIndex()));
    const long result = SSL_get_verify_result(connection);
    if (fault != 0 || (result != X509_V_OK && !tolerated(result))) {
        refused = X509_verify_cert_error_string(fault != 0 ? static_cast<long>(fault) : result);
        return std::nullopt;
    }
    return boardNameOf(certificate, refused);
}

bool BoardAuthority::stillBoard(SSL* connection, std::uint64_t& generation,
                                std::string& refused) const {
    refused.clear();
    X509* certificate = SSL_get0_peer_certificate(connection);
    if (certificate == nullptr) {
        return false;
    }
    if (generation == generation_ && X509_cmp_current_time(X509_get0_notAfter(certificate)) > 0) {
        return true;
    }
    generation = generation_;
    X509_STORE_CTX* verification = X509_STORE_CTX_new();
    int fault = 0;
    // As the handshake verified it: a client's certificate, against the list in force.
    if (verification == nullptr ||
        X509_STORE_CTX_init(verification, store_, certificate,
                            SSL_get_peer_cert_chain(connection)) != 1 ||
        X509_STORE_CTX_set_default(verification, "ssl_client") != 1) {
        fault = X509_V_ERR_OUT_OF_MEM;
    } else {
        X509_STORE_CTX_set_app_data(verification, &fault);
        X509_STORE_CTX_set_verify_cb(verification, keepFirstFault);
        if (X509_verify_cert(verification) != 1 && fault == 0) {
            fault = X509_STORE_CTX_get_error(verification);
        }
    }
    X509_STORE_CTX_free(verification);
    ERR_clear_error();
    if (fault != 0) {
        refused = X509_verify_cert_error_string(fault);
        return false;
    }
    return boardNameOf(certificate, refused).has_value();
}

}  // namespace ru
