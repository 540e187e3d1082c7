#include "backends.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <atomic>
#include <stdexcept>

#include "store_postgres.h"
#include "store_sqlite.h"
#include "support/pg_cluster.h"

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

class SqliteBlock : public TestDatabase::WriteBlock {
  public:
    explicit SqliteBlock(const std::string& path) {
        sqlite3_open(path.c_str(), &db_);
        if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
            throw std::runtime_error("cannot take the write lock");
        }
    }
    ~SqliteBlock() override { sqlite3_close(db_); }

  private:
    sqlite3* db_ = nullptr;
};

class PostgresBlock : public TestDatabase::WriteBlock {
  public:
    PostgresBlock(const std::string& uri, const std::string& schema)
        : conn_(PQconnectdb(uri.c_str())) {
        const std::string s = "\"" + schema + "\"";
        PGresult* r =
            PQexec(conn_, ("BEGIN; SELECT 1 FROM " + s + ".students FOR UPDATE; LOCK TABLE " + s +
                           ".headcounts IN EXCLUSIVE MODE")
                              .c_str());
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
        if (!ok) {
            throw std::runtime_error(std::string("cannot hold the writes: ") +
                                     PQerrorMessage(conn_));
        }
    }
    // Rolled back before the session goes: its locks are gone once this returns.
    ~PostgresBlock() override {
        PQclear(PQexec(conn_, "ROLLBACK"));
        PQfinish(conn_);
    }

  private:
    PGconn* conn_;
};

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

std::unique_ptr<TestDatabase::WriteBlock> TestDatabase::blockWrites() const {
    if (backend_ == Backend::SQLite) {
        return std::make_unique<SqliteBlock>(db_);
    }
    return std::make_unique<PostgresBlock>(db_, schema_);
}

std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::SQLite ? "SQLite" : "PostgreSQL";
}

}  // namespace rutest
