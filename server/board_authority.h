#ifndef RU_SERVER_BOARD_AUTHORITY_H
#define RU_SERVER_BOARD_AUTHORITY_H

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ru {

// A file of the authority or its revocation list that cannot be used. what() is one line.
class AuthorityError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The longest board name; a name is 1 to this many bytes of printable ASCII, no space.
constexpr std::size_t kMaxBoardNameBytes = 64;

// Whether `name` may name a board.
bool isBoardName(const std::string& name);

// The authority whose client certificates make a client a board (ru-server --client-ca),
// and its certificate revocation list (--crl). The TLS handshake asks a client for a
// certificate without requiring one, and never fails for the certificate it gets: a
// client whose certificate is missing, of another authority, expired, revoked or without
// a board's name in its common name is merely no board, and the routes decide what it
// may do. TLS sessions are never resumed, so that every connection is checked against
// the list in force; a connection kept open across a new list, or past its
// certificate's end, is checked again before its next request (stillBoard).
//
// The list is read at start and again, without a restart, once its file changes (another
// file renamed over it, or written in place): refresh() looks at the file at most once a
// second. A list that cannot be read then leaves the one in force, with a log line.
// An expired list (past its next update) still revokes what it names, and so does one
// whose start is still to come (this machine's clock behind the authority's), with a line.
//
// Thread safety: one thread, the one that makes the TLS connections.
class BoardAuthority {
  public:
    // Reads the authority's certificates (PEM, one or more) from `caFile` and, when
    // `crlFile` is not empty, the revocation lists from it, each of which must be signed
    // by one of those certificates. Throws AuthorityError.
    BoardAuthority(std::string caFile, std::string crlFile);
    ~BoardAuthority();
    BoardAuthority(const BoardAuthority&) = delete;
    BoardAuthority& operator=(const BoardAuthority&) = delete;

    // What the reading at start found worth a log line: a list not valid yet, an
    // authority without a list, more authorities than a restaurant needs.
    const std::vector<std::string>& startNotices() const { return startNotices_; }

    // Makes `context` ask each client for a certificate of this authority.
    void configure(SSL_CTX* context);

    // Reads the revocation list again when its file changed since it was last looked at,
    // looking at most once a second; `log` gets one line about what came of it. Call
    // before making a connection of `context`: a connection keeps the list in force when
    // it was made.
    void refresh(SSL_CTX* context, const std::function<void(std::string)>& log);

    // What the handshake of `connection` showed: the board's name, the common name of a
    // certificate of this authority, neither revoked nor expired; or nothing, with why
    // the certificate was not taken in `refused` (left empty when there was none).
    static std::optional<std::string> board(SSL* connection, std::string& refused);

    // The generation of the list in force, which each new list read in moves on.
    std::uint64_t generation() const { return generation_; }

    // Whether the board of `connection`, which board() took when the list in force was
    // of `generation`, is still one: when the list changed since, or its certificate's
    // end has passed, its certificate is verified again against the list in force, and
    // `generation` moves on to it. When not, `refused` says why.
    bool stillBoard(SSL* connection, std::uint64_t& generation, std::string& refused) const;

  private:
    struct Stamp {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = -1;
        std::timespec modified{};
        bool operator==(const Stamp& other) const;
    };
    // The verification store of the authority with the list in `crlFile_`; `notices` gets
    // a line about a list not valid yet, and one about an authority without a list. Throws
    // AuthorityError.
    X509_STORE* makeStore(std::size_t& revoked, std::vector<std::string>& notices) const;
    static std::optional<Stamp> stampOf(const std::string& path);

    std::string caFile_;
    std::string crlFile_;
    STACK_OF(X509) * certificates_ = nullptr;  // the authority's
    X509_STORE* store_ = nullptr;              // the one in force
    std::optional<Stamp> stamp_;
    std::chrono::steady_clock::time_point lookedAt_;
    std::uint64_t generation_ = 0;
    std::vector<std::string> startNotices_;
};

}  // namespace ru

#endif
