// The waits a Connection can bound: the connect time-out, the stall guard and the
// abort check, against servers that answer slowly, partly or never. Each is off by
// default, and none changes a byte of the request.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include "named_case.h"
#include "raw_server.h"
#include "restclient/connection.h"
#include "support/scripted_server.h"

namespace {

using RestClient::Connection;
using RestClient::Response;
using testsupport::Act;
using testsupport::ScriptedServer;

const std::string kBody = "[\"twenty bytes long\"]";

// True from `ms` milliseconds after its creation on.
std::function<bool()> after(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    return [end] { return std::chrono::steady_clock::now() >= end; };
}

struct GuardCase : rawtest::NamedCase {
    std::function<void(Connection&)> setup;
    bool post;
    Act act;
    int code;
    std::string body;
};

class Guard : public ::testing::TestWithParam<GuardCase> {};

TEST_P(Guard, EndsTheTransferOnlyWhenItStopsMoving) {
    const GuardCase& c = GetParam();
    ScriptedServer server([&](const testsupport::ScriptedRequest&) { return c.act; });
    Connection conn("http://" + server.address());
    c.setup(conn);
    Response r = c.post ? conn.post("/transaction/1", "{\"event_id\": -1}") : conn.get("/r");
    EXPECT_EQ(r.code, c.code) << r.body;
    EXPECT_EQ(r.body, c.body);
    EXPECT_EQ(server.requests().size(), 1u);
}

const auto stall1 = [](Connection& c) { c.SetStallTimeout(1); };

INSTANTIATE_TEST_SUITE_P(
    Waits, Guard,
    ::testing::Values(
        GuardCase{"SilentServerIsATimeout", stall1, false, Act::silent(), 28, "Operation Timeout."},
        GuardCase{"SilentAfterAPostIsATimeout", stall1, true, Act::silent(), 28,
                  "Operation Timeout."},
        GuardCase{"BodyThatStopsHalfwayIsATimeout", stall1, false, Act::drip(200, kBody, 5000), 28,
                  "Operation Timeout."},
        GuardCase{"DripLongerThanTheGuardIsNeverCutOff", stall1, false, Act::drip(200, kBody, 100),
                  200, kBody},
        GuardCase{"GuardLeavesAPromptAnswerAlone", stall1, true, Act::answer(201, "{}"), 201, "{}"},
        GuardCase{"AbortCheckEndsASilentWait", [](Connection& c) { c.SetAbortCheck(after(300)); },
                  false, Act::silent(), -1, "Transfer aborted."},
        GuardCase{"AbortCheckEndsADrip",
                  [](Connection& c) {
                      c.SetStallTimeout(5);
                      c.SetAbortCheck(after(300));
                  },
                  false, Act::drip(200, kBody, 100), -1, "Transfer aborted."},
        GuardCase{"AbortCheckThatNeverFiresChangesNothing",
                  [](Connection& c) { c.SetAbortCheck([] { return false; }); }, false,
                  Act::drip(200, kBody, 20), 200, kBody}),
    rawtest::CaseName());

TEST(GuardOnTheWire, SettingsAddNoByteToTheRequest) {
    rawtest::RawServer plain;
    rawtest::RawServer guarded;
    Connection a("http://" + plain.address());
    Connection b("http://" + guarded.address());
    b.SetConnectTimeout(3);
    b.SetStallTimeout(3);
    b.SetAbortCheck([] { return false; });
    for (Connection* c : {&a, &b}) {
        c->AppendHeader("Content-Type", "application/json");
        ASSERT_EQ(c->post("/transaction/7", "{\"event_id\": -1}").code, 200);
    }
    ASSERT_EQ(plain.requests().size(), 1u);
    ASSERT_EQ(guarded.requests().size(), 1u);
    EXPECT_EQ(rawtest::difference(rawtest::withHost(guarded.requests()[0], plain),
                                  rawtest::withHost(plain.requests()[0], plain)
                                      .replace(plain.requests()[0].find(plain.address()),
                                               plain.address().size(), guarded.address())),
              "");
}

// A listener whose backlog is full drops further handshakes, as a host that lost
// power does: only the connect time-out ends the wait.
TEST(GuardConnect, UnansweredHandshakeIsATimeout) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers.push_back(fd);
    }
    Connection conn("");
    conn.SetConnectTimeout(1);
    Response r = conn.get("127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/r");
    EXPECT_EQ(r.code, 28) << r.body;
    EXPECT_EQ(r.body, "Operation Timeout.");
    for (int fd : fillers) {
        close(fd);
    }
    close(listener);
}

}  // namespace
