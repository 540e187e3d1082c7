#include <gtest/gtest.h>
#include <sqlite3.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "occupancy.h"
#include "server_fixture.h"
#include "store.h"
#include "store_sqlite.h"

namespace {

using nlohmann::json;
using rutest::row;

// Every student field of the roster below; none may reach the page.
const char* const kPrivate[] = {"CARD-A", "CARD-B", "2019001", "2019002",
                                "salt-a", "salt-b", "hash-a",  "hash-b"};

json roster() {
    return json::array({row("CARD-A", 7, 10, "2019001", "salt-a", "hash-a"),
                        row("CARD-B", 8, 10, "2019002", "salt-b", "hash-b")});
}

// The tests run in a fixed zone three hours behind UTC, without summer time, on 2 March 2026.
class Occupancy : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ")) {
            savedTz_ = tz;
        }
        setenv("TZ", "BRT3", 1);
        tzset();
    }
    void TearDown() override {
        if (savedTz_) {
            setenv("TZ", savedTz_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

    // The local time `clock` ("HH:MM" or "HH:MM:SS") of 2 March 2026 plus `day` days.
    static std::time_t at(int day, const std::string& clock) {
        std::tm tm{};
        tm.tm_year = 2026 - 1900;
        tm.tm_mon = 2;
        tm.tm_mday = 2 + day;
        tm.tm_hour = std::stoi(clock.substr(0, 2));
        tm.tm_min = std::stoi(clock.substr(3, 2));
        tm.tm_sec = clock.size() > 5 ? std::stoi(clock.substr(6, 2)) : 0;
        tm.tm_isdst = -1;
        return std::mktime(&tm);
    }

    std::optional<std::string> savedTz_;
};

// Sets the arrival time of the latest row of `table` through a connection of its own, as
// if the row had come at `t`.
void backdate(const std::string& dbPath, const char* table, const char* column, std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char iso[40];
    std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    const std::string sql = std::string("UPDATE ") + table + " SET " + column + " = '" + iso +
                            "' WHERE seq = (SELECT MAX(seq) FROM " + table + ")";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
}

std::map<std::string, json> slotsByStart(const json& body) {
    std::map<std::string, json> slots;
    for (const json& slot : body.at("slots")) {
        slots[slot.at("start").get<std::string>()] = slot;
    }
    return slots;
}

TEST_F(Occupancy, DayFiguresFromEventsAndHeadCounts) {
    enum Kind { Event, Count };
    struct Arrival {
        int day;  // relative to the day of `now`
        const char* clock;
        Kind kind;
        int value;               // the event, or the head-count
        const char* board = "";  // of a head-count
    };
    struct Case {
        const char* name;
        std::vector<Arrival> arrivals;
        const char* now;
        const char* hours;                  // nullptr: the default
        json expected;                      // these keys of the body, as they must be
        std::map<std::string, json> slots;  // by start: {"meals", "headcount"}
    };
    const json null;
    const Case cases[] = {
        {"no events yet",
         {},
         "12:00",
         nullptr,
         {{"headcount", 0},
          {"last_report", null},
          {"meals_today", 0},
          {"open", true},
          {"silent", true},
          {"date", "2026-03-02"},
          {"now", "2026-03-02T12:00:00-03:00"},
          {"opening_hours", "10:30-14:00,17:00-20:30"}},
         {{"00:00", {{"meals", 0}, {"headcount", null}}},
          {"11:45", {{"meals", 0}, {"headcount", null}}}}},
        {"just opened: the night's quiet is no fault",
         {},
         "10:39:59",
         nullptr,
         {{"open", true}, {"silent", false}},
         {}},
        {"closed between meals", {}, "15:00", nullptr, {{"open", false}, {"silent", false}}, {}},
        {"events across midnight: only today's are today's meals",
         {{-1, "23:50", Event, -1},
          {-1, "23:59:59", Event, -1},
          {0, "00:00", Event, -1},
          {0, "00:10", Event, -1}},
         "00:20",
         nullptr,
         {{"meals_today", 2},
          {"last_report", "2026-03-02T00:10:00-03:00"},
          {"open", false},
          {"silent", false}},
         {{"00:00", {{"meals", 2}, {"headcount", null}}},
          {"23:45", {{"meals", 0}, {"headcount", null}}}}},
        {"only events of -1 are meals",
         {{0, "11:00", Event, -1},
          {0, "11:01", Event, 5},
          {0, "11:02", Event, -2},
          {0, "11:16", Event, -1}},
         "11:20",
         nullptr,
         {{"meals_today", 2}, {"last_report", "2026-03-02T11:16:00-03:00"}, {"silent", false}},
         {{"11:00", {{"meals", 1}, {"headcount", null}}},
          {"11:15", {{"meals", 1}, {"headcount", null}}}}},
        {"head-count history: carried over, highest per slot, none for slots to come",
         {{-1, "20:00", Count, 4},
          {0, "11:02", Count, 3},
          {0, "11:05", Count, 7},
          {0, "11:20", Count, 2}},
         "11:40",
         nullptr,
         {{"headcount", 2}, {"last_report", "2026-03-02T11:20:00-03:00"}, {"silent", true}},
         {{"00:00", {{"meals", 0}, {"headcount", 4}}},
          {"10:45", {{"meals", 0}, {"headcount", 4}}},
          {"11:00", {{"meals", 0}, {"headcount", 7}}},
          {"11:15", {{"meals", 0}, {"headcount", 7}}},
          {"11:30", {{"meals", 0}, {"headcount", 2}}},
          {"11:45", {{"meals", 0}, {"headcount", null}}}}},
        {"a report of yesterday: shown with its date; silent once open ten minutes",
         {{-1, "13:00", Count, 9}},
         "11:00",
         nullptr,
         {{"headcount", 9}, {"last_report", "2026-03-01T13:00:00-03:00"}, {"silent", true}},
         {{"10:45", {{"meals", 0}, {"headcount", 9}}}}},
        {"an event alone is a report",
         {{0, "11:30", Count, 1}, {0, "11:35", Event, -1}},
         "11:44:59",
         nullptr,
         {{"headcount", 1}, {"last_report", "2026-03-02T11:35:00-03:00"}, {"silent", false}},
         {}},
        {"silent at ten minutes exactly",
         {{0, "11:30", Count, 1}},
         "11:40",
         nullptr,
         {{"silent", true}},
         {}},
        {"not yet one second before",
         {{0, "11:30", Count, 1}},
         "11:39:59",
         nullptr,
         {{"silent", false}},
         {}},
        {"three boards: the restaurant's sum, and each board with its own mark",
         {{0, "11:02", Count, 3, "norte"},
          {0, "11:05", Count, 4, "sul"},
          {0, "11:20", Count, 1, "norte"},
          {0, "11:21", Count, 1, ""}},
         "11:28",
         nullptr,
         {{"headcount", 6},
          {"silent", false},
          {"overdrawn", 0},
          {"boards",
           {{{"board", ""},
             {"headcount", 1},
             {"last_report", "2026-03-02T11:21:00-03:00"},
             {"silent", false}},
            {{"board", "norte"},
             {"headcount", 1},
             {"last_report", "2026-03-02T11:20:00-03:00"},
             {"silent", false}},
            {{"board", "sul"},
             {"headcount", 4},
             {"last_report", "2026-03-02T11:05:00-03:00"},
             {"silent", true}}}}},
         {{"10:45", {{"meals", 0}, {"headcount", null}}},
          {"11:00", {{"meals", 0}, {"headcount", 7}}},
          {"11:15", {{"meals", 0}, {"headcount", 7}}},
          {"11:30", {{"meals", 0}, {"headcount", null}}}}},
        {"opening hours of the option",
         {},
         "08:10",
         "08:00-09:00",
         {{"open", true}, {"silent", true}, {"opening_hours", "08:00-09:00"}},
         {}},
        {"outside opening hours of the option",
         {},
         "12:00",
         "08:00-09:00",
         {{"open", false}, {"silent", false}},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rutest::TempDir dir;
        const std::string path = dir.file("ru.db");
        ru::SqliteStore store(path);
        std::istringstream in(roster().dump());
        store.importRoster(in);
        for (const Arrival& a : c.arrivals) {
            if (a.kind == Event) {
                ASSERT_EQ(store.appendEvent(a.day < 0 ? 8 : 7, a.value).status,
                          ru::AppendStatus::Stored);
                backdate(path, "transactions", "stored_at", at(a.day, a.clock));
            } else {
                store.recordHeadCount(a.value, a.board);
                backdate(path, "headcounts", "received_at", at(a.day, a.clock));
            }
        }
        const ru::OpeningHours hours =
            c.hours != nullptr ? *ru::OpeningHours::parse(c.hours) : ru::OpeningHours{};
        const std::string text = ru::occupancyJson(store, hours, at(0, c.now));
        const json body = json::parse(text);
        for (const auto& [key, value] : c.expected.items()) {
            EXPECT_EQ(body.at(key), value) << key;
        }
        EXPECT_EQ(body.at("slot_minutes"), 15);
        ASSERT_EQ(body.at("slots").size(), 96u);
        const auto slots = slotsByStart(body);
        for (const auto& [start, expected] : c.slots) {
            ASSERT_EQ(slots.count(start), 1u) << start;
            EXPECT_EQ(slots.at(start).at("meals"), expected.at("meals")) << start;
            EXPECT_EQ(slots.at(start).at("headcount"), expected.at("headcount")) << start;
        }
        for (const char* secret : kPrivate) {
            EXPECT_EQ(text.find(secret), std::string::npos) << secret;
        }
    }
}

// The layout every ru-server wrote before arrival times, as a database of today holds it.
const std::string kLayout1 = std::string(rutest::kLayout1Schema) + R"sql(
PRAGMA user_version = 1;
INSERT INTO transactions VALUES (1, 'CARD-A', 7, 10, '2019001', 'salt-a', 'hash-a');
INSERT INTO transactions VALUES (2, 'CARD-A', 7, -1, '2019001', 'salt-a', 'hash-a');
INSERT INTO headcounts VALUES (1, 6, strftime('%Y-%m-%dT%H:%M:%fZ', 'now'));
)sql";

std::int64_t queryInt(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* stmt = nullptr;
    std::int64_t value = -1;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        value = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return value;
}

using rutest::rosterText;

TEST(OccupancyUpgrade, AnOlderDatabaseGainsArrivalTimesInPlace) {
    struct Case {
        const char* name;
        std::string extra;  // run after the old layout, before the upgrade
    };
    const Case cases[] = {
        {"made by the previous server", ""},
        {"an upgrade cut short after the new column",
         "ALTER TABLE transactions ADD COLUMN stored_at TEXT;"},
        {"an upgrade cut short after an index",
         "ALTER TABLE transactions ADD COLUMN stored_at TEXT;"
         "CREATE INDEX transactions_by_arrival ON transactions (stored_at) "
         "WHERE stored_at IS NOT NULL;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rutest::TempDir dir;
        const std::string path = dir.file("old.db");
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, (kLayout1 + c.extra).c_str(), nullptr, nullptr, nullptr),
                  SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);

        std::string before;
        for (int opening = 0; opening < 2; ++opening) {
            ru::SqliteStore store(path);
            EXPECT_EQ(queryInt(path, "PRAGMA user_version"), 5) << "the latest layout";
            EXPECT_EQ(queryInt(path, "SELECT COUNT(*) FROM transactions WHERE stored_at IS NULL"),
                      2);
            if (opening == 0) {
                before = rosterText(store);
                EXPECT_EQ(json::parse(before).size(), 2u);
                ASSERT_TRUE(store.latestHeadCount().has_value());
                EXPECT_EQ(store.latestHeadCount()->v, 6);
                ASSERT_EQ(store.appendEvent(7, -1).status, ru::AppendStatus::Stored);
            } else {
                EXPECT_EQ(json::parse(rosterText(store)).size(), 3u);
                EXPECT_EQ(rosterText(store).substr(0, before.size() - 1),
                          before.substr(0, before.size() - 1));
            }
            // The old meal has no time; the new one is today's.
            const json body = json::parse(ru::occupancyJson(store, {}, std::time(nullptr)));
            EXPECT_EQ(body.at("meals_today"), 1);
            EXPECT_EQ(body.at("headcount"), 6);
        }
        EXPECT_EQ(queryInt(path, "SELECT COUNT(*) FROM transactions WHERE stored_at IS NOT NULL"),
                  1);
    }
}

TEST(OccupancyUpgrade, ADatabaseOfALaterLayoutIsRefusedAndLeftAlone) {
    rutest::TempDir dir;
    const std::string path = dir.file("later.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, kLayout1.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_THROW(ru::SqliteStore store(path), ru::StoreError);
    EXPECT_EQ(queryInt(path, "PRAGMA user_version"), 99);
    EXPECT_EQ(queryInt(path,
                       "SELECT COUNT(*) FROM pragma_table_info('transactions') "
                       "WHERE name = 'stored_at'"),
              0);
}

TEST(OccupancyHours, ParsesPeriodsAndRefusesAnythingElse) {
    struct Case {
        const char* text;
        const char* parsed;  // nullptr: refused
    };
    const Case cases[] = {
        {"10:30-14:00,17:00-20:30", "10:30-14:00,17:00-20:30"},
        {"00:00-24:00", "00:00-24:00"},
        {"06:00-06:01", "06:00-06:01"},
        {"", nullptr},
        {"10:30-14:00,", nullptr},
        {"14:00-10:30", nullptr},
        {"10:30-10:30", nullptr},
        {"10:60-11:00", nullptr},
        {"23:00-24:01", nullptr},
        {"9:00-10:00", nullptr},
        {"10:30 - 14:00", nullptr},
        {"1a:00-12:00", nullptr},
        {"10:30-14:00;17:00-20:30", nullptr},
    };
    for (const Case& c : cases) {
        const auto hours = ru::OpeningHours::parse(c.text);
        if (c.parsed == nullptr) {
            EXPECT_FALSE(hours.has_value()) << c.text;
        } else {
            ASSERT_TRUE(hours.has_value()) << c.text;
            EXPECT_EQ(hours->text(), c.parsed);
        }
    }
}

TEST(OccupancyRoutes, ThePageItsFilesAndItsDataAreServedByTheServerItself) {
    rutest::TempDir dir;
    rutest::RunningServer server(dir.file("ru.db"));
    std::istringstream in(roster().dump());
    server.store().importRoster(in);
    auto client = server.client();
    ASSERT_TRUE(client.Post("/transaction/7", R"({"event_id": -1})", "application/json"));
    ASSERT_TRUE(client.Post("/contador", R"({"v": 3})", "application/json"));
    struct Case {
        const char* method;
        const char* path;
        int status;
        const char* type;      // Content-Type
        const char* contains;  // in the body
        const char* allow;     // Allow, when expected
    };
    const Case cases[] = {
        {"GET", "/", 200, "text/html; charset=utf-8", "id=\"lotacao\"", nullptr},
        {"GET", "/?tela=1", 200, "text/html; charset=utf-8", "id=\"refeicoes-hoje\"", nullptr},
        // The footer names the build's version.
        {"GET", "/", 200, "text/html; charset=utf-8", "<footer>ru-server " CATRACA_VERSION "<",
         nullptr},
        {"GET", "/web/painel.js", 200, "text/javascript; charset=utf-8", "/painel", nullptr},
        {"GET", "/web/painel.css", 200, "text/css; charset=utf-8", ".numero", nullptr},
        {"GET", "/web/chart.umd.js", 200, "text/javascript; charset=utf-8", "Chart.js v4.4.7",
         nullptr},
        {"GET", "/web/chart.js-LICENSE.md", 200, "text/plain; charset=utf-8", "MIT", nullptr},
        {"GET", "/painel", 200, "application/json", "\"meals_today\":1", nullptr},
        {"GET", "/web/", 404, "application/json", "error", nullptr},
        {"GET", "/web/nada.js", 404, "application/json", "error", nullptr},
        {"GET", "/web/../painel", 404, "application/json", "error", nullptr},
        {"GET", "/index.html", 404, "application/json", "error", nullptr},
        {"POST", "/", 405, "application/json", "error", "GET, HEAD, OPTIONS"},
        {"POST", "/painel", 405, "application/json", "error", "GET, HEAD, OPTIONS"},
        {"DELETE", "/web/painel.js", 405, "application/json", "error", "GET, HEAD, OPTIONS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        auto res =
            c.method == std::string("GET")
                ? client.Get(c.path)
                : (c.method == std::string("POST") ? client.Post(c.path, "{}", "application/json")
                                                   : client.Delete(c.path));
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_EQ(res->status, c.status);
        EXPECT_EQ(res->get_header_value("Content-Type"), c.type);
        EXPECT_NE(res->body.find(c.contains), std::string::npos) << res->body.substr(0, 200);
        if (c.allow != nullptr) {
            EXPECT_EQ(res->get_header_value("Allow"), c.allow);
        }
    }
    // A browser must never show a stale figure from its cache.
    EXPECT_EQ(client.Get("/painel")->get_header_value("Cache-Control"), "no-store");
    // Nor run a script of another site in the page, nor show it in a frame.
    EXPECT_EQ(client.Get("/")->get_header_value("Content-Security-Policy"),
              "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
              "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
    EXPECT_EQ(client.Get("/web/painel.js")->get_header_value("X-Frame-Options"), "DENY");
    // HEAD answers as GET does, without the body.
    auto head = client.Head("/");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(head->body.empty());
}

}  // namespace
