#include <gtest/gtest.h>
#include <sqlite3.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "routes.h"
#include "server_fixture.h"
#include "store.h"

namespace {

using nlohmann::json;
using rutest::row;

std::string readAll(ru::RosterStream& stream, std::size_t pieceBytes) {
    std::string text;
    while (stream.read(text, pieceBytes)) {
    }
    return text;
}

std::string rosterText(ru::Store& store) {
    return readAll(*store.openRoster(), 4096);
}

void importRows(ru::Store& store, const json& rows) {
    std::istringstream in(rows.dump());
    store.importRoster(in);
}

std::string fileContent(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ServerStore, KeepsTransactionsAndHeadCountsAcrossReopening) {
    rutest::TempDir dir;
    const std::string db = dir.file("ru.db");
    {
        ru::Store store(db);
        importRows(store, json::array({row("AB12", 7, 10), row("CD34", 8, 2)}));
        ASSERT_EQ(store.appendEvent(7, -1).status, ru::AppendStatus::Stored);
        store.recordHeadCount(4);
        store.recordHeadCount(3);
    }
    ru::Store store(db);
    const json roster = json::parse(rosterText(store));
    ASSERT_EQ(roster.size(), 3u);
    EXPECT_EQ(roster[2], row("AB12", 7, -1));
    const auto count = store.latestHeadCount();
    ASSERT_TRUE(count.has_value());
    EXPECT_EQ(count->v, 3);
}

TEST(ServerStore, HasNoHeadCountBeforeTheFirstReport) {
    rutest::TempDir dir;
    ru::Store store(dir.file("ru.db"));
    EXPECT_FALSE(store.latestHeadCount().has_value());
}

TEST(ServerStore, AppendedEventCopiesTheUsersLatestRowAndReturnsTheNewCredit) {
    rutest::TempDir dir;
    ru::Store store(dir.file("ru.db"));
    importRows(store, json::array({row("OLD1", 7, 10, "m-old", "s-old", "h-old"), row("CD34", 8, 2),
                                   row("NEW2", 7, 5, "m-new", "s-new", "h-new")}));
    const ru::AppendResult result = store.appendEvent(7, -1);
    EXPECT_EQ(result.status, ru::AppendStatus::Stored);
    EXPECT_EQ(result.credit, 14);
    EXPECT_EQ(json::parse(rosterText(store)).back(), row("NEW2", 7, -1, "m-new", "s-new", "h-new"));
}

TEST(ServerStore, RefusedEventsStoreNothing) {
    rutest::TempDir dir;
    ru::Store store(dir.file("ru.db"));
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

TEST(ServerStore, RosterIsTheSameTextWhateverThePieceSize) {
    rutest::TempDir dir;
    ru::Store store(dir.file("ru.db"));
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

TEST(ServerStore, OpenRosterIsASnapshotThatLaterEventsDoNotJoin) {
    rutest::TempDir dir;
    ru::Store store(dir.file("ru.db"));
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

// Holds the database's write lock on a connection of its own, as another process would,
// until the connection goes.
ru::sql::Db writeLock(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    ru::sql::Db held(db);
    EXPECT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    return held;
}

TEST(ServerStore, ReadsAreAnsweredWhileUploadsWaitForALockHeldElsewhere) {
    rutest::TempDir dir;
    rutest::RunningServer server(dir.file("ru.db"));
    importRows(server.store(), json::array({row("AB12", 7, 10)}));
    auto lock = writeLock(dir.file("ru.db"));
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

TEST(ServerStore, AWriteWhoseWaitRunsOutIsAnswered503AndStoresNothing) {
    rutest::TempDir dir;
    ru::Store store(dir.file("ru.db"), std::chrono::milliseconds(100));
    importRows(store, json::array({row("AB12", 7, 10)}));
    ru::Request upload{
        "POST", "/transaction/7", "application/json", "{\"event_id\": -1}", {"\"k\""}};
    ru::Request count{"POST", "/contador", "application/json", "{\"v\": 3}", {}};
    ru::Store patient(dir.file("ru.db"), std::chrono::seconds(30));
    {
        const auto lock = writeLock(dir.file("ru.db"));
        for (const ru::Request* request : {&upload, &count}) {
            const ru::Reply reply = ru::route(store, *request);
            EXPECT_EQ(reply.status, 503) << reply.body;
            EXPECT_NE(reply.body.find("busy"), std::string::npos) << reply.body;
            // The wait counts from the arrival: one that queued through all of it ends at once.
            ru::Request queued = *request;
            queued.arrived -= std::chrono::seconds(30);
            const auto asked = ru::Clock::now();
            EXPECT_EQ(ru::route(patient, queued).status, 503);
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

TEST(ServerStore, RefusesAFileThatIsNotADatabaseAndLeavesItAlone) {
    rutest::TempDir dir;
    const std::string path = dir.file("notes.txt");
    const std::string text = "a plain text file, not a database\n" + std::string(5000, 'x');
    rutest::writeFile(path, text);
    EXPECT_THROW(ru::Store store(path), ru::StoreError);
    EXPECT_EQ(fileContent(path), text);
}

TEST(ServerStore, RefusesTheDatabaseOfAnotherProgram) {
    rutest::TempDir dir;
    const std::string path = dir.file("other.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE things (x); INSERT INTO things VALUES (42);", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    try {
        ru::Store store(path);
        ADD_FAILURE() << "opened";
    } catch (const ru::StoreError& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    // Untouched: no table of ours, and still in the journal mode it had.
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "SELECT 1 FROM transactions", nullptr, nullptr, nullptr),
              SQLITE_ERROR);
    std::string mode;
    sqlite3_exec(
        db, "PRAGMA journal_mode",
        [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) = values[0];
            return 0;
        },
        &mode, nullptr);
    EXPECT_EQ(mode, "delete");
    sqlite3_close(db);
}

TEST(ServerStore, ReportsAPathThatCannotBeCreated) {
    rutest::TempDir dir;
    EXPECT_THROW(ru::Store store(dir.file("missing/dir/ru.db")), ru::StoreError);
}

// The layout of a database made by the ru-server of layout version 1, as it wrote it.
const std::string kLayout1 = std::string(rutest::kLayout1Schema) + R"sql(
INSERT INTO transactions VALUES (1, 'AB12', 7, 10, '2019001', 's', 'h');
INSERT INTO headcounts VALUES (1, 3, '2026-01-05T11:00:00.000Z');
)sql";

struct UpgradeCase {
    const char* name;
    std::string before;  // statements that make the file
    bool opens;
};

long long queryFile(const std::string& path, const char* text) {
    sqlite3* db = nullptr;
    long long value = -1;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        sqlite3_exec(
            db, text,
            [](void* out, int, char** values, char**) {
                *static_cast<long long*>(out) = values[0] != nullptr ? std::atoll(values[0]) : -1;
                return 0;
            },
            &value, nullptr);
    }
    sqlite3_close(db);
    return value;
}

TEST(ServerStore, OlderLayoutsAreUpgradedInPlaceAndNewerOnesRefused) {
    const std::string layout1 = kLayout1 + "PRAGMA user_version = 1;";
    const std::vector<UpgradeCase> cases = {
        {"layout 1", layout1, true},
        {"layout 2",
         kLayout1 + "ALTER TABLE transactions ADD COLUMN stored_at TEXT; PRAGMA user_version = 2;",
         true},
        // An upgrade cut short after its table was made runs again.
        {"layout 1 with the keys table",
         layout1 + "CREATE TABLE idempotency_keys (key TEXT PRIMARY KEY, user_id INTEGER NOT "
                   "NULL, event INTEGER NOT NULL, credit INTEGER NOT NULL, stored_at INTEGER NOT "
                   "NULL);",
         true},
        {"layout 0", kLayout1 + "PRAGMA user_version = 0;", false},
        {"layout 4", kLayout1 + "PRAGMA user_version = 4;", false},
    };
    for (const UpgradeCase& c : cases) {
        SCOPED_TRACE(c.name);
        rutest::TempDir dir;
        const std::string path = dir.file("old.db");
        ASSERT_EQ(queryFile(path, c.before.c_str()), -1);
        if (!c.opens) {
            EXPECT_THROW(ru::Store store(path), ru::StoreError);
            EXPECT_EQ(queryFile(path,
                                "SELECT COUNT(*) FROM sqlite_master WHERE name = "
                                "'idempotency_keys'"),
                      0);
            continue;
        }
        for (int open = 0; open < 2; ++open) {
            ru::Store store(path);
            EXPECT_EQ(store.latestHeadCount()->v, 3);
            const ru::AppendResult first = store.appendEvent(7, -1, "k" + std::to_string(open));
            EXPECT_EQ(first.status, ru::AppendStatus::Stored);
            EXPECT_EQ(first.credit, 9 - open);
            EXPECT_EQ(store.appendEvent(7, -1, "k" + std::to_string(open)).status,
                      ru::AppendStatus::Repeated);
        }
        EXPECT_EQ(queryFile(path, "PRAGMA user_version"), 3);
        const json roster = json::parse(rosterText(*std::make_unique<ru::Store>(path)));
        EXPECT_EQ(roster.size(), 3u);
        EXPECT_EQ(roster[0], row("AB12", 7, 10, "2019001", "s", "h"));
    }
}

}  // namespace
