#ifndef RU_SERVER_STORE_SQLITE_H
#define RU_SERVER_STORE_SQLITE_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace ru {

namespace sql {
struct DbCloser {
    void operator()(sqlite3* db) const;
};
struct StmtFinalizer {
    void operator()(sqlite3_stmt* stmt) const;
};
using Db = std::unique_ptr<sqlite3, DbCloser>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;
}  // namespace sql

// The roster of an SQLite store. It reads through a read-only connection of its own, in
// short read transactions, so it holds up neither writers nor checkpoints; the snapshot
// holds because stored transactions are never changed or removed.
class SqliteRosterStream : public RosterStream {
  public:
    // Opens the database file at `path` read-only and fixes the snapshot. Throws StoreError.
    explicit SqliteRosterStream(const std::string& path);
    // The rows numbered after `after` up to `last`, read through `db` (read-only).
    SqliteRosterStream(sql::Db db, std::int64_t after, std::int64_t last);

    bool read(std::string& out, std::size_t maxBytes) override;

  private:
    enum class State { Start, Rows, End, Done };
    sql::Db db_;
    sql::Stmt rows_;
    std::int64_t after_ = 0;  // sequence number of the last row handed out (rows count from 1)
    std::int64_t last_ = 0;   // sequence number of the last row of the snapshot
    bool first_ = true;       // no row handed out yet
    State state_ = State::Start;
};

// The store in one SQLite file (WAL journal, synchronous=FULL). Writes go one at a time
// through one connection, each waiting for the database's lock at most the write wait
// counted from its arrival; a second process on the same file takes turns through that
// lock. Reads run on read-only connections of their own (one per thread reading at that
// moment, kept for the next), so under WAL they never wait for a write, ours or another
// process's. A student's credit is the sum of its rows, read under the write lock.
class SqliteStore : public Store {
  public:
    // Opens the database file at `path`, creating the file and its tables when absent.
    // Throws StoreError when it cannot be opened or written, is not an SQLite database,
    // or is a database of some other program or layout.
    explicit SqliteStore(std::string path, std::chrono::milliseconds writeWait = kWriteWait);
    ~SqliteStore() override;

    std::string name() const override { return path_; }
    std::string identity() override;
    ImportSummary importRoster(std::istream& in,
                               const std::function<bool()>& cancelled = {}) override;
    ImportSummary appendRows(std::istream& in,
                             const std::function<bool()>& cancelled = {}) override;
    std::size_t pruneKeys(std::int64_t cutoff, std::size_t batch) override;
    std::vector<HeadCount> latestHeadCounts() override;
    std::vector<OverdrawnStudent> overdrawnStudents() override;
    Activity activity(std::int64_t from, std::int64_t to, std::int64_t slotSeconds) override;
    std::unique_ptr<RosterStream> openRoster() override;
    // The position is the last sequence number: one writer at a time numbers the rows in
    // the order they commit, so the rows after it are exactly those committed since.
    CursorRoster openRosterWithCursor(const std::string* after) override;

  protected:
    AppendResult append(const EventWrite& write) override;
    void storeHeadCount(std::int32_t v, const std::string& board,
                        Clock::time_point arrived) override;

  private:
    struct Reader;
    class ReaderLease;

    void initialise();
    // Inserts the rows of `in` inside the caller's write transaction, without an arrival.
    ImportSummary insertRows(std::istream& in, const std::function<bool()>& cancelled);
    // Takes the write connection for a write that arrived at `arrived`, and gives SQLite
    // what is left of the wait for the database's lock. Throws StoreBusy.
    std::unique_lock<std::timed_mutex> lockWriter(Clock::time_point arrived,
                                                  std::chrono::milliseconds wait = {});

    std::string path_;
    const std::chrono::milliseconds writeWait_;
    std::timed_mutex writeMutex_;  // guards db_ and its statements
    sql::Db db_;                   // the write connection
    sql::Stmt userState_;
    sql::Stmt insertCopy_;
    sql::Stmt insertHeadCount_;
    sql::Stmt latestOfBoard_;
    sql::Stmt markOverdrawn_;
    sql::Stmt findKey_;
    sql::Stmt insertKey_;
    sql::Stmt pruneKeys_;
    std::mutex readersMutex_;  // guards idleReaders_
    std::vector<std::unique_ptr<Reader>> idleReaders_;
};

}  // namespace ru

#endif
