#include "http_server.h"

#include <openssl/ssl.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "board_authority.h"
#include "routes.h"

namespace ru {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

namespace {

// The request line and header fields together; more is answered 431 (or 414).
constexpr std::size_t kMaxHeaderBytes = 16 * 1024;
// What a connection may hold unparsed: a header, or a chunk-size line with its extensions,
// or a chunked body's trailer fields. Body bytes are parsed as they come and counted against
// kMaxBodyBytes instead. More is answered 413.
constexpr std::size_t kMaxBufferBytes = kMaxHeaderBytes + 8 * 1024;
// Roster pieces handed to the connection at a time: large enough to keep the per-chunk
// overhead small, small enough to keep memory flat.
constexpr std::size_t kRosterChunkBytes = 64 * 1024;
// After an answer that closes the connection, what the client may still be sending is
// read and thrown away for a moment, so that the close does not reset the connection
// and destroy the answer before the client has read it. A client busy encrypting a large
// body over a fast link sends megabytes before it reads; on a real network the time is
// the bound, the byte count only caps what a local client makes the server read.
constexpr std::size_t kLingerBytes = 16 * 1024 * 1024;
constexpr std::chrono::milliseconds kLingerTime{1000};
// How long a stop waits for requests that are still being sent.
constexpr std::chrono::milliseconds kStopGrace{2000};

std::string clientAddress(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    }
    return address.to_string();
}

bool isHttpError(const error_code& ec) {
    return ec.category() == http::make_error_code(http::error::bad_method).category();
}

// The length of the target in the buffered request line, for a header over the limit
// whose request line the parser has not read; a line without its end counts whole.
std::size_t rawTargetBytes(const beast::flat_buffer& buffer) {
    const std::string_view bytes(static_cast<const char*>(buffer.data().data()), buffer.size());
    const std::string_view line = bytes.substr(0, bytes.find('\n'));
    const auto first = line.find(' ');
    const auto last = line.rfind(' ');
    return first == last ? line.size() : last - first - 1;
}

// A host name as names are compared: in lower case, without a final dot or an IPv6
// literal's brackets, and an address in its one canonical spelling.
std::string comparable(std::string_view name) {
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    }
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1);
    }
    std::string text(name);
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    error_code ec;
    const auto address = asio::ip::make_address(text, ec);
    return ec ? text : address.to_string();
}

// The host a Host field names, without its port.
std::string hostOf(std::string_view field) {
    if (!field.empty() && field.front() == '[') {
        return comparable(field.substr(0, field.find(']') + 1));
    }
    return comparable(field.substr(0, field.find(':')));
}

}  // namespace

struct Listener::Impl {
    std::optional<asio::ssl::context> tls;
    std::unique_ptr<BoardAuthority> boards;
    tcp protocol = tcp::v4();
    std::string where;  // host:port, for messages
    int fd = -1;
    unsigned short port = 0;
};

class Session;

struct HttpServer::Impl {
    Impl(Store& s, ServerSettings settingsIn, Listener::Impl& listener)
        : store(s),
          settings(std::move(settingsIn)),
          tls(std::move(listener.tls)),
          boards(std::move(listener.boards)),
          workers(static_cast<std::size_t>(settings.workers)),
          acceptor(ioc, listener.protocol, std::exchange(listener.fd, -1)),
          retryTimer(ioc),
          port(listener.port),
          caps({settings.maxConnections, settings.maxPerClient, settings.maxPerNetwork}) {
        access.boards = settings.allow;
        access.viewers = settings.viewers;
        access.boardsByCertificate = boards != nullptr;
        access.metricsReaders = settings.metricsReaders;
        metrics = settings.metrics ? settings.metrics : std::make_shared<Metrics>();
        for (const std::string& name : settings.serverNames) {
            serverNames.push_back(comparable(name));
        }
        for (int i = 0; i < std::max(1, settings.workers / 2); ++i) {
            writeLanes.push_back(asio::make_strand(workers));
        }
    }

    void log(std::string line) {
        if (settings.log) {
            settings.log(std::move(line));
        }
    }

    void accept();
    void accepted(tcp::socket socket, bool draining);
    // Reads the boards' revocation list again when its file changed (at most once a second).
    void refreshBoards() {
        boards->refresh(tls->native_handle(), [this](std::string line) { log(std::move(line)); });
    }
    void refuseOutsider(const std::string& client);
    void doStop();
    void forget(Session* session, const asio::ip::address& peer);

    Store& store;
    ServerSettings settings;
    std::optional<asio::ssl::context> tls;  // before the connections that use it
    std::unique_ptr<BoardAuthority> boards;
    AccessRules access;
    std::shared_ptr<Metrics> metrics;
    std::vector<std::string> serverNames;  // comparable(); empty: any
    asio::io_context ioc;
    asio::thread_pool workers;
    // Writes take turns on these lanes of the workers, one write at a time on each: at
    // most half the workers wait for the database's lock, however long another process
    // holds it, and the rest stay free for reads. Two lanes keep the next write ready while
    // one commits.
    std::vector<asio::strand<asio::thread_pool::executor_type>> writeLanes;
    std::atomic<std::size_t> nextLane{0};
    tcp::acceptor acceptor;
    asio::steady_timer retryTimer;
    unsigned short port;
    bool stopping = false;  // network thread only
    std::unordered_map<Session*, std::weak_ptr<Session>> sessions;
    ConnectionCaps caps;
    std::size_t viewerConnections = 0;  // open, of clients that are no board
    std::optional<std::chrono::steady_clock::time_point> outsiderLogged;
    std::size_t outsidersUnlogged = 0;
};

// One connection. Lives on the network thread; the only work done elsewhere is the route
// (and the reading of roster pieces), whose result is posted back. It owns itself through
// the handlers in flight and goes with the last of them.
class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(HttpServer::Impl& server, tcp::socket socket, asio::ip::address peer)
        : server_(server), peer_(peer) {
        if (server_.tls) {
            tls_ = std::make_unique<beast::ssl_stream<beast::tcp_stream>>(std::move(socket),
                                                                          *server_.tls);
        } else {
            plain_ = std::make_unique<beast::tcp_stream>(std::move(socket));
        }
    }

    void start() {
        // Answers go out as several writes; without this a client that keeps its connection
        // open waits for a delayed ACK, about 40 ms, on every request.
        error_code ignored;
        tcp().socket().set_option(tcp::no_delay(true), ignored);
        if (!tls_) {
            roles_ = server_.access.roles(peer_, false);
            if (admitted()) {
                waitForRequest();
            }
            return;
        }
        phase_ = Phase::Handshake;
        tcp().expires_after(server_.settings.headerTimeout);
        tls_->async_handshake(asio::ssl::stream_base::server,
                              [self = shared_from_this()](const error_code& ec) {
                                  if (ec) {
                                      self->close();
                                  } else if (self->identify(), self->admitted()) {
                                      self->waitForRequest();
                                  }
                              });
    }

    // Closes at once a connection that waits for a request; one with a request in progress
    // closes after its answer. A request still being sent gets kStopGrace to arrive whole,
    // so that a slow sender cannot hold the stop up for a whole time-out.
    void stop() {
        stopping_ = true;
        error_code ec;
        // Bytes already in the socket are a request on its way: it gets its answer.
        if (phase_ == Phase::Handshake ||
            (phase_ == Phase::Idle && tcp().socket().available(ec) == 0)) {
            close();
            return;
        }
        grace_ = std::make_unique<asio::steady_timer>(server_.ioc, kStopGrace);
        grace_->async_wait([self = shared_from_this()](const error_code& waited) {
            const Phase phase = self->phase_;
            if (!waited && (phase == Phase::Idle || phase == Phase::Header ||
                            phase == Phase::Body || phase == Phase::Handshake)) {
                self->close();
            }
        });
    }

  private:
    enum class Phase { Handshake, Idle, Header, Body, Handling, Writing, Lingering, Closed };

    // The roles of a client that made its TLS handshake: a board by its certificate when
    // boards have one, by its address otherwise.
    void identify() {
        std::optional<std::string> board;
        if (server_.boards) {
            generation_ = server_.boards->generation();
            std::string refused;
            board = BoardAuthority::board(tls_->native_handle(), refused);
            if (!refused.empty()) {
                server_.log("ru-server: refused the client certificate of " + clientAddress(peer_) +
                            ": " + refused);
            }
        }
        roles_ = server_.access.roles(peer_, board.has_value());
        boardName_ = board.value_or("");
    }

    // Whether the connection, its roles known, may stay: a client that is no board takes a
    // viewer's slot, and there are fewer of those than connections, so that viewers can
    // never hold every slot that the boards need. Closes it when not.
    bool admitted() {
        if ((roles_ & kBoard) != 0) {
            return true;
        }
        if (server_.viewerConnections >= server_.settings.maxViewerConnections) {
            server_.log("ru-server: refused a connection from " + clientAddress(peer_) + ": " +
                        std::to_string(server_.viewerConnections) + " viewers' connections open");
            close();
            return false;
        }
        ++server_.viewerConnections;
        viewerCounted_ = true;
        return true;
    }

    // A board's connection may outlive the revocation list it was checked against, or its
    // certificate: before each request it is checked again when either changed, and one
    // no longer a board is answered as a stranger and closed after that answer.
    void recheckBoard() {
        if (!server_.boards || boardName_.empty()) {
            return;
        }
        server_.refreshBoards();
        std::string refused;
        if (!server_.boards->stillBoard(tls_->native_handle(), generation_, refused)) {
            server_.log("ru-server: refused the client certificate of " + clientAddress(peer_) +
                        ": " + refused);
            roles_ = server_.access.roles(peer_, false);
            boardName_.clear();
            closeAfter_ = true;
        }
    }

    // Whether the request names one of the server's names, when it has any.
    bool addressedHere() const {
        if (server_.serverNames.empty()) {
            return true;
        }
        const auto& message = parser_->get();
        const auto host = message.find(http::field::host);
        if (host == message.end()) {
            return false;
        }
        const std::string name =
            hostOf(std::string_view(host->value().data(), host->value().size()));
        return std::find(server_.serverNames.begin(), server_.serverNames.end(), name) !=
               server_.serverNames.end();
    }

    beast::tcp_stream& tcp() { return tls_ ? beast::get_lowest_layer(*tls_) : *plain_; }

    template <class F>
    void withStream(F&& f) {
        if (tls_) {
            f(*tls_);
        } else {
            f(*plain_);
        }
    }

    void waitForRequest() {
        if (stopping_ && buffer_.size() == 0) {
            close();
            return;
        }
        phase_ = Phase::Idle;
        if (buffer_.size() > 0) {
            readHeader();
            return;
        }
        tcp().expires_after(server_.settings.idleTimeout);
        withStream([this](auto& stream) {
            stream.async_read_some(buffer_.prepare(4096), [self = shared_from_this()](
                                                              const error_code& ec, std::size_t n) {
                self->buffer_.commit(n);
                if (ec || self->phase_ == Phase::Closed) {
                    self->close();
                } else {
                    self->readHeader();
                }
            });
        });
    }

    void readHeader() {
        phase_ = Phase::Header;
        logged_ = false;
        status_ = 0;
        board_.clear();
        parser_.emplace();
        parser_->header_limit(kMaxHeaderBytes);
        parser_->body_limit(kMaxBodyBytes);
        tcp().expires_after(server_.settings.headerTimeout);
        withStream([this](auto& stream) {
            http::async_read_header(
                stream, buffer_, *parser_,
                [self = shared_from_this()](const error_code& ec, std::size_t n) {
                    self->onHeader(ec, n);
                });
        });
    }

    void onHeader(const error_code& ec, std::size_t headerBytes) {
        if (phase_ == Phase::Closed) {
            return;
        }
        started_ = std::chrono::steady_clock::now();
        method_ = std::string(parser_->get().method_string());
        target_ = std::string(parser_->get().target());
        head_ = method_ == "HEAD";
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow ||
            (!ec && headerBytes > kMaxHeaderBytes)) {
            const std::size_t targetBytes =
                target_.empty() ? rawTargetBytes(buffer_) : target_.size();
            refuse(targetBytes > kMaxTargetBytes ? 414 : 431);
        } else if (ec == http::error::body_limit) {
            refuse(413);
        } else if (ec == http::error::end_of_stream || ec == http::error::partial_message) {
            close();
        } else if (ec && isHttpError(ec)) {
            refuse(400);
        } else if (ec) {
            close();
        } else if (!framedAndAddressed()) {
            refuse(400);
        } else if (target_.size() > kMaxTargetBytes) {
            refuse(414);
        } else if (!addressedHere()) {
            refuse(421);
        } else {
            readBody();
        }
    }

    // Whether the request's body has a length both sides agree on (RFC 9112 6.3: a
    // Transfer-Encoding must end in chunked, or the body could be taken for a next
    // request; 6.1: in HTTP/1.0, where the field is unknown, its framing is faulty) and it
    // names one host (required of HTTP/1.1, at most one of HTTP/1.0).
    bool framedAndAddressed() const {
        const auto& message = parser_->get();
        if (message.count(http::field::transfer_encoding) > 0 &&
            (!parser_->chunked() || message.version() < 11)) {
            return false;
        }
        const std::size_t hosts = message.count(http::field::host);
        return hosts == 1 || (hosts == 0 && message.version() < 11);
    }

    void readBody() {
        if (parser_->is_done()) {
            handle();
            return;
        }
        phase_ = Phase::Body;
        const auto expect = parser_->get()[http::field::expect];
        if (beast::iequals(expect, "100-continue")) {
            out_ = "HTTP/1.1 100 Continue\r\n\r\n";
            tcp().expires_after(server_.settings.writeTimeout);
            withStream([this](auto& stream) {
                asio::async_write(stream, asio::buffer(out_),
                                  [self = shared_from_this()](const error_code& ec, std::size_t) {
                                      if (ec) {
                                          self->close();
                                      } else {
                                          self->readWholeBody();
                                      }
                                  });
            });
            return;
        }
        readWholeBody();
    }

    void readWholeBody() {
        tcp().expires_after(server_.settings.bodyTimeout);
        withStream([this](auto& stream) {
            http::async_read(
                stream, buffer_, *parser_,
                [self = shared_from_this()](const error_code& ec, std::size_t) {
                    if (self->phase_ == Phase::Closed) {
                        return;
                    }
                    if (ec == http::error::body_limit || ec == http::error::buffer_overflow) {
                        self->refuse(413);
                    } else if (ec && isHttpError(ec) && ec != http::error::partial_message) {
                        self->refuse(400);
                    } else if (ec) {
                        self->close();
                    } else {
                        self->handle();
                    }
                });
        });
    }

    // Answers `status` with its error body and closes: the rest of the request is unread.
    void refuse(int status) {
        closeAfter_ = true;
        send(refusal(status), std::nullopt);
    }

    void handle() {
        phase_ = Phase::Handling;
        recheckBoard();
        auto& message = parser_->get();
        auto request = std::make_shared<Request>();
        request->method = method_;
        request->target = target_;
        request->roles = roles_;
        request->metrics = server_.metrics.get();
        const auto type = message.find(http::field::content_type);
        if (type != message.end()) {
            request->contentType = std::string(type->value());
        }
        if (server_.settings.idempotencyKeys) {
            const auto [first, last] = message.equal_range("Idempotency-Key");
            for (auto field = first; field != last; ++field) {
                request->idempotencyKeys.emplace_back(field->value());
            }
        }
        {
            const auto [first, last] = message.equal_range("Catraca-Board");
            for (auto field = first; field != last; ++field) {
                request->boardNames.emplace_back(field->value());
            }
            board_ = request->boardNames.empty() ? "" : request->boardNames.front();
        }
        if (!boardName_.empty()) {
            request->certifiedBoard = boardName_;
        }
        request->body = std::move(message.body());
        request->rosterCursors = server_.settings.rosterCursors;
        closeAfter_ = closeAfter_ || !message.keep_alive();
        parser_.reset();
        // The guard keeps run() going while the route works.
        auto work = [self = shared_from_this(), request,
                     guard = asio::make_work_guard(server_.ioc)]() mutable {
            auto reply = std::make_shared<Reply>(route(self->server_.store, *request,
                                                       self->server_.settings.openingHours,
                                                       self->server_.settings.online));
            auto first = std::make_shared<std::optional<std::string>>();
            if (reply->roster) {
                *first = self->readPiece(*reply->roster);
            }
            asio::post(self->server_.ioc, [self, reply, first, guard = std::move(guard)] {
                self->send(std::move(*reply), std::move(*first));
            });
        };
        // Whether it writes is known once its body is parsed, which is done on a worker.
        asio::post(server_.workers, [this, request, work = std::move(work)]() mutable {
            if (isWrite(*request, server_.settings.online)) {
                auto& lanes = server_.writeLanes;
                asio::post(lanes[server_.nextLane++ % lanes.size()], std::move(work));
            } else {
                work();
            }
        });
    }

    // The next piece of the roster as a chunk, the last chunk once it is all out, or
    // nothing when the database failed. Runs on a worker.
    std::optional<std::string> readPiece(RosterStream& roster) {
        try {
            std::string piece;
            if (!roster.read(piece, kRosterChunkBytes)) {
                return std::string("0\r\n\r\n");
            }
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
            return size + piece + "\r\n";
        } catch (const std::exception& e) {
            std::fprintf(stderr, "ru-server: reading the roster failed: %s\n", e.what());
            return std::nullopt;
        }
    }

    void send(Reply reply, std::optional<std::string> firstChunk) {
        if (phase_ == Phase::Closed) {
            return;
        }
        phase_ = Phase::Writing;
        status_ = reply.status;
        // However busy, a connection ends now and then: nothing lives for ever on what
        // was checked when it was made.
        closeAfter_ =
            closeAfter_ || stopping_ || ++answered_ >= server_.settings.maxRequestsPerConnection ||
            std::chrono::steady_clock::now() - opened_ >= server_.settings.maxConnectionAge;
        roster_ = std::move(reply.roster);
        out_ =
            "HTTP/1.1 " + std::to_string(reply.status) + " " + reasonPhrase(reply.status) + "\r\n";
        if (!reply.contentType.empty()) {
            out_ += "Content-Type: " + reply.contentType + "\r\n";
        }
        for (const auto& [name, value] : reply.headers) {
            out_ += name + ": " + value + "\r\n";
        }
        if (reply.chunked) {
            out_ += "Transfer-Encoding: chunked\r\n";
        } else if (reply.status != 204) {
            out_ += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
        }
        if (closeAfter_) {
            out_ += "Connection: close\r\n";
        }
        out_ += "\r\n";
        if (roster_) {
            if (!firstChunk) {
                // The status line is not gone yet, but the header promised nothing else:
                // cutting the answer short is what tells the client it is incomplete.
                status_ = 500;
                roster_.reset();
                log();
                close();
                return;
            }
            if (*firstChunk == "0\r\n\r\n") {
                roster_.reset();
            }
            out_ += *firstChunk;
        } else if (!head_) {
            out_ += reply.body;
        }
        write();
    }

    void write() {
        tcp().expires_after(server_.settings.writeTimeout);
        withStream([this](auto& stream) {
            asio::async_write(stream, asio::buffer(out_),
                              [self = shared_from_this()](const error_code& ec, std::size_t) {
                                  self->onWritten(ec);
                              });
        });
    }

    void onWritten(const error_code& ec) {
        if (ec || phase_ == Phase::Closed) {
            log();
            close();
            return;
        }
        if (roster_) {
            asio::post(server_.workers, [self = shared_from_this(),
                                         guard = asio::make_work_guard(server_.ioc)]() mutable {
                auto piece =
                    std::make_shared<std::optional<std::string>>(self->readPiece(*self->roster_));
                asio::post(self->server_.ioc, [self, piece, guard = std::move(guard)] {
                    self->writePiece(std::move(*piece));
                });
            });
            return;
        }
        log();
        if (closeAfter_) {
            linger();
        } else {
            waitForRequest();
        }
    }

    void writePiece(std::optional<std::string> piece) {
        if (phase_ == Phase::Closed) {
            return;
        }
        if (!piece) {
            status_ = 500;
            roster_.reset();
            log();
            close();
            return;
        }
        if (*piece == "0\r\n\r\n") {
            roster_.reset();
        }
        out_ = std::move(*piece);
        write();
    }

    void log() {
        if (!logged_) {
            // With boards known by certificate, a name in a header is no board's.
            server_.log(requestLogLine(method_, target_, status_,
                                       !boardName_.empty() ? boardName_
                                       : server_.boards    ? ""
                                                           : board_));
            server_.metrics->request(metricRoute(method_, target_, server_.settings.online),
                                     status_, std::chrono::steady_clock::now() - started_);
        }
        logged_ = true;
    }

    // Closes after the answer, reading and discarding for a moment what the client still
    // sends (see kLingerBytes).
    void linger() {
        phase_ = Phase::Lingering;
        tcp().expires_after(kLingerTime);
        if (!tls_) {
            discard();
            return;
        }
        // close_notify tells the client that the answer is whole. The shutdown ends at the
        // client's own, or at the first record that the client was still sending, which is
        // then thrown away below the encryption with the rest, as on a plain connection.
        tls_->async_shutdown([self = shared_from_this()](const error_code& ec) {
            if (ec && self->phase_ == Phase::Lingering) {
                self->discard();
            } else {
                self->close();
            }
        });
    }

    void discard() {
        error_code ignored;
        tcp().socket().shutdown(tcp::socket::shutdown_send, ignored);
        tcp().async_read_some(asio::buffer(scratch_), [self = shared_from_this()](
                                                          const error_code& ec, std::size_t n) {
            self->lingered_ += n;
            if (ec || self->lingered_ > kLingerBytes || self->phase_ == Phase::Closed) {
                self->close();
            } else {
                self->discard();
            }
        });
    }

    void close() {
        if (phase_ == Phase::Closed) {
            return;
        }
        phase_ = Phase::Closed;
        error_code ignored;
        if (grace_) {
            grace_->cancel();
        }
        tcp().socket().shutdown(tcp::socket::shutdown_both, ignored);
        tcp().socket().close(ignored);
        if (viewerCounted_) {
            --server_.viewerConnections;
        }
        server_.forget(this, peer_);
    }

    HttpServer::Impl& server_;
    std::unique_ptr<beast::tcp_stream> plain_;
    std::unique_ptr<beast::ssl_stream<beast::tcp_stream>> tls_;
    asio::ip::address peer_;
    Roles roles_ = 0;
    std::string boardName_;         // with client certificates, a board's: its common name
    std::uint64_t generation_ = 0;  // of the revocation list its certificate was checked on
    bool viewerCounted_ = false;
    std::size_t answered_ = 0;
    const std::chrono::steady_clock::time_point opened_ = std::chrono::steady_clock::now();
    Phase phase_ = Phase::Idle;
    bool stopping_ = false;
    bool closeAfter_ = false;
    bool head_ = false;
    bool logged_ = false;
    beast::flat_buffer buffer_{kMaxBufferBytes};
    std::optional<http::request_parser<http::string_body>> parser_;
    std::string method_;
    std::string target_;
    std::string board_;  // as the request named it, for the log
    // When its header came.
    std::chrono::steady_clock::time_point started_;
    int status_ = 0;
    std::string out_;
    std::unique_ptr<RosterStream> roster_;
    std::size_t lingered_ = 0;
    std::unique_ptr<asio::steady_timer> grace_;
    char scratch_[4096];
};

void HttpServer::Impl::accept() {
    acceptor.async_accept([this](const error_code& ec, tcp::socket socket) {
        if (stopping || !acceptor.is_open()) {
            if (!ec && stopping) {
                accepted(std::move(socket), true);  // taken from the queue as the stop came
            }
            return;
        }
        if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
            ec == asio::error::no_memory) {
            // Out of descriptors: waiting lets connections end instead of spinning.
            retryTimer.expires_after(std::chrono::milliseconds(100));
            retryTimer.async_wait([this](const error_code& waited) {
                if (!waited && !stopping) {
                    accept();
                }
            });
            return;
        }
        if (!ec) {
            accepted(std::move(socket), false);
        }
        accept();
    });
}

void HttpServer::Impl::accepted(tcp::socket socket, bool draining) {
    error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    if (ec) {
        return;
    }
    const std::string client = clientAddress(peer.address());
    if (!access.admits(peer.address())) {
        refuseOutsider(client);
        return;
    }
    if (draining && socket.available(ec) == 0) {
        return;  // connected but silent: nothing to answer
    }
    if (const auto refusal = caps.open(peer.address())) {
        metrics->connectionRefused(Metrics::Refusal::Caps);
        log("ru-server: refused a connection from " + client + ": " + *refusal);
        return;
    }
    if (boards) {
        // Before the connection is made: its handshake checks against the list in force.
        refreshBoards();
    }
    auto session = std::make_shared<Session>(*this, std::move(socket), peer.address());
    sessions.emplace(session.get(), session);
    metrics->connectionOpened();
    session->start();
    if (draining) {
        session->stop();
    }
}

void HttpServer::Impl::refuseOutsider(const std::string& client) {
    metrics->connectionRefused(Metrics::Refusal::AllowList);
    const auto now = std::chrono::steady_clock::now();
    if (outsiderLogged && now - *outsiderLogged < settings.outsiderLogInterval) {
        ++outsidersUnlogged;
        return;
    }
    std::string line = "ru-server: refused a connection from " + client + ": not in the allow-list";
    if (outsidersUnlogged > 0) {
        line += " (and " + std::to_string(outsidersUnlogged) + " more since the last such line)";
    }
    log(std::move(line));
    outsiderLogged = now;
    outsidersUnlogged = 0;
}

void HttpServer::Impl::forget(Session* session, const asio::ip::address& peer) {
    if (sessions.erase(session) > 0) {
        caps.close(peer);
        metrics->connectionClosed();
    }
}

void HttpServer::Impl::doStop() {
    if (stopping) {
        return;
    }
    stopping = true;
    error_code ec;
    retryTimer.cancel();
    if (acceptor.is_open()) {
        // Connections the kernel has completed but nobody has accepted yet: those that have
        // sent something get their answer.
        acceptor.non_blocking(true, ec);
        for (;;) {
            tcp::socket socket(ioc);
            acceptor.accept(socket, ec);
            if (ec) {
                break;
            }
            accepted(std::move(socket), true);
        }
        acceptor.close(ec);
    }
    std::vector<std::shared_ptr<Session>> open;
    for (const auto& [raw, weak] : sessions) {
        if (auto session = weak.lock()) {
            open.push_back(session);
        }
    }
    for (const auto& session : open) {
        session->stop();
    }
}

Listener::Listener(const ServerSettings& s) : impl_(std::make_unique<Impl>()) {
    if (!s.certFile.empty() || !s.keyFile.empty()) {
        impl_->tls.emplace(asio::ssl::context::tls_server);
        auto& tls = *impl_->tls;
        tls.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                        asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                        asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
        SSL_CTX_set_min_proto_version(tls.native_handle(), TLS1_2_VERSION);
        error_code ec;
        tls.use_certificate_chain_file(s.certFile, ec);
        if (ec) {
            throw ServerError("cannot use the certificate " + s.certFile + ": " + ec.message());
        }
        tls.use_private_key_file(s.keyFile, asio::ssl::context::pem, ec);
        if (ec) {
            throw ServerError("cannot use the key " + s.keyFile + ": " + ec.message());
        }
        if (SSL_CTX_check_private_key(tls.native_handle()) != 1) {
            throw ServerError("the key " + s.keyFile + " does not match the certificate " +
                              s.certFile);
        }
        if (!s.clientCaFile.empty()) {
            try {
                impl_->boards = std::make_unique<BoardAuthority>(s.clientCaFile, s.crlFile);
            } catch (const AuthorityError& e) {
                throw ServerError(e.what());
            }
            impl_->boards->configure(tls.native_handle());
        }
    }
    if (!s.clientCaFile.empty() && !impl_->tls) {
        throw ServerError("client certificates need HTTPS (a certificate and its key)");
    }
    const bool ipv6 = s.host.find(':') != std::string::npos;
    const std::string where = (ipv6 ? "[" + s.host + "]" : s.host) + ":" + std::to_string(s.port);
    asio::io_context ioc;
    error_code ec;
    tcp::resolver resolver(ioc);
    const auto found =
        resolver.resolve(s.host, std::to_string(s.port),
                         tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || found.empty()) {
        throw ServerError("cannot listen on " + where + ": " +
                          (ec ? ec.message() : std::string("no such address")));
    }
    const tcp::endpoint endpoint = found.begin()->endpoint();
    tcp::acceptor acceptor(ioc);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        // Lets a restarted server bind at once while old connections linger in TIME_WAIT.
        // No SO_REUSEPORT: with it a second server could silently take a share.
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor.bind(endpoint, ec);
    }
    if (ec) {
        throw ServerError("cannot listen on " + where + ": " + ec.message());
    }
    impl_->where = where;
    impl_->protocol = endpoint.protocol();
    impl_->port = acceptor.local_endpoint().port();
    impl_->fd = acceptor.release();
}

Listener::~Listener() {
    if (impl_ && impl_->fd >= 0) {
        ::close(impl_->fd);
    }
}

Listener::Listener(Listener&&) noexcept = default;
Listener& Listener::operator=(Listener&&) noexcept = default;

unsigned short Listener::port() const {
    return impl_->port;
}

HttpServer::HttpServer(Store& store, ServerSettings settings, Listener listener)
    : impl_(std::make_unique<Impl>(store, std::move(settings), *listener.impl_)) {
    error_code ec;
    impl_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        throw ServerError("cannot listen on " + listener.impl_->where + ": " + ec.message());
    }
    impl_->accept();
}

HttpServer::HttpServer(Store& store, ServerSettings settings)
    : HttpServer(store, settings, Listener(settings)) {}

HttpServer::~HttpServer() {
    impl_->workers.join();
}

unsigned short HttpServer::port() const {
    return impl_->port;
}

void HttpServer::run() {
    if (impl_->boards) {
        for (const std::string& notice : impl_->boards->startNotices()) {
            impl_->log(notice);
        }
    }
    impl_->ioc.run();
    // Last, so that it also counts the outsiders that the stop found in the listen queue.
    if (impl_->outsidersUnlogged > 0) {
        impl_->log("ru-server: refused " + std::to_string(impl_->outsidersUnlogged) +
                   " more connections from outside the allow-list");
    }
    impl_->workers.join();
}

void HttpServer::stop() {
    asio::post(impl_->ioc, [impl = impl_.get()] { impl->doStop(); });
}

}  // namespace ru
