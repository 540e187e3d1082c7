#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "routes.h"
#include "server_fixture.h"

namespace {

using nlohmann::json;
using rutest::row;

httplib::Result send(httplib::Client& client, const std::string& method, const std::string& path,
                     const std::string& body = "") {
    const char* type = "application/json";
    if (method == "GET")
        return client.Get(path);
    if (method == "HEAD")
        return client.Head(path);
    if (method == "POST")
        return client.Post(path, body, type);
    if (method == "PUT")
        return client.Put(path, body, type);
    if (method == "PATCH")
        return client.Patch(path, body, type);
    if (method == "DELETE")
        return client.Delete(path);
    if (method == "OPTIONS")
        return client.Options(path);
    throw std::invalid_argument("method " + method);
}

// The student with the largest credit there can be: one more meal bought overflows it.
constexpr long long kRichUser = 50;
// The student with the smallest: one more meal eaten overflows it.
constexpr long long kIndebtedUser = 51;

json sampleRoster() {
    return json::array({
        row("AB12", 7, 10, "2019001", "salt-a", "hash-a"),
        row("CD34", 8, 0, "2019002", "salt-b", "hash-b"),
        row("AB12", 7, -1, "2019001", "salt-a", "hash-a"),
        row("ef56", 9, -2, "2019003", "salt-c", "hash-c"),
        row("GH78", kRichUser, 2147483647, "2019004", "salt-d", "hash-d"),
        row("IJ90", kIndebtedUser, -2147483647 - 1, "2019005", "salt-e", "hash-e"),
    });
}

class ServerHttp : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = std::make_unique<rutest::RunningServer>(dir_.file("ru.db"));
        std::istringstream in(sampleRoster().dump());
        server_->store().importRoster(in);
    }

    // Stops the server and closes the database, then serves the same file afresh.
    void restart() {
        server_.reset();
        server_ = std::make_unique<rutest::RunningServer>(dir_.file("ru.db"));
    }

    httplib::Client client() { return server_->client(); }

    rutest::TempDir dir_;
    std::unique_ptr<rutest::RunningServer> server_;
};

TEST_F(ServerHttp, RosterDownloadListsEveryTransactionInInsertionOrder) {
    auto c = client();
    EXPECT_EQ(rutest::fetchRoster(c), sampleRoster());
}

TEST_F(ServerHttp, RosterDownloadOfAnEmptyStoreIsAnEmptyArray) {
    rutest::TempDir other;
    rutest::RunningServer empty(other.file("empty.db"));
    auto c = empty.client();
    auto res = c.Get("/transaction");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "[]");
}

TEST_F(ServerHttp, RangeRequestForTheRosterGetsItWhole) {
    auto c = client();
    auto res = c.Get("/transaction", {{"Range", "bytes=0-10"}});
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(json::parse(res->body, nullptr, false), sampleRoster());
}

TEST_F(ServerHttp, HeadOfTheRosterAnswersWithoutABody) {
    auto c = client();
    auto res = c.Head("/transaction");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "");
}

TEST_F(ServerHttp, EventUploadIsStoredWithTheUsersDataAndShowsInTheNextRoster) {
    auto c = client();
    // The exact bytes the turnstile sends.
    auto res = c.Post("/transaction/7", "{\"event_id\": -1}", "application/json");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 201) << res->body;
    EXPECT_EQ(json::parse(res->body), json({{"user_id", 7}, {"event", -1}, {"credit", 8}}));

    json expected = sampleRoster();
    expected.push_back(row("AB12", 7, -1, "2019001", "salt-a", "hash-a"));
    const json roster = rutest::fetchRoster(c);
    EXPECT_EQ(roster, expected);
    EXPECT_EQ(rutest::creditOf(roster, 7), 8);
}

// A board uploads admissions only (other events are refused in the table below).
TEST_F(ServerHttp, EventUploadTakesAnAdmissionWhateverTheCredit) {
    auto c = client();
    auto res =
        c.Post("/transaction/9", "{\"event_id\":-1, \"note\": \"ignored\"}", "application/json");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->body, "{\"user_id\":9,\"event\":-1,\"credit\":-3}");
}

TEST_F(ServerHttp, HeadCountIsZeroWithoutDateBeforeAnyReportThenTheLatest) {
    auto c = client();
    auto before = c.Get("/contador");
    ASSERT_TRUE(before) << httplib::to_string(before.error());
    EXPECT_EQ(before->status, 200);
    EXPECT_EQ(before->body, "{\"v\":0}");
    EXPECT_FALSE(before->has_header("Last-Modified"));

    for (int v : {3, 0, 12}) {
        auto posted = c.Post("/contador", json({{"v", v}}).dump(), "application/json");
        ASSERT_TRUE(posted) << httplib::to_string(posted.error());
        EXPECT_EQ(posted->status, 201) << posted->body;
        auto latest = c.Get("/contador");
        ASSERT_TRUE(latest) << httplib::to_string(latest.error());
        EXPECT_EQ(latest->status, 200);
        EXPECT_EQ(latest->body, "{\"v\":" + std::to_string(v) + "}");
        EXPECT_NE(latest->get_header_value("Last-Modified").find(" GMT"), std::string::npos);
    }
}

struct BadRequest {
    std::string method;
    std::string path;
    std::string body;
    int status;
    std::string allow;  // expected Allow header, for 405
};

std::vector<BadRequest> badRequests() {
    const std::string allowRoster = "GET, HEAD, OPTIONS";
    const std::string allowUpload = "POST, OPTIONS";
    const std::string allowCount = "GET, HEAD, POST, OPTIONS";
    const std::string event = "{\"event_id\": -1}";
    std::vector<BadRequest> cases = {
        // Unknown users.
        {"POST", "/transaction/99", event, 404, ""},
        {"POST", "/transaction/-7", event, 404, ""},
        {"POST", "/transaction/abc", event, 404, ""},
        {"POST", "/transaction/7x", event, 404, ""},
        {"POST", "/transaction/4294967303", event, 404, ""},  // 7 modulo 2^32
        // Bodies that are not {"event_id": <int32>}.
        {"POST", "/transaction/7", "", 400, ""},
        {"POST", "/transaction/7", "event_id=-1", 400, ""},
        {"POST", "/transaction/7", "{\"event_id\": -1", 400, ""},
        {"POST", "/transaction/7", "{\"event_id\": -1} {}", 400, ""},
        {"POST", "/transaction/7", "[-1]", 400, ""},
        {"POST", "/transaction/7", "-1", 400, ""},
        {"POST", "/transaction/7", "{}", 400, ""},
        {"POST", "/transaction/7", "{\"event\": -1}", 400, ""},
        {"POST", "/transaction/7", "{\"event_id\": \"-1\"}", 400, ""},
        {"POST", "/transaction/7", "{\"event_id\": -1.5}", 400, ""},
        {"POST", "/transaction/7", "{\"event_id\": -1.0}", 400, ""},
        {"POST", "/transaction/7", "{\"event_id\": 1e2}", 400, ""},
        {"POST", "/transaction/7", "{\"event_id\": null}", 400, ""},
        {"POST", "/transaction/7", "{\"event_id\": true}", 400, ""},
        {"POST", "/transaction/7", "{\"event_id\": 2147483648}", 400, ""},
        {"POST", "/transaction/7", "{\"event_id\": -2147483649}", 400, ""},
        {"POST", "/transaction/7", "{\"event_id\": 99999999999999999999999}", 400, ""},
        {"POST", "/transaction/99", "{\"event_id\": \"x\"}", 400, ""},  // the body comes first
        // Events other than an admission, whoever they are for.
        {"POST", "/transaction/50", "{\"event_id\": 1}", 422, ""},
        {"POST", "/transaction/9", "{\"event_id\": -2147483647}", 422, ""},
        {"POST", "/transaction/8", "{\"event_id\": 0}", 422, ""},
        {"POST", "/transaction/99", "{\"event_id\": 100000}", 422, ""},
        // Credit that would leave the 32-bit range.
        {"POST", "/transaction/51", "{\"event_id\": -1}", 422, ""},
        // Head-count bodies.
        {"POST", "/contador", "", 400, ""},
        {"POST", "/contador", "3", 400, ""},
        {"POST", "/contador", "{}", 400, ""},
        {"POST", "/contador", "{\"v\": \"3\"}", 400, ""},
        {"POST", "/contador", "{\"v\": 2.5}", 400, ""},
        {"POST", "/contador", "{\"v\": -1}", 400, ""},
        {"POST", "/contador", "{\"v\": 2147483648}", 400, ""},
        // Unknown paths.
        {"GET", "/index.html", "", 404, ""},  // "/" is the occupancy page
        {"GET", "/web/nada.js", "", 404, ""},
        {"GET", "/painel/", "", 404, ""},
        {"GET", "/transactions", "", 404, ""},
        {"GET", "/transaction/", "", 404, ""},
        {"GET", "/transaction/7/x", "", 404, ""},
        {"POST", "/contador/1", "{\"v\": 1}", 404, ""},
        {"DELETE", "/nothing", "", 404, ""},
        // Known paths, wrong methods.
        {"POST", "/transaction", event, 405, allowRoster},
        {"PUT", "/transaction", "[]", 405, allowRoster},
        {"DELETE", "/transaction", "", 405, allowRoster},
        {"GET", "/transaction/7", "", 405, allowUpload},
        {"PUT", "/transaction/7", event, 405, allowUpload},
        {"PATCH", "/transaction/7", event, 405, allowUpload},
        {"DELETE", "/transaction/7", "", 405, allowUpload},
        {"PUT", "/contador", "{\"v\": 1}", 405, allowCount},
        {"DELETE", "/contador", "", 405, allowCount},
    };
    // One byte over the limit, with bodies that would otherwise be accepted.
    std::string tooLarge = event;
    tooLarge.resize(ru::kMaxBodyBytes + 1, ' ');
    cases.push_back({"POST", "/transaction/7", tooLarge, 413, ""});
    std::string tooLargeCount = "{\"v\": 1}";
    tooLargeCount.resize(ru::kMaxBodyBytes + 1, ' ');
    cases.push_back({"POST", "/contador", tooLargeCount, 413, ""});
    return cases;
}

TEST_F(ServerHttp, BadRequestsGetTheirStatusAndAJsonErrorAndChangeNothing) {
    auto c = client();
    const std::string before = rutest::observableState(c);
    for (const BadRequest& bad : badRequests()) {
        const std::string label = bad.method + " " + bad.path + " " + bad.body.substr(0, 40);
        auto res = send(c, bad.method, bad.path, bad.body);
        ASSERT_TRUE(res) << label << ": " << httplib::to_string(res.error());
        EXPECT_EQ(res->status, bad.status) << label << ": " << res->body;
        EXPECT_EQ(res->get_header_value("Allow"), bad.allow) << label;
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json") << label;
        const json body = json::parse(res->body, nullptr, false);
        EXPECT_TRUE(body.is_object() && body.contains("error") && body["error"].is_string() &&
                    !body["error"].get<std::string>().empty())
            << label << ": " << res->body;
    }
    EXPECT_EQ(rutest::observableState(c), before);
}

TEST_F(ServerHttp, BodyOfExactlyTheLimitIsAccepted) {
    auto c = client();
    std::string body = "{\"event_id\": -1}";
    body.resize(ru::kMaxBodyBytes, ' ');
    auto res = c.Post("/transaction/7", body, "application/json");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 201) << res->body;
}

TEST_F(ServerHttp, ChunkedBodyOverTheLimitIsRefused) {
    auto c = client();
    const std::string before = rutest::observableState(c);
    const std::string piece = "{\"event_id\": -1}" + std::string(1000, ' ');
    auto res = c.Post(
        "/transaction/7",
        [&](std::size_t offset, httplib::DataSink& sink) {
            if (offset > ru::kMaxBodyBytes) {
                sink.done();
                return true;
            }
            // Padding after the first piece keeps the text valid JSON in case it got through.
            const std::string text = offset == 0 ? piece : std::string(1000, ' ');
            return sink.write(text.data(), text.size());
        },
        "application/json");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 413) << res->body;
    EXPECT_EQ(rutest::observableState(c), before);
}

TEST_F(ServerHttp, OptionsListsTheMethodsOfAPath) {
    auto c = client();
    const std::pair<const char*, const char*> cases[] = {
        {"/transaction", "GET, HEAD, OPTIONS"},
        {"/transaction/7", "POST, OPTIONS"},
        {"/contador", "GET, HEAD, POST, OPTIONS"},
    };
    for (const auto& [path, allow] : cases) {
        auto res = c.Options(path);
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_EQ(res->status, 204) << path;
        EXPECT_EQ(res->get_header_value("Allow"), allow) << path;
    }
}

TEST_F(ServerHttp, EventsAndHeadCountSurviveARestartOnTheSameDatabase) {
    {
        auto c = client();
        ASSERT_EQ(c.Post("/transaction/7", "{\"event_id\": -1}", "application/json")->status, 201);
        ASSERT_EQ(c.Post("/transaction/8", "{\"event_id\": -1}", "application/json")->status, 201);
        ASSERT_EQ(c.Post("/contador", "{\"v\":2}", "application/json")->status, 201);
    }
    restart();
    auto c = client();
    json expected = sampleRoster();
    expected.push_back(row("AB12", 7, -1, "2019001", "salt-a", "hash-a"));
    expected.push_back(row("CD34", 8, -1, "2019002", "salt-b", "hash-b"));
    EXPECT_EQ(rutest::fetchRoster(c), expected);
    auto count = c.Get("/contador");
    ASSERT_TRUE(count);
    EXPECT_EQ(count->body, "{\"v\":2}");
}

TEST_F(ServerHttp, ConcurrentUploadsAreAllStoredExactlyOnce) {
    constexpr int kThreads = 4;
    constexpr int kUploadsEach = 25;
    std::vector<std::thread> threads;
    std::vector<int> created(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t, &created] {
            auto c = client();
            // Two threads share each user, so uploads for one user interleave.
            const std::string path = t % 2 == 0 ? "/transaction/7" : "/transaction/8";
            for (int i = 0; i < kUploadsEach; ++i) {
                auto res = c.Post(path, "{\"event_id\": -1}", "application/json");
                if (res && res->status == 201) {
                    ++created[t];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(created[t], kUploadsEach) << "thread " << t;
    }
    auto c = client();
    const json roster = rutest::fetchRoster(c);
    EXPECT_EQ(roster.size(), sampleRoster().size() + kThreads * kUploadsEach);
    EXPECT_EQ(rutest::creditOf(roster, 7), 9 - 2 * kUploadsEach);
    EXPECT_EQ(rutest::creditOf(roster, 8), 0 - 2 * kUploadsEach);
}

TEST_F(ServerHttp, LargeRosterComesBackWholeAndInOrder) {
    rutest::TempDir other;
    rutest::RunningServer big(other.file("big.db"));
    json rows = json::array();
    for (int i = 0; i < 20000; ++i) {
        rows.push_back(row("CARD" + std::to_string(i % 5000), i % 5000, i % 7 - 3,
                           "20" + std::to_string(i), "s" + std::to_string(i), "h\xC3\xA3"));
    }
    std::istringstream in(rows.dump());
    big.store().importRoster(in);
    auto c = big.client();
    EXPECT_EQ(rutest::fetchRoster(c), rows);
}

TEST(ServerLog, LineIsMethodTargetStatusAndStaysOneLineWhateverTheClientSends) {
    struct Case {
        std::string method;
        std::string target;
        int status;
        std::string line;
        std::string board = "";
    };
    const Case cases[] = {
        {"POST", "/transaction/1001", 201, "POST /transaction/1001 201"},
        {"GET", "/transaction?x=1", 200, "GET /transaction?x=1 200"},
        {"GET", "/a b\r\nGET /forged 200", 404, "GET /a%20b%0D%0AGET%20/forged%20200 404"},
        {"GET", "/caf\xC3\xA9", 404, "GET /caf%C3%A9 404"},
        {"BAD\x01", "", 400, "BAD%01 - 400"},
        {"", "", 400, "- - 400"},
        {"POST", "/contador", 201, "POST /contador 201 board=ru-1", "ru-1"},
        {"POST", "/contador", 400, "POST /contador 400 board=a%20b%0D%0AGET", "a b\r\nGET"},
        {"GET", "/contador", 200, "GET /contador 200 board=x%2520board=admin", "x%20board=admin"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ru::requestLogLine(c.method, c.target, c.status, c.board), c.line) << c.line;
    }
}

// Three boards of one restaurant: GET /contador and the page give the sum of each board's
// latest count, and the page lists each board.
TEST(ServerBoards, HeadCountsOfThreeBoardsAddUp) {
    rutest::TempDir dir;
    rutest::RunningServer server(dir.file("ru.db"));
    auto c = server.client();
    for (const auto& [board, v] : {std::pair{"norte", 4}, {"sul", 2}, {"", 5}, {"norte", 1}}) {
        httplib::Headers headers;
        if (*board != '\0') {
            headers.emplace("Catraca-Board", board);
        }
        EXPECT_EQ(c.Post("/contador", headers, json({{"v", v}}).dump(), "application/json")->status,
                  201);
    }
    EXPECT_EQ(c.Get("/contador")->body, "{\"v\":8}");
    const json page = json::parse(c.Get("/painel")->body);
    EXPECT_EQ(page.at("headcount"), 8);
    ASSERT_EQ(page.at("boards").size(), 3u);
    EXPECT_EQ(page.at("boards")[1].at("board"), "norte");
    EXPECT_EQ(page.at("boards")[1].at("headcount"), 1);
}

}  // namespace
