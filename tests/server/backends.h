#ifndef RU_SERVER_TESTS_BACKENDS_H
#define RU_SERVER_TESTS_BACKENDS_H

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "store.h"
#include "support/loopback.h"

namespace rutest {

// The store's back ends: every case of a TEST_P over BackendTest runs once on each.
enum class Backend { SQLite, PostgreSQL };

// One test's database of one back end: an SQLite file in a temporary directory, or a
// schema of its own in the test program's PostgreSQL cluster (dropped at the end).
class TestDatabase {
  public:
    explicit TestDatabase(Backend backend);
    ~TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    Backend backend() const { return backend_; }
    // ru-server's --db (and, with PostgreSQL, --db-schema).
    const std::string& db() const { return db_; }
    const std::string& schema() const { return schema_; }
    // A store on it, as ru-server opens one; several at once are several servers.
    std::unique_ptr<ru::Store> open(std::chrono::milliseconds writeWait = ru::kWriteWait) const;
    // Runs `statement` on the data as another program would, with the store's tables
    // named without a schema: the first column of its first row, or "" when none.
    std::string sql(const std::string& statement) const;

    // Copies the data to `file` as an operator's backup does (SQLite: VACUUM INTO;
    // PostgreSQL: pg_dump of the schema), and puts such a copy back in place of the data
    // (SQLite: the file copied over the database; PostgreSQL: the schema dropped, then
    // pg_restore). Close the stores on it before a restore. Throw std::runtime_error.
    void backup(const std::string& file) const;
    void restore(const std::string& file) const;

    // Holds off every write of the stores (another process holding SQLite's write lock;
    // on PostgreSQL, a session holding the students' rows and the head-count table) until
    // the object goes. Reads go on.
    std::shared_ptr<void> blockWrites() const;

  private:
    Backend backend_;
    std::unique_ptr<testsupport::TempDir> dir_;
    std::string db_;
    std::string schema_;
};

class BackendTest : public ::testing::TestWithParam<Backend> {
  protected:
    TestDatabase database{GetParam()};
};

// "SQLite" or "PostgreSQL", for the names of the cases.
std::string backendName(const ::testing::TestParamInfo<Backend>& info);

}  // namespace rutest

#define RU_ALL_BACKENDS(suite)                                                                    \
    INSTANTIATE_TEST_SUITE_P(                                                                     \
        Backends, suite, ::testing::Values(rutest::Backend::SQLite, rutest::Backend::PostgreSQL), \
        rutest::backendName)

#endif
