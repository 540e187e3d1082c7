// Roster cursors: the rows after a cursor on both back ends (the store and the route), and
// what PostgreSQL alone has to get right (late commits, long lists of running ones).
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backends.h"
#include "raw_client.h"
#include "roster_cursor.h"
#include "routes.h"
#include "server_fixture.h"
#include "store.h"
#include "store_postgres.h"
#include "support/pg_cluster.h"
#include "support/roster_wire.h"

namespace {

using nlohmann::json;
using rutest::appendRows;
using rutest::importRows;
using rutest::row;

// What one opening of the roster with its cursor gave.
struct Answer {
    json rows;
    std::string cursor;
    bool after = false;
};

Answer read(ru::Store& store, const std::string* token = nullptr) {
    ru::CursorRoster roster = store.openRosterWithCursor(token);
    return {json::parse(rutest::readAll(*roster.stream, 100)), roster.cursor, roster.after};
}

Answer readAfter(ru::Store& store, const std::string& token) {
    return read(store, &token);
}

using RosterCursor = rutest::BackendTest;
RU_ALL_BACKENDS(RosterCursor);

// The board's own uploads come back after its cursor, once: a second delta does not
// repeat them, and the rows before and after add up to the whole roster, whichever
// server on the database answers.
TEST_P(RosterCursor, OwnUploadsComeBackOnceAfterTheCursor) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    importRows(store, json::array({row("AB12", 7, 10), row("CD34", 8, 2)}));
    const Answer start = read(store);
    EXPECT_FALSE(start.after);
    EXPECT_EQ(start.rows.size(), 2u);
    ASSERT_TRUE(wire::isCursorToken(start.cursor)) << start.cursor;
    ASSERT_EQ(store.appendEvent(7, -1).status, ru::AppendStatus::Stored);
    ASSERT_EQ(store.appendEvent(8, 5, "key-1").status, ru::AppendStatus::Stored);
    ASSERT_EQ(store.appendEvent(8, 5, "key-1").status, ru::AppendStatus::Repeated);
    const Answer first = readAfter(store, start.cursor);
    EXPECT_TRUE(first.after);
    EXPECT_EQ(first.rows, json::array({row("AB12", 7, -1), row("CD34", 8, 5)}));
    ASSERT_TRUE(wire::isCursorToken(first.cursor)) << first.cursor;
    // Asked again (a board retrying a download that failed half-way), the same rows.
    EXPECT_EQ(readAfter(store, start.cursor).rows, first.rows);
    const Answer second = readAfter(store, first.cursor);
    EXPECT_TRUE(second.after);
    EXPECT_EQ(second.rows, json::array());
    appendRows(store, json::array({row("EF56", 9, 3), row("AB12", 7, 4)}));
    // Through another store on the database: another server, or this one started again.
    const Answer third = readAfter(*database.open(), second.cursor);
    EXPECT_EQ(third.rows, json::array({row("EF56", 9, 3), row("AB12", 7, 4)}));
    json joined = start.rows;
    for (const Answer* a : {&first, &second, &third}) {
        joined.insert(joined.end(), a->rows.begin(), a->rows.end());
    }
    EXPECT_EQ(joined, json::parse(rutest::rosterText(store)));
}

// The cursor goes exactly as far as the rows of its stream: a row committed while the
// roster is being read is in neither the roster nor lost, but in the next delta.
TEST_P(RosterCursor, ARosterReadWhileUploadsCommitAndItsCursorAgree) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    json imported = json::array();
    for (int i = 0; i < 1000; ++i) {
        imported.push_back(row("C" + std::to_string(i), i, 3));
    }
    importRows(store, imported);
    for (const bool whole : {true, false}) {
        SCOPED_TRACE(whole ? "whole roster" : "rows after a cursor");
        const std::string token = read(store).cursor;
        ASSERT_EQ(store.appendEvent(1, -1).status, ru::AppendStatus::Stored);
        ru::CursorRoster roster = store.openRosterWithCursor(whole ? nullptr : &token);
        std::string text;
        ASSERT_TRUE(roster.stream->read(text, 10));
        ASSERT_EQ(store.appendEvent(2, -1).status, ru::AppendStatus::Stored);
        while (roster.stream->read(text, 10)) {
        }
        const json got = json::parse(text);
        EXPECT_EQ(got.size(), whole ? 1001u : 1u);
        EXPECT_EQ(got.back(), row("C1", 1, -1));
        EXPECT_EQ(readAfter(store, roster.cursor).rows, json::array({row("C2", 2, -1)}));
    }
}

// A token the store cannot continue exactly gets the whole roster, with a cursor of its
// own, never rows counted from a wrong position.
TEST_P(RosterCursor, AnUnknownTokenGetsTheWholeRoster) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    importRows(store, json::array({row("AB12", 7, 10), row("CD34", 8, 2)}));
    const std::string good = read(store).cursor;
    ASSERT_EQ(store.appendEvent(7, -1).status, ru::AppendStatus::Stored);
    const json whole = json::parse(rutest::rosterText(store));
    const auto parts = ru::parseCursor(good);
    ASSERT_TRUE(parts.has_value()) << good;
    const bool sqlite = GetParam() == rutest::Backend::SQLite;
    const auto with = [&parts](std::string identity, std::uint32_t check, std::string position) {
        return ru::formatCursor({identity.empty() ? parts->identity : identity, check, position});
    };
    // PostgreSQL's position names the roster's last row, then its snapshot.
    const std::string lastRow = parts->position.substr(0, parts->position.find('.'));
    rutest::TestDatabase other(GetParam());
    std::string foreign;
    {
        const auto elsewhere = other.open();
        importRows(*elsewhere, json::array({row("AB12", 7, 10), row("CD34", 8, 2)}));
        foreign = read(*elsewhere).cursor;
    }
    struct Case {
        const char* name;
        std::string token;
    };
    const std::vector<Case> cases = {
        {"empty", ""},
        {"garbage", "garbage"},
        {"too long", good + std::string(256 - good.size(), '0')},
        {"escaped", "%" + good},
        {"upper-case identity",
         with("ABCDEF" + parts->identity.substr(6), parts->check, parts->position)},
        {"another database, the same rows", foreign},
        {"another identity", with(std::string(32, '0'), parts->check, parts->position)},
        {"another check", with("", parts->check ^ 1, parts->position)},
        {"the other back end's position", with("", parts->check, sqlite ? "r2.1.0" : "s2")},
        {"a position beyond this database",
         with("", parts->check,
              sqlite ? "s" + ru::base36(1000) : lastRow + "." + ru::base36(1u << 30) + ".0")},
        {"a position with a leading zero",
         with("", parts->check, parts->position.substr(0, 1) + "0" + parts->position.substr(1))},
        {"a position cut short", with("", parts->check, parts->position.substr(0, 1))},
        {"a running transaction past the end", with("", parts->check, lastRow + ".2.1.1")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer answer = readAfter(store, c.token);
        EXPECT_FALSE(answer.after) << c.token;
        EXPECT_EQ(answer.rows, whole);
        EXPECT_TRUE(wire::isCursorToken(answer.cursor)) << answer.cursor;
    }
    EXPECT_TRUE(readAfter(store, good).after);
}

// After an older backup is restored, the board may hold rows the database no longer has:
// its token is not continued, even once new rows have taken the old rows' numbers.
TEST_P(RosterCursor, ATokenOfTheDatabaseBeforeARestoredBackupIsNotContinued) {
    testsupport::TempDir dir;
    const std::string backup = dir.file("backup");
    std::string before;  // a token the backup holds every row of
    std::string lost;    // a token of rows the backup lacks
    {
        const auto opened = database.open();
        importRows(*opened, json::array({row("AB12", 7, 10), row("CD34", 8, 2)}));
        before = read(*opened).cursor;
        database.backup(backup);
        ASSERT_EQ(opened->appendEvent(7, -1).status, ru::AppendStatus::Stored);
        ASSERT_EQ(opened->appendEvent(7, -1).status, ru::AppendStatus::Stored);
        lost = read(*opened).cursor;
    }
    database.restore(backup);
    const auto opened = database.open();
    ru::Store& store = *opened;
    ASSERT_EQ(store.appendEvent(8, 5).status, ru::AppendStatus::Stored);
    ASSERT_EQ(store.appendEvent(8, 5).status, ru::AppendStatus::Stored);
    ASSERT_EQ(store.appendEvent(8, 5).status, ru::AppendStatus::Stored);
    const json whole = json::parse(rutest::rosterText(store));
    const Answer answer = readAfter(store, lost);
    EXPECT_FALSE(answer.after);
    EXPECT_EQ(answer.rows, whole);
    // SQLite numbers rows in commit order, so a copy that holds the token's row holds every
    // row before it: that token goes on. PostgreSQL cannot tell (the restored tables are
    // new), and starts over.
    const Answer kept = readAfter(store, before);
    if (GetParam() == rutest::Backend::SQLite) {
        EXPECT_TRUE(kept.after);
        EXPECT_EQ(kept.rows,
                  json::array({row("CD34", 8, 5), row("CD34", 8, 5), row("CD34", 8, 5)}));
    } else {
        EXPECT_FALSE(kept.after);
        EXPECT_EQ(kept.rows, whole);
    }
}

// One request on a connection of its own: the answer as it came.
std::string fetch(int port, const std::string& target, const std::string& method = "GET") {
    rutest::RawConnection c(port);
    c.send(rutest::rawRequest(method, target));
    c.readUntilClosed(10000);
    return c.received();
}

// The value of the field `name` in the header of `answer`, spelled as the exchange has it;
// "" when there is none.
std::string field(const std::string& answer, const char* name) {
    const std::string head = answer.substr(0, answer.find("\r\n\r\n") + 2);
    const std::size_t at = head.find(std::string("\r\n") + name + ": ");
    const std::size_t start = at + std::strlen(name) + 4;
    return at == std::string::npos ? "" : head.substr(start, head.find("\r\n", start) - start);
}

std::size_t rowsIn(const std::string& answer) {
    const auto answers = rutest::parseAnswers(answer);
    return answers.size() == 1 ? json::parse(answers[0].body).size() : 999;
}

// The exchange on the wire, byte for byte, with and without --roster-cursors.
TEST_P(RosterCursor, TheServerOffersCursorsOnlyWhenToldTo) {
    ru::ServerSettings settings;
    settings.rosterCursors = true;
    rutest::RunningServer server(database.open(), settings);
    importRows(server.store(), json::array({row("AB12", 7, 10)}));
    const std::string first = fetch(server.port(), "/transaction");
    const std::string token = field(first, wire::kRosterCursor);
    ASSERT_TRUE(wire::isCursorToken(token)) << first;
    EXPECT_EQ(field(first, wire::kRosterAfter), "") << first;
    ASSERT_EQ(server.store().appendEvent(7, -1).status, ru::AppendStatus::Stored);
    const std::string delta = fetch(server.port(), wire::rosterAfter(token));
    EXPECT_EQ(field(delta, wire::kRosterAfter), token) << delta;
    EXPECT_EQ(rowsIn(delta), 1u) << delta;
    const std::string next = field(delta, wire::kRosterCursor);
    // A HEAD has the header a GET would have.
    const std::string head = fetch(server.port(), wire::rosterAfter(token), "HEAD");
    EXPECT_EQ(field(head, wire::kRosterAfter), token) << head;
    EXPECT_TRUE(wire::isCursorToken(field(head, wire::kRosterCursor))) << head;
    // One `after` parameter among others is the token; anything else asks for the whole.
    const std::pair<std::string, bool> queries[] = {
        {"/transaction?x=1&after=" + next, true},
        {"/transaction?after=" + next + "&x=1", true},
        {"/transaction?after=" + next + "&after=" + next, false},
        {"/transaction?after=", false},
        {"/transaction?after", false},
        {"/transaction?cursor=" + next, false},
        {"/transaction?after=" + next + "%00", false},
        {"/transaction?After=" + next, false},
    };
    for (const auto& [target, after] : queries) {
        const std::string answer = fetch(server.port(), target);
        EXPECT_EQ(field(answer, wire::kRosterAfter) != "", after) << target;
        EXPECT_EQ(rowsIn(answer), after ? 0u : 2u) << target;
    }
    // Without the option: no header, and the query is ignored as it always was.
    rutest::RunningServer plain(database.open());
    for (const std::string& target : {std::string("/transaction"), wire::rosterAfter(token)}) {
        const std::string answer = fetch(plain.port(), target);
        EXPECT_EQ(answer.find("Roster-"), std::string::npos) << answer;
        EXPECT_EQ(rowsIn(answer), 2u) << target;
    }
}

// PostgreSQL hands out sequence numbers at insertion, not at commit: a row inserted first
// and committed after a roster was read has an earlier number than rows of that roster,
// and still comes with the next delta, once.
TEST(RosterCursorPostgres, ARowCommittedLateWithAnEarlierNumberComesInTheNextDelta) {
    rutest::TestDatabase database(rutest::Backend::PostgreSQL);
    const auto opened = database.open();
    ru::Store& store = *opened;
    importRows(store, json::array({row("AB12", 7, 10), row("CD34", 8, 5)}));
    std::unique_ptr<PGconn, void (*)(PGconn*)> late(
        PQconnectdb(testsupport::sharedCluster().uri().c_str()), PQfinish);
    const auto exec = [&late](const std::string& sql) {
        std::unique_ptr<PGresult, void (*)(PGresult*)> r(PQexec(late.get(), sql.c_str()), PQclear);
        return PQresultStatus(r.get()) == PGRES_COMMAND_OK;
    };
    ASSERT_TRUE(exec("BEGIN; INSERT INTO \"" + database.schema() +
                     "\".transactions (card_id, user_id, event, matricula, salt, "
                     "n_password_hash) VALUES ('LATE', 8, 1, 'm', 's', 'h')"))
        << PQerrorMessage(late.get());
    ASSERT_EQ(store.appendEvent(7, -1).status, ru::AppendStatus::Stored);
    const Answer start = read(store);
    EXPECT_EQ(start.rows.size(), 3u);
    ASSERT_EQ(store.appendEvent(7, -1).status, ru::AppendStatus::Stored);
    const Answer before = readAfter(store, start.cursor);
    EXPECT_EQ(before.rows, json::array({row("AB12", 7, -1)}));
    ASSERT_TRUE(exec("COMMIT"));
    const Answer after = readAfter(store, before.cursor);
    EXPECT_TRUE(after.after);
    EXPECT_EQ(after.rows, json::array({row("LATE", 8, 1, "m", "s", "h")}));
    EXPECT_EQ(readAfter(store, after.cursor).rows, json::array());
    // The late row's number is below the rows it follows in the deltas.
    EXPECT_EQ(json::parse(rutest::rosterText(store))[2], row("LATE", 8, 1, "m", "s", "h"));
}

// A copy of the data directory put back (a cold copy) keeps the cluster, timeline and
// table, and hands out again the numbers and transaction ids of the rows it lacks; the
// table is made so by hand. A token whose last row is gone, its number now another row's,
// is not continued; one of the empty roster goes on with every row, even rows whose ids
// its snapshot saw.
TEST(RosterCursorPostgres, ATokenOfRowsThatARestoredCopyLacksIsNotContinued) {
    rutest::TestDatabase database(rutest::Backend::PostgreSQL);
    const auto store = database.open();
    const std::string empty = read(*store).cursor;
    importRows(*store, json::array({row("AB12", 7, 10), row("CD34", 8, 5), row("AB12", 7, -1)}));
    ASSERT_EQ(store->appendEvent(7, -1).status, ru::AppendStatus::Stored);
    const std::string lost = read(*store).cursor;
    const std::string xid = database.sql("SELECT xid FROM transactions WHERE seq = 4");
    database.sql(
        "DELETE FROM transactions WHERE seq = 4; ALTER TABLE transactions ALTER COLUMN "
        "seq RESTART WITH 4");
    ASSERT_EQ(store->appendEvent(8, -1).status, ru::AppendStatus::Stored);
    ASSERT_EQ(store->appendEvent(8, -1).status, ru::AppendStatus::Stored);
    database.sql("UPDATE transactions SET xid = CASE WHEN seq = 4 THEN '" + xid +
                 "'::xid8 ELSE '1' END WHERE seq <= 4");
    const json whole = json::parse(rutest::rosterText(*store));
    const Answer answer = readAfter(*store, lost);
    EXPECT_FALSE(answer.after);
    EXPECT_EQ(answer.rows, whole);
    EXPECT_EQ(readAfter(*store, empty).rows, whole);
}

// A point-in-time recovery, or a standby promoted, goes on from an earlier point of the
// same cluster and table on a new timeline: a token of the old timeline is not continued.
TEST(RosterCursorPostgres, ATokenOfAnotherTimelineIsNotContinued) {
    rutest::TestDatabase database(rutest::Backend::PostgreSQL);
    const auto opened = database.open();
    ru::Store& store = *opened;
    importRows(store, json::array({row("AB12", 7, 10)}));
    const std::string token = read(store).cursor;
    testsupport::sharedCluster().restartOnNewTimeline();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past the reconnect pause
    ASSERT_EQ(store.appendEvent(7, -1).status, ru::AppendStatus::Stored);
    const Answer answer = readAfter(store, token);
    EXPECT_FALSE(answer.after);
    EXPECT_EQ(answer.rows.size(), 2u);
}

// A token is compared with the database (identity, check, a snapshot it has reached)
// before the rows since are searched: a strange one costs a row or two however long the
// history. The server's log of the store's statements tells which ran.
TEST(RosterCursorPostgres, AStrangeTokenIsRefusedBeforeTheRowsSinceAreSearched) {
    rutest::TestDatabase database(rutest::Backend::PostgreSQL);
    ru::StoreOptions options;
    options.schema = database.schema();
    ru::PostgresStore store(database.db() + "&options=-c%20log_statement%3Dall", options);
    importRows(store, json::array({row("AB12", 7, 10)}));
    const std::string good = read(store).cursor;
    const auto parts = ru::parseCursor(good);
    std::ifstream log(testsupport::sharedCluster().socketDir() + "/server.log", std::ios::ate);
    const auto searched = [&log] {
        std::ostringstream text;
        text << log.rdbuf();
        return text.str().find("cursor_delta") != std::string::npos;
    };
    const std::string lastRow = parts->position.substr(0, parts->position.find('.'));
    EXPECT_FALSE(readAfter(store, ru::formatCursor(
                                      {std::string(32, '0'), parts->check, lastRow + ".1.zzzzz"}))
                     .after);
    EXPECT_FALSE(searched());
    EXPECT_TRUE(readAfter(store, good).after);
    EXPECT_TRUE(searched());
}

// More running transactions than a token can name: the answer has no cursor (the board
// downloads the whole roster next time) rather than one that could skip or repeat a row.
TEST(RosterCursorPostgres, NoCursorWhenTheRunningTransactionsDoNotFitInAToken) {
    rutest::TestDatabase database(rutest::Backend::PostgreSQL);
    const auto opened = database.open();
    ru::Store& store = *opened;
    importRows(store, json::array({row("AB12", 7, 10)}));
    std::vector<std::unique_ptr<PGconn, void (*)(PGconn*)>> running;
    for (int i = 0; i < 120; ++i) {
        running.emplace_back(PQconnectdb(testsupport::sharedCluster().uri().c_str()), PQfinish);
        PQclear(PQexec(running.back().get(), "BEGIN; SELECT pg_current_xact_id()"));
    }
    // A snapshot names the running transactions below the last one that ended.
    testsupport::sharedCluster().query("SELECT pg_current_xact_id()");
    const Answer crowded = read(store);
    EXPECT_EQ(crowded.cursor, "");
    EXPECT_EQ(crowded.rows, json::array({row("AB12", 7, 10)}));
    for (std::size_t i = 20; i < running.size(); ++i) {
        PQclear(PQexec(running[i].get(), "ROLLBACK"));  // ended once it returns
    }
    const Answer fewer = read(store);
    EXPECT_TRUE(wire::isCursorToken(fewer.cursor)) << fewer.cursor;
    ASSERT_EQ(store.appendEvent(7, -1).status, ru::AppendStatus::Stored);
    running.clear();
    EXPECT_EQ(readAfter(store, fewer.cursor).rows, json::array({row("AB12", 7, -1)}));
}

}  // namespace
