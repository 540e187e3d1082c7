// RestClient::Connection on the wire: the exact bytes each setting and verb puts on a
// loopback socket, handle reuse and reset between requests, redirects, the protocol
// restriction, and how transfer failures come back.
#include "restclient/connection.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "named_case.h"
#include "raw_server.h"
#include "support/recording_server.h"

namespace {

using namespace std::string_literals;
using rawtest::difference;
using rawtest::RawServer;
using rawtest::withHost;
using RestClient::Connection;
using RestClient::Response;

// Two copies would free one libcurl handle twice.
static_assert(!std::is_copy_constructible<Connection>::value &&
                  !std::is_copy_assignable<Connection>::value,
              "a Connection owns its handle and is never copied");

const char kGet[] =
    "GET /r HTTP/1.1\r\nHost: {host}\r\nUser-Agent: restclient\r\nAccept: */*\r\n\r\n";

// The single request `server` received, or a failure naming how many there were.
std::string onlyRequest(const RawServer& server) {
    std::vector<std::string> requests = server.requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? std::string() : requests.back();
}

// ---- each verb's request as sent ----

struct VerbCase : rawtest::NamedCase {
    std::function<Response(Connection&)> call;
    std::string request;  // "{host}" stands for the server's address
    std::string body;     // expected response body
};

class VerbOnTheWire : public ::testing::TestWithParam<VerbCase> {};

TEST_P(VerbOnTheWire, SendsExactRequestAndReadsAnswer) {
    RawServer server;
    Connection conn("http://" + server.address());
    Response r = GetParam().call(conn);
    EXPECT_EQ(r.code, 200) << r.body;
    EXPECT_EQ(r.body, GetParam().body);
    EXPECT_EQ(r.headers["HTTP/1.1 200 OK"], "present");
    EXPECT_EQ(r.headers["Content-Length"], "2");
    EXPECT_EQ(difference(onlyRequest(server), withHost(GetParam().request, server)), "");
}

INSTANTIATE_TEST_SUITE_P(
    Verbs, VerbOnTheWire,
    ::testing::Values(
        VerbCase{"Get", [](Connection& c) { return c.get("/r"); }, kGet, "ok"},
        VerbCase{"PostKeepsZeroByte", [](Connection& c) { return c.post("/r", "a\0b"s); },
                 "POST /r HTTP/1.1\r\nHost: {host}\r\nUser-Agent: restclient\r\n"
                 "Accept: */*\r\nContent-Length: 3\r\n"
                 "Content-Type: application/x-www-form-urlencoded\r\n\r\na\0b"s,
                 "ok"},
        VerbCase{"PutOfEmptyBodyAnnouncesZero", [](Connection& c) { return c.put("/r", ""); },
                 "PUT /r HTTP/1.1\r\nHost: {host}\r\nUser-Agent: restclient\r\nAccept: */*\r\n"
                 "Content-Length: 0\r\n\r\n",
                 "ok"},
        VerbCase{"PutSendsBodyWithItsLength", [](Connection& c) { return c.put("/r", "xyz"); },
                 "PUT /r HTTP/1.1\r\nHost: {host}\r\nUser-Agent: restclient\r\nAccept: */*\r\n"
                 "Content-Length: 3\r\nExpect: 100-continue\r\n\r\nxyz",
                 "ok"},
        VerbCase{
            "Delete", [](Connection& c) { return c.del("/r"); },
            "DELETE /r HTTP/1.1\r\nHost: {host}\r\nUser-Agent: restclient\r\nAccept: */*\r\n\r\n",
            "ok"},
        VerbCase{
            "HeadHasHeadersButNoBody", [](Connection& c) { return c.head("/r"); },
            "HEAD /r HTTP/1.1\r\nHost: {host}\r\nUser-Agent: restclient\r\nAccept: */*\r\n\r\n",
            ""}),
    rawtest::CaseName());

// ---- request settings as sent ----

TEST(ConnectionHeaders, SentInByteWiseNameOrderWithLaterValueWinning) {
    RawServer server;
    Connection conn("http://" + server.address());
    conn.SetHeaders({{"b", "first"}});
    conn.AppendHeader("a", "x");
    conn.AppendHeader("B", "y");
    conn.AppendHeader("b", "second");
    conn.get("/r");
    EXPECT_EQ(difference(onlyRequest(server),
                         withHost("GET /r HTTP/1.1\r\nHost: {host}\r\nUser-Agent: restclient\r\n"
                                  "Accept: */*\r\nB: y\r\na: x\r\nb: second\r\n\r\n",
                                  server)),
              "");
}

TEST(ConnectionHeaders, EmptyOrBlankValueArrivesAsEmptyValue) {
    RawServer server;
    Connection conn("http://" + server.address());
    conn.AppendHeader("X-Empty", "");
    conn.AppendHeader("X-Blank", " \t");
    conn.AppendHeader("X-Full", "1");
    conn.get("/r");
    EXPECT_EQ(difference(onlyRequest(server),
                         withHost("GET /r HTTP/1.1\r\nHost: {host}\r\nUser-Agent: restclient\r\n"
                                  "Accept: */*\r\nX-Blank:\r\nX-Empty:\r\nX-Full: 1\r\n\r\n",
                                  server)),
              "");
}

TEST(ConnectionHeaders, UserAgentIsRestclientOrCustomPrefixed) {
    RawServer server;
    Connection conn("http://" + server.address());
    conn.get("/r");
    conn.SetUserAgent("turnstile/2");
    conn.get("/r");
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].find("\r\nUser-Agent: restclient\r\n"), std::string::npos) << requests[0];
    EXPECT_NE(requests[1].find("\r\nUser-Agent: turnstile/2 restclient\r\n"), std::string::npos)
        << requests[1];
}

struct AuthCase : rawtest::NamedCase {
    std::string username;
    std::string password;
    std::string authorization;  // expected header line, "" for none
};

class BasicAuth : public ::testing::TestWithParam<AuthCase> {};

TEST_P(BasicAuth, SendsCredentialsOnlyWithAUserName) {
    RawServer server;
    Connection conn("http://" + server.address());
    conn.SetBasicAuth(GetParam().username, GetParam().password);
    conn.get("/r");
    std::string request = onlyRequest(server);
    if (GetParam().authorization.empty()) {
        EXPECT_EQ(request.find("Authorization"), std::string::npos) << request;
    } else {
        EXPECT_NE(request.find("\r\n" + GetParam().authorization + "\r\n"), std::string::npos)
            << request;
    }
}

INSTANTIATE_TEST_SUITE_P(Credentials, BasicAuth,
                         ::testing::Values(AuthCase{"UserAndPassword", "op", "s:cret",
                                                    "Authorization: Basic b3A6czpjcmV0"},
                                           AuthCase{"UserWithEmptyPassword", "op", "",
                                                    "Authorization: Basic b3A6"},
                                           AuthCase{"PasswordWithoutUser", "", "secret", ""}),
                         rawtest::CaseName());

struct UrlCase : rawtest::NamedCase {
    std::string baseUrl;  // "{host}" stands for the server's address
    std::string url;
    std::string requestLine;
};

class BaseUrl : public ::testing::TestWithParam<UrlCase> {};

TEST_P(BaseUrl, IsJoinedToTheArgumentWithNothingAddedOrRemoved) {
    RawServer server;
    Connection conn(withHost(GetParam().baseUrl, server));
    Response r = conn.get(withHost(GetParam().url, server));
    EXPECT_EQ(r.code, 200) << r.body;
    std::string request = onlyRequest(server);
    EXPECT_EQ(request.substr(0, request.find("\r\n")), GetParam().requestLine);
}

INSTANTIATE_TEST_SUITE_P(
    Joins, BaseUrl,
    ::testing::Values(UrlCase{"BothSlashesKept", "http://{host}/", "/x", "GET //x HTTP/1.1"},
                      UrlCase{"NoSlashAdded", "{host}/api", "v1", "GET /apiv1 HTTP/1.1"},
                      UrlCase{"EmptyBaseWithoutScheme", "", "{host}/transaction",
                              "GET /transaction HTTP/1.1"}),
    rawtest::CaseName());

struct ProxyCase : rawtest::NamedCase {
    std::string given;
    std::string stored;
};

class ProxyNormalisation : public ::testing::TestWithParam<ProxyCase> {};

TEST_P(ProxyNormalisation, PrefixesHttpUnlessTheValueStartsWithIt) {
    Connection conn("");
    conn.SetProxy(GetParam().given);
    EXPECT_EQ(conn.GetInfo().uriProxy, GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ProxyNormalisation,
    ::testing::Values(ProxyCase{"BareHostAndPort", "10.0.0.1:3128", "http://10.0.0.1:3128"},
                      ProxyCase{"CapitalScheme", "HTTP://proxy:3128", "HTTP://proxy:3128"},
                      ProxyCase{"MixedCaseScheme", "hTtP://proxy", "hTtP://proxy"},
                      ProxyCase{"SecureScheme", "https://proxy:3128", "https://proxy:3128"},
                      ProxyCase{"ShorterThanFour", "px", "http://px"},
                      ProxyCase{"HostStartingWithHttp", "httpproxy:3128", "httpproxy:3128"},
                      ProxyCase{"LatinOneByte", "\xE9proxy:3128", "http://\xE9proxy:3128"},
                      ProxyCase{"EmptySwitchesOff", "", ""}),
    rawtest::CaseName());

// ---- one handle, many requests ----

TEST(ConnectionReuse, VerbsLeaveNothingBehindForTheNextGet) {
    RawServer server;
    Connection conn("http://" + server.address());
    std::vector<std::function<Response()>> verbs = {
        [&] { return conn.post("/p", "{\"a\":1}"); }, [&] { return conn.head("/h"); },
        [&] { return conn.put("/u", "xyz"); }, [&] { return conn.del("/d"); }};
    for (size_t i = 0; i < verbs.size(); ++i) {
        verbs[i]();
        Response r = conn.get("/r");
        EXPECT_EQ(r.code, 200) << "after verb " << i;
        EXPECT_EQ(r.body, "ok") << "after verb " << i;
        std::vector<std::string> requests = server.requests();
        ASSERT_EQ(requests.size(), 2 * (i + 1));
        EXPECT_EQ(difference(requests.back(), withHost(kGet, server)), "") << "after verb " << i;
    }
}

TEST(ConnectionReuse, RequestsShareOneTcpConnection) {
    RawServer server;
    Connection conn("http://" + server.address());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(conn.get("/r").code, 200);
    }
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(server.connections(), 1);
}

// ---- redirects and the protocol restriction ----

const char kRedirect[] = "HTTP/1.1 302 Found\r\nLocation: /next\r\nContent-Length: 0\r\n\r\n";

TEST(ConnectionRedirects, NotFollowedUnlessAsked) {
    RawServer server({kRedirect, RawServer::ok("done")});
    Connection conn("http://" + server.address());
    Response r = conn.get("/r");
    EXPECT_EQ(r.code, 302);
    EXPECT_EQ(r.headers["Location"], "/next");
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(ConnectionRedirects, FollowedWhenAskedWithBothHeaderBlocksKept) {
    RawServer server({kRedirect, RawServer::ok("done")});
    Connection conn("http://" + server.address());
    conn.FollowRedirects(true);
    Response r = conn.get("/r");
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, "done");
    EXPECT_EQ(r.headers["HTTP/1.1 302 Found"], "present");
    EXPECT_EQ(r.headers["HTTP/1.1 200 OK"], "present");
    EXPECT_EQ(r.headers["Content-Length"], "4");
    EXPECT_EQ(conn.GetInfo().lastRequest.redirectCount, 1);
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].substr(0, requests[1].find("\r\n")), "GET /next HTTP/1.1");
}

// A file the client must never be able to read through a URL.
class SecretFile {
  public:
    SecretFile() {
        char name[] = "/tmp/restclient-secret-XXXXXX";
        int fd = mkstemp(name);
        path_ = name;
        if (fd >= 0) {
            (void)!write(fd, "secret roster", 13);
            close(fd);
        }
    }
    ~SecretFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

struct SchemeCase : rawtest::NamedCase {
    std::string url;  // "{host}" is a listener that must see no connection, "{file}" a file
};

class NonHttpScheme : public ::testing::TestWithParam<SchemeCase> {
  protected:
    std::string target(const RawServer& listener) {
        std::string url = withHost(GetParam().url, listener);
        size_t at = url.find("{file}");
        return at == std::string::npos ? url : url.replace(at, 6, secret_.path());
    }
    SecretFile secret_;
};

TEST_P(NonHttpScheme, RefusedWhenTyped) {
    RawServer listener;
    Connection conn("");
    Response r = conn.get(target(listener));
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.body, "Failed to query.");
    EXPECT_EQ(listener.connections(), 0);
}

TEST_P(NonHttpScheme, RefusedAsRedirectTarget) {
    RawServer listener;
    RawServer server(
        {"HTTP/1.1 302 Found\r\nLocation: " + target(listener) + "\r\nContent-Length: 0\r\n\r\n"});
    Connection conn("http://" + server.address());
    conn.FollowRedirects(true);
    // Only a safety net should the refusal fail: an FTP client waits for a greeting.
    conn.SetTimeout(5);
    Response r = conn.get("/r");
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.body, "Failed to query.");
    EXPECT_EQ(listener.connections(), 0);
}

INSTANTIATE_TEST_SUITE_P(Schemes, NonHttpScheme,
                         ::testing::Values(SchemeCase{"File", "file://{file}"},
                                           SchemeCase{"Ftp", "ftp://{host}/"},
                                           SchemeCase{"Dict", "dict://{host}/d:word"}),
                         rawtest::CaseName());

TEST(ConnectionProtocols, SchemelessUrlIsHttpWhateverTheHostName) {
    // The proxy sees the target host and port in its CONNECT line without any name
    // being resolved; a guessed FTP would be port 21, or no request at all.
    RawServer proxy({"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"});
    Connection conn("");
    conn.SetProxy(proxy.address());
    Response r = conn.get("ftp.turnstile.invalid/transaction");
    EXPECT_EQ(r.code, -1);
    std::string request = onlyRequest(proxy);
    EXPECT_EQ(request.substr(0, request.find("\r\n")), "CONNECT ftp.turnstile.invalid:80 HTTP/1.1");
}

// ---- failures ----

TEST(ConnectionFailures, NothingListeningIsFailedToQueryWithFreshTimings) {
    RawServer server({kRedirect, RawServer::ok("done")});
    Connection conn("");
    conn.FollowRedirects(true);
    ASSERT_EQ(conn.get(server.address() + "/r").code, 200);
    ASSERT_EQ(conn.GetInfo().lastRequest.redirectCount, 1);

    Response r = conn.get("127.0.0.1:" + std::to_string(rawtest::closedPort()) + "/r");
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.body, "Failed to query.");
    EXPECT_TRUE(r.headers.empty());
    EXPECT_EQ(conn.GetInfo().lastRequest.redirectCount, 0);
}

struct TimeoutCase : rawtest::NamedCase {
    std::string response;
    RestClient::HeaderFields headers;  // what arrived before the time-out
};

class SlowServer : public ::testing::TestWithParam<TimeoutCase> {};

TEST_P(SlowServer, TimesOutWithHeadersReceivedSoFar) {
    RawServer server({GetParam().response});
    Connection conn("http://" + server.address());
    conn.SetTimeout(1);
    Response r = conn.get("/r");
    EXPECT_EQ(r.code, 28);
    EXPECT_EQ(r.body, "Operation Timeout.");
    EXPECT_EQ(r.headers, GetParam().headers);
}

INSTANTIATE_TEST_SUITE_P(
    Stalls, SlowServer,
    ::testing::Values(TimeoutCase{"NoAnswer", "", {}},
                      TimeoutCase{"BodyCutShort",
                                  "HTTP/1.1 200 OK\r\nX-Partial: yes\r\nContent-Length: 100\r\n\r\n"
                                  "abc",
                                  {{"Content-Length", "100"},
                                   {"HTTP/1.1 200 OK", "present"},
                                   {"X-Partial", "yes"}}}),
    rawtest::CaseName());

TEST(ConnectionFailures, UnusableClientCertificateIsCode58WithLibcurlText) {
    // libcurl loads the certificate once the TCP connection stands, before any TLS byte.
    RawServer server;
    Connection conn("https://" + server.address());
    conn.SetCertPath("/nonexistent/client.pem");
    Response r = conn.get("/r");
    EXPECT_EQ(r.code, 58) << r.body;
    EXPECT_EQ(r.body, curl_easy_strerror(CURLE_SSL_CERTPROBLEM));
    EXPECT_TRUE(server.requests().empty());
}

TEST(ConnectionFailures, HttpErrorStatusIsPassedThroughWithItsBody) {
    testsupport::RecordingServer server;
    server.enqueue(testsupport::Reply{404, "no such student", "text/plain"});
    server.enqueue(testsupport::Reply{500, "database down", "text/plain"});
    Connection conn(server.address());
    Response r = conn.get("/transaction/9");
    EXPECT_EQ(r.code, 404);
    EXPECT_EQ(r.body, "no such student");
    r = conn.post("/transaction/9", "{}");
    EXPECT_EQ(r.code, 500);
    EXPECT_EQ(r.body, "database down");
}

// ---- a body handed to a sink ----

struct SinkCase : rawtest::NamedCase {
    std::string response;
    int code;
    std::string handed;  // every piece the sink got, in order
};

class BodySink : public ::testing::TestWithParam<SinkCase> {};

// The body goes to the sink as it comes, with the status and the headers already
// received; the Response keeps no body, and a failure is reported as without a sink.
TEST_P(BodySink, GetsTheBodyAsItArrivesAndTheResponseKeepsNone) {
    RawServer server({GetParam().response});
    Connection conn(server.address());
    conn.SetTimeout(1);
    std::string handed;
    conn.SetBodySink([&](const Response& head, const char* data, size_t n) {
        EXPECT_EQ(head.code, GetParam().code == 28 ? 200 : GetParam().code);
        EXPECT_EQ(head.headers.at("Roster-Cursor"), "c1");
        handed.append(data, n);
    });
    Response r = conn.get("/r");
    EXPECT_EQ(r.code, GetParam().code);
    EXPECT_EQ(handed, GetParam().handed);
    EXPECT_EQ(r.body, GetParam().code == 28 ? "Operation Timeout." : "");
    EXPECT_LT(r.body.capacity(), 64u) << "nothing reserved for the announced length";
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, BodySink,
    ::testing::Values(
        SinkCase{"Whole",
                 "HTTP/1.1 200 OK\r\nRoster-Cursor: c1\r\nContent-Length: 11\r\n\r\nhello world",
                 200, "hello world"},
        SinkCase{"ErrorStatus",
                 "HTTP/1.1 404 Not Found\r\nRoster-Cursor: c1\r\nContent-Length: 4\r\n\r\ngone",
                 404, "gone"},
        SinkCase{"CutShort",
                 "HTTP/1.1 200 OK\r\nRoster-Cursor: c1\r\nContent-Length: 900000000\r\n\r\n[{\"a\"",
                 28, "[{\"a\""}),
    rawtest::CaseName());

}  // namespace
