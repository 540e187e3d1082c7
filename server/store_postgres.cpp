#include "store_postgres.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "roster.h"
#include "roster_cursor.h"

namespace ru {

namespace pg {

namespace {

constexpr int kLayout = 2;
// Reads wait this long for an answer; writes their own deadline.
constexpr std::chrono::milliseconds kReadWait{8000};
// A client-side wait beyond the server's own time-outs: those answer first with a clear
// refusal; this one only catches a server or a network that went silent.
constexpr std::chrono::milliseconds kGrace{1000};
// After a failed connect, requests are refused at once for this long rather than each
// waiting for the database in turn.
constexpr std::chrono::milliseconds kConnectBackoff{250};
constexpr std::size_t kReadConnections = 8;
// Rows of the roster read by one query (some 400 KB): a round trip per page costs the
// roster half its speed at 256.
constexpr int kPageRows = 2048;

// Every session: a commit returns once it is durable (synchronous_commit never off, local
// or remote_write, whatever the database's default; remote_apply when the database asks
// for it), a statement outside our own transactions is bounded too, a session that sits
// in a transaction (a stuck process) lets its locks go, and the writes sent in one round
// trip run as READ COMMITTED whatever the database's default, and the warning of a
// commit whose wait for the standbys was cut short reaches us whatever the role's
// client_min_messages.
constexpr const char* kSessionSetup =
    "SELECT set_config('synchronous_commit', CASE WHEN current_setting('synchronous_commit') "
    "= 'remote_apply' THEN 'remote_apply' ELSE 'on' END, false); "
    "SET statement_timeout = 10000; SET idle_in_transaction_session_timeout = 60000; "
    "SET default_transaction_isolation = 'read committed'; SET client_min_messages = warning";

struct ResultClear {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultClear>;

// libpq's message on one line, as a log line must be.
std::string trimmed(const char* text) {
    std::string s;
    for (const char* c = text != nullptr ? text : ""; *c != '\0'; ++c) {
        if (*c == '\n' || *c == '\t') {
            if (!s.empty() && s.back() != ' ') {
                s += ' ';
            }
        } else {
            s += *c;
        }
    }
    while (!s.empty() && s.back() == ' ') {
        s.pop_back();
    }
    return s;
}

long long milliseconds(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// The parameters of a statement, as text (libpq's text format); nothing is SQL NULL.
using Params = std::vector<std::optional<std::string>>;

}  // namespace

// A key stored twice: the sign of a repeated upload.
class UniqueViolation : public StoreError {
  public:
    using StoreError::StoreError;
};

// One session with the database. Every wait for an answer is bounded by a deadline; a
// connection that failed in a way that may have left it unusable is marked broken and
// is never used again.
class Connection {
  public:
    Connection(const std::vector<std::pair<std::string, std::string>>& settings) {
        std::vector<const char*> keys;
        std::vector<const char*> values;
        for (const auto& [k, v] : settings) {
            keys.push_back(k.c_str());
            values.push_back(v.c_str());
        }
        keys.push_back(nullptr);
        values.push_back(nullptr);
        conn_ = PQconnectdbParams(keys.data(), values.data(), 1);
        if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
            const std::string message =
                conn_ != nullptr ? trimmed(PQerrorMessage(conn_)) : "out of memory";
            PQfinish(conn_);
            conn_ = nullptr;
            throw StoreUnavailable("cannot connect to the database: " + message);
        }
        PQsetNoticeReceiver(conn_, &Connection::notice, this);
    }
    ~Connection() { PQfinish(conn_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool broken() const { return broken_ || PQstatus(conn_) != CONNECTION_OK; }
    void markBroken() { broken_ = true; }
    PGconn* raw() { return conn_; }

    // Runs one or more statements without parameters; the last result. Throws as fail().
    Result simple(const std::string& text, Clock::time_point deadline) {
        if (PQsendQuery(conn_, text.c_str()) == 0) {
            fail(nullptr, "database error");
        }
        return collect(deadline);
    }

    // Runs the statement `text`, prepared once per session under `name`.
    Result run(const char* name, const std::string& text, const Params& params,
               Clock::time_point deadline) {
        prepare(name, text, params.size(), deadline);
        std::vector<const char*> values;
        for (const auto& p : params) {
            values.push_back(p ? p->c_str() : nullptr);
        }
        if (PQsendQueryPrepared(conn_, name, static_cast<int>(values.size()), values.data(),
                                nullptr, nullptr, 0) == 0) {
            fail(nullptr, "database error");
        }
        return collect(deadline);
    }

    void prepare(const char* name, const std::string& text, std::size_t count,
                 Clock::time_point deadline) {
        if (prepared_.count(name) == 0) {
            if (PQsendPrepare(conn_, name, text.c_str(), static_cast<int>(count), nullptr) == 0) {
                fail(nullptr, "database error");
            }
            collect(deadline);
            prepared_.insert(name);
        }
    }

    // Commits the open transaction. Returns once the commit is durable as the session's
    // synchronous_commit has it; throws StoreUnavailable when its outcome is unknown (no
    // answer, a lost connection) or it is not durable (its wait for the standbys was cut
    // short, by `deadline` or otherwise: it is then committed here only), and as fail()
    // otherwise.
    void commit(Clock::time_point deadline) {
        warned_ = false;
        committing_ = true;
        simple("COMMIT", deadline);
        if (warned_) {
            throw StoreUnavailable("the commit was not confirmed by the synchronous standbys: " +
                                   warning_);
        }
        committing_ = false;
    }

    // Runs the prepared statements `steps` in one round trip (libpq's pipeline mode), as
    // one implicit transaction that the server commits after the last; the result of each.
    // Throws as fail() for the first error (nothing committed) and as commit() when the
    // outcome of the commit is unknown or not durable; `commitBy` bounds the wait as the
    // deadline of commit() does.
    struct Step {
        const char* name;
        std::string text;
        Params params;
    };
    std::vector<Result> atomically(const std::vector<Step>& steps, Clock::time_point commitBy) {
        if (PQenterPipelineMode(conn_) == 0) {
            fail(nullptr, "database error");
        }
        warned_ = false;
        committing_ = true;
        // Each message sent, in order: a statement to prepare (its name), or one to run.
        // A statement is prepared inside the transaction, after the time-outs: preparing
        // takes the locks of its tables.
        std::vector<const char*> sent;
        for (const Step& step : steps) {
            if (prepared_.count(step.name) == 0) {
                if (PQsendPrepare(conn_, step.name, step.text.c_str(),
                                  static_cast<int>(step.params.size()), nullptr) == 0) {
                    broken_ = true;
                    fail(nullptr, "database error");
                }
                sent.push_back(step.name);
            }
            std::vector<const char*> values;
            for (const auto& p : step.params) {
                values.push_back(p ? p->c_str() : nullptr);
            }
            if (PQsendQueryPrepared(conn_, step.name, static_cast<int>(values.size()),
                                    values.data(), nullptr, nullptr, 0) == 0) {
                broken_ = true;
                fail(nullptr, "database error");
            }
            sent.push_back(nullptr);
        }
        if (PQpipelineSync(conn_) == 0 || PQflush(conn_) != 0) {
            broken_ = true;
            fail(nullptr, "lost the connection to the database");
        }
        std::vector<Result> results;
        Result error;
        bool cancelled = false;
        Clock::time_point deadline = commitBy;
        std::size_t answered = 0;  // messages of `sent` whose result came
        for (bool synced = false; !synced;) {
            while (!synced && PQisBusy(conn_) == 0) {
                Result r(PQgetResult(conn_));
                if (!r) {
                    continue;  // the end of one message's results
                }
                const ExecStatusType status = PQresultStatus(r.get());
                if (status == PGRES_PIPELINE_SYNC) {
                    synced = true;
                    continue;
                }
                const char* name = answered < sent.size() ? sent[answered] : nullptr;
                ++answered;
                if (status == PGRES_PIPELINE_ABORTED) {
                    continue;
                }
                if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
                    if (!error) {
                        error = std::move(r);
                    }
                } else if (name != nullptr) {
                    prepared_.insert(name);
                } else {
                    results.push_back(std::move(r));
                }
            }
            if (!synced) {
                awaitInput(deadline, cancelled);
            }
        }
        PQexitPipelineMode(conn_);
        if (error) {
            committing_ = false;  // rolled back
            fail(error.get(), "database error");
        }
        if (warned_) {
            throw StoreUnavailable("the commit was not confirmed by the synchronous standbys: " +
                                   warning_);
        }
        committing_ = false;
        return results;
    }

    // Whether an idle session is still there. Nothing comes on a session that waits for
    // us but the server's last words when it ends it (a restart, a failover): a session
    // with anything to read is taken for gone.
    bool alive() {
        pollfd fd{PQsocket(conn_), POLLIN, 0};
        if (poll(&fd, 1, 0) != 0) {
            broken_ = true;
        }
        return !broken();
    }

    // Waits for the end of a COPY whose data has all been sent.
    void finishCopy(Clock::time_point deadline) { collect(deadline); }
    // Whether the last COMMIT sent did not end in a durable commit: its outcome is unknown.
    bool committing() const { return committing_; }
    void startTransaction() { committing_ = false; }

    // Throws the error of `result` (or of the connection, when null): StoreUnavailable for
    // a lost connection or a server that cannot take the work (shutting down, a standby,
    // out of connections), StoreBusy for a lock or statement time-out, StoreError
    // otherwise.
    [[noreturn]] void fail(const PGresult* result, const std::string& what) {
        const char* state =
            result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        const std::string message =
            trimmed(result != nullptr && *PQresultErrorMessage(result) != '\0'
                        ? PQresultErrorMessage(result)
                        : PQerrorMessage(conn_));
        const std::string code = state != nullptr ? state : "";
        if (code.empty() || PQstatus(conn_) != CONNECTION_OK || code.compare(0, 2, "08") == 0 ||
            code.compare(0, 3, "57P") == 0 || code == "25006") {
            broken_ = true;
            throw StoreUnavailable(what + ": " + message);
        }
        if (code.compare(0, 2, "53") == 0) {
            throw StoreUnavailable(what + ": " + message);
        }
        if (code == "23505") {
            throw UniqueViolation(what + ": " + message);
        }
        if (code == "55P03" || code == "57014" || code == "40001" || code == "40P01") {
            throw StoreBusy(what + ": " + message);
        }
        throw StoreError(what + ": " + message);
    }

  private:
    static void notice(void* self, const PGresult* result) {
        auto* connection = static_cast<Connection*>(self);
        const char* severity = PQresultErrorField(result, PG_DIAG_SEVERITY_NONLOCALIZED);
        if (severity != nullptr && std::strcmp(severity, "WARNING") == 0) {
            connection->warned_ = true;
            connection->warning_ = trimmed(PQresultErrorMessage(result));
        }
    }

    // Waits for every result of the query sent; the last one, or the first error.
    Result collect(Clock::time_point deadline) {
        Result last;
        Result error;
        bool cancelled = false;
        for (;;) {
            while (PQisBusy(conn_) == 0) {
                Result r(PQgetResult(conn_));
                if (!r) {
                    if (error) {
                        fail(error.get(), "database error");
                    }
                    return last;
                }
                const ExecStatusType status = PQresultStatus(r.get());
                if (status == PGRES_COPY_IN) {
                    return r;  // the caller sends the data
                }
                if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
                    if (!error) {
                        error = std::move(r);
                    }
                } else {
                    last = std::move(r);
                }
            }
            awaitInput(deadline, cancelled);
        }
    }

    // Waits until more of the answer has come in. At `deadline` the server is asked to
    // stop (a statement then ends with an error, a COMMIT waiting for the standbys with a
    // warning, and the session stays usable) and given a moment more; a server that does
    // not answer that either is given up.
    void awaitInput(Clock::time_point& deadline, bool& cancelled) {
        const long long left = milliseconds(deadline - Clock::now());
        pollfd fd{PQsocket(conn_), POLLIN, 0};
        const int ready = left > 0 ? poll(&fd, 1, static_cast<int>(std::min(left, 60000LL))) : 0;
        if (ready == 0 && Clock::now() >= deadline) {
            if (!cancelled && cancel()) {
                cancelled = true;
                deadline = Clock::now() + kGrace;
                return;
            }
            broken_ = true;
            throw StoreUnavailable("no answer from the database in time");
        }
        if (ready > 0 && PQconsumeInput(conn_) == 0) {
            fail(nullptr, "lost the connection to the database");
        }
    }

    // Asks the server to stop, from a thread of its own: PQcancel waits for the server to
    // close the cancel's connection, which a server that stopped answering (a paused
    // machine, a storage stall, a network cut) never does, and a request must not wait
    // for it. At most one per connection that missed its deadline.
    bool cancel() {
        PGcancel* handle = PQgetCancel(conn_);
        if (handle == nullptr) {
            return false;
        }
        try {
            std::thread([handle] {
                char error[256];
                PQcancel(handle, error, sizeof error);
                PQfreeCancel(handle);
            }).detach();
        } catch (const std::system_error&) {
            PQfreeCancel(handle);
            return false;
        }
        return true;
    }

    PGconn* conn_ = nullptr;
    bool broken_ = false;
    bool warned_ = false;
    bool committing_ = false;
    std::string warning_;
    std::set<std::string> prepared_;
};

// A fixed number of connections to one database, made when first needed.
class Pool {
  public:
    // `setup`: statements that every connection runs first.
    Pool(std::vector<std::pair<std::string, std::string>> settings, std::size_t size,
         std::string setup)
        : settings_(std::move(settings)),
          size_(std::max<std::size_t>(size, 1)),
          setup_(std::move(setup)) {}

    // One connection, for one thread at a time; given back when the lease goes.
    class Lease {
      public:
        Lease(Pool& pool, std::unique_ptr<Connection> c, bool reused)
            : pool_(&pool), connection_(std::move(c)), reused_(reused) {}
        Lease(Lease&& other) noexcept
            : pool_(other.pool_),
              connection_(std::move(other.connection_)),
              reused_(other.reused_) {}
        Lease& operator=(Lease&&) = delete;
        ~Lease() {
            if (pool_ != nullptr) {
                pool_->giveBack(std::move(connection_));
            }
        }

        Connection* operator->() const { return connection_.get(); }
        Connection& operator*() const { return *connection_; }
        // Whether the connection had served before: a failure of its first statement may
        // be a session that died while idle, worth one try on a fresh one.
        bool reused() const { return reused_; }
        // Replaces the connection with a fresh one. Throws StoreUnavailable.
        void renew() {
            connection_.reset();
            connection_ = pool_->connect();
            reused_ = false;
        }

      private:
        Pool* pool_;
        std::unique_ptr<Connection> connection_;
        bool reused_;
    };

    // Waits until `deadline` for a free connection (then throws StoreBusy), and makes one
    // when none is kept (throwing StoreUnavailable when that fails).
    Lease acquire(Clock::time_point deadline) {
        std::unique_ptr<Connection> connection;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!free_.wait_until(lock, deadline, [this] { return out_ < size_; }) &&
                out_ >= size_) {
                throw StoreBusy("every connection to the database is busy");
            }
            ++out_;
            while (!connection && !idle_.empty()) {
                connection = std::move(idle_.back());
                idle_.pop_back();
                if (!connection->alive()) {
                    connection.reset();
                }
            }
        }
        if (connection) {
            return Lease(*this, std::move(connection), true);
        }
        try {
            return Lease(*this, connect(), false);
        } catch (...) {
            giveBack(nullptr);
            throw;
        }
    }

  private:
    friend class Lease;

    std::unique_ptr<Connection> connect() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (lastFailure_ && Clock::now() - *lastFailure_ < kConnectBackoff) {
                throw StoreUnavailable(lastError_);
            }
        }
        try {
            auto connection = std::make_unique<Connection>(settings_);
            connection->simple(setup_, Clock::now() + kReadWait);
            std::lock_guard<std::mutex> lock(mutex_);
            lastFailure_.reset();
            return connection;
        } catch (const StoreError& e) {
            std::lock_guard<std::mutex> lock(mutex_);
            lastFailure_ = Clock::now();
            lastError_ = e.what();
            throw;
        }
    }

    void giveBack(std::unique_ptr<Connection> connection) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (connection && !connection->broken()) {
                idle_.push_back(std::move(connection));
            }
            --out_;
        }
        free_.notify_one();
    }

    const std::vector<std::pair<std::string, std::string>> settings_;
    const std::size_t size_;
    const std::string setup_;
    std::mutex mutex_;
    std::condition_variable free_;
    std::vector<std::unique_ptr<Connection>> idle_;
    std::size_t out_ = 0;  // leased
    std::optional<Clock::time_point> lastFailure_;
    std::string lastError_;
};

// What a store and its roster streams share.
struct Database {
    std::string schema;  // quoted, ready to prefix a table name
    std::string name;
    std::chrono::milliseconds writeWait;
    std::unique_ptr<Pool> writers;
    std::unique_ptr<Pool> readers;

    std::string table(const char* table) const { return schema + "." + table; }
};

namespace {

// The time-outs of a write that must be done by `deadline`: a write that can go at once
// goes, however long it queued (the lock is tried once, the statements get a second at
// least).
struct Bounds {
    explicit Bounds(Clock::time_point deadline)
        : left(std::max(milliseconds(deadline - Clock::now()), 0LL)),
          statement(std::max(left, 1000LL)),
          commitBy(Clock::now() + std::chrono::milliseconds(statement)) {}

    // The first step of a write sent in one round trip: its time-outs.
    Connection::Step step() const {
        return {"timeouts",
                "SELECT set_config('lock_timeout', $1::text, true), "
                "set_config('statement_timeout', $2::text, true)",
                {std::to_string(std::max(left, 1LL)), std::to_string(statement)}};
    }

    long long left;
    long long statement;
    Clock::time_point commitBy;
};

// An explicit transaction on a leased connection, rolled back unless committed. Its
// statements may run until `deadline` on the server (lock_timeout and statement_timeout,
// the COMMIT's wait for the standbys included); the client waits a moment longer.
class Transaction {
  public:
    Transaction(Connection& c, Clock::time_point deadline, const char* mode = "READ WRITE",
                bool unbounded = false)
        : c_(c) {
        const long long left = std::max(milliseconds(deadline - Clock::now()), 0LL);
        // A write that can go at once goes, however long it queued: the lock is tried
        // once, and the statements get a second at least.
        const long long bound = std::max(left, 1000LL);
        commitBy_ = unbounded ? Clock::now() + std::chrono::hours(24)
                              : Clock::now() + std::chrono::milliseconds(bound);
        deadline_ = commitBy_ + kGrace;
        const std::string statement = unbounded ? "0" : std::to_string(bound);
        c_.startTransaction();
        c_.simple(std::string("BEGIN ISOLATION LEVEL ") +
                      (std::strcmp(mode, "READ ONLY") == 0 ? "REPEATABLE READ READ ONLY"
                                                           : "READ COMMITTED READ WRITE") +
                      "; SET LOCAL lock_timeout = " + std::to_string(std::max(left, 1LL)) +
                      "; SET LOCAL statement_timeout = " + statement,
                  deadline_);
        open_ = true;
    }
    ~Transaction() {
        if (open_ && !c_.broken()) {
            try {
                c_.simple("ROLLBACK", Clock::now() + std::chrono::seconds(2));
            } catch (const StoreError&) {
                c_.markBroken();
            }
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    Result run(const char* name, const std::string& text, const Params& params) {
        return c_.run(name, text, params, deadline_);
    }
    void commit() {
        open_ = false;
        // statement_timeout does not cover a COMMIT's wait for the standbys: the client
        // cuts it short at the request's deadline.
        c_.commit(commitBy_);
    }
    Clock::time_point deadline() const { return deadline_; }

  private:
    Connection& c_;
    Clock::time_point commitBy_;
    Clock::time_point deadline_;
    bool open_ = false;
};

// Runs `work` with a connection of `pool`; when a reused connection fails before a COMMIT
// was sent (a session that died while idle, or a server restarted since), nothing was
// stored and `work` runs once more on a fresh connection.
template <typename Work>
auto withConnection(Pool& pool, Clock::time_point deadline, Work work) {
    Pool::Lease lease = pool.acquire(deadline);
    try {
        return work(*lease);
    } catch (const StoreUnavailable&) {
        if (!lease.reused() || lease->committing() || !lease->broken()) {
            throw;
        }
    }
    lease.renew();
    return work(*lease);
}

std::string_view view(const PGresult* r, int row, int column) {
    return std::string_view(PQgetvalue(r, row, column),
                            static_cast<std::size_t>(PQgetlength(r, row, column)));
}

std::string text(const PGresult* r, int row, int column) {
    return std::string(PQgetvalue(r, row, column),
                       static_cast<std::size_t>(PQgetlength(r, row, column)));
}

std::int64_t integer(const PGresult* r, int row, int column) {
    return std::strtoll(PQgetvalue(r, row, column), nullptr, 10);
}

bool isNull(const PGresult* r, int row, int column) {
    return PQgetisnull(r, row, column) != 0;
}

std::string str(std::int64_t v) {
    return std::to_string(v);
}

// The text of one COPY field: backslash, tab, line ends escaped.
void appendCopyField(std::string& out, const std::string& field) {
    for (const char c : field) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
}

// The layout of the tables; `S.` stands for the schema.
constexpr const char* kTables = R"sql(
CREATE TABLE S.meta (
    key text PRIMARY KEY,
    value text NOT NULL
);
CREATE TABLE S.transactions (
    seq bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,  -- insertion order
    card_id text NOT NULL,
    user_id integer NOT NULL,
    event integer NOT NULL,
    matricula text NOT NULL,
    salt text NOT NULL,
    n_password_hash text NOT NULL,
    stored_at timestamptz,  -- arrival; none for imported rows
    -- The inserting transaction: a position taken from a snapshot cannot skip a row
    -- that commits late with an earlier seq.
    xid xid8 NOT NULL DEFAULT pg_current_xact_id()
);
CREATE INDEX transactions_by_xid ON S.transactions (xid);
CREATE INDEX transactions_by_arrival ON S.transactions (stored_at) WHERE stored_at IS NOT NULL;
CREATE TABLE S.students (
    user_id integer PRIMARY KEY,
    card_id text NOT NULL,  -- of the user's latest transaction
    matricula text NOT NULL,
    salt text NOT NULL,
    n_password_hash text NOT NULL,
    -- The sum of the user's events, kept by the transaction that adds one.
    credit bigint NOT NULL CHECK (credit BETWEEN -2147483648 AND 2147483647)
);
CREATE TABLE S.headcounts (
    seq bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    v integer NOT NULL,
    received_at timestamptz NOT NULL
);
CREATE INDEX headcounts_by_arrival ON S.headcounts (received_at);
CREATE TABLE S.idempotency_keys (
    key text PRIMARY KEY,
    user_id integer NOT NULL,
    event integer NOT NULL,
    credit bigint NOT NULL,
    stored_at bigint NOT NULL  -- seconds since the Unix epoch
);
CREATE INDEX idempotency_keys_by_age ON S.idempotency_keys (stored_at);
)sql";

// Layout 2, from layout 1 (a new schema is made at 1 and goes through it too): the board
// of each head-count (older reports are the unnamed board's), each board's latest report,
// and the overdrawn marks.
constexpr const char* kLayout2 = R"sql(
ALTER TABLE S.headcounts ADD COLUMN board text NOT NULL DEFAULT '';
CREATE INDEX headcounts_by_board ON S.headcounts (board, received_at);
-- The latest report of each board, so that the restaurant's total reads a row per board.
CREATE TABLE S.headcount_boards (
    board text PRIMARY KEY,
    seq bigint NOT NULL  -- of its latest row in headcounts
);
INSERT INTO S.headcount_boards (board, seq) SELECT board, MAX(seq) FROM S.headcounts GROUP BY board;
-- The students that an upload left below zero: a meal served on a board's own decision.
CREATE TABLE S.overdrawn (
    user_id integer PRIMARY KEY,
    times bigint NOT NULL,  -- uploads that left the credit below zero
    last_at timestamptz NOT NULL,  -- the last of them
    board text NOT NULL  -- the board that sent the last of them
);
UPDATE S.meta SET value = '2' WHERE key = 'layout';
)sql";

std::string withSchema(const std::string& text, const std::string& schema) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "S.") == 0 && (i == 0 || text[i - 1] == ' ')) {
            out += schema + ".";
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string quoteIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (const char c : name) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

// What every connection is opened with: defaults that the URI may override (those before
// it), then the URI.
std::vector<std::pair<std::string, std::string>> connectSettings(const std::string& uri) {
    return {
        {"fallback_application_name", "ru-server"},
        {"connect_timeout", "2"},
        {"keepalives", "1"},
        {"keepalives_idle", "5"},
        {"keepalives_interval", "2"},
        {"keepalives_count", "2"},
        {"tcp_user_timeout", "9000"},
        {"target_session_attrs", "read-write"},
        {"dbname", uri},
        {"client_encoding", "UTF8"},
    };
}

// Where the URI points, without any password.
std::string describe(const std::string& uri, const std::string& schema) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(uri.c_str(), &error);
    PQfreemem(error);
    std::string host = "localhost";
    std::string port;
    std::string dbname;
    for (PQconninfoOption* o = options; o != nullptr && o->keyword != nullptr; ++o) {
        if (o->val == nullptr) {
            continue;
        }
        if (std::strcmp(o->keyword, "host") == 0) {
            host = o->val;
        } else if (std::strcmp(o->keyword, "port") == 0) {
            port = o->val;
        } else if (std::strcmp(o->keyword, "dbname") == 0) {
            dbname = o->val;
        }
    }
    PQconninfoFree(options);
    return "PostgreSQL database " + (dbname.empty() ? std::string("(default)") : dbname) + " on " +
           host + (port.empty() ? "" : " port " + port) + ", schema " + schema;
}

}  // namespace

}  // namespace pg

// The roster as a snapshot: pages by sequence number of the rows visible in the snapshot
// taken at the opening, each page on whatever reader connection is free.
class PostgresRosterStream : public RosterStream {
  public:
    explicit PostgresRosterStream(std::shared_ptr<pg::Database> db) : db_(std::move(db)) {
        pg::withConnection(*db_->readers, Clock::now() + pg::kReadWait, [&](pg::Connection& c) {
            const pg::Result r =
                c.run("roster_snapshot",
                      "SELECT pg_current_snapshot()::text, COALESCE(MAX(seq), 0) FROM " +
                          db_->table("transactions"),
                      {}, Clock::now() + pg::kReadWait + pg::kGrace);
            snapshot_ = pg::text(r.get(), 0, 0);
            last_ = pg::integer(r.get(), 0, 1);
            return 0;
        });
    }

    // The rows numbered after `after` up to `last` that are visible in `snapshot` and, when
    // `since` is not empty, not visible in that older snapshot: the rows committed between
    // the two.
    PostgresRosterStream(std::shared_ptr<pg::Database> db, std::string snapshot, std::string since,
                         std::int64_t after, std::int64_t last)
        : db_(std::move(db)),
          snapshot_(std::move(snapshot)),
          since_(std::move(since)),
          after_(after),
          last_(last) {}

    bool read(std::string& out, std::size_t maxBytes) override {
        if (state_ == State::Done) {
            return false;
        }
        const std::size_t start = out.size();
        if (state_ == State::Start) {
            out += '[';
            state_ = State::Rows;
        }
        while (state_ == State::Rows && out.size() - start < maxBytes) {
            const PGresult* r = page_.get();
            if (r == nullptr || row_ == PQntuples(r)) {
                if (r != nullptr && PQntuples(r) < pg::kPageRows) {
                    state_ = State::End;
                } else {
                    page_ = nextPage();
                    row_ = 0;
                }
                continue;
            }
            if (!first_) {
                out += ',';
            }
            first_ = false;
            appendTransactionJson(out, pg::view(r, row_, 1), pg::integer(r, row_, 2),
                                  pg::integer(r, row_, 3), pg::view(r, row_, 4),
                                  pg::view(r, row_, 5), pg::view(r, row_, 6));
            after_ = pg::integer(r, row_, 0);
            ++row_;
        }
        if (state_ == State::End) {
            out += ']';
            state_ = State::Done;
        }
        return true;
    }

  private:
    // The page of rows after after_, read on whatever reader connection is free.
    pg::Result nextPage() {
        const auto deadline = Clock::now() + pg::kReadWait;
        return pg::withConnection(*db_->readers, deadline, [&](pg::Connection& c) {
            if (!since_.empty()) {
                return c.run("roster_page_since",
                             "SELECT seq, card_id, user_id, event, matricula, salt, "
                             "n_password_hash FROM " +
                                 db_->table("transactions") +
                                 " WHERE seq > $1::bigint AND seq <= $2::bigint AND "
                                 "pg_visible_in_snapshot(xid, $3::pg_snapshot) AND NOT "
                                 "pg_visible_in_snapshot(xid, $4::pg_snapshot) "
                                 "ORDER BY seq LIMIT " +
                                 std::to_string(pg::kPageRows),
                             {pg::str(after_), pg::str(last_), snapshot_, since_},
                             deadline + pg::kGrace);
            }
            return c.run("roster_page",
                         "SELECT seq, card_id, user_id, event, matricula, salt, "
                         "n_password_hash FROM " +
                             db_->table("transactions") +
                             " WHERE seq > $1::bigint AND seq <= $2::bigint AND "
                             "pg_visible_in_snapshot(xid, $3::pg_snapshot) "
                             "ORDER BY seq LIMIT " +
                             std::to_string(pg::kPageRows),
                         {pg::str(after_), pg::str(last_), snapshot_}, deadline + pg::kGrace);
        });
    }

    enum class State { Start, Rows, End, Done };
    std::shared_ptr<pg::Database> db_;
    // The page being handed out and its next row: a page holds several pieces' rows, so
    // that a roster costs a query per page, not per piece.
    pg::Result page_;
    int row_ = 0;
    std::string snapshot_;
    std::string since_;
    std::int64_t after_ = 0;
    std::int64_t last_ = 0;
    bool first_ = true;
    State state_ = State::Start;
};

namespace pg {

// Rows restored into another cluster (pg_restore of the README's backup) carry the ids of
// the old cluster's transactions, which this one may not reach for months: until then
// every snapshot would take them for transactions still to come and hide them. Such rows
// were all committed, so they get an id that every snapshot sees (1, below any xmin);
// the cluster's identifier in meta tells whether the rows came from elsewhere. Without
// one (a schema of an earlier ru-server), only ids that this cluster has not handed out
// yet are foreign for sure. Tokens of the old cluster name its identifier in their check.
void adoptCluster(Transaction& tx, const Database& db) {
    const std::string meta = db.table("meta");
    const Result found = tx.run(
        "cluster_find",
        "SELECT (SELECT system_identifier FROM pg_control_system())::text, (SELECT value FROM " +
            meta + " WHERE key = 'cluster')",
        {});
    const std::string cluster = text(found.get(), 0, 0);
    if (!isNull(found.get(), 0, 1) && text(found.get(), 0, 1) == cluster) {
        return;
    }
    const bool recorded = !isNull(found.get(), 0, 1);
    tx.run(recorded ? "cluster_adopt_all" : "cluster_adopt_foreign",
           "UPDATE " + db.table("transactions") + " SET xid = '1' WHERE " +
               (recorded ? "xid <> '1'" : "xid >= pg_snapshot_xmax(pg_current_snapshot())"),
           {});
    tx.run("cluster_record",
           "INSERT INTO " + meta +
               " (key, value) VALUES ('cluster', $1::text) ON CONFLICT (key) DO UPDATE SET "
               "value = EXCLUDED.value",
           {cluster});
}

}  // namespace pg

PostgresStore::PostgresStore(const std::string& uri, const StoreOptions& options)
    : db_(std::make_shared<pg::Database>()) {
    if (options.schema.empty()) {
        throw StoreError("the schema name is empty");
    }
    db_->schema = pg::quoteIdentifier(options.schema);
    db_->name = pg::describe(uri, options.schema);
    db_->writeWait = options.writeWait;
    const auto settings = pg::connectSettings(uri);
    db_->writers =
        std::make_unique<pg::Pool>(settings, options.writeConnections, pg::kSessionSetup);
    // The roster's pages, by sequence number from a point on, are read in the index's
    // order whatever the statistics say: without any (a table just loaded) the planner
    // takes a page's range for a few rows, and reads and sorts the whole rest of the
    // history for each page instead.
    db_->readers = std::make_unique<pg::Pool>(
        settings, pg::kReadConnections,
        std::string(pg::kSessionSetup) + "; SET enable_bitmapscan = off");

    // Several servers starting together: one makes or upgrades the tables, the others
    // wait for it under the lock and find them made.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    try {
        pg::Pool::Lease c = db_->writers->acquire(deadline);
        pg::Transaction tx(*c, deadline, "READ WRITE", true);
        tx.run("layout_lock", "SELECT pg_advisory_xact_lock(hashtext('ru-server'), hashtext($1))",
               {options.schema});
        const pg::Result found =
            tx.run("layout_find",
                   "SELECT to_regclass(format('%I.meta', $1::text)) IS NOT NULL, "
                   "EXISTS (SELECT 1 FROM pg_namespace WHERE nspname = $1::text), "
                   "EXISTS (SELECT 1 FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
                   "WHERE n.nspname = $1::text)",
                   {options.schema});
        const bool hasMeta = std::strcmp(PQgetvalue(found.get(), 0, 0), "t") == 0;
        const bool hasSchema = std::strcmp(PQgetvalue(found.get(), 0, 1), "t") == 0;
        const bool hasTables = std::strcmp(PQgetvalue(found.get(), 0, 2), "t") == 0;
        long long version = 1;
        if (hasMeta) {
            const pg::Result layout =
                tx.run("layout_read",
                       "SELECT value FROM " + db_->table("meta") + " WHERE key = 'layout'", {});
            version = PQntuples(layout.get()) == 1 ? std::atoll(PQgetvalue(layout.get(), 0, 0)) : 0;
            if (version < 1 || version > pg::kLayout) {
                throw StoreError(
                    "schema " + options.schema + " has layout version " + std::to_string(version) +
                    ", while this ru-server knows versions 1 to " + std::to_string(pg::kLayout));
            }
        } else if (hasTables) {
            throw StoreError("schema " + options.schema +
                             " holds tables of some other program; give ru-server a schema "
                             "of its own (--db-schema)");
        } else {
            if (!hasSchema) {
                c->simple("CREATE SCHEMA " + db_->schema, tx.deadline());
            }
            c->simple(pg::withSchema(pg::kTables, db_->schema), tx.deadline());
            tx.run("layout_make",
                   "INSERT INTO " + db_->table("meta") +
                       " (key, value) VALUES ('layout', $1::text), ('identity', $2::text)",
                   {"1", randomIdentity()});
        }
        if (version < 2) {
            c->simple(pg::withSchema(pg::kLayout2, db_->schema), tx.deadline());
        }
        pg::adoptCluster(tx, *db_);
        tx.commit();
    } catch (const StoreUnavailable&) {
        throw;
    } catch (const StoreError& e) {
        throw StoreError(db_->name + ": " + e.what());
    }
}

PostgresStore::~PostgresStore() = default;

std::string PostgresStore::name() const {
    return db_->name;
}

std::string PostgresStore::identity() {
    return pg::withConnection(*db_->readers, Clock::now() + pg::kReadWait, [&](pg::Connection& c) {
        const pg::Result r =
            c.run("identity", "SELECT value FROM " + db_->table("meta") + " WHERE key = 'identity'",
                  {}, Clock::now() + pg::kReadWait + pg::kGrace);
        if (PQntuples(r.get()) != 1) {
            throw StoreError(db_->name + ": the database has no identity");
        }
        return pg::text(r.get(), 0, 0);
    });
}

ImportSummary PostgresStore::importRoster(std::istream& in,
                                          const std::function<bool()>& cancelled) {
    return load(in, cancelled, true);
}

ImportSummary PostgresStore::appendRows(std::istream& in, const std::function<bool()>& cancelled) {
    return load(in, cancelled, false);
}

ImportSummary PostgresStore::load(std::istream& in, const std::function<bool()>& cancelled,
                                  bool intoEmpty) {
    const auto deadline = Clock::now() + db_->writeWait;
    pg::Pool::Lease c = db_->writers->acquire(deadline);
    pg::Transaction tx(*c, deadline, "READ WRITE", true);
    // One load at a time, from any server: two imports into an empty database would
    // otherwise both find it empty.
    tx.run("load_lock", "SELECT pg_advisory_xact_lock(hashtext('ru-server load'), hashtext($1))",
           {db_->schema});
    if (intoEmpty) {
        const pg::Result any = tx.run(
            "load_any", "SELECT EXISTS (SELECT 1 FROM " + db_->table("transactions") + ")", {});
        if (std::strcmp(PQgetvalue(any.get(), 0, 0), "t") == 0) {
            throw StoreError("the database " + db_->name +
                             " already holds transactions; a roster is imported only into an "
                             "empty database");
        }
    }
    const pg::Result copying =
        c->simple("COPY " + db_->table("transactions") +
                      " (card_id, user_id, event, matricula, salt, n_password_hash) FROM STDIN",
                  tx.deadline());
    if (PQresultStatus(copying.get()) != PGRES_COPY_IN) {
        c->fail(copying.get(), "cannot load the roster");
    }
    ImportSummary summary;
    std::string buffer;
    const auto flush = [&] {
        if (PQputCopyData(c->raw(), buffer.data(), static_cast<int>(buffer.size())) != 1) {
            c->fail(nullptr, "cannot load the roster");
        }
        buffer.clear();
    };
    try {
        summary.students = readRoster(in, [&](const Transaction& row) {
            if (cancelled && cancelled()) {
                throw ImportCancelled();
            }
            pg::appendCopyField(buffer, row.cardID);
            buffer += '\t' + std::to_string(row.userId) + '\t' + std::to_string(row.event) + '\t';
            pg::appendCopyField(buffer, row.matricula);
            buffer += '\t';
            pg::appendCopyField(buffer, row.salt);
            buffer += '\t';
            pg::appendCopyField(buffer, row.passwordHash);
            buffer += '\n';
            ++summary.transactions;
            if (buffer.size() >= 65536) {
                flush();
            }
        });
        flush();
    } catch (...) {
        // Closing the session rolls the whole load back on the server.
        c->markBroken();
        throw;
    }
    if (PQputCopyEnd(c->raw(), nullptr) != 1) {
        c->fail(nullptr, "cannot load the roster");
    }
    c->finishCopy(tx.deadline());
    const std::string mine = " WHERE xid = pg_current_xact_id()";
    if (!intoEmpty) {
        // The rows' running credits on top of the committed ones, under the students'
        // row locks, so that no upload changes them meanwhile.
        tx.run("load_lock_students",
               "SELECT 1 FROM " + db_->table("students") +
                   " WHERE user_id IN (SELECT user_id FROM " + db_->table("transactions") + mine +
                   ") ORDER BY user_id FOR UPDATE",
               {});
        const pg::Result over =
            tx.run("load_over",
                   "SELECT t.index, t.user_id, s.credit + t.running FROM (SELECT user_id, seq, "
                   "row_number() OVER (ORDER BY seq) - 1 AS index, SUM(event) OVER (PARTITION BY "
                   "user_id ORDER BY seq) AS running FROM " +
                       db_->table("transactions") + mine + ") t JOIN " + db_->table("students") +
                       " s USING (user_id) WHERE s.credit + t.running NOT BETWEEN -2147483648 AND "
                       "2147483647 ORDER BY t.seq LIMIT 1",
                   {});
        if (PQntuples(over.get()) > 0) {
            throw StoreError("element at index " + pg::text(over.get(), 0, 0) + " (user_id " +
                             pg::text(over.get(), 0, 1) + ") takes the stored credit to " +
                             pg::text(over.get(), 0, 2) +
                             ", outside the signed 32-bit range; nothing stored");
        }
    }
    const std::string students = db_->table("students");
    tx.run("load_students",
           "INSERT INTO " + students +
               " AS s (user_id, card_id, matricula, salt, n_password_hash, credit) "
               "SELECT l.user_id, l.card_id, l.matricula, l.salt, l.n_password_hash, c.credit "
               "FROM (SELECT DISTINCT ON (user_id) user_id, card_id, matricula, salt, "
               "n_password_hash FROM " +
               db_->table("transactions") + mine +
               " ORDER BY user_id, seq DESC) l JOIN (SELECT user_id, SUM(event) AS credit FROM " +
               db_->table("transactions") + mine +
               " GROUP BY user_id) c USING (user_id) ON CONFLICT (user_id) DO UPDATE SET "
               "credit = s.credit + EXCLUDED.credit, card_id = EXCLUDED.card_id, matricula = "
               "EXCLUDED.matricula, salt = EXCLUDED.salt, n_password_hash = "
               "EXCLUDED.n_password_hash",
           {});
    tx.commit();
    if (intoEmpty) {
        // Statistics of the history just loaded, for the plans of the uploads and the
        // roster, rather than waiting for the autovacuum. Only the table's owner may take
        // them; the import is committed either way.
        try {
            c->simple("ANALYZE " + db_->table("transactions"), Clock::now() + pg::kReadWait);
        } catch (const StoreError&) {
        }
    }
    return summary;
}

AppendResult PostgresStore::append(const EventWrite& write) {
    const std::int32_t userId = write.userId;
    const std::int32_t value = write.value;
    const std::string* key = write.key ? &*write.key : nullptr;
    const auto deadline = writeDeadline(write.arrived, write.wait, db_->writeWait);
    const std::string user = pg::str(userId);
    const std::string event = pg::str(value);
    const std::string students = db_->table("students");
    const std::string keys = db_->table("idempotency_keys");
    // $1 the user, $2 the event, then the key when there is one, then the board of an
    // upload (an online entry never marks anyone).
    pg::Params params = {user, event};
    std::string name = write.mustBeCovered ? "entry" : write.stamped ? "append" : "credit";
    std::string keyParam;
    if (key != nullptr) {
        params.emplace_back(*key);
        keyParam = "$" + std::to_string(params.size());
        name += "_keyed";
    }
    std::string boardParam;
    if (!write.mustBeCovered) {
        params.emplace_back(write.board);
        boardParam = "$" + std::to_string(params.size());
    }
    // The common case in one round trip: the student's row and the event, and the key
    // with them. The row lock makes uploads of one student take turns across servers;
    // a key already stored (or being stored by a repeat sent at the same moment, which
    // this waits for) makes the whole statement fail, storing nothing. An online entry
    // updates the row only if its committed credit covers the event.
    std::string text =
        "WITH s AS (UPDATE " + students +
        " SET credit = credit + $2::integer WHERE user_id = $1::integer AND credit + "
        "$2::integer BETWEEN " +
        (write.mustBeCovered ? "0" : "-2147483648") +
        " AND 2147483647 RETURNING user_id, card_id, matricula, salt, n_password_hash, credit), "
        "t AS (INSERT INTO " +
        db_->table("transactions") +
        " (card_id, user_id, event, matricula, salt, n_password_hash, stored_at) SELECT "
        "card_id, user_id, $2::integer, matricula, salt, n_password_hash, " +
        std::string(write.stamped ? "now()" : "NULL") + " FROM s)";
    if (key != nullptr) {
        text += ", k AS (INSERT INTO " + keys +
                " (key, user_id, event, credit, stored_at) SELECT " + keyParam +
                "::text, user_id, $2::integer, credit, floor(extract(epoch FROM now())) FROM s)";
    }
    if (!write.mustBeCovered) {
        text += ", m AS (INSERT INTO " + db_->table("overdrawn") +
                " AS o (user_id, times, last_at, board) SELECT user_id, 1, now(), " + boardParam +
                "::text FROM s WHERE credit < 0 AND $2::integer < 0 ON CONFLICT (user_id) DO "
                "UPDATE SET times = o.times + 1, last_at = EXCLUDED.last_at, board = "
                "EXCLUDED.board)";
    }
    text += " SELECT credit FROM s";
    return pg::withConnection(*db_->writers, deadline, [&](pg::Connection& c) {
        // An online entry refused for want of credit is read again below; when a credit
        // bought meanwhile covers it after all, it is tried once more.
        for (int attempt = 0;; ++attempt) {
            AppendResult result;
            const pg::Bounds bounds(deadline);
            std::vector<pg::Result> done;
            try {
                done = c.atomically({bounds.step(), {name.c_str(), text, params}}, bounds.commitBy);
            } catch (const pg::UniqueViolation&) {
            }
            if (done.size() == 2 && PQntuples(done[1].get()) == 1) {
                result.status = AppendStatus::Stored;
                result.credit = pg::integer(done[1].get(), 0, 0);
                return result;
            }
            // Nothing was stored: a key already stored, an unknown user, or a credit that
            // would leave the range (or not cover an online entry), in that order.
            pg::Transaction tx(c, deadline);
            if (key != nullptr) {
                // A write, so that the commit waits for the standbys as the first one's
                // did: a repeat is answered 201 only once the event it stands for is as
                // durable as a new one.
                const pg::Result first =
                    tx.run("key_repeat",
                           "UPDATE " + keys +
                               " SET stored_at = stored_at WHERE key = $1::text "
                               "RETURNING user_id, event, credit",
                           {*key});
                if (PQntuples(first.get()) == 1) {
                    const bool same = pg::integer(first.get(), 0, 0) == userId &&
                                      pg::integer(first.get(), 0, 1) == value;
                    result.status = same ? AppendStatus::Repeated : AppendStatus::KeyReused;
                    result.credit = pg::integer(first.get(), 0, 2);
                    tx.commit();
                    return result;
                }
            }
            const pg::Result now =
                tx.run("credit", "SELECT credit FROM " + students + " WHERE user_id = $1::integer",
                       {user});
            if (PQntuples(now.get()) == 1) {
                result.credit = pg::integer(now.get(), 0, 0);
                result.status = AppendStatus::CreditOutOfRange;
                if (done.empty()) {
                    // The key was there, and gone by now (forgotten): try again.
                    throw StoreBusy("the key was forgotten meanwhile");
                }
                if (write.mustBeCovered) {
                    if (result.credit + value >= 0) {
                        if (attempt < 2) {
                            continue;
                        }
                        throw StoreBusy("the student's credit keeps changing");
                    }
                    result.status = AppendStatus::NotCovered;
                }
            }
            return result;
        }
    });
}

std::size_t PostgresStore::pruneKeys(std::int64_t cutoff, std::size_t batch) {
    const auto deadline = Clock::now() + db_->writeWait;
    return pg::withConnection(*db_->writers, deadline, [&](pg::Connection& c) {
        pg::Transaction tx(c, deadline);
        const std::string keys = db_->table("idempotency_keys");
        const pg::Result r = tx.run("prune",
                                    "DELETE FROM " + keys + " WHERE key IN (SELECT key FROM " +
                                        keys + " WHERE stored_at < $1::bigint LIMIT $2::bigint)",
                                    {pg::str(cutoff), pg::str(static_cast<std::int64_t>(batch))});
        const std::size_t forgotten = std::strtoull(PQcmdTuples(r.get()), nullptr, 10);
        tx.commit();
        return forgotten;
    });
}

void PostgresStore::storeHeadCount(std::int32_t v, const std::string& board,
                                   Clock::time_point arrived) {
    const auto deadline = arrived + db_->writeWait;
    pg::withConnection(*db_->writers, deadline, [&](pg::Connection& c) {
        const pg::Bounds bounds(deadline);
        // The board's latest report is the one of the highest number, whichever commits
        // first: two reports of one board through two servers keep the later.
        c.atomically({bounds.step(),
                      {"headcount",
                       "WITH h AS (INSERT INTO " + db_->table("headcounts") +
                           " (v, received_at, board) VALUES ($1::integer, now(), $2::text) "
                           "RETURNING seq) INSERT INTO " +
                           db_->table("headcount_boards") +
                           " AS b (board, seq) SELECT $2::text, seq FROM h ON CONFLICT (board) "
                           "DO UPDATE SET seq = EXCLUDED.seq WHERE b.seq < EXCLUDED.seq",
                       {pg::str(v), board}}},
                     bounds.commitBy);
        return 0;
    });
}

namespace {

constexpr const char* kEpoch = "floor(extract(epoch FROM h.received_at))::bigint";

HeadCount headCountAt(const PGresult* r, int row) {
    return HeadCount{static_cast<std::int32_t>(pg::integer(r, row, 0)), pg::integer(r, row, 1),
                     pg::text(r, row, 2)};
}

}  // namespace

// The latest report of each board, by name in byte order whatever the database's collation.
std::vector<HeadCount> PostgresStore::latestHeadCounts() {
    const auto deadline = Clock::now() + pg::kReadWait;
    return pg::withConnection(*db_->readers, deadline, [&](pg::Connection& c) {
        const pg::Result r =
            c.run("latest_headcounts", latestHeadCountsQuery(), {}, deadline + pg::kGrace);
        std::vector<HeadCount> counts;
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            counts.push_back(headCountAt(r.get(), i));
        }
        return counts;
    });
}

std::string PostgresStore::latestHeadCountsQuery() const {
    return std::string("SELECT h.v, ") + kEpoch + ", h.board FROM " +
           db_->table("headcount_boards") + " b JOIN " + db_->table("headcounts") +
           " h ON h.seq = b.seq ORDER BY b.board COLLATE \"C\"";
}

std::string PostgresStore::overdrawnQuery() const {
    return "SELECT o.user_id, s.matricula, s.credit, o.times, floor(extract(epoch FROM "
           "o.last_at))::bigint, o.board FROM " +
           db_->table("overdrawn") + " o JOIN " + db_->table("students") +
           " s USING (user_id) WHERE s.credit < 0 ORDER BY o.user_id";
}

std::vector<OverdrawnStudent> PostgresStore::overdrawnStudents() {
    const auto deadline = Clock::now() + pg::kReadWait;
    return pg::withConnection(*db_->readers, deadline, [&](pg::Connection& c) {
        const pg::Result r = c.run("overdrawn", overdrawnQuery(), {}, deadline + pg::kGrace);
        std::vector<OverdrawnStudent> students;
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            students.push_back({static_cast<std::int32_t>(pg::integer(r.get(), i, 0)),
                                pg::text(r.get(), i, 1), pg::integer(r.get(), i, 2),
                                pg::integer(r.get(), i, 3), pg::integer(r.get(), i, 4),
                                pg::text(r.get(), i, 5)});
        }
        return students;
    });
}

Activity PostgresStore::activity(std::int64_t from, std::int64_t to, std::int64_t slotSeconds) {
    const auto deadline = Clock::now() + pg::kReadWait;
    return pg::withConnection(*db_->readers, deadline, [&](pg::Connection& c) {
        // One snapshot: the figures are of one moment.
        pg::Transaction tx(c, deadline, "READ ONLY");
        Activity result;
        result.mealsPerSlot.assign(
            static_cast<std::size_t>((to - from + slotSeconds - 1) / slotSeconds), 0);
        const std::string fromText = pg::str(from);
        const std::string toText = pg::str(to);
        const std::string headcounts = db_->table("headcounts");
        {
            const pg::Result r =
                tx.run("meals",
                       "SELECT (floor(extract(epoch FROM stored_at))::bigint - $3::bigint) / "
                       "$4::bigint, COUNT(*) FROM " +
                           db_->table("transactions") +
                           " WHERE stored_at >= to_timestamp($1::bigint) AND stored_at < "
                           "to_timestamp($2::bigint) AND event = -1 GROUP BY 1",
                       {fromText, toText, fromText, pg::str(slotSeconds)});
            for (int i = 0; i < PQntuples(r.get()); ++i) {
                const std::int64_t slot = pg::integer(r.get(), i, 0);
                if (slot >= 0 && slot < static_cast<std::int64_t>(result.mealsPerSlot.size())) {
                    result.mealsPerSlot[static_cast<std::size_t>(slot)] +=
                        pg::integer(r.get(), i, 1);
                }
            }
        }
        {
            const pg::Result r =
                tx.run("headcounts_between",
                       std::string("SELECT h.v, ") + kEpoch + ", h.board FROM " + headcounts +
                           " h WHERE h.received_at >= to_timestamp($1::bigint) "
                           "AND h.received_at < to_timestamp($2::bigint) "
                           "ORDER BY h.seq",
                       {fromText, toText});
            for (int i = 0; i < PQntuples(r.get()); ++i) {
                result.headCounts.push_back(headCountAt(r.get(), i));
            }
        }
        {
            const pg::Result r = tx.run(
                "headcounts_before",
                std::string("SELECT h.v, ") + kEpoch + ", h.board FROM " +
                    db_->table("headcount_boards") +
                    " b CROSS JOIN LATERAL (SELECT v, received_at, board FROM " + headcounts +
                    " WHERE board = b.board AND received_at < to_timestamp($1::bigint) "
                    "ORDER BY received_at DESC, seq DESC LIMIT 1) h ORDER BY b.board COLLATE "
                    "\"C\"",
                {fromText});
            for (int i = 0; i < PQntuples(r.get()); ++i) {
                result.headCountsBefore.push_back(headCountAt(r.get(), i));
            }
        }
        {
            const pg::Result r = tx.run("latest_headcounts", latestHeadCountsQuery(), {});
            for (int i = 0; i < PQntuples(r.get()); ++i) {
                result.latestHeadCounts.push_back(headCountAt(r.get(), i));
            }
        }
        {
            const pg::Result r = tx.run("overdrawn", overdrawnQuery(), {});
            result.overdrawnStudents = PQntuples(r.get());
        }
        {
            const pg::Result r =
                tx.run("latest_arrival",
                       "SELECT floor(extract(epoch FROM MAX(stored_at)))::bigint FROM " +
                           db_->table("transactions") + " WHERE stored_at IS NOT NULL",
                       {});
            if (!pg::isNull(r.get(), 0, 0)) {
                result.latestEventAt = pg::integer(r.get(), 0, 0);
            }
        }
        return result;
    });
}

std::unique_ptr<RosterStream> PostgresStore::openRoster() {
    return std::make_unique<PostgresRosterStream>(db_);
}

namespace {

// A row as a token's check takes it: its number, the transaction that inserted it, its
// arrival to the microsecond (none for imported rows) and its fields. `r` is the row.
constexpr const char* kRowDigest =
    "r.seq || ':' || r.xid || ':' || COALESCE(floor(extract(epoch FROM r.stored_at) * "
    "1000000)::text, '') || ':' || r.user_id || ':' || r.event || ':' || r.card_id || ':' || "
    "r.matricula || ':' || r.salt || ':' || r.n_password_hash";

// The opening of a roster with its cursor: one statement, so one snapshot, whose text it
// gives with the identity, where the data lives (the cluster's identifier, its current
// timeline and the table's oid, which a restored backup, a failover and a point-in-time
// recovery each change; none on a standby, which issues no cursors) and the roster's last
// row. $1 is the table.
std::string cursorColumns() {
    return std::string(
               "SELECT pg_current_snapshot()::text, (SELECT value FROM S.meta WHERE key = "
               "'identity'), CASE WHEN NOT pg_is_in_recovery() THEN (SELECT system_identifier "
               "FROM pg_control_system())::text || ':' || "
               "substr(pg_walfile_name(pg_current_wal_lsn()), 1, 8) || ':' || "
               "$1::regclass::oid::text END, (SELECT ") +
           kRowDigest + " FROM S.transactions r ORDER BY r.seq DESC LIMIT 1)";
}

// With a token's snapshot $2 and its last row $3: whether the database has reached that
// snapshot, and that row as it is now.
std::string cursorSinceColumns() {
    return cursorColumns() +
           ", pg_snapshot_xmax($2::pg_snapshot) <= pg_snapshot_xmax(pg_current_snapshot()), "
           "(SELECT " +
           kRowDigest + " FROM S.transactions r WHERE r.seq = $3::bigint)";
}

// The range of sequence numbers of the rows committed since the snapshot $2 (xmin $1),
// found through the index of the inserting transactions (each of them is xmin or later).
// OFFSET 0 keeps the planner from taking MIN and MAX from the sequence's index instead,
// which would walk the whole history to the first row after the cursor; sequential scans
// are turned off for the same reason, since without statistics (a table just loaded) the
// planner takes a third of the history for the rows after any cursor.
constexpr const char* kCursorDelta =
    "SELECT MIN(d.seq), MAX(d.seq) FROM (SELECT seq FROM S.transactions WHERE xid >= $1::xid8 "
    "AND NOT pg_visible_in_snapshot(xid, $2::pg_snapshot) OFFSET 0) d";

}  // namespace

// The position is a snapshot, not a sequence number: sequence numbers are handed out at
// insertion, so a row may commit after rows numbered later than it. A roster holds the
// rows whose transaction is visible in its snapshot S; the rows after S are those visible
// now whose transaction S did not see, so a late commit with an earlier number comes with
// the delta that follows its commit, and with that one only.
//
// A copy of the data directory put back (a cold copy, a volume snapshot) has the same
// cluster, timeline and table, and hands out again the transaction ids and numbers of the
// rows it lacks: the token also names the roster's last row, and its check takes that row
// whole, so a copy that lacks the row, or gave its number to another, starts the board
// over. A token of an empty roster goes on with every row now visible: all came after it.
// What the token names is compared first, in a statement that reads a row or two; only a
// token that passes runs the query of the rows since.
CursorRoster PostgresStore::openRosterWithCursor(const std::string* after) {
    const std::optional<CursorToken> token = after ? parseCursor(*after) : std::nullopt;
    const std::optional<PgPosition> since = token ? parsePgPosition(token->position) : std::nullopt;
    const std::string table = db_->table("transactions");
    const auto deadline = Clock::now() + pg::kReadWait;
    return pg::withConnection(*db_->readers, deadline, [&](pg::Connection& c) {
        std::optional<pg::Transaction> tx;
        pg::Result r;
        if (since) {
            // The rows since are read in the snapshot of the opening.
            tx.emplace(c, deadline, "READ ONLY");
            r = tx->run("cursor_since", pg::withSchema(cursorSinceColumns(), db_->schema),
                        {table, pgSnapshotText(since->snapshot), pg::str(since->lastRow)});
        } else {
            r = c.run("cursor_whole", pg::withSchema(cursorColumns(), db_->schema), {table},
                      deadline + pg::kGrace);
        }
        const std::string snapshot = pg::text(r.get(), 0, 0);
        const std::string identity = pg::text(r.get(), 0, 1);
        const bool placed = !pg::isNull(r.get(), 0, 2);
        const std::uint32_t where = fnv1a(pg::text(r.get(), 0, 2));
        const std::string lastRow = pg::isNull(r.get(), 0, 3) ? "" : pg::text(r.get(), 0, 3);
        const std::int64_t last = std::strtoll(lastRow.c_str(), nullptr, 10);
        CursorRoster roster;
        const std::optional<PgSnapshot> now = parsePgSnapshot(snapshot);
        if (placed && now) {
            roster.cursor =
                formatCursor({identity, fnv1a(lastRow, where),
                              pgPositionText({static_cast<std::uint64_t>(last), *now})});
        }
        roster.after =
            since && placed && token->identity == identity &&
            std::strcmp(PQgetvalue(r.get(), 0, 4), "t") == 0 &&
            (since->lastRow == 0 || !pg::isNull(r.get(), 0, 5)) &&
            token->check == fnv1a(pg::isNull(r.get(), 0, 5) ? "" : pg::text(r.get(), 0, 5), where);
        if (!roster.after || since->lastRow == 0) {
            roster.stream = std::make_unique<PostgresRosterStream>(db_, snapshot, "", 0, last);
            return roster;
        }
        c.simple("SET LOCAL enable_seqscan = off", tx->deadline());
        const pg::Result delta =
            tx->run("cursor_delta", pg::withSchema(kCursorDelta, db_->schema),
                    {std::to_string(since->snapshot.xmin), pgSnapshotText(since->snapshot)});
        if (pg::isNull(delta.get(), 0, 0)) {
            roster.stream = std::make_unique<PostgresRosterStream>(db_, snapshot, "", 0, 0);
        } else {
            roster.stream = std::make_unique<PostgresRosterStream>(
                db_, snapshot, pgSnapshotText(since->snapshot), pg::integer(delta.get(), 0, 0) - 1,
                pg::integer(delta.get(), 0, 1));
        }
        return roster;
    });
}

}  // namespace ru
