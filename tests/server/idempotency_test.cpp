// Idempotency keys on the event upload: each case is a run of uploads against a fresh
// server, with what each answers and how many events end up stored; on both back ends.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backends.h"
#include "key_pruner.h"
#include "server_fixture.h"

namespace {

using nlohmann::json;
using rutest::row;

// One upload (or, with `prune`, the store forgetting every key stored so far).
struct Upload {
    std::vector<std::string> keys;  // the Idempotency-Key fields sent
    int user = 7;
    int event = -1;
    int status = 201;
    // Expected body of a 201; empty: the same body as the upload `sameAs` steps back.
    std::string body;
    int sameAs = 0;
    bool prune = false;
};

struct KeyCase {
    const char* name;
    bool honoured;  // the server's default; false: keys switched off
    std::vector<Upload> uploads;
    int stored;  // events stored by the run
};

Upload up(std::vector<std::string> keys, int user, int event, int status, std::string body = "",
          int sameAs = 0) {
    Upload u;
    u.keys = std::move(keys);
    u.user = user;
    u.event = event;
    u.status = status;
    u.body = std::move(body);
    u.sameAs = sameAs;
    return u;
}

Upload prune() {
    Upload u;
    u.prune = true;
    return u;
}

using IdempotencyKeys = rutest::BackendTest;
RU_ALL_BACKENDS(IdempotencyKeys);

const std::string kLongest = "\"" + std::string(255, 'k') + "\"";

TEST_P(IdempotencyKeys, EachKeyStoresItsEventOnceAndAReuseStoresNothing) {
    const std::string c9 = "{\"user_id\":7,\"event\":-1,\"credit\":9}";
    const std::string c8 = "{\"user_id\":7,\"event\":-1,\"credit\":8}";
    const std::string k1 = "\"b-1\"";
    const std::vector<KeyCase> cases = {
        {"first use", true, {up({k1}, 7, -1, 201, c9)}, 1},
        {"repeat, after another event",
         true,
         {up({k1}, 7, -1, 201, c9), up({"\"b-2\""}, 7, -1, 201, c8), up({k1}, 7, -1, 201, "", 2)},
         2},
        {"repeat with another user",
         true,
         {up({k1}, 7, -1, 201, c9), up({k1}, 8, -1, 422), up({k1}, 7, -1, 201, c9)},
         1},
        {"repeat with another body", true, {up({k1}, 7, -1, 201, c9), up({k1}, 7, -2, 422)}, 1},
        {"refused first use keeps no key",
         true,
         {up({k1}, 404, -1, 404), up({k1}, 7, -1, 201, c9)},
         1},
        {"escaped quote and backslash",
         true,
         {up({"\"a\\\"b\\\\c\""}, 7, -1, 201, c9), up({"\"a\\\"b\\\\c\""}, 7, -1, 201, c9)},
         1},
        {"longest key", true, {up({kLongest}, 7, -1, 201, c9), up({kLongest}, 7, -1, 201, c9)}, 1},
        {"not quoted", true, {up({"b-1"}, 7, -1, 400)}, 0},
        {"empty", true, {up({"\"\""}, 7, -1, 400)}, 0},
        {"too long", true, {up({"\"" + std::string(256, 'k') + "\""}, 7, -1, 400)}, 0},
        {"two fields", true, {up({k1, k1}, 7, -1, 400)}, 0},
        {"a list", true, {up({k1 + ", \"b-2\""}, 7, -1, 400)}, 0},
        {"unknown escape", true, {up({"\"b\\1\""}, 7, -1, 400)}, 0},
        {"control byte", true, {up({"\"b\t1\""}, 7, -1, 400)}, 0},
        {"key after pruning",
         true,
         {up({k1}, 7, -1, 201, c9), prune(), up({k1}, 7, -1, 201, c8)},
         2},
        {"not honoured: repeat stored again",
         false,
         {up({k1}, 7, -1, 201, c9), up({k1}, 7, -1, 201, c8)},
         2},
        {"not honoured: malformed ignored", false, {up({"\"\"", "x"}, 7, -1, 201, c9)}, 1},
        {"no key", true, {up({}, 7, -1, 201, c9), up({}, 7, -1, 201, c8)}, 2},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        rutest::TestDatabase fresh(GetParam());
        ru::ServerSettings settings;
        if (!c.honoured) {
            settings.idempotencyKeys = false;
        }
        rutest::RunningServer server(fresh.open(), settings);
        std::istringstream in(json::array({row("AB12", 7, 10), row("CD34", 8, 3)}).dump());
        server.store().importRoster(in);
        httplib::Client client = server.client();
        std::vector<std::string> bodies;
        for (const Upload& u : c.uploads) {
            if (u.prune) {
                // time() may lag SQLite's clock by a tick: one second more covers it.
                server.store().pruneKeys(static_cast<std::int64_t>(std::time(nullptr)) + 2, 1000);
                bodies.emplace_back();
                continue;
            }
            httplib::Headers headers;
            for (const std::string& k : u.keys) {
                headers.emplace("Idempotency-Key", k);
            }
            const auto r =
                client.Post("/transaction/" + std::to_string(u.user), headers,
                            "{\"event_id\": " + std::to_string(u.event) + "}", "application/json");
            ASSERT_TRUE(r);
            EXPECT_EQ(r->status, u.status) << r->body;
            if (u.status == 201) {
                EXPECT_EQ(r->body, u.sameAs == 0 ? u.body : bodies[bodies.size() - u.sameAs]);
            } else {
                EXPECT_TRUE(json::parse(r->body).contains("error")) << r->body;
            }
            bodies.push_back(r->body);
        }
        EXPECT_EQ(rutest::fetchRoster(client).size(), 2u + c.stored);
    }
}

TEST_P(IdempotencyKeys, RepeatsSentAtOnceStoreOneEvent) {
    ru::ServerSettings settings;
    settings.idempotencyKeys = true;
    rutest::RunningServer server(database.open(), settings);
    std::istringstream in(json::array({row("AB12", 7, 100)}).dump());
    server.store().importRoster(in);
    std::vector<std::thread> senders;
    std::vector<int> statuses(8);
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        senders.emplace_back([&, i] {
            httplib::Client client = server.client();
            const auto r = client.Post("/transaction/7", {{"Idempotency-Key", "\"same\""}},
                                       "{\"event_id\": -1}", "application/json");
            statuses[i] = r ? r->status : -1;
        });
    }
    for (std::thread& t : senders) {
        t.join();
    }
    EXPECT_EQ(statuses, std::vector<int>(statuses.size(), 201));
    httplib::Client client = server.client();
    EXPECT_EQ(rutest::fetchRoster(client).size(), 2u);
}

// The pruner forgets old keys and keeps recent ones, in batches smaller than the work.
TEST_P(IdempotencyKeys, PrunerForgetsOnlyKeysOlderThanItsAge) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    std::istringstream in(json::array({row("AB12", 7, 100)}).dump());
    store.importRoster(in);
    for (int i = 0; i < 7; ++i) {
        ASSERT_EQ(store.appendEvent(7, -1, "old-" + std::to_string(i)).status,
                  ru::AppendStatus::Stored);
    }
    ASSERT_EQ(store.appendEvent(7, -1, "new").status, ru::AppendStatus::Stored);
    database.sql(
        "UPDATE idempotency_keys SET stored_at = stored_at - 3 * 86400 "
        "WHERE key LIKE 'old-%'");
    {
        ru::KeyPruner pruner(store, std::chrono::hours(48), std::chrono::hours(1), 2);
        // The first round starts with the pruner.
        for (int tries = 0;
             tries < 500 && database.sql("SELECT COUNT(*) FROM idempotency_keys") != "1"; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(store.appendEvent(7, -1, "old-" + std::to_string(i)).status,
                  ru::AppendStatus::Stored)
            << i;
    }
    EXPECT_EQ(store.appendEvent(7, -1, "new").status, ru::AppendStatus::Repeated);
}

}  // namespace
