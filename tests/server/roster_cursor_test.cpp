// Roster cursors: the rows after a cursor on both back ends (the store and the route), the
// tokens' own form, and what PostgreSQL alone has to get right (late commits).
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

#include "backends.h"
#include "raw_client.h"
#include "roster_cursor.h"
#include "routes.h"
#include "server_fixture.h"
#include "store.h"
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
// repeat them, and the rows before and after add up to the whole roster.
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
    const Answer third = readAfter(store, second.cursor);
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

// Two servers on one database, or a server started again: a token of one is continued
// by the other.
TEST_P(RosterCursor, AnotherStoreOnTheSameDatabaseContinuesTheToken) {
    std::string token;
    {
        const auto first = database.open();
        importRows(*first, json::array({row("AB12", 7, 10)}));
        token = read(*first).cursor;
        ASSERT_EQ(first->appendEvent(7, -1).status, ru::AppendStatus::Stored);
    }
    const auto second = database.open();
    const Answer answer = readAfter(*second, token);
    EXPECT_TRUE(answer.after);
    EXPECT_EQ(answer.rows, json::array({row("AB12", 7, -1)}));
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
        {"the other back end's position", with("", parts->check, sqlite ? "x1.0" : "s2")},
        {"a position beyond this database",
         with("", parts->check,
              sqlite ? "s" + ru::base36(1000) : "x" + ru::base36(1u << 30) + ".0")},
        {"a position with a leading zero",
         with("", parts->check, parts->position.substr(0, 1) + "0" + parts->position.substr(1))},
        {"a position cut short", with("", parts->check, parts->position.substr(0, 1))},
        {"a running transaction past the end", with("", parts->check, "x2.1.1")},
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

// The exchange on the wire, byte for byte, with and without --roster-cursors.
TEST_P(RosterCursor, TheServerOffersCursorsOnlyWhenToldTo) {
    ru::ServerSettings settings;
    settings.rosterCursors = true;
    rutest::RunningServer server(database.open(), settings);
    importRows(server.store(), json::array({row("AB12", 7, 10)}));
    const auto get = [&server](const std::string& target, const std::string& method = "GET") {
        rutest::RawConnection c(server.port());
        c.send(rutest::rawRequest(method, target));
        c.readUntilClosed(10000);
        return c.received();
    };
    const std::string first = get("/transaction");
    const auto answers = rutest::parseAnswers(first);
    ASSERT_EQ(answers.size(), 1u) << first;
    const std::string token = answers[0].headers.count("roster-cursor") != 0
                                  ? answers[0].headers.at("roster-cursor")
                                  : "";
    ASSERT_TRUE(wire::isCursorToken(token)) << first;
    EXPECT_NE(first.find(std::string("\r\n") + wire::kRosterCursor + ": " + token + "\r\n"),
              std::string::npos)
        << first;
    EXPECT_EQ(first.find(wire::kRosterAfter), std::string::npos) << first;
    ASSERT_EQ(server.store().appendEvent(7, -1).status, ru::AppendStatus::Stored);
    const std::string delta = get(wire::rosterAfter(token));
    EXPECT_NE(delta.find(std::string("\r\n") + wire::kRosterAfter + ": " + token + "\r\n"),
              std::string::npos)
        << delta;
    const auto deltaAnswers = rutest::parseAnswers(delta);
    ASSERT_EQ(deltaAnswers.size(), 1u) << delta;
    EXPECT_EQ(json::parse(deltaAnswers[0].body), json::array({row("AB12", 7, -1)}));
    const std::string next = deltaAnswers[0].headers.at("roster-cursor");
    // A HEAD has the header a GET would have.
    const std::string head = get(wire::rosterAfter(token), "HEAD");
    EXPECT_NE(head.find(std::string(wire::kRosterAfter) + ": " + token + "\r\n"), std::string::npos)
        << head;
    EXPECT_NE(head.find(std::string(wire::kRosterCursor) + ": "), std::string::npos) << head;
    // The query forms: one `after` parameter among others is the token; anything else is
    // a request for the whole roster.
    struct Case {
        std::string target;
        bool after;
    };
    const Case cases[] = {
        {"/transaction?x=1&after=" + next, true},
        {"/transaction?after=" + next + "&x=1", true},
        {"/transaction?after=" + next + "&after=" + next, false},
        {"/transaction?after=", false},
        {"/transaction?after", false},
        {"/transaction?cursor=" + next, false},
        {"/transaction?after=" + next + "%00", false},
        {"/transaction?After=" + next, false},
    };
    for (const Case& c : cases) {
        const auto got = rutest::parseAnswers(get(c.target));
        ASSERT_EQ(got.size(), 1u) << c.target;
        EXPECT_EQ(got[0].status, 200) << c.target;
        EXPECT_EQ(got[0].headers.count("roster-after"), c.after ? 1u : 0u) << c.target;
        EXPECT_EQ(json::parse(got[0].body).size(), c.after ? 0u : 2u) << c.target;
    }
    // Without the option: no header, and the query is ignored as it always was.
    rutest::RunningServer plain(database.open());
    for (const std::string& target : {std::string("/transaction"), wire::rosterAfter(token)}) {
        rutest::RawConnection c(plain.port());
        c.send(rutest::rawRequest("GET", target));
        c.readUntilClosed(10000);
        EXPECT_EQ(c.received().find("Roster-"), std::string::npos) << c.received();
        const auto got = rutest::parseAnswers(c.received());
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(json::parse(got[0].body).size(), 2u) << target;
    }
}

// The tokens' own form: within the exchange's bytes, read back as written, every other
// text refused.
TEST(RosterCursorToken, IsReadBackAsWrittenAndNothingElseIsOne) {
    const std::string identity = "0123456789abcdef0123456789abcdef";
    const ru::CursorToken token{identity, 0x00c0ffee, "s" + ru::base36(123456789)};
    const std::string text = ru::formatCursor(token);
    EXPECT_EQ(text, identity + "-00c0ffee-s21i3v9");
    ASSERT_TRUE(wire::isCursorToken(text));
    const auto back = ru::parseCursor(text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->identity, identity);
    EXPECT_EQ(back->check, 0x00c0ffeeu);
    EXPECT_EQ(back->position, token.position);
    for (const std::string& bad :
         {std::string(""), identity, identity + "-00c0ffee", identity + "-00c0ffee-",
          identity + "-00c0ffe-s1", identity + "-00C0FFEE-s1", "0" + identity + "-00c0ffee-s1",
          identity + "-00c0ffee-s1 ", identity + "-00c0ffee-s1/"}) {
        EXPECT_FALSE(ru::parseCursor(bad).has_value()) << bad;
    }
    // Past 255 bytes there is no token to give.
    EXPECT_EQ(ru::formatCursor({identity, 1, "s" + std::string(212, '1')}).size(), 255u);
    EXPECT_EQ(ru::formatCursor({identity, 1, "s" + std::string(213, '1')}), "");
}

TEST(RosterCursorToken, ASnapshotIsItsPositionAndBack) {
    struct Case {
        std::string snapshot;
        std::string position;
    };
    const Case cases[] = {
        {"3:3:", "x3.0"},
        {"745:760:745,746,759", "xkp.f.0.0.c"},
        {"1000000:1000001:1000000", "xlfls.1.0"},
    };
    for (const Case& c : cases) {
        const auto snapshot = ru::parsePgSnapshot(c.snapshot);
        ASSERT_TRUE(snapshot.has_value()) << c.snapshot;
        EXPECT_EQ(ru::pgSnapshotPosition(*snapshot), c.position) << c.snapshot;
        const auto back = ru::parsePgSnapshotPosition(c.position);
        ASSERT_TRUE(back.has_value()) << c.position;
        EXPECT_EQ(ru::pgSnapshotText(*back), c.snapshot);
    }
    // What PostgreSQL would refuse is never handed to it.
    for (const char* bad : {"0:0:", "5:4:", "5:9:4", "5:9:9", "5:9:7,6", "5:9:6,6", "5:9:,",
                            "05:9:", "5:9", "a:9:", "5:99999999999999999999:"}) {
        EXPECT_FALSE(ru::parsePgSnapshot(bad).has_value()) << bad;
    }
    for (const char* bad : {"x", "x5", "x0.4", "x5.4.4", "x5.4.1.2", "x5.4.", "s5.4", "x5.-1"}) {
        EXPECT_FALSE(ru::parsePgSnapshotPosition(bad).has_value()) << bad;
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
    running.erase(running.begin() + 20, running.end());
    const Answer fewer = read(store);
    EXPECT_TRUE(wire::isCursorToken(fewer.cursor)) << fewer.cursor;
    ASSERT_EQ(store.appendEvent(7, -1).status, ru::AppendStatus::Stored);
    running.clear();
    EXPECT_EQ(readAfter(store, fewer.cursor).rows, json::array({row("AB12", 7, -1)}));
}

}  // namespace
