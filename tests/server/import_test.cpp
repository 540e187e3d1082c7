#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

#include "backends.h"
#include "roster.h"
#include "server_fixture.h"
#include "store.h"

namespace {

using nlohmann::json;
using rutest::row;

std::string rosterText(ru::Store& store) {
    return rutest::readAll(*store.openRoster(), 1000);
}

ru::ImportSummary importText(ru::Store& store, const std::string& text) {
    std::istringstream in(text);
    return store.importRoster(in);
}

struct BadRoster {
    std::string name;
    std::string text;
    std::vector<std::string> messageParts;  // each must appear in the message
};

std::string withElement(const std::string& key, const json& value) {
    json element = row("AB12", 7, 3);
    element[key] = value;
    return json::array({row("CD34", 5, 1), element}).dump();
}

std::string withoutKey(const std::string& key) {
    json element = row("AB12", 7, 3);
    element.erase(key);
    return json::array({row("CD34", 5, 1), element}).dump();
}

using RosterImport = rutest::BackendTest;
RU_ALL_BACKENDS(RosterImport);

std::vector<BadRoster> badRosters() {
    const std::string good = row("CD34", 5, 1).dump();
    std::vector<BadRoster> cases = {
        {"empty file", "", {"not valid JSON"}},
        {"cut short", "[" + good + ",{\"cardID\":", {"not valid JSON", "element at index 1"}},
        {"trailing comma", "[" + good + ",]", {"not valid JSON"}},
        {"text after the array", "[" + good + "] []", {"not valid JSON"}},
        {"invalid UTF-8", "[{\"cardID\":\"Jo\xE3o\"}]", {"not valid JSON", "element at index 0"}},
        {"an object", "{\"roster\":[]}", {"must be a JSON array"}},
        {"a number", "5", {"must be a JSON array"}},
        {"element that is a number",
         "[" + good + ",5]",
         {"element at index 1 is not a JSON object"}},
        {"element that is an array",
         "[[" + good + "]]",
         {"element at index 0 is not a JSON object"}},
        {"credit past the maximum",
         json::array({row("CD34", 5, 1), row("AB12", 7, 2147483647), row("AB12", 7, 1)}).dump(),
         {"element at index 2 (user_id 7)", "2147483648"}},
        {"credit past the minimum",
         json::array({row("AB12", 7, -2147483647 - 1), row("CD34", 5, 1), row("AB12", 7, -1)})
             .dump(),
         {"element at index 2 (user_id 7)", "-2147483649"}},
    };
    for (const char* key : {"cardID", "user_id", "event", "matricula", "salt", "n_password_hash"}) {
        cases.push_back({std::string("missing ") + key,
                         withoutKey(key),
                         {"element at index 1", std::string("missing key \"") + key + "\""}});
    }
    const std::string mustBeString = " must be a string";
    const std::string mustBeInt = " must be an integer from -2147483648 to 2147483647";
    const std::vector<std::pair<std::string, json>> wrongValues = {
        {"cardID", 1234},
        {"matricula", nullptr},
        {"salt", true},
        {"n_password_hash", {1}},
        {"user_id", "7"},
        {"user_id", 7.5},
        {"event", "3"},
        {"event", 1.0},
        {"event", 2147483648LL},
        {"event", -2147483649LL},
        {"user_id", 18446744073709551615ULL},
        {"event", nullptr},
    };
    for (const auto& [key, value] : wrongValues) {
        const bool isInt = key == "user_id" || key == "event";
        cases.push_back(
            {key + " = " + value.dump(),
             withElement(key, value),
             {"element at index 1", "\"" + key + "\"" + (isInt ? mustBeInt : mustBeString)}});
    }
    // A huge integer written out in full is a float to the parser, and still refused.
    cases.push_back({"event beyond 64 bits",
                     "[" + good + ",{\"cardID\":\"A\",\"user_id\":1,\"event\":1" +
                         std::string(30, '0') +
                         ",\"matricula\":\"m\",\"salt\":\"s\",\"n_password_hash\":\"h\"}]",
                     {"element at index 1", "\"event\"" + mustBeInt}});
    return cases;
}

TEST_P(RosterImport, RefusesEachMalformedRosterNamingTheElementAndStoresNothing) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    for (const BadRoster& bad : badRosters()) {
        try {
            importText(store, bad.text);
            ADD_FAILURE() << bad.name << ": imported";
        } catch (const ru::RosterError& e) {
            const std::string message = e.what();
            for (const std::string& part : bad.messageParts) {
                EXPECT_NE(message.find(part), std::string::npos)
                    << bad.name << ": message \"" << message << "\" lacks \"" << part << "\"";
            }
            EXPECT_EQ(message.find('\n'), std::string::npos) << bad.name << ": " << message;
        }
        ASSERT_EQ(rosterText(store), "[]") << bad.name << " left rows behind";
    }
    // Still empty, so still importable.
    EXPECT_EQ(importText(store, json::array({row("CD34", 5, 1)}).dump()).transactions, 1u);
}

TEST_P(RosterImport, StoresEveryRowInOrderAndServesTheSixKeysBack) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    const json roster = json::array({
        row("AB12", 7, 10, "2019001", "salt-a", "hash-a"),
        row("cd34", -3, 0, "2019002", "", "hash-b"),  // lower-case card, negative id
        row("AB12", 7, -2, "2019001", "salt-a", "hash-a"),
        row("EF56", 9, -2147483647 - 1, "x", "y", "z"),
        row("GH78", 11, 2147483647, "Jo\xC3\xA3o \"quoted\" \\ \t", "\xE2\x82\xAC", "h"),
    });
    json withExtraKey = roster;
    withExtraKey[0]["nome"] = "ignored";
    const ru::ImportSummary summary = importText(store, withExtraKey.dump(2));
    EXPECT_EQ(summary.transactions, 5u);
    EXPECT_EQ(summary.students, 4u);
    EXPECT_EQ(json::parse(rosterText(store)), roster);
    if (GetParam() == rutest::Backend::PostgreSQL) {
        // With the statistics of what it loaded: the plans of the roster's pages need them.
        EXPECT_EQ(database.sql("SELECT COUNT(*) > 0 FROM pg_stats WHERE schemaname = "
                               "current_schema() AND tablename = 'transactions'"),
                  "t");
    }
}

TEST_P(RosterImport, AcceptsAnEmptyArray) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    const ru::ImportSummary summary = importText(store, " [ ] \n");
    EXPECT_EQ(summary.transactions, 0u);
    EXPECT_EQ(rosterText(store), "[]");
}

TEST_P(RosterImport, RefusesADatabaseThatAlreadyHoldsTransactions) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    importText(store, json::array({row("AB12", 7, 10)}).dump());
    const std::string before = rosterText(store);
    EXPECT_THROW(importText(store, json::array({row("CD34", 8, 5)}).dump()), ru::StoreError);
    EXPECT_EQ(rosterText(store), before);
}

TEST_P(RosterImport, CancelledImportStoresNothing) {
    const auto opened = database.open();
    ru::Store& store = *opened;
    json roster = json::array();
    for (int i = 0; i < 10000; ++i) {
        roster.push_back(row("C" + std::to_string(i), i, 1));
    }
    int polls = 0;
    std::istringstream in(roster.dump());
    EXPECT_THROW(store.importRoster(in, [&polls] { return ++polls > 1; }), ru::ImportCancelled);
    EXPECT_EQ(rosterText(store), "[]");
}

}  // namespace
