// The store's contract, each case run on both back ends (SQLite and PostgreSQL).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <ctime>
#include <future>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "backends.h"
#include "overdrawn_command.h"
#include "roster.h"
#include "routes.h"
#include "server_fixture.h"
#include "store.h"

namespace {

using nlohmann::json;
using rutest::appendRows;
using rutest::importRows;
using rutest::readAll;
using rutest::rosterText;
using rutest::row;

using StoreContract = rutest::BackendTest;
RU_ALL_BACKENDS(StoreContract);

TEST_P(StoreContract, KeepsTransactionsAndHeadCountsAcrossReopening) {
    {
        const auto opened = database.open();
        ru::Store& store = *opened;
        importRows(store, json::array({row("AB12", 7, 10), row("CD34", 8, 2)}));
        ASSERT_EQ(store.appendEvent(7, -1).status, ru::AppendStatus::Stored);
        store.recordHeadCount(4);
        store.recordHeadCount(3);
    }
    const auto reopened = database.open();
    ru::Store& store = *reopened;
    const json roster = json::parse(rosterText(store));
    ASSERT_EQ(roster.size(), 3u);
    EXPECT_EQ(roster[2], row("AB12", 7, -1));
    const auto count = store.latestHeadCount();
    ASSERT_TRUE(count.has_value());
    EXPECT_EQ(count->v, 3);
}

TEST_P(StoreContract, HasNoHeadCountBeforeTheFirstReport) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    EXPECT_FALSE(store.latestHeadCount().has_value());
}

TEST_P(StoreContract, AppendedEventCopiesTheUsersLatestRowAndReturnsTheNewCredit) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    importRows(store, json::array({row("OLD1", 7, 10, "m-old", "s-old", "h-old"), row("CD34", 8, 2),
                                   row("NEW2", 7, 5, "m-new", "s-new", "h-new")}));
    const ru::AppendResult result = store.appendEvent(7, -1);
    EXPECT_EQ(result.status, ru::AppendStatus::Stored);
    EXPECT_EQ(result.credit, 14);
    EXPECT_EQ(json::parse(rosterText(store)).back(), row("NEW2", 7, -1, "m-new", "s-new", "h-new"));
}

TEST_P(StoreContract, RefusedEventsStoreNothing) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    importRows(store, json::array({row("AB12", 7, 2147483600), row("CD34", 8, -2147483600)}));
    const std::string before = rosterText(store);
    struct Case {
        std::int32_t user;
        std::int32_t value;
        ru::AppendStatus status;
        std::int64_t credit;
    };
    const Case cases[] = {
        {9, -1, ru::AppendStatus::UnknownUser, 0},
        {7, 48, ru::AppendStatus::CreditOutOfRange, 2147483600},
        {8, -49, ru::AppendStatus::CreditOutOfRange, -2147483600},
    };
    for (const Case& c : cases) {
        const ru::AppendResult result = store.appendEvent(c.user, c.value);
        EXPECT_EQ(result.status, c.status) << c.user << " " << c.value;
        EXPECT_EQ(result.credit, c.credit) << c.user << " " << c.value;
    }
    EXPECT_EQ(rosterText(store), before);
    // Right up to the edge is still fine.
    EXPECT_EQ(store.appendEvent(7, 47).credit, 2147483647);
    EXPECT_EQ(store.appendEvent(8, -48).credit, -2147483647 - 1);
}

TEST_P(StoreContract, RosterIsTheSameTextWhateverThePieceSize) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    json rows = json::array();
    for (int i = 0; i < 1500; ++i) {
        rows.push_back(row("C" + std::to_string(i), i % 97, i % 5 - 2, "m", "s\"\\", "h"));
    }
    importRows(store, rows);
    const std::string whole = readAll(*store.openRoster(), 1 << 30);
    EXPECT_EQ(json::parse(whole), rows);
    for (std::size_t piece : {1, 150, 4096, 65536}) {
        EXPECT_EQ(readAll(*store.openRoster(), piece), whole) << "pieces of " << piece;
    }
}

TEST_P(StoreContract, OpenRosterIsASnapshotThatLaterEventsDoNotJoin) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    json rows = json::array();
    for (int i = 0; i < 1000; ++i) {
        rows.push_back(row("C" + std::to_string(i), i, 3));
    }
    importRows(store, rows);
    auto stream = store.openRoster();
    std::string text;
    ASSERT_TRUE(stream->read(text, 100));  // part of it read, the rest still to come
    ASSERT_EQ(store.appendEvent(5, -1).status, ru::AppendStatus::Stored);
    while (stream->read(text, 100)) {
    }
    EXPECT_EQ(json::parse(text), rows);
    EXPECT_EQ(json::parse(rosterText(store)).size(), 1001u);
}

TEST_P(StoreContract, ReadsAreAnsweredWhileUploadsWaitForALockHeldElsewhere) {
    rutest::RunningServer server(database.open());
    importRows(server.store(), json::array({row("AB12", 7, 10)}));
    auto lock = database.blockWrites();
    std::vector<std::future<int>> uploads;  // more than the server's workers, head-counts too
    for (int i = 0; i < 7; ++i) {
        uploads.push_back(std::async(std::launch::async, [&server, i] {
            const auto r =
                i < 5 ? server.client().Post("/transaction/7", "{\"event_id\": -1}",
                                             "application/json")
                      : server.client().Post("/contador", "{\"v\": 2}", "application/json");
            return r ? r->status : -1;
        }));
    }
    // Time for the uploads to reach the database: were they slower, the test would prove
    // less, but never fail wrongly.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    httplib::Client client = server.client();
    for (const char* path : {"/contador", "/painel", "/transaction"}) {
        const auto r = client.Get(path);
        EXPECT_EQ(r ? r->status : -1, 200) << path;
    }
    const auto refused = client.Post("/contador", "{\"v\": \"x\"}", "application/json");
    EXPECT_EQ(refused ? refused->status : -1, 400);  // not queued behind the writes
    lock.reset();  // only now: the reads above came while it was held
    for (auto& upload : uploads) {
        EXPECT_EQ(upload.get(), 201);
    }
    EXPECT_EQ(rutest::fetchRoster(client).size(), 6u);
}

TEST_P(StoreContract, AWriteWhoseWaitRunsOutIsAnswered503AndStoresNothing) {
    const auto opened = database.open(std::chrono::milliseconds(100));
    ru::Store& store = *opened;
    importRows(store, json::array({row("AB12", 7, 10)}));
    ru::Request upload{
        "POST", "/transaction/7", "application/json", "{\"event_id\": -1}", {"\"k\""}};
    ru::Request count{"POST", "/contador", "application/json", "{\"v\": 3}", {}};
    const auto patient = database.open(std::chrono::seconds(30));
    {
        const auto lock = database.blockWrites();
        for (const ru::Request* request : {&upload, &count}) {
            const ru::Reply reply = ru::route(store, *request);
            EXPECT_EQ(reply.status, 503) << reply.body;
            EXPECT_NE(reply.body.find("busy"), std::string::npos) << reply.body;
            // The wait counts from the arrival: one that queued through all of it ends at once.
            ru::Request queued = *request;
            queued.arrived -= std::chrono::seconds(30);
            const auto asked = ru::Clock::now();
            EXPECT_EQ(ru::route(*patient, queued).status, 503);
            EXPECT_LT(ru::Clock::now() - asked, std::chrono::seconds(15)) << request->target;
        }
    }
    // A write that can go at once goes, however long it queued; the key was not kept.
    upload.arrived -= std::chrono::hours(1);
    EXPECT_EQ(ru::route(store, upload).status, 201);
    EXPECT_EQ(ru::route(store, upload).status, 201);
    EXPECT_EQ(json::parse(rosterText(store)).size(), 2u);
    EXPECT_FALSE(store.latestHeadCount().has_value());
}

TEST_P(StoreContract, HasARandomIdentityKeptForItsLife) {
    std::string first;
    {
        const auto opened = database.open();
        first = opened->identity();
    }
    EXPECT_EQ(first.size(), 32u);
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos) << first;
    EXPECT_EQ(database.open()->identity(), first);
    rutest::TestDatabase other(GetParam());
    EXPECT_NE(other.open()->identity(), first);
}

// appendRows: the administrator's all-or-nothing append into a store that holds rows.
TEST_P(StoreContract, AppendedRowsJoinAStoreThatHoldsTransactions) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    importRows(store, json::array({row("AB12", 7, 10), row("CD34", 8, 2)}));
    ASSERT_EQ(store.appendEvent(7, -1).status, ru::AppendStatus::Stored);
    const ru::ImportSummary summary = appendRows(
        store,
        json::array({row("NEW7", 7, 5, "m7", "s7", "h7"), row("EF56", 9, 3), row("EF56", 9, 1)}));
    EXPECT_EQ(summary.transactions, 3u);
    EXPECT_EQ(summary.students, 2u);
    const json roster = json::parse(rosterText(store));
    ASSERT_EQ(roster.size(), 6u);
    EXPECT_EQ(roster[3], row("NEW7", 7, 5, "m7", "s7", "h7"));
    // The new user is known to uploads, and the latest row gives the card that is copied.
    const ru::AppendResult added = store.appendEvent(9, -1);
    EXPECT_EQ(added.status, ru::AppendStatus::Stored);
    EXPECT_EQ(added.credit, 3);
    EXPECT_EQ(store.appendEvent(7, -1).credit, 13);
    EXPECT_EQ(json::parse(rosterText(store)).back(), row("NEW7", 7, -1, "m7", "s7", "h7"));
}

TEST_P(StoreContract, AppendedRowsThatLeaveTheRangeStoreNothing) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    importRows(store, json::array({row("AB12", 7, 2147483000), row("CD34", 8, 2)}));
    const std::string before = rosterText(store);
    struct Case {
        const char* name;
        json rows;
        const char* message;  // a part of it; empty for a malformed array
    };
    const std::vector<Case> cases = {
        {"over the top on the stored credit",
         json::array({row("CD34", 8, 1), row("AB12", 7, 600), row("AB12", 7, 48)}),
         "element at index 2 (user_id 7)"},
        {"over on the way, back in range at the end",
         json::array({row("AB12", 7, 700), row("AB12", 7, -700)}),
         "element at index 0 (user_id 7)"},
        {"a new user over its own rows", json::array({row("X", 9, 2147483647), row("X", 9, 1)}),
         ""},
        {"not an array", json::object(), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            appendRows(store, c.rows);
            ADD_FAILURE() << "appended";
        } catch (const ru::RosterError& e) {
            EXPECT_STREQ(c.message, "") << e.what();
        } catch (const ru::StoreError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
            EXPECT_NE(std::string(c.message), "") << e.what();
        }
        EXPECT_EQ(rosterText(store), before);
        EXPECT_EQ(store.appendEvent(9, 1).status, ru::AppendStatus::UnknownUser);
    }
    // Up to the edge is fine, and the uploads see it.
    appendRows(store, json::array({row("AB12", 7, 647)}));
    EXPECT_EQ(store.appendEvent(7, 1).status, ru::AppendStatus::CreditOutOfRange);
    EXPECT_EQ(store.appendEvent(7, -1).credit, 2147483646);
}

TEST_P(StoreContract, ACancelledAppendStoresNothing) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    importRows(store, json::array({row("AB12", 7, 10)}));
    json rows = json::array();
    for (int i = 0; i < 3000; ++i) {
        rows.push_back(row("C" + std::to_string(i), i, 1));
    }
    int polls = 0;
    std::istringstream in(rows.dump());
    EXPECT_THROW(store.appendRows(in, [&polls] { return ++polls > 2000; }), ru::ImportCancelled);
    EXPECT_EQ(json::parse(rosterText(store)).size(), 1u);
    EXPECT_EQ(store.appendEvent(7, -1).credit, 9);
}

// Two stores on one database are two servers: uploads of the same students from both at
// once lose no credit, and each key is stored once.
TEST_P(StoreContract, TwoServersUploadingTheSameStudentsStayExact) {
    const auto first = database.open();
    const auto second = database.open();
    importRows(*first,
               json::array({row("AB12", 1, 1000), row("CD34", 2, 1000), row("EF56", 3, 1000)}));
    constexpr int kPerThread = 40;
    std::vector<std::future<int>> senders;
    for (int t = 0; t < 4; ++t) {
        ru::Store* store = t % 2 == 0 ? first.get() : second.get();
        senders.push_back(std::async(std::launch::async, [store, t] {
            int stored = 0;
            for (int i = 0; i < kPerThread; ++i) {
                // Threads 0 and 1 send the same keys: each event reaches both servers.
                const std::string key = "k" + std::to_string(t / 2) + "-" + std::to_string(i);
                const ru::AppendStatus status = store->appendEvent(1 + i % 3, -1, key).status;
                stored += status == ru::AppendStatus::Stored ? 1 : 0;
                EXPECT_TRUE(status == ru::AppendStatus::Stored ||
                            status == ru::AppendStatus::Repeated);
            }
            return stored;
        }));
    }
    int stored = 0;
    for (auto& s : senders) {
        stored += s.get();
    }
    EXPECT_EQ(stored, 2 * kPerThread);
    const json roster = json::parse(rosterText(*second));
    EXPECT_EQ(roster.size(), 3u + 2 * kPerThread);
    long long total = 0;
    for (int user = 1; user <= 3; ++user) {
        const long long credit = rutest::creditOf(roster, user);
        total += credit;
        // The credit each store hands out is the committed one.
        EXPECT_EQ(first->appendEvent(user, 0).credit, credit) << user;
    }
    EXPECT_EQ(total, 3000 - 2 * kPerThread);
}

TEST_P(StoreContract, ActivityCountsTheMealsThatArrivedAndTheReports) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    importRows(store, json::array({row("AB12", 7, 10), row("CD34", 8, -1)}));
    // The administrator's rows, a correction of -1 among them, are no turnstile's.
    appendRows(store, json::array({row("CD34", 8, -1), row("CD34", 8, 3)}));
    ASSERT_EQ(store.appendCredit(7, -1).status, ru::AppendStatus::Stored);
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    EXPECT_FALSE(store.activity(now - 3600, now + 3600, 900).latestEventAt.has_value());
    EXPECT_EQ(store.activity(now - 3600, now + 3600, 7200).mealsPerSlot,
              std::vector<std::int64_t>{0});
    ASSERT_EQ(store.appendEvent(7, -1).status, ru::AppendStatus::Stored);
    ASSERT_EQ(store.appendEvent(7, -1).status, ru::AppendStatus::Stored);
    ASSERT_EQ(store.appendEvent(7, 5).status, ru::AppendStatus::Stored);
    store.recordHeadCount(4);
    store.recordHeadCount(2);
    const std::int64_t from = now - 7200;
    const ru::Activity a = store.activity(from, now + 7200, 3600);
    ASSERT_EQ(a.mealsPerSlot.size(), 4u);
    // The slot of now (the clock may turn a second meanwhile, and a slot with it).
    EXPECT_EQ(a.mealsPerSlot[0] + a.mealsPerSlot[1] + a.mealsPerSlot[2] + a.mealsPerSlot[3], 2);
    EXPECT_EQ(a.mealsPerSlot[0], 0);
    ASSERT_EQ(a.headCounts.size(), 2u);
    EXPECT_EQ(a.headCounts[1].v, 2);
    EXPECT_TRUE(a.headCountsBefore.empty());
    ASSERT_EQ(a.latestHeadCounts.size(), 1u);
    EXPECT_EQ(a.latestHeadCounts[0].v, 2);
    EXPECT_NEAR(static_cast<double>(a.latestHeadCounts[0].receivedAt), static_cast<double>(now), 5);
    ASSERT_TRUE(a.latestEventAt.has_value());
    EXPECT_NEAR(static_cast<double>(*a.latestEventAt), static_cast<double>(now), 5);
    const ru::Activity later = store.activity(now + 3600, now + 7200, 900);
    ASSERT_EQ(later.headCountsBefore.size(), 1u);
    EXPECT_EQ(later.headCountsBefore[0].v, 2);
    EXPECT_TRUE(later.headCounts.empty());
}

}  // namespace

namespace {

// A POST of `body` to `path` as a board sends it, from `board` with the key `key` (none
// when empty), to a server with --online.
ru::Reply post(ru::Store& store, const std::string& path, const std::string& board = "",
               const std::string& key = "", const std::string& body = "{\"event_id\": -1}") {
    ru::Request request{"POST", path, "application/json", body, {}};
    if (!key.empty()) {
        request.idempotencyKeys = {"\"" + key + "\""};
    }
    if (!board.empty()) {
        request.boardNames = {board};
    }
    return ru::route(store, request, {}, true);
}

TEST_P(StoreContract, TheRestaurantCountsTheLatestReportOfEachBoard) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    for (const auto& [board, v] : {std::pair{"b", 4}, {"a", 3}, {"", 2}, {"a", 1}}) {
        EXPECT_EQ(post(store, "/contador", board, "", "{\"v\":" + std::to_string(v) + "}").status,
                  201);
    }
    const std::vector<ru::HeadCount> latest = store.latestHeadCounts();
    ASSERT_EQ(latest.size(), 3u);
    EXPECT_EQ(latest[1].board + "=" + std::to_string(latest[1].v), "a=1");
    EXPECT_EQ(store.latestHeadCount()->v, 7);
    const std::int64_t now = std::time(nullptr);
    EXPECT_EQ(store.activity(now - 60, now + 60, 60).headCounts.at(3).board, "a");
    // Each board's last report before a period, however long ago the others reported.
    const ru::Activity later = store.activity(now + 60, now + 120, 60);
    ASSERT_EQ(later.headCountsBefore.size(), 3u);
    EXPECT_EQ(later.headCountsBefore[1].board + "=" + std::to_string(later.headCountsBefore[1].v),
              "a=1");
}

// ru-server --online asked as boards ask, one question after the other: what each answer
// says, against the committed credit.
TEST_P(StoreContract, OnlineEntriesAreDecidedByTheCommittedCredit) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    importRows(store, json::array({row("AB12", 7, 2), row("CD34", 8, 0)}));
    struct Case {
        const char* path;
        const char* key;
        const char* body;
        int status;
        const char* answer;
    };
    const char* meal = "{\"event_id\": -1}";
    const Case cases[] = {
        {"/entrada/7", "", meal, 201, "{\"user_id\":7,\"event\":-1,\"credit\":1}"},
        {"/entrada/7", "k1", meal, 201, "{\"user_id\":7,\"event\":-1,\"credit\":0}"},
        {"/entrada/7", "", meal, 409, "{\"error\":\"insufficient credit\",\"credit\":0}"},
        // The answer of k1 lost: the question again, and the board's upload, store nothing.
        {"/entrada/7", "k1", meal, 201, "{\"user_id\":7,\"event\":-1,\"credit\":0}"},
        {"/transaction/7", "k1", meal, 201, "{\"user_id\":7,\"event\":-1,\"credit\":0}"},
        // A refusal keeps no key: after a purchase, the same question is admitted.
        {"/entrada/8", "k2", meal, 409, "{\"error\":\"insufficient credit\",\"credit\":0}"},
        {"credit", "", nullptr, 0, nullptr},  // 3 bought at the cashier (ru-server credit)
        {"/entrada/8", "k2", meal, 201, "{\"user_id\":8,\"event\":-1,\"credit\":2}"},
        {"/entrada/9", "", meal, 404, nullptr},
        {"/entrada/8", "", "{\"event_id\": 1}", 422, nullptr},
    };
    for (const Case& c : cases) {
        if (c.body == nullptr) {
            EXPECT_EQ(store.appendEvent(8, 3).credit, 3);
            continue;
        }
        const ru::Reply reply = post(store, c.path, "", c.key, c.body);
        EXPECT_EQ(reply.status, c.status) << c.path << " " << c.key << ": " << reply.body;
        EXPECT_TRUE(c.answer == nullptr || reply.body == c.answer) << c.path << ": " << reply.body;
    }
    EXPECT_EQ(json::parse(rosterText(store)).size(), 6u);
    EXPECT_TRUE(store.overdrawnStudents().empty()) << "entries never mark anyone";
}

// Two servers on one database, each asked for the last credit of the same students at the
// same moment: each credit is spent once, and none goes below zero.
TEST_P(StoreContract, TwoServersNeverSpendTheLastCreditTwice) {
    const auto first = database.open();
    const auto second = database.open();
    constexpr int kStudents = 30;
    json rows = json::array();
    for (int user = 1; user <= kStudents; ++user) {
        rows.push_back(row("C" + std::to_string(user), user, 1));
    }
    importRows(*first, rows);
    std::vector<std::future<int>> boards;
    for (int t = 0; t < 4; ++t) {
        ru::Store* store = t % 2 == 0 ? first.get() : second.get();
        boards.push_back(std::async(std::launch::async, [store] {
            int admitted = 0;
            for (int user = 1; user <= kStudents; ++user) {  // all four at once on each
                const int status = post(*store, "/entrada/" + std::to_string(user)).status;
                EXPECT_TRUE(status == 201 || status == 409) << status;
                admitted += status == 201 ? 1 : 0;
            }
            return admitted;
        }));
    }
    int admitted = 0;
    for (auto& b : boards) {
        admitted += b.get();
    }
    EXPECT_EQ(admitted, kStudents);
    const json roster = json::parse(rosterText(*second));
    for (int user = 1; user <= kStudents; ++user) {
        EXPECT_EQ(rutest::creditOf(roster, user), 0) << user;
    }
}

// An upload is a fact: stored below zero, it marks the student, whom the administrator's
// list (ru-server overdrawn) and the page's count show until the debt is paid.
TEST_P(StoreContract, AnUploadBelowZeroMarksTheStudentUntilRepaid) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    importRows(store, json::array({row("AB12", 7, 1, "2019001"), row("CD34", 8, -3)}));
    EXPECT_EQ(post(store, "/transaction/7", "a").status, 201);
    EXPECT_TRUE(store.overdrawnStudents().empty()) << "down to zero is no debt";
    EXPECT_EQ(post(store, "/transaction/7", "b").status, 201);
    EXPECT_EQ(post(store, "/transaction/7", "sul").status, 201);
    // A positive event, or a negative credit of the roster, is no mark.
    EXPECT_EQ(store.appendEvent(8, 1).status, ru::AppendStatus::Stored);
    const std::int64_t now = std::time(nullptr);
    EXPECT_EQ(store.activity(now - 60, now + 60, 60).overdrawnStudents, 1);
    std::vector<std::string> args = {"--db", database.db()};
    if (!database.schema().empty()) {
        args.insert(args.end(), {"--db-schema", database.schema()});
    }
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(ru::overdrawnCommand(args, out, err), 0) << err.str();
    EXPECT_TRUE(std::regex_match(
        out.str(),
        std::regex("user_id\tmatricula\tcredit\ttimes\tlast\tboard\n"
                   "7\t2019001\t-2\t2\t20[0-9-]{8}T[0-9:]{8}[+-][0-9]{2}:[0-9]{2}\tsul\n")))
        << out.str();
    // Paid back, the student leaves the list; in debt again, it comes back, counted on.
    appendRows(store, json::array({row("AB12", 7, 2, "2019001")}));
    EXPECT_TRUE(store.overdrawnStudents().empty());
    EXPECT_EQ(post(store, "/transaction/7", "a").status, 201);
    const std::vector<ru::OverdrawnStudent> marked = store.overdrawnStudents();
    ASSERT_EQ(marked.size(), 1u);
    EXPECT_EQ(std::to_string(marked[0].credit) + " " + std::to_string(marked[0].times) + " " +
                  marked[0].board,
              "-1 3 a");
}

}  // namespace
