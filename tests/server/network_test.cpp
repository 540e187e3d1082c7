// ru-server's transport facing hostile, slow and unwanted clients, and stopping.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "raw_client.h"
#include "restclient/connection.h"
#include "routes.h"
#include "server_fixture.h"
#include "support/process.h"
#include "support/tls_server.h"

namespace {

using nlohmann::json;
using rutest::RawConnection;
using rutest::rawRequest;
using rutest::row;

const std::string kEvent = "{\"event_id\": -1}";
const std::string kCount = "{\"v\": 9}";
const std::string kJsonType = "Content-Type: application/json";

json roster() {
    return json::array({row("AB12", 7, 10), row("CD34", 8, 3)});
}

// Collects the server's log lines. A line holding the text given to hold() holds the
// server's network thread until release(), as a stalled network thread would.
class LogLines {
  public:
    std::function<void(std::string)> sink() {
        return [this](std::string line) {
            std::unique_lock<std::mutex> lock(mutex_);
            const bool held = !held_.empty() && line.find(held_) != std::string::npos;
            lines_.push_back(std::move(line));
            changed_.notify_all();
            changed_.wait(lock, [&] { return !held || released_; });
        };
    }
    // Whether a line holds `text`, waiting up to `ms` for one.
    bool contains(const std::string& text, int ms = 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
            return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& line) {
                return line.find(text) != std::string::npos;
            });
        });
    }
    void hold(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = text;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::string held_;
    bool released_ = false;
};

class ServerNetwork : public ::testing::Test {
  protected:
    void start(ru::ServerSettings settings = {}) {
        settings.log = log_.sink();
        server_ = std::make_unique<rutest::RunningServer>(dir_.file("ru.db"), std::move(settings));
        std::istringstream in(roster().dump());
        server_->store().importRoster(in);
    }
    // Starts anew on an empty database.
    void restart(ru::ServerSettings settings) {
        server_.reset();
        for (const char* suffix : {"", "-wal", "-shm"}) {
            std::remove(dir_.file(std::string("ru.db") + suffix).c_str());
        }
        start(std::move(settings));
    }
    void TearDown() override { log_.release(); }
    int port() const { return server_->port(); }
    // The roster and the head-count as a client at `from` sees them.
    std::string state(const std::string& from = "127.0.0.1") {
        const auto roster = exchange(rawRequest("GET", "/transaction"), from);
        const auto count = exchange(rawRequest("GET", "/contador"), from);
        const auto date = count.headers.find("last-modified");
        return std::to_string(roster.status) + roster.body + "\n" + count.body +
               (date != count.headers.end() ? date->second : "");
    }
    // Sends `request` on a connection of its own and returns the first answer (status 0
    // when none came before the server closed or 10 s passed).
    rutest::RawAnswer exchange(const std::string& request, const std::string& from = "127.0.0.1") {
        RawConnection connection(port(), from);
        EXPECT_TRUE(connection.connected());
        connection.send(request);
        connection.readAnswers(1, 10000);
        const auto answers = rutest::parseAnswers(connection.received());
        rutest::RawAnswer answer = answers.empty() ? rutest::RawAnswer{} : answers.front();
        // An answer to HEAD announces a body that never comes: its status line is enough.
        if (answers.empty() && connection.received().rfind("HTTP/1.1 ", 0) == 0) {
            answer.status = std::atoi(connection.received().c_str() + 9);
        }
        return answer;
    }

    rutest::TempDir dir_;
    LogLines log_;
    std::unique_ptr<rutest::RunningServer> server_;
};

struct Hostile {
    std::string name;
    std::string request;
    int status;
};

std::string post(const std::string& target, const std::string& body,
                 std::vector<std::string> headers = {kJsonType}) {
    return rawRequest("POST", target, headers, body);
}

std::string chunked(const std::string& target, std::size_t pieces, std::size_t pieceBytes) {
    std::string text = "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kJsonType +
                       "\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", pieceBytes);
    for (std::size_t i = 0; i < pieces; ++i) {
        text += size +
                (i == 0 ? kEvent + std::string(pieceBytes - kEvent.size(), ' ')
                        : std::string(pieceBytes, ' ')) +
                "\r\n";
    }
    return text + "0\r\n\r\n";
}

// A request to /contador with the Transfer-Encoding `codings`, followed by `rest`.
std::string te(const std::string& method, const std::string& codings, const std::string& rest,
               const std::string& version = "1.1") {
    return method + " /contador HTTP/" + version + "\r\nHost: 127.0.0.1\r\n" + kJsonType +
           "\r\nTransfer-Encoding: " + codings + "\r\n\r\n" + rest;
}

std::vector<Hostile> hostileRequests() {
    std::vector<Hostile> cases = {
        // Ids that must not name user 7 (or anyone).
        {"id overflowing int32", post("/transaction/2147483648", kEvent), 404},
        {"id overflowing int64", post("/transaction/99999999999999999999", kEvent), 404},
        {"id 7 modulo 2^32", post("/transaction/4294967303", kEvent), 404},
        {"negative id", post("/transaction/-7", kEvent), 404},
        {"signed id", post("/transaction/+7", kEvent), 404},
        {"zero-padded id", post("/transaction/007", kEvent), 404},
        {"negative zero", post("/transaction/-0", kEvent), 404},
        {"percent-encoded id", post("/transaction/%37", kEvent), 404},
        {"percent-encoded space", post("/transaction/%207", kEvent), 404},
        {"encoded NUL after the id", post("/transaction/7%00", kEvent), 404},
        {"hexadecimal id", post("/transaction/0x7", kEvent), 404},
        {"fractional id", post("/transaction/7.0", kEvent), 404},
        {"junk id", post("/transaction/7;DROP", kEvent), 404},
        // Path tricks.
        {"dot-dot to the head-count", post("/transaction/../contador", kCount), 404},
        {"encoded slash", post("/transaction%2F7", kEvent), 404},
        {"doubled leading slash", post("//transaction/7", kEvent), 404},
        {"doubled inner slash", post("/transaction//7", kEvent), 404},
        {"trailing slash", post("/transaction/7/", kEvent), 404},
        {"query naming a user", post("/transaction/99?user_id=7", kEvent), 404},
        {"head-count with a trailing slash", post("/contador/", kCount), 404},
        {"absolute-form target", post("http://127.0.0.1/transaction/7", kEvent), 404},
        {"asterisk target", rawRequest("OPTIONS", "*"), 404},
        {"query on an upload path", rawRequest("GET", "/transaction/7?x=1"), 405},
        // Huge headers.
        {"one huge header", rawRequest("GET", "/contador", {"X-Big: " + std::string(20000, 'a')}),
         431},
        {"many headers",
         rawRequest("GET", "/contador",
                    std::vector<std::string>(400, "X-A: 0123456789012345678901234567890123456789")),
         431},
        {"long target", rawRequest("GET", "/contador?" + std::string(9000, 'q')), 414},
        {"very long target", rawRequest("GET", "/x/" + std::string(40000, 'q')), 414},
        {"longest target, long header",
         rawRequest("GET", "/?" + std::string(8190, 'q'), {"X-A: " + std::string(12000, 'a')}),
         431},
        {"target a byte too long, long header",
         rawRequest("GET", "/?" + std::string(8191, 'q'), {"X-A: " + std::string(12000, 'a')}),
         414},
        {"short target, long header",
         rawRequest("GET", "/?" + std::string(5000, 'q'), {"X-A: " + std::string(12000, 'a')}),
         431},
        // Bodies over the cap, declared or not.
        {"declared over the cap",
         post("/transaction/7", kEvent + std::string(ru::kMaxBodyBytes, ' ')), 413},
        {"declared a terabyte, sent a little",
         "POST /transaction/7 HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kJsonType +
             "\r\nContent-Length: 1000000000000\r\n\r\n" + kEvent,
         413},
        {"chunked over the cap", chunked("/transaction/7", 70, 1000), 413},
        {"chunked over the cap in one chunk", chunked("/contador", 1, ru::kMaxBodyBytes + 1), 413},
        // Malformed framing.
        {"bad chunk size",
         "POST /contador HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kJsonType +
             "\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n" + kCount + "\r\n0\r\n\r\n",
         400},
        {"negative length",
         "POST /contador HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kJsonType +
             "\r\nContent-Length: -7\r\n\r\n" + kCount,
         400},
        {"two lengths",
         "POST /contador HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kJsonType +
             "\r\nContent-Length: 8\r\nContent-Length: 9\r\n\r\n" + kCount,
         400},
        {"not HTTP", "HELLO THERE\r\n\r\n", 400},
        // Framing that would let a body run as a next request, and lines without end: the
        // server refuses them after a bounded number of bytes, never waiting for more.
        {"gzip coding hiding a request", te("POST", "gzip", post("/transaction/7", kEvent)), 400},
        {"chunked, identity", te("POST", "chunked, identity", post("/transaction/7", kEvent)), 400},
        {"gzip coding on a GET", te("GET", "gzip", post("/transaction/7", kEvent)), 400},
        {"gzip coding in HTTP/1.0", te("POST", "gzip", kCount, "1.0"), 400},
        {"chunked in HTTP/1.0, kept alive",
         "POST /contador HTTP/1.0\r\nConnection: keep-alive\r\n" + kJsonType +
             "\r\nTransfer-Encoding: chunked\r\n\r\n8\r\n" + kCount + "\r\n0\r\n\r\n" +
             rawRequest("GET", "/contador"),
         400},
        {"chunk extension without end", te("POST", "chunked", "1;" + std::string(40000, 'x')), 413},
        {"chunk size without end", te("POST", "chunked", std::string(40000, '0')), 413},
        {"trailer without end", te("POST", "chunked", "0\r\nX: " + std::string(40000, 'x')), 413},
        {"no Host in HTTP/1.1", "GET /contador HTTP/1.1\r\n\r\n", 400},
        {"two Hosts", rawRequest("GET", "/contador", {"Host: 127.0.0.2"}), 400},
        {"no Host in HTTP/1.0", "GET /contador HTTP/1.0\r\n\r\n", 200},
        {"space in the target", "GET /con tador HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400},
        // Content types other than JSON.
        {"no content type", post("/transaction/7", kEvent, {}), 415},
        {"text content type", post("/transaction/7", kEvent, {"Content-Type: text/plain"}), 415},
        {"form content type",
         post("/contador", kCount, {"Content-Type: application/x-www-form-urlencoded"}), 415},
        {"near-miss content type", post("/contador", kCount, {"Content-Type: application/jsonp"}),
         415},
        {"empty content type", post("/transaction/7", kEvent, {"Content-Type:"}), 415},
        // Credit minted by a client, in any amount, for anyone.
        {"credit bought by a client", post("/transaction/7", "{\"event_id\": 100000}"), 422},
        {"a meal given back", post("/transaction/7", "{\"event_id\": 1}"), 422},
        {"meals taken at once", post("/transaction/7", "{\"event_id\": -1000}"), 422},
        {"credit for nobody", post("/transaction/99", "{\"event_id\": 5}"), 422},
        // Board names that are not one name of printable ASCII without spaces, on the
        // boards' routes; the viewers' routes ignore the field.
        {"two board names",
         post("/contador", kCount, {kJsonType, "Catraca-Board: a", "Catraca-Board: b"}), 400},
        {"board name with a space",
         post("/transaction/7", kEvent, {kJsonType, "Catraca-Board: a b"}), 400},
        {"board name of 65 bytes",
         rawRequest("GET", "/transaction", {"Catraca-Board: " + std::string(65, 'a')}), 400},
        {"board name on the page", rawRequest("GET", "/painel", {"Catraca-Board: a b"}), 200},
        {"online entry of a server without --online", post("/entrada/7", kEvent), 404},
    };
    // Every method on every route, with a body that the route would store if it ran.
    const std::vector<std::string> methods = {"GET",    "HEAD",    "POST",  "PUT", "PATCH",
                                              "DELETE", "OPTIONS", "TRACE", "BREW"};
    const std::vector<std::pair<std::string, std::string>> paths = {{"/transaction", kEvent},
                                                                    {"/transaction/7", kEvent},
                                                                    {"/contador", kCount},
                                                                    {"/nada", kCount}};
    for (const auto& [path, body] : paths) {
        for (const std::string& method : methods) {
            int status = 405;
            if (path == "/nada") {
                status = 404;
            } else if (method == "OPTIONS") {
                status = 204;
            } else if (method == "GET" || method == "HEAD") {
                status = path == "/transaction/7" ? 405 : 200;
            } else if (method == "POST") {
                continue;  // the one that stores: tested elsewhere
            }
            cases.push_back({method + " " + path + " with a body",
                             rawRequest(method, path, {kJsonType}, body), status});
        }
    }
    return cases;
}

TEST_F(ServerNetwork, HostileRequestsGetTheirStatusAndStoreNothing) {
    start();
    const std::string before = state();
    for (const Hostile& hostile : hostileRequests()) {
        RawConnection connection(port());
        ASSERT_TRUE(connection.connected());
        connection.send(hostile.request);
        // Every one of them ends the connection: "Connection: close" or a refusal.
        EXPECT_TRUE(connection.readUntilClosed(10000)) << hostile.name;
        const std::string& received = connection.received();
        EXPECT_EQ(received.rfind("HTTP/1.1 " + std::to_string(hostile.status) + " ", 0), 0u)
            << hostile.name << ": " << received.substr(0, 200);
        // Exactly one answer, and never a range of one.
        EXPECT_EQ(received.find("HTTP/1.1", 1), std::string::npos) << hostile.name;
        EXPECT_EQ(received.find("Content-Range"), std::string::npos) << hostile.name;
        EXPECT_EQ(state(), before) << hostile.name;
    }
}

TEST_F(ServerNetwork, JsonContentTypeIsRecognisedInAnySpelling) {
    start();
    for (const char* type :
         {"application/json", "Application/JSON", "application/json; charset=utf-8",
          "application/json ;charset=UTF-8"}) {
        const auto answer =
            exchange(post("/transaction/7", kEvent, {std::string("Content-Type: ") + type}));
        EXPECT_EQ(answer.status, 201) << type << ": " << answer.body;
    }
}

TEST_F(ServerNetwork, BodyOfAGetIsReadAndNeverRunAsANextRequest) {
    start();
    const std::string before = state();
    const std::string smuggled = post("/transaction/7", "{\"event_id\": -5}");
    for (const char* method : {"GET", "HEAD", "OPTIONS", "DELETE"}) {
        RawConnection connection(port());
        connection.send(rawRequest(method, "/contador", {kJsonType}, smuggled, true));
        connection.send(rawRequest("GET", "/contador"));
        ASSERT_TRUE(connection.readUntilClosed(10000)) << method;
        if (std::string(method) != "HEAD") {
            const auto answers = rutest::parseAnswers(connection.received());
            ASSERT_EQ(answers.size(), 2u) << method << ": " << connection.received();
            EXPECT_NE(answers[0].status, 201) << method;
            EXPECT_EQ(answers[1].status, 200) << method;
        }
        EXPECT_EQ(connection.received().find("201 Created"), std::string::npos) << method;
        EXPECT_EQ(state(), before) << method;
    }
}

TEST_F(ServerNetwork, PipelinedRequestsAreEachAnsweredInOrder) {
    start();
    RawConnection connection(port());
    // Three requests in one write, the last one closing.
    connection.send(rawRequest("POST", "/transaction/7", {kJsonType}, kEvent, true) +
                    rawRequest("POST", "/transaction/7", {kJsonType}, kEvent, true) +
                    rawRequest("GET", "/contador"));
    ASSERT_TRUE(connection.readUntilClosed(10000));
    const auto answers = rutest::parseAnswers(connection.received());
    ASSERT_EQ(answers.size(), 3u) << connection.received();
    EXPECT_EQ(answers[0].status, 201);
    EXPECT_EQ(json::parse(answers[0].body)["credit"], 9);
    EXPECT_EQ(answers[1].status, 201);
    EXPECT_EQ(json::parse(answers[1].body)["credit"], 8);
    EXPECT_EQ(answers[2].body, "{\"v\":0}");
}

TEST_F(ServerNetwork, RangeHeadersAreIgnoredAndEveryAnswerIsWhole) {
    start();
    struct Case {
        std::string request;
        int status;
        std::string key;  // a key the whole JSON body has
    };
    const Case cases[] = {
        {post("/transaction/7", kEvent, {kJsonType, "Range: bytes=0-3"}), 201, "credit"},
        {rawRequest("GET", "/transaction", {"Range: bytes=0-1,5-6"}), 200, ""},
        {rawRequest("GET", "/contador", {"Range: bytes=0-0"}), 200, "v"},
        {post("/contador", kCount, {kJsonType, "Range: bytes=-2"}), 201, "v"},
    };
    for (const Case& c : cases) {
        auto answer = exchange(c.request);
        EXPECT_EQ(answer.status, c.status) << c.request;
        EXPECT_EQ(answer.headers.count("content-range"), 0u) << c.request;
        EXPECT_EQ(answer.headers["content-type"], "application/json") << c.request;
        const json body = json::parse(answer.body, nullptr, false);
        EXPECT_FALSE(body.is_discarded()) << c.request << ": " << answer.body;
        if (!c.key.empty()) {
            EXPECT_TRUE(body.contains(c.key)) << answer.body;
        }
    }
}

TEST_F(ServerNetwork, ClientOutsideTheAllowListIsClosedUnansweredAndTakesNoSlot) {
    ru::ServerSettings settings;
    settings.allow =
        ru::AllowList({*ru::parseNetwork("127.0.0.2/32"), *ru::parseNetwork("10.0.0.0/8")});
    // Long enough that a server waiting for a request would not close within the test, and
    // caps that the silent outsiders would fill.
    settings.idleTimeout = settings.bodyTimeout = std::chrono::seconds(60);
    settings.maxConnections = settings.maxPerClient = 3;
    start(settings);
    const std::string before = state("127.0.0.2");
    std::vector<std::unique_ptr<RawConnection>> outsiders;
    const std::string requests[] = {
        // Silent, as many as the caps, then with requests of every kind.
        "",
        "",
        "",
        rawRequest("GET", "/transaction"),
        rawRequest("GET", "/contador"),
        rawRequest("OPTIONS", "/contador"),
        rawRequest("GET", "/nada"),
        rawRequest("GET", "/"),
        rawRequest("GET", "/painel"),
        rawRequest("GET", "/web/chart.umd.js"),
        // Only the header: the promised body never comes.
        "POST /transaction/7 HTTP/1.1\r\n" + kJsonType + "\r\nContent-Length: 16\r\n\r\n",
        "POST /contador HTTP/1.1\r\n" + kJsonType + "\r\nTransfer-Encoding: chunked\r\n\r\n",
    };
    for (const std::string& request : requests) {
        outsiders.push_back(std::make_unique<RawConnection>(port(), "127.0.0.1"));
        outsiders.back()->send(request);
        EXPECT_TRUE(outsiders.back()->readUntilClosed(10000)) << request;
        EXPECT_EQ(outsiders.back()->received(), "") << request;
    }
    EXPECT_EQ(state("127.0.0.2"), before);
    EXPECT_EQ(exchange(post("/transaction/7", kEvent), "127.0.0.2").status, 201);
    // One log line for the first, and a count of the others.
    server_.reset();
    EXPECT_TRUE(log_.contains("from 127.0.0.1: not in the allow-list"));
    EXPECT_TRUE(log_.contains("refused 11 more connections from outside the allow-list"));
}

// Every route of the role table, as a board (B) or a viewer (V) needs it, with what a
// client holding that role gets.
struct RoleRoute {
    std::string method;
    std::string path;
    std::string body;
    int status;
    char role;
};
const RoleRoute kRoleRoutes[] = {
    {"GET", "/transaction", "", 200, 'B'},
    {"POST", "/transaction/7", kEvent, 201, 'B'},
    {"POST", "/entrada/7", kEvent, 201, 'B'},  // with online entries on
    {"POST", "/contador", kCount, 201, 'B'},
    {"GET", "/contador", "", 200, 'V'},
    {"GET", "/", "", 200, 'V'},
    {"GET", "/painel", "", 200, 'V'},
    {"GET", "/web/painel.css", "", 200, 'V'},
    {"GET", "/metrics", "", 200, 'M'},
    {"HEAD", "/transaction", "", 200, 'B'},
    {"HEAD", "/contador", "", 200, 'V'},
};

// A client's status on each route of kRoleRoutes, holding the roles in `roles` ("BV" a
// board, "V" a viewer, "M" a metrics reader, "" none; "-" closed at accept), and nothing stored by
// a refusal.
class ServerRoles : public ServerNetwork {
  protected:
    std::string stored() {
        std::string text;
        for (const auto roster = server_->store().openRoster(); roster->read(text, 1 << 16);) {
        }
        return text +
               std::to_string(server_->store().latestHeadCount().value_or(ru::HeadCount{}).v);
    }
    template <class Send>
    void check(const std::string& name, const std::string& roles, Send send, int refused = 403) {
        for (const RoleRoute& r : kRoleRoutes) {
            const int expected = roles == "-"                              ? 0
                                 : roles.find(r.role) != std::string::npos ? r.status
                                                                           : refused;
            const std::string before = stored();
            EXPECT_EQ(send(r), expected) << name << ": " << r.method << " " << r.path;
            if (expected != 201) {
                EXPECT_EQ(stored(), before) << name << ": " << r.method << " " << r.path;
            }
        }
    }
};

TEST_F(ServerRoles, ByAddressABoardWritesAViewerOnlyLooksAndAnOutsiderIsNotLetIn) {
    ru::ServerSettings settings;
    settings.allow = ru::AllowList({*ru::parseNetwork("127.0.0.2")});
    settings.viewers = ru::AllowList({*ru::parseNetwork("127.0.0.3")});
    settings.metricsReaders = ru::AllowList({*ru::parseNetwork("127.0.0.5")});
    settings.online = true;
    start(settings);
    for (const auto& [from, roles] :
         std::vector<std::pair<std::string, std::string>>{{"127.0.0.2", "BV"},
                                                          {"127.0.0.3", "V"},
                                                          {"127.0.0.5", "M"},
                                                          {"127.0.0.4", "-"},
                                                          {"127.0.0.1", "-"}}) {
        check(from, roles, [&, from = from](const RoleRoute& r) {
            return exchange(rawRequest(r.method, r.path, {kJsonType}, r.body), from).status;
        });
    }
}

TEST_F(ServerRoles, ByCertificateOnlyABoardsValidCertificateMakesABoard) {
    rutest::TempDir other;
    testsupport::TestCertificates stranger(other);
    testsupport::TestCertificates certs(dir_);
    ru::ServerSettings settings;
    settings.viewers = ru::AllowList({*ru::parseNetwork("127.0.0.1")});
    settings.allow = ru::AllowList({*ru::parseNetwork("127.0.0.2")});
    settings.certFile = certs.certFile;
    settings.keyFile = certs.keyFile;
    settings.clientCaFile = certs.caFile;
    settings.online = true;
    start(settings);
    const std::vector<std::pair<testsupport::ClientCertificate, std::string>> cases = {
        {certs.client("catraca-01"), "BV"},         {{}, "V"},
        {stranger.client("catraca-01"), "V"},       {certs.client("catraca-03", true), "V"},
        {certs.client(std::string(64, 'x')), "BV"}, {certs.client(std::string(65, 'x')), "V"},
        {certs.client("catraca\x7F"), "V"},         {certs.client("catraca-05\ncatraca-06"), "V"},
        {certs.client("catraca 04"), "V"},  // not a board's name
    };
    const auto by = [&](const testsupport::ClientCertificate& c) {
        return [&, c](const RoleRoute& r) {
            RestClient::Connection connection("");
            connection.SetTimeout(10);
            connection.SetCAInfoFilePath(certs.caFile);
            connection.SetCertPath(c.certFile);
            connection.SetKeyPath(c.keyFile);
            connection.AppendHeader("Content-Type", "application/json");
            const std::string url = "https://127.0.0.1:" + std::to_string(port()) + r.path;
            return (r.method == "GET"    ? connection.get(url)
                    : r.method == "HEAD" ? connection.head(url)
                                         : connection.post(url, r.body))
                .code;
        };
    };
    for (const auto& [c, roles] : cases) {
        check(c.certFile, roles, by(c));
    }
    // A viewer claiming a board's name in the header is logged without it.
    RestClient::Connection viewer("");
    viewer.SetCAInfoFilePath(certs.caFile);
    viewer.AppendHeader("Catraca-Board", "catraca-01");
    EXPECT_EQ(viewer.get("https://127.0.0.1:" + std::to_string(port()) + "/painel?v").code, 200);
    server_.reset();
    EXPECT_TRUE(log_.contains("GET /painel?v 200"));
    EXPECT_FALSE(log_.contains("GET /painel?v 200 board="));
    EXPECT_TRUE(log_.contains("POST /transaction/7 201 board=catraca-01"));
    for (const char* why : {"certificate has expired", "its common name is not a board's"}) {
        EXPECT_TRUE(
            log_.contains("refused the client certificate of 127.0.0.1: " + std::string(why)))
            << why;
    }
    // Without a board's certificate, a client is a viewer when the viewers' list (by
    // default the boards') holds its address, and nothing otherwise.
    settings.allow = ru::AllowList({*ru::parseNetwork("127.0.0.1")});
    for (const auto& [viewers, roles] :
         std::vector<std::pair<std::optional<ru::AllowList>, std::string>>{
             {std::nullopt, "V"}, {ru::AllowList({*ru::parseNetwork("127.0.0.2")}), ""}}) {
        settings.viewers = viewers;
        restart(settings);
        check(roles, roles, by({}));
        check("board", "BV", by(certs.client("catraca-01")));
    }
}

// A request for a name the server was not given is refused before any route, so that a
// site whose name a browser's DNS points here can neither read nor write.
TEST_F(ServerRoles, RequestsForAnotherNameGet421AndStoreNothing) {
    ru::ServerSettings settings;
    settings.serverNames = {"ru-server.lan", "192.168.10.2", "[fd00::2]"};
    settings.metricsReaders = ru::AllowList::loopback();
    settings.online = true;
    start(settings);
    for (const auto& [host, served] :
         std::vector<std::pair<std::string, bool>>{{"RU-Server.LAN.:8443", true},
                                                   {"[fd00:0::2]:8080", true},
                                                   {"192.168.10.2", true},
                                                   {"[fd00::2]", true},
                                                   {"ru-server.lan.evil", false},
                                                   {"evil:ru-server.lan", false},
                                                   {"127.0.0.1", false}}) {
        check(
            host, served ? "BVM" : "",
            [&, host = host](const RoleRoute& r) {
                const std::string request = rawRequest(r.method, r.path, {kJsonType}, r.body);
                return exchange(std::regex_replace(request, std::regex("Host: 127.0.0.1"),
                                                   "Host: " + host))
                    .status;
            },
            421);
    }
    EXPECT_EQ(exchange("GET /contador HTTP/1.0\r\n\r\n").status, 421);
}

// The samples of the exposition that a client at `from` reads, as tests/server/
// read_metrics.py parses it (prometheus_client, and checks of its own); empty, with a
// failure, when it is not 200 or the parser refuses it.
std::map<std::string, double> scrape(int port, const std::string& from) {
    RawConnection connection(port, from);
    connection.send(rawRequest("GET", "/metrics"));
    connection.readUntilClosed(10000);
    const auto answers = rutest::parseAnswers(connection.received());
    if (answers.size() != 1 || answers[0].status != 200) {
        ADD_FAILURE() << connection.received();
        return {};
    }
    EXPECT_EQ(answers[0].headers.at("content-type"), ru::kMetricsContentType);
    testsupport::ChildProcess reader(PYTHON3, {METRICS_READER});
    reader.write(answers[0].body);
    reader.closeInput();
    EXPECT_EQ(reader.wait(), 0) << reader.err() << answers[0].body;
    return json::parse(reader.out(), nullptr, false).get<std::map<std::string, double>>();
}

// A write lock held by another connection to the database, as a second process or a
// checkpoint may hold one.
class WriteLock {
  public:
    explicit WriteLock(const std::string& path) {
        sqlite3_open(path.c_str(), &db_);
        held_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~WriteLock() {
        release();
        sqlite3_close(db_);
    }
    bool held() const { return held_; }
    void release() {
        if (held_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        held_ = false;
    }

  private:
    sqlite3* db_ = nullptr;
    bool held_ = false;
};

TEST_F(ServerNetwork, MetricsParseAndMoveWithTheRequestsSentAndTheirRefusals) {
    ru::ServerSettings settings;
    settings.allow = ru::AllowList({*ru::parseNetwork("127.0.0.2")});
    settings.metricsReaders = ru::AllowList({*ru::parseNetwork("127.0.0.4")});
    settings.maxPerClient = 2;
    settings.online = true;
    start(settings);
    const std::string board = "127.0.0.2", reader = "127.0.0.4";
    const auto before = scrape(port(), reader);
    const std::vector<std::string> keyed = {kJsonType, "Idempotency-Key: \"k1\""};
    EXPECT_EQ(exchange(post("/transaction/7", kEvent, keyed), board).status, 201);
    EXPECT_EQ(exchange(post("/transaction/7", kEvent, keyed), board).status, 201);  // a repeat
    EXPECT_EQ(
        exchange(post("/contador", kCount, {kJsonType, "Catraca-Board: s\"1\\"}), board).status,
        201);
    EXPECT_EQ(exchange(rawRequest("GET", "/transaction/7?secret"), board).status, 405);
    {
        WriteLock lock(dir_.file("ru.db"));  // an entry waits 500 ms for it, then 503
        EXPECT_EQ(exchange(post("/entrada/7", kEvent), board).status, 503);
    }
    EXPECT_EQ(exchange(rawRequest("GET", "/metrics"), board).status, 403);
    EXPECT_TRUE(RawConnection(port(), "127.0.0.6").readUntilClosed(10000));  // an outsider
    // Two idle connections fill the board's cap: a third is refused.
    RawConnection idle(port(), board), alsoIdle(port(), board);
    std::map<std::string, double> after;
    for (int i = 0; i < 100 && after["ru_connections_open"] != 3; ++i) {  // with the scrape's
        after = scrape(port(), reader);
    }
    EXPECT_EQ(after["ru_connections_open"], 3);
    EXPECT_TRUE(RawConnection(port(), board).readUntilClosed(10000));
    after = scrape(port(), reader);
    const auto moved = [&](const std::string& series) {
        return after[series] - (before.count(series) ? before.at(series) : 0);
    };
    EXPECT_EQ(moved("ru_requests_total{route=\"upload\",status=\"201\"}"), 2);
    EXPECT_EQ(moved("ru_requests_total{route=\"upload\",status=\"405\"}"), 1);
    EXPECT_EQ(moved("ru_requests_total{route=\"metrics\",status=\"403\"}"), 1);
    EXPECT_EQ(moved("ru_request_duration_seconds_count{route=\"upload\"}"), 3);
    EXPECT_GT(moved("ru_request_duration_seconds_sum{route=\"upload\"}"), 0);
    EXPECT_EQ(moved("ru_events_stored_total"), 1);
    EXPECT_EQ(moved("ru_idempotent_repeats_total"), 1);
    EXPECT_EQ(moved("ru_store_commit_duration_seconds_count"), 4);  // and the entry's 503
    EXPECT_EQ(moved("ru_connections_refused_total{reason=\"allow_list\"}"), 1);
    EXPECT_EQ(moved("ru_connections_refused_total{reason=\"caps\"}"), 1);
    EXPECT_EQ(after["ru_board_headcount{board=\"s\"1\\\"}"], 9);
    EXPECT_EQ(after.count("ru_board_last_report_age_seconds{board=\"s\"1\\\"}"), 1u);
    EXPECT_EQ(after["ru_build_info{version=\"" CATRACA_VERSION "\"}"], 1);
    for (const auto& [series, value] : after) {
        EXPECT_EQ(series.find("secret"), std::string::npos) << series;
    }
}

TEST_F(ServerNetwork, OutsidersLeftOutOfTheLogAreCountedOnceInTheNextLineOrAtTheStop) {
    ru::ServerSettings settings;
    settings.allow = ru::AllowList({*ru::parseNetwork("127.0.0.2/32")});
    settings.outsiderLogInterval = std::chrono::seconds(1);
    start(settings);
    for (int i = 0; i < 4; ++i) {  // one line, three counted
        EXPECT_TRUE(RawConnection(port()).readUntilClosed(10000));
    }
    std::this_thread::sleep_for(settings.outsiderLogInterval);
    // The next line holds the network thread while two more wait to be accepted at the stop.
    log_.hold("(and 3 more since the last such line)");
    RawConnection logged(port());
    ASSERT_TRUE(log_.contains("(and 3 more since the last such line)", 10000));
    RawConnection waiting(port()), alsoWaiting(port());
    server_->stop();
    log_.release();
    server_.reset();
    EXPECT_TRUE(log_.contains("refused 2 more connections from outside the allow-list"));
}

TEST_F(ServerNetwork, ConnectionsOverTheCapsAreRefusedWithALogLine) {
    ru::ServerSettings settings;
    settings.maxConnections = 6;
    settings.maxPerClient = 3;
    settings.maxViewerConnections = 1;
    settings.allow = ru::AllowList({*ru::parseNetwork("127.0.0.0/30")});
    settings.viewers = ru::AllowList({*ru::parseNetwork("127.0.0.4/30")});
    settings.idleTimeout = std::chrono::seconds(60);
    start(settings);
    struct Case {
        std::string from;
        bool served;
    };
    // Accepted in this order, since the server takes them one at a time.
    const Case cases[] = {
        {"127.0.0.1", true},  {"127.0.0.1", true},  {"127.0.0.1", true},
        {"127.0.0.1", false},                        // a fourth from one address
        {"127.0.0.4", true},  {"127.0.0.5", false},  // a second viewer: the rest is the boards'
        {"127.0.0.2", true},  {"127.0.0.2", true},  {"127.0.0.3", false},  // a seventh in all
    };
    std::vector<std::unique_ptr<RawConnection>> open;
    for (const Case& c : cases) {
        auto connection = std::make_unique<RawConnection>(port(), c.from);
        ASSERT_TRUE(connection->connected());
        if (!c.served) {
            EXPECT_TRUE(connection->readUntilClosed(10000)) << c.from;
            EXPECT_EQ(connection->received(), "") << c.from;
        }
        open.push_back(std::move(connection));
    }
    EXPECT_TRUE(
        log_.contains("refused a connection from 127.0.0.1: 3 connections open from that address"));
    EXPECT_TRUE(log_.contains("refused a connection from 127.0.0.3: 6 connections open"));
    EXPECT_TRUE(log_.contains("refused a connection from 127.0.0.5: 1 viewers' connections open"));
    // Those let in are served.
    RawConnection& kept = *open[4];
    kept.send(rawRequest("GET", "/contador"));
    ASSERT_TRUE(kept.readUntilClosed(10000));
    ASSERT_EQ(rutest::parseAnswers(kept.received()).size(), 1u);
    EXPECT_EQ(rutest::parseAnswers(kept.received())[0].status, 200);
}

// However busy, a connection ends after its share of requests or of time.
TEST_F(ServerNetwork, AConnectionEndsAfterItsShareOfRequestsOrTime) {
    ru::ServerSettings settings;
    settings.maxRequestsPerConnection = 2;
    for (const std::size_t answered : {2, 1}) {
        restart(settings);
        RawConnection connection(port());
        const std::string request = rawRequest("GET", "/contador", {}, "", true);
        connection.send(request + request + request);
        EXPECT_TRUE(connection.readUntilClosed(10000));
        EXPECT_EQ(rutest::parseAnswers(connection.received()).size(), answered);
        settings.maxConnectionAge = std::chrono::milliseconds(0);  // next, at the first answer
    }
}

TEST_F(ServerNetwork, SlowClientsHoldNobodyUpAndAreClosedAfterTheReadTimeOut) {
    constexpr int kPartial = 100;
    constexpr int kTrickling = 100;
    ru::ServerSettings settings;
    settings.idleTimeout = std::chrono::milliseconds(1000);
    settings.headerTimeout = std::chrono::milliseconds(1000);
    settings.maxPerClient = kPartial;  // each kind from an address of its own
    start(settings);
    std::vector<std::unique_ptr<RawConnection>> partial;
    std::vector<std::unique_ptr<RawConnection>> trickling;
    for (int i = 0; i < kPartial; ++i) {
        partial.push_back(std::make_unique<RawConnection>(port()));
        partial.back()->send("POST /transaction/7 HTTP/1.1\r\nHo");
    }
    for (int i = 0; i < kTrickling; ++i) {
        trickling.push_back(std::make_unique<RawConnection>(port(), "127.0.0.2"));
    }
    std::vector<std::unique_ptr<RawConnection>> silent;
    for (int i = 0; i < kPartial; ++i) {
        silent.push_back(std::make_unique<RawConnection>(port(), "127.0.0.3"));
    }
    // One byte at a time from every trickling client, for longer than the time-out.
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        const std::string request = rawRequest("GET", "/contador");
        for (std::size_t at = 0; at < request.size() && !done; ++at) {
            for (auto& connection : trickling) {
                connection->send(request.substr(at, 1));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    // A well-behaved client meanwhile, on connections of its own.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(exchange(rawRequest("GET", "/contador"), "127.0.0.4").status, 200);
        EXPECT_EQ(exchange(post("/transaction/8", kEvent), "127.0.0.4").status, 201);
    }
    int closed = 0;
    for (auto& connection : partial) {
        closed += connection->readUntilClosed(10000) ? 1 : 0;
    }
    for (auto& connection : trickling) {
        closed += connection->readUntilClosed(10000) ? 1 : 0;
    }
    done = true;
    trickle.join();
    EXPECT_EQ(closed, kPartial + kTrickling);
    for (auto& connection : trickling) {
        EXPECT_EQ(connection->received(), "");
    }
    // Closed unanswered at the time-out, the silent ones no longer count against the cap.
    EXPECT_TRUE(silent.back()->readUntilClosed(10000));
    EXPECT_EQ(silent.back()->received(), "");
    EXPECT_EQ(exchange(rawRequest("GET", "/contador"), "127.0.0.3").status, 200);
}

TEST_F(ServerNetwork, WritesWaitForALockHeldElsewhereInsteadOfFailing) {
    start();
    const std::pair<std::string, std::string> cases[] = {
        {"/transaction/7", kEvent},
        {"/contador", kCount},
    };
    for (const auto& [path, body] : cases) {
        WriteLock lock(dir_.file("ru.db"));
        ASSERT_TRUE(lock.held());
        auto answer = std::async(std::launch::async, [&, path = path, body = body] {
            return exchange(post(path, body));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        lock.release();
        EXPECT_EQ(answer.get().status, 201) << path;
    }
}

TEST_F(ServerNetwork, StopClosesIdleConnectionsAtOnceAndFinishesRequestsInProgress) {
    ru::ServerSettings settings;
    // Far longer than the test may wait: idle connections must be closed by the stop itself.
    settings.idleTimeout = std::chrono::seconds(120);
    settings.headerTimeout = std::chrono::seconds(120);
    start(settings);
    // A request that never arrives whole must not hold the stop up for its time-out either.
    RawConnection slow(port());
    slow.send("GET /contador HTTP/1.1\r\nHo");
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(std::make_unique<RawConnection>(port()));
        idle.back()->send(rawRequest("GET", "/contador", {}, "", true));
        ASSERT_TRUE(idle.back()->readAnswers(1, 10000));
    }
    // An upload that the database holds up while the stop comes.
    WriteLock lock(dir_.file("ru.db"));
    ASSERT_TRUE(lock.held());
    RawConnection busy(port());
    busy.send(rawRequest("POST", "/transaction/7", {kJsonType}, kEvent, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    server_->stop();
    for (auto& connection : idle) {
        EXPECT_TRUE(connection->readUntilClosed(10000));
    }
    EXPECT_TRUE(slow.readUntilClosed(10000));
    EXPECT_EQ(slow.received(), "");
    lock.release();
    ASSERT_TRUE(busy.readUntilClosed(10000));
    const auto answers = rutest::parseAnswers(busy.received());
    ASSERT_EQ(answers.size(), 1u) << busy.received();
    EXPECT_EQ(answers[0].status, 201);
    EXPECT_EQ(answers[0].headers.at("connection"), "close");
}

}  // namespace
