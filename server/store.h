#ifndef RU_SERVER_STORE_H
#define RU_SERVER_STORE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace ru {

// A failure of the database itself (cannot open, not ours, disk full, ...) or a request
// the store refuses as a whole (an import into a store that already holds transactions).
class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A write that could not start before its wait ran out (another writer, most often another
// process, held the database's write lock); nothing was stored. Worth trying again.
class StoreBusy : public StoreError {
  public:
    using StoreError::StoreError;
};

// Thrown by Store::importRoster when its `cancelled` callback says so.
class ImportCancelled : public std::runtime_error {
  public:
    ImportCancelled() : std::runtime_error("import interrupted") {}
};

struct ImportSummary {
    std::size_t transactions = 0;
    std::size_t students = 0;
};

enum class AppendStatus {
    Stored,            // committed
    UnknownUser,       // no transaction has this user id; nothing stored
    CreditOutOfRange,  // the credit would leave the signed 32-bit range; nothing stored
    Repeated,          // the key was stored with this user and event; nothing stored
    KeyReused,         // the key was stored with another user or event; nothing stored
};

struct AppendResult {
    AppendStatus status = AppendStatus::UnknownUser;
    // The student's credit after the call (unchanged unless Stored); for Repeated, the
    // credit after the event was stored, as the first answer gave it.
    std::int64_t credit = 0;
};

struct HeadCount {
    std::int32_t v = 0;
    std::int64_t receivedAt = 0;  // seconds since the Unix epoch, UTC
};

// What the occupancy page shows of a period (a day), read at one moment. Times are seconds
// since the Unix epoch, UTC.
struct Activity {
    // Credit events of -1 (meals) that arrived in each slot of the period, from its start.
    std::vector<std::int64_t> mealsPerSlot;
    std::vector<HeadCount> headCounts;          // reports that arrived in the period, in order
    std::optional<HeadCount> headCountBefore;   // the last report before the period
    std::optional<HeadCount> latestHeadCount;   // the last report of all
    std::optional<std::int64_t> latestEventAt;  // when the last event of all arrived
};

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

// The roster text of a snapshot of the store: a JSON array of every transaction stored
// when the stream was opened, in insertion order, read a piece at a time so that the
// whole text never has to be in memory. It reads through a read-only connection of its
// own, in short read transactions, so it holds up neither writers nor checkpoints; the
// snapshot holds because stored transactions are never changed or removed. Use from one
// thread at a time.
class RosterStream {
  public:
    // Opens the database file at `path` read-only and fixes the snapshot. Throws StoreError.
    explicit RosterStream(const std::string& path);

    // Appends the next piece of the text, about `maxBytes` long (whole rows only), to `out`.
    // Returns false, appending nothing, once the closing bracket has been handed out.
    // Throws StoreError.
    bool read(std::string& out, std::size_t maxBytes);

  private:
    enum class State { Start, Rows, End, Done };
    sql::Db db_;
    sql::Stmt rows_;
    std::int64_t after_ = 0;  // sequence number of the last row handed out (rows count from 1)
    std::int64_t last_ = 0;   // sequence number of the last row of the snapshot
    State state_ = State::Start;
};

using Clock = std::chrono::steady_clock;

// How long a write waits by default for the database, from the arrival of its request:
// short of a board's default give-up (10 s without a byte), so that the board hears a
// refusal rather than giving up on a write that may still be committed after it.
constexpr std::chrono::milliseconds kWriteWait{8000};

// The server's durable state in one SQLite file (WAL journal, synchronous=FULL): every
// credit transaction, in insertion order, with the time it arrived (none for imported
// rows), every head-count report with the time it arrived, and the idempotency keys of
// recent uploads. Transactions are only ever appended. Every method that returns has
// either committed all of its change or stored nothing.
// Thread safety: every method may be called from any thread. Writes go one at a time
// through one connection, each waiting for the database at most the write wait counted
// from `arrived`, then throwing StoreBusy. Reads run on read-only connections of their
// own (one per thread reading at that moment, kept for the next), so they never wait
// for a write, ours or another process's.
class Store {
  public:
    // Opens the database file at `path`, creating the file and its tables when absent.
    // Throws StoreError when it cannot be opened or written, is not an SQLite database,
    // or is a database of some other program or layout.
    explicit Store(std::string path, std::chrono::milliseconds writeWait = kWriteWait);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Loads a roster (see readRoster) into the store, in one transaction: all or nothing.
    // Refuses, with StoreError, a store that already holds transactions: importing a
    // roster twice would count every credit twice. `cancelled`, when set, is polled now
    // and then; once it returns true the import stops with ImportCancelled. Also throws
    // RosterError for a malformed roster.
    ImportSummary importRoster(std::istream& in, const std::function<bool()>& cancelled = {});

    // Appends a transaction of `value` for `userId`, copying card, enrolment, salt and
    // hash from the user's latest transaction, and commits it before returning Stored.
    // Throws StoreBusy when the wait counted from `arrived` ran out, StoreError when the
    // database fails (either way nothing was stored).
    AppendResult appendEvent(std::int32_t userId, std::int32_t value,
                             Clock::time_point arrived = Clock::now());
    // The same with an idempotency key: a key already stored answers Repeated or
    // KeyReused and stores nothing; otherwise the key is stored with the event, in the
    // same transaction, with the current time.
    AppendResult appendEvent(std::int32_t userId, std::int32_t value, const std::string& key,
                             Clock::time_point arrived = Clock::now());

    // Forgets at most `batch` idempotency keys stored before `cutoff` (seconds since the
    // Unix epoch), in one short transaction; returns how many it forgot.
    std::size_t pruneKeys(std::int64_t cutoff, std::size_t batch);

    // Stores a head-count report with the current time, committed before returning.
    // Throws as appendEvent.
    void recordHeadCount(std::int32_t v, Clock::time_point arrived = Clock::now());

    // The latest head-count report, or nothing before the first one.
    std::optional<HeadCount> latestHeadCount();

    // The activity of the period [from, to) cut into slots of `slotSeconds` (the last one
    // may be shorter). Events and reports without an arrival time (imported rows, rows
    // stored by a server of before arrival times) belong to no period. Throws StoreError.
    Activity activity(std::int64_t from, std::int64_t to, std::int64_t slotSeconds);

    // Opens the roster as it is now. The stream needs only the database file, not this
    // object.
    std::unique_ptr<RosterStream> openRoster() const;

  private:
    struct Reader;
    class ReaderLease;

    void initialise();
    AppendResult append(std::int32_t userId, std::int32_t value, const std::string* key,
                        Clock::time_point arrived);
    // Takes the write connection for a write that arrived at `arrived`, and gives SQLite
    // what is left of the wait for the database's lock. Throws StoreBusy.
    std::unique_lock<std::timed_mutex> lockWriter(Clock::time_point arrived);

    std::string path_;
    const std::chrono::milliseconds writeWait_;
    std::timed_mutex writeMutex_;  // guards db_ and its statements
    sql::Db db_;                   // the write connection
    sql::Stmt userState_;
    sql::Stmt insertCopy_;
    sql::Stmt insertHeadCount_;
    sql::Stmt findKey_;
    sql::Stmt insertKey_;
    sql::Stmt pruneKeys_;
    std::mutex readersMutex_;  // guards idleReaders_
    std::vector<std::unique_ptr<Reader>> idleReaders_;
};

}  // namespace ru

#endif
