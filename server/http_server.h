#ifndef RU_SERVER_HTTP_SERVER_H
#define RU_SERVER_HTTP_SERVER_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "access.h"
#include "metrics.h"
#include "occupancy.h"
#include "store.h"

namespace ru {

// The server cannot be set up: the address cannot be bound, or the certificate or key
// cannot be used. what() is one line.
class ServerError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ServerSettings {
    std::string host = "127.0.0.1";  // an address or a name, resolved once
    unsigned short port = 8080;      // 0 picks a free port
    // A connection from outside is closed as soon as it is accepted, unanswered: before any
    // byte is read or TLS handshake made, so it costs no slot of the caps below, no parsing
    // and no cryptography, and the outsider learns nothing of the server.
    AllowList allow = AllowList::loopback();
    // The networks of the viewers, let in too (nothing: the same as `allow`). Each
    // connection gets its roles (access.h) before any route runs: a client of `allow` is a
    // board, one of `viewers` a viewer; with `clientCaFile`, a board is a client with a
    // certificate of that authority instead.
    std::optional<AllowList> viewers;
    // The networks whose clients may read GET /metrics, let in too (ru-server's default
    // is this machine; here nobody). Being a board or a viewer does not let a client read
    // it.
    AllowList metricsReaders;
    // Where the server counts; one of its own when null.
    std::shared_ptr<Metrics> metrics;
    // Each phase of a connection has its own time-out; a connection that overruns one is
    // closed. `idle` runs from the end of an answer (or the accept) to the first byte of the
    // next request, `header` from there (or from the accept, for the TLS handshake) to the
    // end of the request's header, `body` over the reading of the body, `write` over each
    // piece of an answer.
    std::chrono::milliseconds idleTimeout{5000};
    std::chrono::milliseconds headerTimeout{5000};
    std::chrono::milliseconds bodyTimeout{5000};
    std::chrono::milliseconds writeTimeout{5000};
    std::size_t maxConnections = 2048;  // open at once; more are refused, with a log line
    std::size_t maxPerClient = 64;      // open at once from one address
    std::size_t maxPerNetwork = 256;    // open at once from one IPv6 /64
    // Open at once of clients that are no board (viewers, and with client certificates
    // any client without a board's), counted once the roles are known: the rest of
    // maxConnections stays the boards'.
    std::size_t maxViewerConnections = 512;
    // A connection is closed after this many answers, or the first answer after this long.
    std::size_t maxRequestsPerConnection = 1000;
    std::chrono::milliseconds maxConnectionAge{3600 * 1000};
    std::string certFile;  // both set: HTTPS only, TLS 1.2 and later
    std::string keyFile;
    // With HTTPS: the authority (PEM) whose client certificates make boards, and its
    // revocation list, read again when the file changes (board_authority.h).
    std::string clientCaFile;
    std::string crlFile;
    // The names (and addresses) the server answers to; a request whose Host is none of
    // them is refused with 421, so that a page of another site that a browser's DNS sends
    // here reads and writes nothing. Empty: any.
    std::vector<std::string> serverNames;
    int workers = 4;            // threads that run the routes (the database)
    OpeningHours openingHours;  // for the occupancy page's silent-turnstile mark
    // Hands the Idempotency-Key fields to the routes (the default); off, the field is
    // ignored and a repeat is stored again.
    bool idempotencyKeys = true;
    // Offers roster cursors (Request::rosterCursors); off, GET /transaction is as before.
    bool rosterCursors = false;
    // Answers the online entry, POST /entrada/<user_id> (see routes.h); off, it is an
    // unknown path.
    bool online = false;
    // Gets one line per answered request (see requestLogLine), one per refused
    // connection, one per refused client certificate, one per rereading of the revocation
    // list; those from outside the allow-list at most one per outsiderLogInterval, so that
    // a flood of them cannot fill the log, the next line (or one at the stop) counting the
    // others. Called on the network thread: it must not block. May be empty.
    std::function<void(std::string)> log;
    std::chrono::milliseconds outsiderLogInterval{60000};
};

// The bound socket and, for HTTPS, the certificate and key loaded: the part of the server
// whose set-up fails for want of the port or of usable files. Made before the store is
// opened, so that a start that cannot listen leaves the database as it was, and then handed
// to the HttpServer, which listens on it: until then a client's connection is refused, not
// queued to be answered after the client may have given up and sent its request again.
class Listener {
  public:
    // Binds settings.host and settings.port; loads settings.certFile and settings.keyFile
    // when set, and settings.clientCaFile with settings.crlFile. Throws ServerError.
    explicit Listener(const ServerSettings& settings);
    ~Listener();  // closes the socket, unless a server has taken it
    Listener(Listener&&) noexcept;
    Listener& operator=(Listener&&) noexcept;

    unsigned short port() const;

    struct Impl;  // of http_server.cpp alone

  private:
    friend class HttpServer;
    std::unique_ptr<Impl> impl_;
};

// ru-server's HTTP/1.1 transport over the routes of routes.h. One thread (the caller of
// run()) does all the network work on an event loop, so thousands of idle or slow
// connections cost memory, not threads; the routes run on a small pool of worker threads,
// since a commit waits for the disk (an fsync per upload) and must not hold up the reading
// and accepting of other connections. Requests on one connection, pipelined or not, are
// answered one at a time and in order. Every request body is read to its end or refused
// and the connection closed, so a body is never taken for a next request; a request whose
// length is in doubt (a Transfer-Encoding that does not end in chunked, or any in HTTP/1.0)
// is refused. What a connection buffers is bounded whatever it sends. A client outside the
// allow-list is closed unanswered at once. `store` must outlive the server.
class HttpServer {
  public:
    // Listens and serves on `listener`; settings.host, port, certFile and keyFile are those
    // it was made with. Throws ServerError when it cannot listen.
    HttpServer(Store& store, ServerSettings settings, Listener listener);
    // Makes its own Listener of `settings`. Throws ServerError.
    HttpServer(Store& store, ServerSettings settings);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // The port it listens on.
    unsigned short port() const;

    // Serves until stop(); returns once every connection has ended.
    void run();

    // Stops accepting (connections already waiting in the listen queue with a request are
    // still answered), closes idle connections at once, lets requests in progress finish
    // and closes their connections after the answer. From any thread, at any time, also
    // before run(); a later run() returns as soon as that is done.
    void stop();

    struct Impl;  // of http_server.cpp alone

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace ru

#endif
