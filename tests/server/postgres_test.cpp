// The PostgreSQL back end's own cases: what SQLite has no counterpart for (a lost server,
// roles and grants, a schema made by several servers at once, synchronous standbys, rows
// committed out of order).
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <ctime>
#include <future>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backends.h"
#include "routes.h"
#include "server_fixture.h"
#include "store_postgres.h"
#include "support/pg_cluster.h"
#include "support/process.h"

namespace {

using nlohmann::json;
using rutest::importRows;
using rutest::rosterText;
using rutest::row;
using testsupport::sharedCluster;

ru::Request upload(int user, const std::string& key = "") {
    ru::Request r{"POST",
                  "/transaction/" + std::to_string(user),
                  "application/json",
                  "{\"event_id\": -1}",
                  {}};
    if (!key.empty()) {
        r.idempotencyKeys.push_back("\"" + key + "\"");
    }
    return r;
}

class PostgresStore : public ::testing::Test {
  protected:
    rutest::TestDatabase database{rutest::Backend::PostgreSQL};

    std::unique_ptr<ru::Store> open(const std::string& uri, std::chrono::milliseconds wait) {
        ru::StoreOptions options;
        options.schema = database.schema();
        options.writeWait = wait;
        return std::make_unique<ru::PostgresStore>(uri, options);
    }
};

// A restart (or any lost connection) is answered 503, within the request's wait, and the
// store reconnects by itself once the database is back.
TEST_F(PostgresStore, ALostDatabaseIsAnswered503AndTheStoreReconnects) {
    const auto opened = database.open(std::chrono::milliseconds(2000));
    ru::Store& store = *opened;
    importRows(store, json::array({row("AB12", 7, 10)}));
    ASSERT_EQ(ru::route(store, upload(7)).status, 201);
    sharedCluster().stop();
    const ru::Request asks[] = {upload(7, "during"),
                                {"GET", "/contador", "", "", {}},
                                {"GET", "/painel", "", "", {}},
                                {"POST", "/contador", "application/json", "{\"v\": 1}", {}}};
    for (const ru::Request& r : asks) {
        const auto start = std::chrono::steady_clock::now();
        const ru::Reply reply = ru::route(store, r);
        EXPECT_EQ(reply.status, 503) << r.method << " " << r.target << ": " << reply.body;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
    EXPECT_THROW(store.openRoster(), ru::StoreUnavailable);
    sharedCluster().start();
    // Past the pause the store takes after a failed connect.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // The idle connections died with the server: the first request finds that out and
    // goes on a fresh one.
    EXPECT_EQ(ru::route(store, upload(7, "after")).status, 201);
    EXPECT_EQ(ru::route(store, upload(7, "during")).status, 201);
    EXPECT_EQ(ru::route(store, upload(7, "during")).status, 201);
    EXPECT_EQ(json::parse(rosterText(store)).size(), 4u);
}

// A database that stops answering with its connections open (a paused machine): a write
// is answered 503 after its wait and a moment more, though the cancel is not answered
// either, and its retry settles it once the database is back.
TEST_F(PostgresStore, AFrozenDatabaseIsAnswered503InTime) {
    const auto opened = database.open(std::chrono::milliseconds(1000));
    importRows(*opened, json::array({row("AB12", 7, 10)}));
    ASSERT_EQ(ru::route(*opened, upload(7)).status, 201);
    sharedCluster().pause();
    auto write =
        std::async(std::launch::async, [&] { return ru::route(*opened, upload(7, "k")).status; });
    const auto waited = write.wait_for(std::chrono::seconds(15));
    sharedCluster().resume();
    EXPECT_EQ(waited, std::future_status::ready);
    EXPECT_EQ(write.get(), 503);
    EXPECT_EQ(ru::route(*opened, upload(7, "k")).status, 201);
    EXPECT_EQ(json::parse(rosterText(*opened)).size(), 3u);
}

// A roster read in pieces goes on over a restart: its snapshot is a value, not a session.
TEST_F(PostgresStore, AnOpenRosterSurvivesARestart) {
    const auto opened = database.open();
    json rows = json::array();
    for (int i = 0; i < 5000; ++i) {
        rows.push_back(row("C" + std::to_string(i), i, 1));
    }
    importRows(*opened, rows);
    auto stream = opened->openRoster();
    std::string text;
    ASSERT_TRUE(stream->read(text, 100));
    sharedCluster().stop();
    // The rows of the page in hand still go out; the next page needs the database.
    const auto rest = [&] {
        while (stream->read(text, 100)) {
        }
    };
    EXPECT_THROW(rest(), ru::StoreUnavailable);
    sharedCluster().start();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(opened->appendEvent(5, -1).status, ru::AppendStatus::Stored);
    rest();
    EXPECT_EQ(json::parse(text), rows);
}

// A row whose transaction began first but commits after the roster was opened never joins
// it, though its sequence number is lower than rows that do.
TEST_F(PostgresStore, ARowCommittedLateWithAnEarlierNumberDoesNotJoinAnOpenRoster) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    importRows(store, json::array({row("AB12", 7, 10), row("CD34", 8, 5)}));
    std::unique_ptr<PGconn, void (*)(PGconn*)> late(PQconnectdb(sharedCluster().uri().c_str()),
                                                    PQfinish);
    const std::string s = "\"" + database.schema() + "\"";
    PGresult* r = PQexec(late.get(), ("BEGIN; INSERT INTO " + s +
                                      ".transactions (card_id, user_id, event, matricula, salt, "
                                      "n_password_hash) VALUES ('LATE', 8, 1, 'm', 's', 'h')")
                                         .c_str());
    ASSERT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQerrorMessage(late.get());
    PQclear(r);
    ASSERT_EQ(store.appendEvent(7, -1).status, ru::AppendStatus::Stored);
    auto stream = store.openRoster();
    std::string text;
    ASSERT_TRUE(stream->read(text, 1));
    PQclear(PQexec(late.get(), "COMMIT"));
    while (stream->read(text, 1)) {
    }
    const json roster = json::parse(text);
    ASSERT_EQ(roster.size(), 3u);
    EXPECT_EQ(roster[2], row("AB12", 7, -1));
    EXPECT_EQ(json::parse(rosterText(store)).size(), 4u);
}

TEST_F(PostgresStore, ServersStartingTogetherMakeTheSchemaOnce) {
    std::vector<std::future<std::string>> starts;
    for (int i = 0; i < 6; ++i) {
        starts.push_back(
            std::async(std::launch::async, [this] { return database.open()->identity(); }));
    }
    std::set<std::string> identities;
    for (auto& s : starts) {
        identities.insert(s.get());
    }
    EXPECT_EQ(identities.size(), 1u);
    EXPECT_EQ(database.sql("SELECT COUNT(*) FROM meta WHERE key = 'layout'"), "1");
}

TEST_F(PostgresStore, RefusesASchemaOfAnotherProgramOrANewerLayout) {
    const std::string s = "\"" + database.schema() + "\"";
    sharedCluster().query("CREATE SCHEMA " + s + "; CREATE TABLE " + s + ".things (x int)");
    try {
        database.open();
        ADD_FAILURE() << "opened";
    } catch (const ru::StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("some other program"), std::string::npos) << e.what();
    }
    EXPECT_EQ(database.sql("SELECT to_regclass('meta') IS NULL"), "t");
    database.sql("DROP TABLE things");
    database.open();
    database.sql("UPDATE meta SET value = '3' WHERE key = 'layout'");
    EXPECT_THROW(database.open(), ru::StoreError);
}

// The README's grants: the owner of the schema makes the tables at the first start; the
// role ru-server runs as needs no more than these afterwards.
TEST_F(PostgresStore, RunsWithTheDocumentedGrantsOnly) {
    const std::string schema = database.schema();
    const std::string s = "\"" + schema + "\"";
    const std::string owner = schema + "_owner";
    const std::string app = schema + "_app";
    sharedCluster().query("CREATE ROLE " + owner + " LOGIN; CREATE ROLE " + app +
                          " LOGIN; CREATE SCHEMA " + s + " AUTHORIZATION " + owner);
    ru::StoreOptions options;
    options.schema = schema;
    ru::PostgresStore(sharedCluster().uri("postgres", owner), options);
    sharedCluster().query("GRANT USAGE ON SCHEMA " + s + " TO " + app +
                              "; GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA " +
                              s + " TO " + app + "; GRANT USAGE ON ALL SEQUENCES IN SCHEMA " + s +
                              " TO " + app,
                          "postgres", owner);
    // And for the tables a later ru-server adds when the owner upgrades the schema.
    sharedCluster().query("ALTER DEFAULT PRIVILEGES IN SCHEMA " + s +
                              " GRANT SELECT, INSERT, UPDATE, DELETE ON TABLES TO " + app +
                              "; ALTER DEFAULT PRIVILEGES IN SCHEMA " + s +
                              " GRANT USAGE ON SEQUENCES TO " + app,
                          "postgres", owner);
    {
        ru::PostgresStore store(sharedCluster().uri("postgres", app), options);
        importRows(store, json::array({row("AB12", 7, 10)}));
        EXPECT_EQ(store.appendEvent(7, -1, "k").status, ru::AppendStatus::Stored);
        EXPECT_EQ(store.appendEvent(7, -1, "k").status, ru::AppendStatus::Repeated);
        store.recordHeadCount(3);
        EXPECT_EQ(store.latestHeadCount()->v, 3);
        EXPECT_EQ(store.pruneKeys(std::time(nullptr) + 2, 10), 1u);
        std::istringstream more(json::array({row("CD34", 8, 4)}).dump());
        EXPECT_EQ(store.appendRows(more).transactions, 1u);
        EXPECT_EQ(json::parse(rosterText(store)).size(), 3u);
        const std::int64_t now = std::time(nullptr);
        EXPECT_EQ(store.activity(now - 60, now + 60, 60).latestHeadCounts.at(0).v, 3);
    }
    // The owner upgrades a schema of the layout before boards: its head-counts become the
    // unnamed board's, and the role that runs ru-server writes to the tables it made.
    database.sql(
        "DROP TABLE headcount_boards; DROP TABLE overdrawn; ALTER TABLE headcounts DROP "
        "COLUMN board; UPDATE meta SET value = '1' WHERE key = 'layout'");
    ru::PostgresStore(sharedCluster().uri("postgres", owner), options);
    EXPECT_EQ(database.sql("SELECT value FROM meta WHERE key = 'layout'"), "2");
    {
        ru::PostgresStore store(sharedCluster().uri("postgres", app), options);
        store.recordHeadCount(2, "a");
        EXPECT_EQ(store.latestHeadCount()->v, 5);
        EXPECT_EQ(store.appendEvent(7, -20).status, ru::AppendStatus::Stored);
        EXPECT_EQ(store.overdrawnStudents().size(), 1u);
    }
    // Without CREATE on the schema, a fresh schema cannot be made: a clear refusal.
    ru::StoreOptions elsewhere;
    elsewhere.schema = schema + "_other";
    try {
        ru::PostgresStore store(sharedCluster().uri("postgres", app), elsewhere);
        ADD_FAILURE() << "opened";
    } catch (const ru::StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("permission denied"), std::string::npos) << e.what();
    }
    sharedCluster().query("DROP SCHEMA " + s + " CASCADE; DROP ROLE " + owner + "; DROP ROLE " +
                          app);
}

// With a synchronous standby named that never comes, a commit waits for it until its
// deadline and is then refused 503, even for a role whose default is not to wait at all
// nor to hear the warning of a wait cut short;
// a retry with the key is answered 201 only once the standby (here: none asked for) has
// the event, which is stored once.
TEST_F(PostgresStore, ACommitTheStandbysDidNotConfirmIsNot201) {
    const std::string app = database.schema() + "_async";
    sharedCluster().query("CREATE ROLE " + app + " SUPERUSER LOGIN; ALTER ROLE " + app +
                          " SET synchronous_commit = off; ALTER ROLE " + app +
                          " SET client_min_messages = error");
    {
        const auto opened =
            open(sharedCluster().uri("postgres", app), std::chrono::milliseconds(500));
        ru::Store& store = *opened;
        importRows(store, json::array({row("AB12", 7, 10)}));
        sharedCluster().query("ALTER SYSTEM SET synchronous_standby_names = 'nobody'");
        sharedCluster().query("SELECT pg_reload_conf()");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ru::route(store, upload(7, "k")).status, 503);
        EXPECT_EQ(ru::route(store, upload(7, "k")).status, 503);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
        sharedCluster().query("ALTER SYSTEM RESET synchronous_standby_names");
        sharedCluster().query("SELECT pg_reload_conf()");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const ru::Reply reply = ru::route(store, upload(7, "k"));
        EXPECT_EQ(reply.status, 201);
        EXPECT_EQ(reply.body, "{\"user_id\":7,\"event\":-1,\"credit\":9}");
        EXPECT_EQ(json::parse(rosterText(store)).size(), 2u);
    }
    sharedCluster().query("DROP SCHEMA \"" + database.schema() + "\" CASCADE; DROP ROLE " + app);
}

// A commit whose answer never came (its session ended while it waited for the standbys)
// may be stored: it is answered 503, never sent again on a fresh connection.
TEST_F(PostgresStore, ACommitWhoseAnswerWasLostIsNotSentAgain) {
    const auto opened = database.open(std::chrono::milliseconds(4000));
    importRows(*opened, json::array({row("AB12", 7, 10)}));
    ASSERT_EQ(ru::route(*opened, upload(7)).status, 201);  // a connection to reuse
    sharedCluster().query("ALTER SYSTEM SET synchronous_standby_names = 'nobody'");
    sharedCluster().query("SELECT pg_reload_conf()");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto write =
        std::async(std::launch::async, [&] { return ru::route(*opened, upload(7)).status; });
    for (int i = 0;
         i < 100 && sharedCluster().query("SELECT pg_terminate_backend(pid) FROM "
                                          "pg_stat_activity WHERE wait_event = 'SyncRep'") != "t";
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(write.get(), 503);
    sharedCluster().query("ALTER SYSTEM RESET synchronous_standby_names");
    sharedCluster().query("SELECT pg_reload_conf()");
    EXPECT_EQ(database.sql("SELECT COUNT(*) FROM transactions"), "3");
}

// The README's backup restored into another cluster (new hardware): its rows carry the ids
// of the old cluster's transactions, far ahead of a new cluster's after months of service,
// and are served all the same, from a schema of this ru-server or of an earlier one
// (without the cluster's identifier).
TEST_F(PostgresStore, ABackupRestoredIntoAnotherClusterServesEveryRow) {
    sharedCluster().query(
        "DO $$ BEGIN FOR i IN 1..3000 LOOP PERFORM pg_current_xact_id(); COMMIT; END LOOP; END $$");
    importRows(*database.open(), json::array({row("AB12", 7, 10), row("CD34", 8, 2)}));
    testsupport::TempDir dir;
    database.backup(dir.file("dump"));
    database.sql("DELETE FROM meta WHERE key = 'cluster'");
    database.backup(dir.file("earlier"));
    testsupport::PgCluster other;
    for (const char* dump : {"dump", "earlier"}) {
        other.query("DROP SCHEMA IF EXISTS \"" + database.schema() + "\" CASCADE");
        testsupport::ChildProcess restore(other.binDir() + "/pg_restore",
                                          {"-d", other.uri(), dir.file(dump)});
        ASSERT_EQ(restore.wait(60000), 0) << restore.err();
        EXPECT_EQ(json::parse(rosterText(*open(other.uri(), ru::kWriteWait))).size(), 2u) << dump;
    }
}

// A multi-host URI: a host that does not answer is passed over for the next one.
TEST_F(PostgresStore, AMultiHostUriFindsTheServerThatAnswers) {
    const std::string uri =
        "postgresql://postgres@/postgres?host=/nonexistent," + sharedCluster().socketDir() +
        "&port=5432," + std::to_string(sharedCluster().port()) + "&target_session_attrs=read-write";
    const auto opened = open(uri, ru::kWriteWait);
    importRows(*opened, json::array({row("AB12", 7, 10)}));
    EXPECT_EQ(opened->appendEvent(7, -1).credit, 9);
}

// Two ru-server programs started together on one new schema: both serve it, and an
// upload to either is in the roster of the other.
TEST_F(PostgresStore, TwoServerProgramsShareOneSchema) {
    const std::vector<std::string> args = {
        "--db", database.db(), "--db-schema", database.schema(), "--port", "0"};
    rutest::StartedProgram first = rutest::startProgram(RU_SERVER_BIN, args);
    rutest::StartedProgram second = rutest::startProgram(RU_SERVER_BIN, args);
    ASSERT_GT(first.port, 0);
    ASSERT_GT(second.port, 0);
    importRows(*database.open(), json::array({row("AB12", 7, 10)}));
    httplib::Client a("127.0.0.1", first.port);
    httplib::Client b("127.0.0.1", second.port);
    for (httplib::Client* c : {&a, &b, &a}) {
        const auto r = c->Post("/transaction/7", "{\"event_id\": -1}", "application/json");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 201) << r->body;
    }
    EXPECT_EQ(rutest::creditOf(rutest::fetchRoster(b), 7), 7);
    EXPECT_EQ(rutest::fetchRoster(a).size(), 4u);
}

}  // namespace
