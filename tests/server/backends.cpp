#include "backends.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

#include "store_postgres.h"
#include "store_sqlite.h"
#include "support/pg_cluster.h"
#include "support/process.h"

namespace rutest {

namespace {

std::string sqliteQuery(const std::string& path, const std::string& statement) {
    sqlite3* db = nullptr;
    std::string value;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        char* error = nullptr;
        const int rc = sqlite3_exec(
            db, statement.c_str(),
            [](void* out, int, char** values, char**) {
                auto* text = static_cast<std::string*>(out);
                if (text->empty() && values[0] != nullptr) {
                    *text = values[0];
                }
                return 0;
            },
            &value, &error);
        if (rc != SQLITE_OK) {
            const std::string message = error != nullptr ? error : "error";
            sqlite3_free(error);
            sqlite3_close(db);
            throw std::runtime_error(statement + ": " + message);
        }
    }
    sqlite3_close(db);
    return value;
}

}  // namespace

TestDatabase::TestDatabase(Backend backend) : backend_(backend) {
    if (backend_ == Backend::SQLite) {
        dir_ = std::make_unique<testsupport::TempDir>();
        db_ = dir_->file("ru.db");
        return;
    }
    static std::atomic<int> next{0};
    schema_ = "t" + std::to_string(getpid()) + "_" + std::to_string(++next);
    db_ = testsupport::sharedCluster().uri();
}

TestDatabase::~TestDatabase() {
    if (backend_ == Backend::PostgreSQL) {
        try {
            testsupport::sharedCluster().query("DROP SCHEMA IF EXISTS \"" + schema_ + "\" CASCADE");
        } catch (const std::exception&) {
        }
    }
}

std::unique_ptr<ru::Store> TestDatabase::open(std::chrono::milliseconds writeWait) const {
    if (backend_ == Backend::SQLite) {
        return std::make_unique<ru::SqliteStore>(db_, writeWait);
    }
    ru::StoreOptions options;
    options.schema = schema_;
    options.writeWait = writeWait;
    return std::make_unique<ru::PostgresStore>(db_, options);
}

std::string TestDatabase::sql(const std::string& statement) const {
    if (backend_ == Backend::SQLite) {
        return sqliteQuery(db_, statement);
    }
    return testsupport::sharedCluster().query("SET search_path TO \"" + schema_ + "\"; " +
                                              statement);
}

namespace {

void runTool(const std::string& program, const std::vector<std::string>& args) {
    testsupport::ChildProcess tool(program, args);
    if (tool.wait(60000) != 0) {
        throw std::runtime_error(program + " failed: " + tool.err());
    }
}

}  // namespace

void TestDatabase::backup(const std::string& file) const {
    if (backend_ == Backend::SQLite) {
        sqliteQuery(db_, "VACUUM INTO '" + file + "'");
        return;
    }
    runTool(testsupport::sharedCluster().binDir() + "/pg_dump",
            {"-Fc", "-n", schema_, "-f", file, "-d", db_});
}

void TestDatabase::restore(const std::string& file) const {
    if (backend_ == Backend::SQLite) {
        std::filesystem::copy_file(file, db_, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::remove(db_ + "-wal");
        std::filesystem::remove(db_ + "-shm");
        return;
    }
    testsupport::sharedCluster().query("DROP SCHEMA \"" + schema_ + "\" CASCADE");
    runTool(testsupport::sharedCluster().binDir() + "/pg_restore", {"-d", db_, file});
}

std::shared_ptr<void> TestDatabase::blockWrites() const {
    if (backend_ == Backend::SQLite) {
        sqlite3* db = nullptr;
        sqlite3_open(db_.c_str(), &db);
        std::shared_ptr<void> held(db, [](void* d) { sqlite3_close(static_cast<sqlite3*>(d)); });
        if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
            throw std::runtime_error("cannot take the write lock");
        }
        return held;
    }
    // Rolled back before the session goes: its locks are gone once the holder is.
    std::shared_ptr<void> held(PQconnectdb(db_.c_str()), [](void* c) {
        PQclear(PQexec(static_cast<PGconn*>(c), "ROLLBACK"));
        PQfinish(static_cast<PGconn*>(c));
    });
    const std::string s = "\"" + schema_ + "\"";
    std::unique_ptr<PGresult, void (*)(PGresult*)> r(
        PQexec(static_cast<PGconn*>(held.get()),
               ("BEGIN; SELECT 1 FROM " + s + ".students FOR UPDATE; LOCK TABLE " + s +
                ".headcounts IN EXCLUSIVE MODE")
                   .c_str()),
        PQclear);
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
        throw std::runtime_error("cannot hold the writes");
    }
    return held;
}

std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::SQLite ? "SQLite" : "PostgreSQL";
}

}  // namespace rutest
