// The one-shot requests of namespace RestClient: the exact request each one sends,
// nothing shared between two calls, failures passed on, and libcurl's process-wide
// set-up being optional. CTest runs every test in a process of its own.
#include "restclient/restclient.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "named_case.h"
#include "raw_server.h"
#include "restclient/helpers.h"
#include "support/recording_server.h"

namespace {

using namespace std::string_literals;
using rawtest::difference;
using rawtest::RawServer;
using rawtest::withHost;
using RestClient::Response;

const char kGet[] =
    "GET /transaction HTTP/1.1\r\nHost: {host}\r\nUser-Agent: restclient\r\nAccept: */*\r\n\r\n";

struct OneShotCase : rawtest::NamedCase {
    std::function<Response(const std::string& address)> call;
    std::string request;  // "{host}" stands for the server's address
};

class OneShot : public ::testing::TestWithParam<OneShotCase> {};

TEST_P(OneShot, SendsOnlyContentTypeOfItsOwnAndTheExactBody) {
    RawServer server;
    Response r = GetParam().call(server.address());
    EXPECT_EQ(r.code, 200) << r.body;
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(difference(requests[0], withHost(GetParam().request, server)), "");
}

INSTANTIATE_TEST_SUITE_P(
    Functions, OneShot,
    ::testing::Values(
        OneShotCase{"Get", [](const std::string& a) { return RestClient::get(a + "/transaction"); },
                    kGet},
        OneShotCase{"Post",
                    [](const std::string& a) {
                        return RestClient::post(a + "/transaction/7", "application/json",
                                                "{\"valor\":-1}\0x"s);
                    },
                    "POST /transaction/7 HTTP/1.1\r\nHost: {host}\r\nUser-Agent: restclient\r\n"
                    "Accept: */*\r\nContent-Type: application/json\r\nContent-Length: 14\r\n\r\n"
                    "{\"valor\":-1}\0x"s},
        OneShotCase{"Put",
                    [](const std::string& a) {
                        return RestClient::put(a + "/contador", "text/plain", "3");
                    },
                    "PUT /contador HTTP/1.1\r\nHost: {host}\r\nUser-Agent: restclient\r\n"
                    "Accept: */*\r\nContent-Type: text/plain\r\nContent-Length: 1\r\n"
                    "Expect: 100-continue\r\n\r\n3"},
        OneShotCase{"Delete", [](const std::string& a) { return RestClient::del(a + "/t/1"); },
                    "DELETE /t/1 HTTP/1.1\r\nHost: {host}\r\nUser-Agent: restclient\r\n"
                    "Accept: */*\r\n\r\n"},
        OneShotCase{"Head", [](const std::string& a) { return RestClient::head(a + "/t"); },
                    "HEAD /t HTTP/1.1\r\nHost: {host}\r\nUser-Agent: restclient\r\n"
                    "Accept: */*\r\n\r\n"}),
    rawtest::CaseName());

TEST(OneShotCalls, ShareNoSettingOrConnection) {
    RawServer server;
    RestClient::post(server.address() + "/contador", "application/json", "{\"n\":1}");
    Response r = RestClient::get(server.address() + "/transaction");
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, "ok");
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(difference(requests[1], withHost(kGet, server)), "");
    EXPECT_EQ(server.connections(), 2);
}

TEST(OneShotCalls, FailureIsPassedOn) {
    Response r = RestClient::get("127.0.0.1:" + std::to_string(rawtest::closedPort()) + "/t");
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.body, "Failed to query.");
}

TEST(OneShotCalls, FirstRequestOfTheProcessWorksWithoutInit) {
    testsupport::RecordingServer server;
    server.enqueue(testsupport::Reply{200, "[]", "application/json"});
    Response r = RestClient::get(server.address() + "/transaction");
    EXPECT_EQ(r.code, 200) << r.body;
    EXPECT_EQ(r.body, "[]");
    EXPECT_EQ(r.headers["Content-Type"], "application/json");
}

TEST(OneShotCalls, WorkBetweenInitAndDisable) {
    ASSERT_EQ(RestClient::init(), 0);
    testsupport::RecordingServer server;
    server.enqueue(testsupport::Reply{201, "", "text/plain"});
    Response r = RestClient::post(server.address() + "/contador", "application/json", "{}");
    EXPECT_EQ(r.code, 201) << r.body;
    RestClient::disable();
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].body, "{}");
}

// A body of announced size arrives in one reservation with spare bytes behind it, so
// that a parser can read it in place.
TEST(OneShotBody, AnnouncedBodyKeepsItsSpareCapacity) {
    testsupport::RecordingServer server;
    std::string big(3 * 1000 * 1000 + 7, 'x');
    server.setFallback({200, big});
    Response r = RestClient::get(server.address() + "/transaction");
    ASSERT_EQ(r.code, 200);
    EXPECT_EQ(r.body, big);
    EXPECT_GE(r.body.capacity() - r.body.size(), RestClient::Helpers::kFolgaCorpo);
    // Grown by doubling, it would hold up to twice its size.
    EXPECT_LE(r.body.capacity(), big.size() + 4096);
}

}  // namespace
