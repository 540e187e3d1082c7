// catraca against ru-server, both as built programs on loopback: every admission the
// turnstile uploads lowers the served roster by exactly one, and the head-count the
// server keeps is the one after the last exit.
#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/process.h"

namespace {

using testsupport::ChildProcess;

std::map<int, long> credits(const std::string& rosterJson) {
    std::map<int, long> sum;
    for (const nlohmann::json& row : nlohmann::json::parse(rosterJson)) {
        sum[row.at("user_id").get<int>()] += row.at("event").get<long>();
    }
    return sum;
}

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        char dirTemplate[] = "/tmp/catraca-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir = dirTemplate;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Starts ru-server on a free port over `db`; returns the port, 0 on failure.
    int startServer(ChildProcess& server) {
        const std::string line = "ru-server listening on 127.0.0.1:";
        if (!server.waitForOutput("\n", 1)) {
            return 0;
        }
        size_t at = server.out().find(line);
        return at == std::string::npos ? 0 : std::atoi(server.out().c_str() + at + line.size());
    }

    std::string dir;
};

TEST_F(EndToEnd, AdmissionsLowerTheServedRosterAndHeadCountMatches) {
    std::ifstream sample(SAMPLE_ROSTER);
    std::stringstream text;
    text << sample.rdbuf();
    std::map<int, long> before = credits(text.str());

    std::string db = dir + "/ru.db";
    ChildProcess server(RU_SERVER_BIN, {"--db", db, "--import", SAMPLE_ROSTER, "--port", "0"});
    int port = startServer(server);
    ASSERT_GT(port, 0) << server.out() << server.err();

    // 1001 (credit 10) enters, leaves, enters again and leaves; 1002 (credit 2) enters
    // and leaves; 1007 (credit 1) enters and stays; 1004 (credit 0) is refused; the
    // lower-case card of 1006 is never found; 1003 enters and leaves.
    ChildProcess catraca(CATRACA_BIN, {});
    catraca.write("127.0.0.1\n" + std::to_string(port) +
                  "\n1 8f3a21c0\n1 5D90B7E2\n2 8F3A21C0\n1 A17C44E8\n1 7B22F5D1\n"
                  "1 3F9D0B7A\n1 8F3A21C0\n2 5D90B7E2\n1 C4E1096A\n2 8F3A21C0\n2 C4E1096A\n");
    catraca.closeInput();
    ASSERT_EQ(catraca.wait(), 0) << catraca.out();
    EXPECT_EQ(catraca.err(), "");

    httplib::Client client("127.0.0.1", port);
    auto roster = client.Get("/transaction");
    ASSERT_TRUE(roster);
    ASSERT_EQ(roster->status, 200);
    std::map<int, long> after = credits(roster->body);
    std::map<int, long> admissions = {{1001, 2}, {1002, 1}, {1003, 1}, {1007, 1}};
    for (const auto& [user, credit] : before) {
        EXPECT_EQ(after[user], credit - admissions[user]) << "user " << user;
    }
    EXPECT_EQ(after.size(), before.size());

    auto count = client.Get("/contador");
    ASSERT_TRUE(count);
    EXPECT_EQ(nlohmann::json::parse(count->body).at("v"), 1) << "1007 is still inside";

    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(), 0) << server.err();
}

// The server keeps what it acknowledged: a second server on the same database serves
// the admissions of the first session.
TEST_F(EndToEnd, AcknowledgedEventsSurviveAServerRestart) {
    std::string db = dir + "/ru.db";
    int port;
    {
        ChildProcess server(RU_SERVER_BIN, {"--db", db, "--import", SAMPLE_ROSTER, "--port", "0"});
        port = startServer(server);
        ASSERT_GT(port, 0) << server.out() << server.err();
        ChildProcess catraca(CATRACA_BIN, {});
        catraca.write("127.0.0.1\n" + std::to_string(port) + "\n1 D2B8E6F3\n2 D2B8E6F3\n");
        catraca.closeInput();
        ASSERT_EQ(catraca.wait(), 0) << catraca.out();
        server.signal(SIGKILL);  // no clean shutdown: only committed data may count
        server.wait();
    }
    ChildProcess again(RU_SERVER_BIN, {"--db", db, "--port", "0"});
    port = startServer(again);
    ASSERT_GT(port, 0) << again.out() << again.err();
    httplib::Client client("127.0.0.1", port);
    auto roster = client.Get("/transaction");
    ASSERT_TRUE(roster);
    EXPECT_EQ(credits(roster->body)[1008], 19);
}

}  // namespace
