#include "store_sqlite.h"

#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <map>

#include "roster.h"
#include "roster_cursor.h"

namespace ru {

namespace sql {

void DbCloser::operator()(sqlite3* db) const {
    sqlite3_close_v2(db);
}

void StmtFinalizer::operator()(sqlite3_stmt* stmt) const {
    sqlite3_finalize(stmt);
}

}  // namespace sql

namespace {

// "RUsv": marks a database file as ours, so that a stray SQLite file is refused, not altered.
constexpr int kApplicationId = 0x52557376;
constexpr int kSchemaVersion = 5;

constexpr const char* kSchema = R"sql(
CREATE TABLE transactions (
    seq INTEGER PRIMARY KEY,  -- insertion order; rows are never updated or deleted
    card_id TEXT NOT NULL,
    user_id INTEGER NOT NULL,
    event INTEGER NOT NULL,
    matricula TEXT NOT NULL,
    salt TEXT NOT NULL,
    n_password_hash TEXT NOT NULL
);
-- Covers both the credit sum and the latest row of a user (the index holds the rowid).
CREATE INDEX transactions_by_user ON transactions (user_id, event);
CREATE TABLE headcounts (
    seq INTEGER PRIMARY KEY,
    v INTEGER NOT NULL,
    received_at TEXT NOT NULL  -- UTC, ISO 8601 with milliseconds
);
)sql";

// Version 2: when each event arrived, for the occupancy page. Rows imported, or stored
// before the upgrade, have none. Each statement is checked before it runs, so the step
// can be applied to a database that went through part of it.
void upgradeToArrivalTimes(sqlite3* db);
// Layout 3: the idempotency keys of uploads. Safe to run again, so that it upgrades a
// database of any earlier layout.
constexpr const char* kKeysTable = R"sql(
CREATE TABLE IF NOT EXISTS idempotency_keys (
    key TEXT PRIMARY KEY,       -- the Idempotency-Key's string, unescaped
    user_id INTEGER NOT NULL,   -- what it was first sent with
    event INTEGER NOT NULL,
    credit INTEGER NOT NULL,    -- the credit its first answer gave
    stored_at INTEGER NOT NULL  -- seconds since the Unix epoch
);
CREATE INDEX IF NOT EXISTS idempotency_keys_by_age ON idempotency_keys (stored_at);
)sql";
// Layout 4: facts about the database itself, its random identity first.
constexpr const char* kMetaTable = R"sql(
CREATE TABLE IF NOT EXISTS meta (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
)sql";
// Layout 5: the board of each head-count (older reports are the unnamed board's), each
// board's latest report, and the overdrawn marks. Each statement is checked before it
// runs, or safe to run again.
void upgradeToBoards(sqlite3* db);
constexpr const char* kBoardTables = R"sql(
CREATE INDEX IF NOT EXISTS headcounts_by_board ON headcounts (board, received_at);
-- The latest report of each board, so that the restaurant's total reads a row per board.
CREATE TABLE IF NOT EXISTS headcount_boards (
    board TEXT PRIMARY KEY,
    seq INTEGER NOT NULL  -- of its latest row in headcounts
);
INSERT OR IGNORE INTO headcount_boards (board, seq)
    SELECT board, MAX(seq) FROM headcounts GROUP BY board;
-- The students that an upload left below zero: a meal served on a board's own decision.
CREATE TABLE IF NOT EXISTS overdrawn (
    user_id INTEGER PRIMARY KEY,
    times INTEGER NOT NULL,  -- uploads that left the credit below zero
    last_at TEXT NOT NULL,   -- the last of them, UTC, ISO 8601 with milliseconds
    board TEXT NOT NULL      -- the board that sent the last of them
);
)sql";

bool isBusy(int rc) {
    return (rc & 0xFF) == SQLITE_BUSY;
}

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
    if (isBusy(sqlite3_extended_errcode(db))) {
        throw StoreBusy(std::string("the database is locked by another writer: ") +
                        sqlite3_errmsg(db));
    }
    throw StoreError(what + ": " + sqlite3_errmsg(db));
}

sql::Db open(const std::string& path, int flags) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    sql::Db db(raw);
    if (rc != SQLITE_OK) {
        throw StoreError("cannot open database " + path + ": " +
                         (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
    }
    // Checkpoints and a second process on the same file can hold a lock for a moment.
    sqlite3_busy_timeout(raw, 10000);
    return db;
}

void exec(sqlite3* db, const char* text) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db, text, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        std::string what = message != nullptr ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        if (isBusy(rc)) {
            throw StoreBusy("the database is locked by another writer: " + what);
        }
        throw StoreError(what);
    }
}

sql::Stmt prepare(sqlite3* db, const char* text) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v3(db, text, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr) != SQLITE_OK) {
        fail(db, "database error");
    }
    return sql::Stmt(raw);
}

// Returns true for a row, false when done.
bool step(sqlite3_stmt* stmt) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc != SQLITE_DONE) {
        fail(sqlite3_db_handle(stmt), "database error");
    }
    return false;
}

std::int64_t queryInt(sqlite3* db, const char* text) {
    sql::Stmt stmt = prepare(db, text);
    return step(stmt.get()) ? sqlite3_column_int64(stmt.get(), 0) : 0;
}

void bindText(sqlite3_stmt* stmt, int index, const std::string& text) {
    sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
}

std::string_view columnText(sqlite3_stmt* stmt, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, column));
    return text != nullptr ? std::string_view(text, size) : std::string_view();
}

// Ends a statement's run however the scope is left, so that it holds no read lock after.
class ResetOnExit {
  public:
    explicit ResetOnExit(sqlite3_stmt* stmt) : stmt_(stmt) {}
    ~ResetOnExit() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    ResetOnExit(const ResetOnExit&) = delete;
    ResetOnExit& operator=(const ResetOnExit&) = delete;

  private:
    sqlite3_stmt* stmt_;
};

// A write transaction, rolled back unless commit() succeeded. IMMEDIATE takes the write
// lock at the start, so the reads inside it see the state that the write will change.
class WriteTransaction {
  public:
    explicit WriteTransaction(sqlite3* db) : db_(db) { exec(db_, "BEGIN IMMEDIATE"); }
    ~WriteTransaction() {
        if (!committed_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    void commit() {
        exec(db_, "COMMIT");
        committed_ = true;
    }

  private:
    sqlite3* db_;
    bool committed_ = false;
};

}  // namespace

namespace {

constexpr const char* kRosterPage =
    "SELECT seq, card_id, user_id, event, matricula, salt, n_password_hash "
    "FROM transactions WHERE seq > ?1 AND seq <= ?2 ORDER BY seq LIMIT 256";

}  // namespace

SqliteRosterStream::SqliteRosterStream(const std::string& path)
    : db_(open(path, SQLITE_OPEN_READONLY)),
      rows_(prepare(db_.get(), kRosterPage)),
      last_(queryInt(db_.get(), "SELECT COALESCE(MAX(seq), 0) FROM transactions")) {}

SqliteRosterStream::SqliteRosterStream(sql::Db db, std::int64_t after, std::int64_t last)
    : db_(std::move(db)), rows_(prepare(db_.get(), kRosterPage)), after_(after), last_(last) {}

bool SqliteRosterStream::read(std::string& out, std::size_t maxBytes) {
    if (state_ == State::Done) {
        return false;
    }
    const std::size_t start = out.size();
    if (state_ == State::Start) {
        out += '[';
        state_ = State::Rows;
    }
    while (state_ == State::Rows && out.size() - start < maxBytes) {
        sqlite3_stmt* stmt = rows_.get();
        ResetOnExit reset(stmt);
        sqlite3_bind_int64(stmt, 1, after_);
        sqlite3_bind_int64(stmt, 2, last_);
        bool any = false;
        while (step(stmt)) {
            any = true;
            if (!first_) {
                out += ',';
            }
            first_ = false;
            appendTransactionJson(out, columnText(stmt, 1), sqlite3_column_int64(stmt, 2),
                                  sqlite3_column_int64(stmt, 3), columnText(stmt, 4),
                                  columnText(stmt, 5), columnText(stmt, 6));
            after_ = sqlite3_column_int64(stmt, 0);
        }
        if (!any) {
            state_ = State::End;
        }
    }
    if (state_ == State::End) {
        out += ']';
        state_ = State::Done;
    }
    return true;
}

// A read-only connection with the statements of the reads.
struct SqliteStore::Reader {
    explicit Reader(const std::string& path)
        : db(open(path, SQLITE_OPEN_READONLY)),
          latestHeadCounts(prepare(db.get(),
                                   "SELECT h.v, CAST(strftime('%s', h.received_at) AS INTEGER), "
                                   "h.board FROM headcount_boards b JOIN headcounts h "
                                   "ON h.seq = b.seq ORDER BY b.board")),
          mealsBySlot(prepare(db.get(),
                              "SELECT (CAST(strftime('%s', stored_at) AS INTEGER) - ?3) / ?4, "
                              "COUNT(*) FROM transactions "
                              "WHERE stored_at >= ?1 AND stored_at < ?2 AND event = -1 "
                              "GROUP BY 1")),
          headCountsBetween(prepare(db.get(),
                                    "SELECT v, CAST(strftime('%s', received_at) AS INTEGER), "
                                    "board FROM headcounts WHERE received_at >= ?1 AND "
                                    "received_at < ?2 ORDER BY seq")),
          headCountsBefore(prepare(db.get(),
                                   "SELECT h.v, CAST(strftime('%s', h.received_at) AS INTEGER), "
                                   "h.board FROM headcount_boards b JOIN headcounts h ON h.seq = "
                                   "(SELECT seq FROM headcounts WHERE board = b.board AND "
                                   "received_at < ?1 ORDER BY received_at DESC, seq DESC "
                                   "LIMIT 1) ORDER BY b.board")),
          latestArrival(prepare(db.get(),
                                "SELECT CAST(strftime('%s', MAX(stored_at)) AS INTEGER) "
                                "FROM transactions WHERE stored_at IS NOT NULL")),
          overdrawn(prepare(db.get(),
                            "SELECT o.user_id, (SELECT matricula FROM transactions "
                            "WHERE user_id = o.user_id ORDER BY seq DESC LIMIT 1), c.credit, "
                            "o.times, CAST(strftime('%s', o.last_at) AS INTEGER), o.board "
                            "FROM overdrawn o JOIN (SELECT user_id, SUM(event) AS credit FROM "
                            "transactions WHERE user_id IN (SELECT user_id FROM overdrawn) "
                            "GROUP BY user_id) c USING (user_id) WHERE c.credit < 0 "
                            "ORDER BY o.user_id")) {}

    sql::Db db;
    sql::Stmt latestHeadCounts;
    sql::Stmt mealsBySlot;
    sql::Stmt headCountsBetween;
    sql::Stmt headCountsBefore;
    sql::Stmt latestArrival;
    sql::Stmt overdrawn;
};

// A reader taken from the idle ones (or opened) for one read, and given back after it.
class SqliteStore::ReaderLease {
  public:
    explicit ReaderLease(SqliteStore& store) : store_(store) {
        {
            std::lock_guard<std::mutex> lock(store_.readersMutex_);
            if (!store_.idleReaders_.empty()) {
                reader_ = std::move(store_.idleReaders_.back());
                store_.idleReaders_.pop_back();
            }
        }
        if (!reader_) {
            reader_ = std::make_unique<Reader>(store_.path_);
        }
    }
    ~ReaderLease() {
        std::lock_guard<std::mutex> lock(store_.readersMutex_);
        store_.idleReaders_.push_back(std::move(reader_));
    }
    ReaderLease(const ReaderLease&) = delete;
    ReaderLease& operator=(const ReaderLease&) = delete;

    Reader& operator*() const { return *reader_; }
    Reader* operator->() const { return reader_.get(); }

  private:
    SqliteStore& store_;
    std::unique_ptr<Reader> reader_;
};

SqliteStore::SqliteStore(std::string path, std::chrono::milliseconds writeWait)
    : path_(std::move(path)),
      writeWait_(writeWait),
      db_(open(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) {
    try {
        initialise();
    } catch (const StoreError& e) {
        throw StoreError(path_ + ": " + e.what());
    }
}

namespace {

// Whether the open database is a fresh file, ours, or something to leave alone.
enum class Kind { Empty, Ours };

Kind checkKind(sqlite3* db) {
    const std::int64_t applicationId = queryInt(db, "PRAGMA application_id");
    const std::int64_t version = queryInt(db, "PRAGMA user_version");
    const std::int64_t objects = queryInt(db, "SELECT COUNT(*) FROM sqlite_master");
    if (applicationId == 0 && version == 0 && objects == 0) {
        return Kind::Empty;
    }
    if (applicationId != kApplicationId) {
        throw StoreError("a database of some other program");
    }
    if (version < 1 || version > kSchemaVersion) {
        throw StoreError("database layout version " + std::to_string(version) +
                         ", while this ru-server knows versions 1 to " +
                         std::to_string(kSchemaVersion));
    }
    return Kind::Ours;
}

bool hasColumn(sqlite3* db, const char* table, const char* column) {
    sql::Stmt stmt = prepare(db, "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2");
    sqlite3_bind_text(stmt.get(), 1, table, -1, SQLITE_STATIC);
    sqlite3_bind_text(stmt.get(), 2, column, -1, SQLITE_STATIC);
    return step(stmt.get());
}

void upgradeToArrivalTimes(sqlite3* db) {
    if (!hasColumn(db, "transactions", "stored_at")) {
        // UTC, ISO 8601 with milliseconds, as headcounts.received_at.
        exec(db, "ALTER TABLE transactions ADD COLUMN stored_at TEXT");
    }
    // Only the rows that have a time: an imported roster of a million rows adds nothing.
    exec(db,
         "CREATE INDEX IF NOT EXISTS transactions_by_arrival ON transactions (stored_at) "
         "WHERE stored_at IS NOT NULL");
    exec(db, "CREATE INDEX IF NOT EXISTS headcounts_by_arrival ON headcounts (received_at)");
}

void upgradeToBoards(sqlite3* db) {
    if (!hasColumn(db, "headcounts", "board")) {
        exec(db, "ALTER TABLE headcounts ADD COLUMN board TEXT NOT NULL DEFAULT ''");
    }
    exec(db, kBoardTables);
}

// The text form of the stored times, for comparing with them.
std::string isoUtc(std::int64_t secondsSinceEpoch) {
    const auto t = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
    return text;
}

}  // namespace

void SqliteStore::initialise() {
    sqlite3* db = db_.get();
    // Checked before anything is written, so that a file of another program stays as it was.
    checkKind(db);
    sql::Stmt mode = prepare(db, "PRAGMA journal_mode = WAL");
    if (!step(mode.get()) || columnText(mode.get(), 0) != "wal") {
        throw StoreError("cannot switch to WAL mode");
    }
    mode.reset();
    // FULL syncs the log at every commit: an acknowledged write survives a power cut too.
    exec(db, "PRAGMA synchronous = FULL");
    {
        WriteTransaction tx(db);
        // Again under the write lock: another process may have created the tables meanwhile.
        if (checkKind(db) == Kind::Empty) {
            exec(db, kSchema);
            exec(db, ("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
            exec(db, "PRAGMA user_version = 1");
        }
        if (queryInt(db, "PRAGMA user_version") < 2) {
            upgradeToArrivalTimes(db);
            exec(db, "PRAGMA user_version = 2");
        }
        // Layout 3: the idempotency keys. A fresh database is made at layout 1 and goes
        // through the same upgrades as an old one.
        if (queryInt(db, "PRAGMA user_version") < 3) {
            exec(db, kKeysTable);
            exec(db, "PRAGMA user_version = 3");
        }
        if (queryInt(db, "PRAGMA user_version") < 4) {
            exec(db, kMetaTable);
            sql::Stmt identity =
                prepare(db, "INSERT OR IGNORE INTO meta (key, value) VALUES ('identity', ?1)");
            const std::string drawn = randomIdentity();
            bindText(identity.get(), 1, drawn);
            step(identity.get());
            exec(db, "PRAGMA user_version = 4");
        }
        if (queryInt(db, "PRAGMA user_version") < 5) {
            upgradeToBoards(db);
            exec(db, "PRAGMA user_version = 5");
        }
        tx.commit();
    }
    userState_ = prepare(db,
                         "SELECT MAX(seq), COALESCE(SUM(event), 0) FROM transactions "
                         "WHERE user_id = ?1");
    insertCopy_ = prepare(db,
                          "INSERT INTO transactions "
                          "(card_id, user_id, event, matricula, salt, n_password_hash, "
                          "stored_at) "
                          "SELECT card_id, user_id, ?2, matricula, salt, n_password_hash, "
                          "CASE WHEN ?3 THEN strftime('%Y-%m-%dT%H:%M:%fZ', 'now') END "
                          "FROM transactions WHERE seq = ?1");
    insertHeadCount_ = prepare(db,
                               "INSERT INTO headcounts (v, received_at, board) "
                               "VALUES (?1, strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), ?2)");
    latestOfBoard_ = prepare(db,
                             "INSERT INTO headcount_boards (board, seq) VALUES (?1, ?2) "
                             "ON CONFLICT (board) DO UPDATE SET seq = excluded.seq");
    markOverdrawn_ = prepare(db,
                             "INSERT INTO overdrawn (user_id, times, last_at, board) "
                             "VALUES (?1, 1, strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), ?2) "
                             "ON CONFLICT (user_id) DO UPDATE SET times = times + 1, "
                             "last_at = excluded.last_at, board = excluded.board");
    findKey_ = prepare(db, "SELECT user_id, event, credit FROM idempotency_keys WHERE key = ?1");
    insertKey_ = prepare(db,
                         "INSERT INTO idempotency_keys (key, user_id, event, credit, stored_at) "
                         "VALUES (?1, ?2, ?3, ?4, CAST(strftime('%s', 'now') AS INTEGER))");
    pruneKeys_ = prepare(db,
                         "DELETE FROM idempotency_keys WHERE rowid IN (SELECT rowid FROM "
                         "idempotency_keys WHERE stored_at < ?1 LIMIT ?2)");
}

SqliteStore::~SqliteStore() = default;

std::unique_lock<std::timed_mutex> SqliteStore::lockWriter(Clock::time_point arrived,
                                                           std::chrono::milliseconds wait) {
    const Clock::time_point deadline = writeDeadline(arrived, wait, writeWait_);
    std::unique_lock<std::timed_mutex> lock(writeMutex_, deadline);
    if (!lock.owns_lock()) {
        throw StoreBusy("the database is busy with other writes");
    }
    // Past the deadline the lock is still tried once: a write that can go at once, goes.
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    sqlite3_busy_timeout(db_.get(), static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    return lock;
}

std::string SqliteStore::identity() {
    const ReaderLease reader(*this);
    sql::Stmt stmt = prepare(reader->db.get(), "SELECT value FROM meta WHERE key = 'identity'");
    if (!step(stmt.get())) {
        throw StoreError(path_ + ": the database has no identity");
    }
    return std::string(columnText(stmt.get(), 0));
}

ImportSummary SqliteStore::importRoster(std::istream& in, const std::function<bool()>& cancelled) {
    const auto lock = lockWriter(Clock::now());
    WriteTransaction tx(db_.get());
    if (queryInt(db_.get(), "SELECT EXISTS (SELECT 1 FROM transactions)") != 0) {
        throw StoreError("the database " + path_ +
                         " already holds transactions; a roster is imported only into an "
                         "empty database");
    }
    const ImportSummary summary = insertRows(in, cancelled);
    tx.commit();
    return summary;
}

ImportSummary SqliteStore::appendRows(std::istream& in, const std::function<bool()>& cancelled) {
    const auto lock = lockWriter(Clock::now());
    WriteTransaction tx(db_.get());
    const ImportSummary summary = insertRows(in, cancelled);
    tx.commit();
    return summary;
}

ImportSummary SqliteStore::insertRows(std::istream& in, const std::function<bool()>& cancelled) {
    sqlite3* db = db_.get();
    sql::Stmt insert = prepare(db,
                               "INSERT INTO transactions "
                               "(card_id, user_id, event, matricula, salt, "
                               "n_password_hash) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    // The running credit of each user met so far, from the committed one: the roster
    // reader checks the rows' own sums, this the sums on top of what is stored.
    std::map<std::int32_t, std::int64_t> credits;
    ImportSummary summary;
    std::size_t index = 0;
    summary.students = readRoster(in, [&](const Transaction& row) {
        if (cancelled && cancelled()) {
            throw ImportCancelled();
        }
        auto credit = credits.find(row.userId);
        if (credit == credits.end()) {
            sqlite3_stmt* stmt = userState_.get();
            ResetOnExit reset(stmt);
            sqlite3_bind_int(stmt, 1, row.userId);
            step(stmt);
            credit = credits.emplace(row.userId, sqlite3_column_int64(stmt, 1)).first;
        }
        credit->second += row.event;
        if (credit->second < std::numeric_limits<std::int32_t>::min() ||
            credit->second > std::numeric_limits<std::int32_t>::max()) {
            throw StoreError("element at index " + std::to_string(index) + " (user_id " +
                             std::to_string(row.userId) + ") takes the stored credit to " +
                             std::to_string(credit->second) +
                             ", outside the signed 32-bit range; nothing stored");
        }
        sqlite3_stmt* stmt = insert.get();
        ResetOnExit reset(stmt);
        bindText(stmt, 1, row.cardID);
        sqlite3_bind_int(stmt, 2, row.userId);
        sqlite3_bind_int(stmt, 3, row.event);
        bindText(stmt, 4, row.matricula);
        bindText(stmt, 5, row.salt);
        bindText(stmt, 6, row.passwordHash);
        step(stmt);
        ++summary.transactions;
        ++index;
    });
    return summary;
}

AppendResult SqliteStore::append(const EventWrite& write) {
    const std::int32_t userId = write.userId;
    const std::int32_t value = write.value;
    const std::string* key = write.key ? &*write.key : nullptr;
    const auto lock = lockWriter(write.arrived, write.wait);
    WriteTransaction tx(db_.get());
    AppendResult result;
    if (key != nullptr) {
        sqlite3_stmt* stmt = findKey_.get();
        ResetOnExit reset(stmt);
        bindText(stmt, 1, *key);
        if (step(stmt)) {
            const bool same =
                sqlite3_column_int64(stmt, 0) == userId && sqlite3_column_int64(stmt, 1) == value;
            result.status = same ? AppendStatus::Repeated : AppendStatus::KeyReused;
            result.credit = sqlite3_column_int64(stmt, 2);
            return result;
        }
    }
    std::int64_t latest = 0;
    {
        sqlite3_stmt* stmt = userState_.get();
        ResetOnExit reset(stmt);
        sqlite3_bind_int(stmt, 1, userId);
        step(stmt);  // an aggregate always yields one row
        if (sqlite3_column_type(stmt, 0) == SQLITE_NULL) {
            return result;
        }
        latest = sqlite3_column_int64(stmt, 0);
        result.credit = sqlite3_column_int64(stmt, 1);
    }
    const std::int64_t credit = result.credit + value;
    if (write.mustBeCovered && credit < 0) {
        // Under the write lock: the committed credit, which no other write can change now.
        result.status = AppendStatus::NotCovered;
        return result;
    }
    if (credit < std::numeric_limits<std::int32_t>::min() ||
        credit > std::numeric_limits<std::int32_t>::max()) {
        result.status = AppendStatus::CreditOutOfRange;
        return result;
    }
    {
        sqlite3_stmt* stmt = insertCopy_.get();
        ResetOnExit reset(stmt);
        sqlite3_bind_int64(stmt, 1, latest);
        sqlite3_bind_int(stmt, 2, value);
        sqlite3_bind_int(stmt, 3, write.stamped ? 1 : 0);
        step(stmt);
    }
    if (key != nullptr) {
        sqlite3_stmt* stmt = insertKey_.get();
        ResetOnExit reset(stmt);
        bindText(stmt, 1, *key);
        sqlite3_bind_int(stmt, 2, userId);
        sqlite3_bind_int(stmt, 3, value);
        sqlite3_bind_int64(stmt, 4, credit);
        step(stmt);
    }
    if (!write.mustBeCovered && value < 0 && credit < 0) {
        sqlite3_stmt* stmt = markOverdrawn_.get();
        ResetOnExit reset(stmt);
        sqlite3_bind_int(stmt, 1, userId);
        bindText(stmt, 2, write.board);
        step(stmt);
    }
    tx.commit();
    result.status = AppendStatus::Stored;
    result.credit = credit;
    return result;
}

std::size_t SqliteStore::pruneKeys(std::int64_t cutoff, std::size_t batch) {
    const auto lock = lockWriter(Clock::now());
    sqlite3_stmt* stmt = pruneKeys_.get();
    ResetOnExit reset(stmt);
    sqlite3_bind_int64(stmt, 1, cutoff);
    sqlite3_bind_int64(stmt, 2, static_cast<std::int64_t>(batch));
    step(stmt);
    return static_cast<std::size_t>(sqlite3_changes(db_.get()));
}

namespace {

HeadCount headCountAt(sqlite3_stmt* stmt) {
    return HeadCount{sqlite3_column_int(stmt, 0), sqlite3_column_int64(stmt, 1),
                     std::string(columnText(stmt, 2))};
}

}  // namespace

void SqliteStore::storeHeadCount(std::int32_t v, const std::string& board,
                                 Clock::time_point arrived) {
    const auto lock = lockWriter(arrived);
    WriteTransaction tx(db_.get());
    {
        sqlite3_stmt* stmt = insertHeadCount_.get();
        ResetOnExit reset(stmt);
        sqlite3_bind_int(stmt, 1, v);
        bindText(stmt, 2, board);
        step(stmt);
    }
    {
        sqlite3_stmt* stmt = latestOfBoard_.get();
        ResetOnExit reset(stmt);
        bindText(stmt, 1, board);
        sqlite3_bind_int64(stmt, 2, sqlite3_last_insert_rowid(db_.get()));
        step(stmt);
    }
    tx.commit();
}

std::vector<HeadCount> SqliteStore::latestHeadCounts() {
    const ReaderLease reader(*this);
    sqlite3_stmt* stmt = reader->latestHeadCounts.get();
    ResetOnExit reset(stmt);
    std::vector<HeadCount> counts;
    while (step(stmt)) {
        counts.push_back(headCountAt(stmt));
    }
    return counts;
}

std::vector<OverdrawnStudent> SqliteStore::overdrawnStudents() {
    const ReaderLease reader(*this);
    sqlite3_stmt* stmt = reader->overdrawn.get();
    ResetOnExit reset(stmt);
    std::vector<OverdrawnStudent> students;
    while (step(stmt)) {
        students.push_back({sqlite3_column_int(stmt, 0), std::string(columnText(stmt, 1)),
                            sqlite3_column_int64(stmt, 2), sqlite3_column_int64(stmt, 3),
                            sqlite3_column_int64(stmt, 4), std::string(columnText(stmt, 5))});
    }
    return students;
}

Activity SqliteStore::activity(std::int64_t from, std::int64_t to, std::int64_t slotSeconds) {
    const ReaderLease reader(*this);
    sqlite3* db = reader->db.get();
    // One read transaction: the figures are of one moment.
    exec(db, "BEGIN");
    struct EndRead {
        sqlite3* db;
        ~EndRead() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
    } endRead{db};
    const std::string fromText = isoUtc(from);
    const std::string toText = isoUtc(to);
    Activity result;
    result.mealsPerSlot.assign(
        static_cast<std::size_t>((to - from + slotSeconds - 1) / slotSeconds), 0);
    {
        sqlite3_stmt* stmt = reader->mealsBySlot.get();
        ResetOnExit reset(stmt);
        bindText(stmt, 1, fromText);
        bindText(stmt, 2, toText);
        sqlite3_bind_int64(stmt, 3, from);
        sqlite3_bind_int64(stmt, 4, slotSeconds);
        while (step(stmt)) {
            const std::int64_t slot = sqlite3_column_int64(stmt, 0);
            if (slot >= 0 && slot < static_cast<std::int64_t>(result.mealsPerSlot.size())) {
                result.mealsPerSlot[static_cast<std::size_t>(slot)] +=
                    sqlite3_column_int64(stmt, 1);
            }
        }
    }
    {
        sqlite3_stmt* stmt = reader->headCountsBetween.get();
        ResetOnExit reset(stmt);
        bindText(stmt, 1, fromText);
        bindText(stmt, 2, toText);
        while (step(stmt)) {
            result.headCounts.push_back(headCountAt(stmt));
        }
    }
    {
        sqlite3_stmt* stmt = reader->headCountsBefore.get();
        ResetOnExit reset(stmt);
        bindText(stmt, 1, fromText);
        while (step(stmt)) {
            result.headCountsBefore.push_back(headCountAt(stmt));
        }
    }
    {
        sqlite3_stmt* stmt = reader->latestHeadCounts.get();
        ResetOnExit reset(stmt);
        while (step(stmt)) {
            result.latestHeadCounts.push_back(headCountAt(stmt));
        }
    }
    {
        sqlite3_stmt* stmt = reader->overdrawn.get();
        ResetOnExit reset(stmt);
        while (step(stmt)) {
            ++result.overdrawnStudents;
        }
    }
    {
        sqlite3_stmt* stmt = reader->latestArrival.get();
        ResetOnExit reset(stmt);
        if (step(stmt) && sqlite3_column_type(stmt, 0) != SQLITE_NULL) {
            result.latestEventAt = sqlite3_column_int64(stmt, 0);
        }
    }
    return result;
}

std::unique_ptr<RosterStream> SqliteStore::openRoster() {
    return std::make_unique<SqliteRosterStream>(path_);
}

namespace {

// A token's check in SQLite: a digest of the row at its position, the last row the board
// has. Rows are numbered in commit order, so a database that holds that very row holds
// every row before it as the board had them; a restored older backup may number other
// rows the same, but those arrived later (their arrival time differs) or are other rows.
constexpr const char* kCursorRow =
    "SELECT seq, stored_at, user_id, event, card_id, matricula, salt, n_password_hash "
    "FROM transactions";

std::uint32_t rowCheck(sqlite3_stmt* stmt) {
    std::uint32_t hash = kFnvBasis;
    for (int column = 1; column < 8; ++column) {
        const char type = static_cast<char>(sqlite3_column_type(stmt, column));
        hash = fnv1a(std::string_view(&type, 1), hash);
        hash = fnv1a(columnText(stmt, column), hash);
    }
    return hash;
}

}  // namespace

CursorRoster SqliteStore::openRosterWithCursor(const std::string* after) {
    sql::Db db = open(path_, SQLITE_OPEN_READONLY);
    std::string identity;
    std::int64_t last = 0;
    std::uint32_t lastCheck = kFnvBasis;  // of an empty roster
    std::int64_t from = -1;               // where the rows after the token start, if known
    {
        // One read transaction: the identity, the last row and the row of the token agree
        // with each other and with the rows the stream then reads.
        exec(db.get(), "BEGIN");
        struct EndRead {
            sqlite3* db;
            ~EndRead() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
        } endRead{db.get()};
        sql::Stmt stmt = prepare(db.get(), "SELECT value FROM meta WHERE key = 'identity'");
        if (!step(stmt.get())) {
            throw StoreError(path_ + ": the database has no identity");
        }
        identity = std::string(columnText(stmt.get(), 0));
        stmt = prepare(db.get(), (std::string(kCursorRow) + " ORDER BY seq DESC LIMIT 1").c_str());
        if (step(stmt.get())) {
            last = sqlite3_column_int64(stmt.get(), 0);
            lastCheck = rowCheck(stmt.get());
        }
        const std::optional<CursorToken> token = after ? parseCursor(*after) : std::nullopt;
        if (token && token->identity == identity && token->position[0] == 's') {
            const auto seq = parseBase36(std::string_view(token->position).substr(1));
            if (seq && *seq == 0 && token->check == kFnvBasis) {
                from = 0;
            } else if (seq && static_cast<std::int64_t>(*seq) <= last) {
                stmt = prepare(db.get(), (std::string(kCursorRow) + " WHERE seq = ?1").c_str());
                sqlite3_bind_int64(stmt.get(), 1, static_cast<std::int64_t>(*seq));
                if (step(stmt.get()) && rowCheck(stmt.get()) == token->check) {
                    from = static_cast<std::int64_t>(*seq);
                }
            }
        }
    }
    CursorRoster roster;
    roster.after = from >= 0;
    roster.cursor =
        formatCursor({identity, lastCheck, "s" + base36(static_cast<std::uint64_t>(last))});
    roster.stream =
        std::make_unique<SqliteRosterStream>(std::move(db), std::max<std::int64_t>(from, 0), last);
    return roster;
}

}  // namespace ru
