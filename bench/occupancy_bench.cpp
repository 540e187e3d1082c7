// Figures for the occupancy page's data (GET /painel without the network): how long the
// body takes to compute on a store that holds an imported roster and a busy day of meals
// and head-count reports, since every open page asks for it every second. Prints the
// median and the 99th percentile; asserts nothing about speed.
//
// Usage: ru_occupancy_bench [--rows N] [--meals N] [--requests N]
//   --rows N      imported roster rows, without arrival times (default 1000000)
//   --meals N     today's meals, each with a head-count report (default 6000)
//   --requests N  bodies computed (default 1000)
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "occupancy.h"
#include "store.h"
#include "store_sqlite.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string rosterText(long rows) {
    std::string text = "[";
    for (long i = 0; i < rows; ++i) {
        if (i != 0) {
            text += ',';
        }
        text +=
            "{\"cardID\":\"C" + std::to_string(i) + "\",\"user_id\":" + std::to_string(i % 30000) +
            ",\"event\":" + std::to_string(i % 7 - 1) + ",\"matricula\":\"2020" +
            std::to_string(i % 30000) + "\",\"salt\":\"0123456789abcdef\",\"n_password_hash\":\"" +
            std::string(64, 'a') + "\"}";
    }
    return text + "]";
}

// Today's meals and reports, spread from 10:30 to 20:30 local time, written straight into
// the file in one transaction (through the server, each would cost an fsync).
void addDay(const std::string& path, long meals) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        throw std::runtime_error("cannot open " + path);
    }
    sqlite3_busy_timeout(db, 10000);
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    tm.tm_hour = 10;
    tm.tm_min = 30;
    tm.tm_sec = 0;
    tm.tm_isdst = -1;
    const std::time_t opening = std::mktime(&tm);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (long i = 0; i < meals; ++i) {
        const std::time_t at = opening + i * 10 * 3600 / std::max(meals, 1L);
        std::tm utc{};
        gmtime_r(&at, &utc);
        char iso[40];
        std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%S.000Z", &utc);
        const std::string sql =
            "INSERT INTO transactions (card_id, user_id, event, matricula, salt, "
            "n_password_hash, stored_at) VALUES ('C1', 1, -1, 'm', 's', 'h', '" +
            std::string(iso) + "'); INSERT INTO headcounts (v, received_at) VALUES (" +
            std::to_string(i % 300) + ", '" + iso + "');";
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            throw std::runtime_error(sqlite3_errmsg(db));
        }
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

long option(int argc, char** argv, const char* name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return std::strtol(argv[i + 1], nullptr, 10);
        }
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const long rows = option(argc, argv, "--rows", 1000000);
    const long meals = option(argc, argv, "--meals", 6000);
    const long requests = std::max(option(argc, argv, "--requests", 1000), 1L);
    char pattern[] = "/tmp/ru-occupancy-bench.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    const std::string path = dir + "/ru.db";
    try {
        {
            ru::SqliteStore store(path);
            std::istringstream in(rosterText(rows));
            store.importRoster(in);
        }
        addDay(path, meals);
        ru::SqliteStore store(path);
        const ru::OpeningHours hours;
        std::vector<double> ms;
        std::size_t bytes = 0;
        for (long i = 0; i < requests; ++i) {
            const auto start = Clock::now();
            bytes = ru::occupancyJson(store, hours, std::time(nullptr)).size();
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        std::sort(ms.begin(), ms.end());
        std::printf(
            "occupancy data: %ld roster rows, %ld meals and reports today, %ld bodies of %zu "
            "bytes: median %.2f ms, p99 %.2f ms\n",
            rows, meals, requests, bytes, ms[ms.size() / 2], ms[ms.size() * 99 / 100]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ru_occupancy_bench: %s\n", e.what());
        std::filesystem::remove_all(dir);
        return 1;
    }
    std::filesystem::remove_all(dir);
    return 0;
}
