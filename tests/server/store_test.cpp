#include <gtest/gtest.h>
#include <sqlite3.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "overdrawn_command.h"
#include "routes.h"
#include "server_fixture.h"
#include "store.h"
#include "store_sqlite.h"

namespace {

using nlohmann::json;
using rutest::rosterText;
using rutest::row;

std::string fileContent(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ServerStore, RefusesAFileThatIsNotADatabaseAndLeavesItAlone) {
    rutest::TempDir dir;
    const std::string path = dir.file("notes.txt");
    const std::string text = "a plain text file, not a database\n" + std::string(5000, 'x');
    rutest::writeFile(path, text);
    EXPECT_THROW(ru::SqliteStore store(path), ru::StoreError);
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
        ru::SqliteStore store(path);
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
    EXPECT_THROW(ru::SqliteStore store(dir.file("missing/dir/ru.db")), ru::StoreError);
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
    const std::string layout4 =
        kLayout1 +
        "ALTER TABLE transactions ADD COLUMN stored_at TEXT; CREATE TABLE idempotency_keys (key "
        "TEXT PRIMARY KEY, user_id INTEGER NOT NULL, event INTEGER NOT NULL, credit INTEGER NOT "
        "NULL, stored_at INTEGER NOT NULL); CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT "
        "NOT NULL); INSERT INTO meta VALUES ('identity', '0123456789abcdef0123456789abcdef'); "
        "INSERT INTO headcounts VALUES (0, 5, '2026-01-05T10:00:00.000Z'); "
        "PRAGMA user_version = 4;";
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
        {"layout 3",
         kLayout1 + "ALTER TABLE transactions ADD COLUMN stored_at TEXT; CREATE TABLE "
                    "idempotency_keys (key TEXT PRIMARY KEY, user_id INTEGER NOT NULL, event "
                    "INTEGER NOT NULL, credit INTEGER NOT NULL, stored_at INTEGER NOT NULL); "
                    "PRAGMA user_version = 3;",
         true},
        // The reports of before boards are the unnamed board's, its latest the one counted.
        {"layout 4", layout4, true},
        {"layout 4 with the board column",
         layout4 + "ALTER TABLE headcounts ADD COLUMN board TEXT NOT NULL DEFAULT '';", true},
        {"layout 0", kLayout1 + "PRAGMA user_version = 0;", false},
        {"layout 6", kLayout1 + "PRAGMA user_version = 6;", false},
    };
    for (const UpgradeCase& c : cases) {
        SCOPED_TRACE(c.name);
        rutest::TempDir dir;
        const std::string path = dir.file("old.db");
        ASSERT_EQ(queryFile(path, c.before.c_str()), -1);
        if (!c.opens) {
            EXPECT_THROW(ru::SqliteStore store(path), ru::StoreError);
            EXPECT_EQ(queryFile(path,
                                "SELECT COUNT(*) FROM sqlite_master WHERE name = "
                                "'idempotency_keys'"),
                      0);
            continue;
        }
        for (int open = 0; open < 2; ++open) {
            ru::SqliteStore store(path);
            EXPECT_EQ(store.latestHeadCount()->v, 3);
            ASSERT_EQ(store.latestHeadCounts().size(), 1u);
            EXPECT_EQ(store.latestHeadCounts()[0].board, "");
            const ru::AppendResult first = store.appendEvent(7, -1, "k" + std::to_string(open));
            EXPECT_EQ(first.status, ru::AppendStatus::Stored);
            EXPECT_EQ(first.credit, 9 - open);
            EXPECT_EQ(store.appendEvent(7, -1, "k" + std::to_string(open)).status,
                      ru::AppendStatus::Repeated);
        }
        EXPECT_EQ(queryFile(path, "PRAGMA user_version"), 5);
        // Layout 4 gave it an identity, drawn once.
        EXPECT_EQ(queryFile(path,
                            "SELECT COUNT(*) FROM meta WHERE key = 'identity' AND "
                            "length(value) = 32"),
                  1);
        const json roster = json::parse(rosterText(*std::make_unique<ru::SqliteStore>(path)));
        EXPECT_EQ(roster.size(), 3u);
        EXPECT_EQ(roster[0], row("AB12", 7, 10, "2019001", "s", "h"));
    }
}

// ru-server overdrawn: a usage error is status 2, a database that cannot be read 1, and a
// mistyped path makes no empty database.
TEST(OverdrawnCommand, BadUsesEndWithOneLineAndCreateNothing) {
    rutest::TempDir dir;
    const std::string missing = dir.file("missing.db");
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{}, 2},
        {{"--db"}, 2},
        {{"--db=" + missing, "--bogus"}, 2},
        {{"--db", missing, "--db-schema", "ru"}, 2},
        {{"--db", missing}, 1},
    };
    for (const auto& [args, status] : cases) {
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(ru::overdrawnCommand(args, out, err), status) << args.size();
        const std::string line = err.str();
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
        EXPECT_EQ(line.rfind("ru-server overdrawn: ", 0), 0u) << line;
    }
    EXPECT_FALSE(std::ifstream(missing).good());
}

// A board with a certificate is known by it: its Catraca-Board field is ignored, even a
// malformed one.
TEST(ServerBoards, ACertifiedNameWinsOverTheField) {
    rutest::TempDir dir;
    ru::SqliteStore store(dir.file("ru.db"));
    ru::Request report{"POST", "/contador", "application/json", "{\"v\": 4}", {}};
    report.boardNames = {"a b"};
    EXPECT_EQ(ru::route(store, report).status, 400);
    report.certifiedBoard = "placa-7";
    EXPECT_EQ(ru::route(store, report).status, 201);
    ASSERT_EQ(store.latestHeadCounts().size(), 1u);
    EXPECT_EQ(store.latestHeadCounts()[0].board, "placa-7");
}

}  // namespace
