#ifndef RU_SERVER_STORE_H
#define RU_SERVER_STORE_H

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ru {

using Clock = std::chrono::steady_clock;

// A failure of the database itself (cannot open, not ours, disk full, ...) or a request
// the store refuses as a whole (an import into a store that already holds transactions).
class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A write that could not start before its wait ran out (another writer, most often another
// process, held the database's write lock, or the row of its student); nothing was stored.
// Worth trying again.
class StoreBusy : public StoreError {
  public:
    using StoreError::StoreError;
};

// The database could not be reached or lost the connection (a restart, a network cut, a
// failover), or did not confirm a commit within the wait: a write may or may not have
// been stored. Worth trying again, with an idempotency key to settle which.
class StoreUnavailable : public StoreError {
  public:
    using StoreError::StoreError;
};

// Thrown by Store::importRoster and Store::appendRows when their `cancelled` callback
// says so.
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
    NotCovered,        // an online entry that the committed credit does not cover; nothing
                       // stored
};

struct AppendResult {
    AppendStatus status = AppendStatus::UnknownUser;
    // The student's credit after the call (unchanged unless Stored); for Repeated, the
    // credit after the event was stored, as the first answer gave it.
    std::int64_t credit = 0;
};

// One event to store, and who sent it.
struct EventWrite {
    std::int32_t userId = 0;
    std::int32_t value = 0;
    // The upload's idempotency key, if it carries one.
    std::optional<std::string> key;
    // The board that sent it (its Catraca-Board name; "" the unnamed board).
    std::string board;
    // An online entry: stored only if the committed credit covers it (credit + value >= 0,
    // checked against the committed credit in the transaction that stores it), and never
    // marks the student. Otherwise the event is a fact: stored whatever the credit, within
    // the signed 32-bit range, and a negative event that leaves the credit below zero
    // marks the student overdrawn.
    bool mustBeCovered = false;
    // When the request was made; the write's wait is counted from then.
    Clock::time_point arrived = Clock::now();
    // A wait shorter than the store's (kEntryWriteWait); 0: the store's.
    std::chrono::milliseconds wait{0};
    // Whether the row gets its arrival time; the administrator's credit gets none.
    bool stamped = true;
};

struct HeadCount {
    std::int32_t v = 0;
    std::int64_t receivedAt = 0;  // seconds since the Unix epoch, UTC
    std::string board;            // the board that reported it; "" the unnamed board
};

// The restaurant's head-count from the latest report of each board: the sum of their
// counts (at most the largest int32), as of the latest of them; nothing without a report.
std::optional<HeadCount> restaurantTotal(const std::vector<HeadCount>& latestOfEachBoard);

// A student that an event upload (a decision taken without the server) left below zero,
// while its credit is still below zero.
struct OverdrawnStudent {
    std::int32_t userId = 0;
    std::string matricula;    // of its latest transaction
    std::int64_t credit = 0;  // committed, now
    std::int64_t times = 0;   // uploads that left it below zero, ever
    std::int64_t lastAt = 0;  // the last of them, seconds since the Unix epoch, UTC
    std::string board;        // the board that sent the last of them
};

// What the occupancy page shows of a period (a day), read at one moment. Times are seconds
// since the Unix epoch, UTC.
struct Activity {
    // Credit events of -1 (meals) that arrived in each slot of the period, from its start.
    std::vector<std::int64_t> mealsPerSlot;
    // Reports of every board that arrived in the period, in order.
    std::vector<HeadCount> headCounts;
    // The last report of each board before the period, by board name.
    std::vector<HeadCount> headCountsBefore;
    // The latest report of each board, by board name.
    std::vector<HeadCount> latestHeadCounts;
    std::optional<std::int64_t> latestEventAt;  // when the last event of all arrived
    // Students marked overdrawn whose credit is still below zero.
    std::int64_t overdrawnStudents = 0;
};

// The roster text of a snapshot of the store: a JSON array of every transaction committed
// when the stream was opened, in insertion order, read a piece at a time so that the whole
// text never has to be in memory, whatever the back end. A transaction committed after the
// opening never joins it. The stream needs only the database, not the Store that opened
// it. Use from one thread at a time.
class RosterStream {
  public:
    virtual ~RosterStream() = default;

    // Appends the next piece of the text, about `maxBytes` long (whole rows only), to `out`.
    // Returns false, appending nothing, once the closing bracket has been handed out.
    // Throws StoreError (StoreUnavailable when the database cannot be reached).
    virtual bool read(std::string& out, std::size_t maxBytes) = 0;
};

// A roster with its cursor (ru-server --roster-cursors): the text to send and how far it
// goes, so that the next download asks only for what was committed since.
struct CursorRoster {
    // The whole roster, or the rows committed since the cursor asked for (`after`).
    std::unique_ptr<RosterStream> stream;
    // The token of the position this text reaches (roster_cursor.h), which the rows after
    // it continue exactly; "" when none can be given for this answer (the board then
    // downloads the whole roster next time).
    std::string cursor;
    // Whether `stream` holds only the rows after the cursor that was asked for.
    bool after = false;
};

// How long a write waits by default for the database, from the arrival of its request:
// short of a board's default give-up (10 s without a byte), so that the board hears a
// refusal rather than giving up on a write that may still be committed after it.
constexpr std::chrono::milliseconds kWriteWait{8000};
// How long an online entry waits for the database: well short of the board's shortest
// --entry-timeout (1 s), so that an entry stored is answered before the board decides
// alone, which could refuse the student a meal the server has already charged.
constexpr std::chrono::milliseconds kEntryWriteWait{500};

// When a write that arrived at `arrived` stops waiting, with the store's own `storeWait`.
inline Clock::time_point writeDeadline(Clock::time_point arrived, std::chrono::milliseconds wait,
                                       std::chrono::milliseconds storeWait) {
    return arrived + (wait.count() > 0 ? std::min(wait, storeWait) : storeWait);
}

// The server's durable state: every credit transaction, in insertion order, with the time
// it arrived (none for imported rows), every head-count report with the time it arrived
// and the board that sent it, the idempotency keys of recent uploads, the students that
// uploads left below zero (overdrawn marks), and a random identity of the database made
// when it was created. Transactions are only ever appended. Two back ends keep the same
// contract: an SQLite file (store_sqlite.h) and a PostgreSQL schema (store_postgres.h).
//
// Every write that returns has committed all of its change durably (on disk; with
// PostgreSQL, as its synchronous_commit and synchronous standbys have it) or stored
// nothing. A write that throws StoreBusy stored nothing; one that throws StoreUnavailable
// may have been committed (its outcome is unknown) and is settled by a retry with the
// same idempotency key. A student's credit is always the sum of its committed events and
// stays in the signed 32-bit range, however many stores (processes, servers) write to one
// database at once.
//
// Thread safety: every method may be called from any thread. A write waits for the
// database at most the store's write wait counted from `arrived`, then throws StoreBusy.
// Reads never wait for writes.
class Store {
  public:
    virtual ~Store() = default;
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Where the data is, for messages: the file, or the database and schema without any
    // password.
    virtual std::string name() const = 0;

    // The database's identity: 32 lowercase hexadecimal digits drawn at random when it was
    // created, kept for its life (a copy or a restored backup has the same one).
    virtual std::string identity() = 0;

    // Loads a roster (see readRoster) into the store, in one transaction: all or nothing.
    // Refuses, with StoreError, a store that already holds transactions: importing a
    // roster twice would count every credit twice. `cancelled`, when set, is polled now
    // and then; once it returns true the import stops with ImportCancelled. Also throws
    // RosterError for a malformed roster. The rows have no arrival time.
    virtual ImportSummary importRoster(std::istream& in,
                                       const std::function<bool()>& cancelled = {}) = 0;

    // Appends the rows of a roster-form JSON array to the store, whether it holds
    // transactions or not, in one transaction: all or nothing. A row of a user not yet
    // stored makes that user; the latest row of a user gives its card, enrolment, salt and
    // hash from then on. Throws RosterError for a malformed array, StoreError (nothing
    // stored) when a row would take its student's running credit, counted from the
    // committed one, outside the signed 32-bit range, ImportCancelled as importRoster.
    // The rows have no arrival time, as imported ones: they are the administrator's, not a
    // turnstile's, and the occupancy page leaves them out.
    virtual ImportSummary appendRows(std::istream& in,
                                     const std::function<bool()>& cancelled = {}) = 0;

    // Appends a transaction of `value` for `userId`, copying card, enrolment, salt and
    // hash from the user's latest transaction, and commits it before returning Stored.
    // Throws StoreBusy when the wait counted from `arrived` ran out, StoreUnavailable when
    // the database cannot be reached or did not confirm the commit, StoreError when it
    // fails otherwise.
    AppendResult appendEvent(std::int32_t userId, std::int32_t value,
                             Clock::time_point arrived = Clock::now()) {
        EventWrite write;
        write.userId = userId;
        write.value = value;
        write.arrived = arrived;
        return append(write);
    }
    // The same with an idempotency key: a key already stored answers Repeated or
    // KeyReused and stores nothing; otherwise the key is stored with the event, in the
    // same transaction, with the current time. A key is stored once across every store
    // of the database: a repeat sent at the same moment, to this server or another, waits
    // for the first and answers Repeated (or throws StoreBusy if the wait runs out).
    AppendResult appendEvent(std::int32_t userId, std::int32_t value, const std::string& key,
                             Clock::time_point arrived = Clock::now()) {
        EventWrite write;
        write.userId = userId;
        write.value = value;
        write.key = key;
        write.arrived = arrived;
        return append(write);
    }
    // The administrator's credit (ru-server credit): as appendEvent, but the row has no
    // arrival time, as appendRows' rows, so the page counts it as no meal.
    AppendResult appendCredit(std::int32_t userId, std::int32_t value) {
        EventWrite write;
        write.userId = userId;
        write.value = value;
        write.stamped = false;
        return append(write);
    }
    // The same for an event as EventWrite describes it: an upload of a board, which marks
    // the student overdrawn when it leaves the credit below zero (times counted, time and
    // board of the last kept), or an online entry, which the committed credit must cover
    // (NotCovered with that credit otherwise, the key not kept, so that the question asked
    // again is decided again). Under every store of the database, of one student one
    // write at a time against the committed credit: no two entries spend the same credit.
    AppendResult appendEvent(const EventWrite& write) { return append(write); }

    // Forgets at most `batch` idempotency keys stored before `cutoff` (seconds since the
    // Unix epoch), in one short transaction; returns how many it forgot.
    virtual std::size_t pruneKeys(std::int64_t cutoff, std::size_t batch) = 0;

    // Stores a head-count report of `board` ("" the unnamed board) with the current time,
    // committed before returning; it replaces that board's count in the restaurant's
    // total. Throws as appendEvent.
    void recordHeadCount(std::int32_t v, const std::string& board,
                         Clock::time_point arrived = Clock::now()) {
        storeHeadCount(v, board, arrived);
    }
    void recordHeadCount(std::int32_t v, Clock::time_point arrived = Clock::now()) {
        storeHeadCount(v, "", arrived);
    }

    // The latest report of each board that ever reported, by board name. Throws
    // StoreError.
    virtual std::vector<HeadCount> latestHeadCounts() = 0;
    // The restaurant's head-count (see restaurantTotal), or nothing before the first
    // report. Throws StoreError.
    std::optional<HeadCount> latestHeadCount() { return restaurantTotal(latestHeadCounts()); }

    // The students marked overdrawn whose credit is still below zero, by user id. Throws
    // StoreError.
    virtual std::vector<OverdrawnStudent> overdrawnStudents() = 0;

    // The activity of the period [from, to) cut into slots of `slotSeconds` (the last one
    // may be shorter). Events and reports without an arrival time (imported rows, rows
    // stored by a server of before arrival times) belong to no period. Throws StoreError.
    virtual Activity activity(std::int64_t from, std::int64_t to, std::int64_t slotSeconds) = 0;

    // Opens the roster as it is now. Throws StoreError.
    virtual std::unique_ptr<RosterStream> openRoster() = 0;

    // Opens the roster as it is now with its cursor; given a token (`after`, null for
    // none), only the rows committed since that position, in insertion order, when the
    // token is one of this database that the store can continue exactly: no row is left
    // out, whatever order concurrent writers committed in, and none comes twice. Any
    // other token (malformed, of another database, of a position this database does not
    // have, as after restoring an older backup) gets the whole roster, with `after`
    // false. Throws StoreError.
    virtual CursorRoster openRosterWithCursor(const std::string* after) = 0;

  protected:
    Store() = default;

    virtual AppendResult append(const EventWrite& write) = 0;
    virtual void storeHeadCount(std::int32_t v, const std::string& board,
                                Clock::time_point arrived) = 0;
};

// What a store is opened with besides its place.
struct StoreOptions {
    std::chrono::milliseconds writeWait = kWriteWait;
    // PostgreSQL: the schema that holds the tables (created when absent).
    std::string schema = "ru";
    // PostgreSQL: connections kept for writes; as many writes run at once.
    std::size_t writeConnections = 8;
};

// Whether `db` names a PostgreSQL database (a postgresql:// or postgres:// URI) rather
// than an SQLite file.
bool isPostgresUri(const std::string& db);

// Opens the store that `db` names: a PostgreSQL database for a URI (see isPostgresUri),
// the SQLite file at that path otherwise. Creates the tables when absent, and upgrades
// those of an older layout. Throws StoreError (StoreUnavailable when the database cannot
// be reached).
std::unique_ptr<Store> openStore(const std::string& db, const StoreOptions& options = {});

// 32 lowercase hexadecimal digits from the system's random source, a database's identity.
std::string randomIdentity();

}  // namespace ru

#endif
