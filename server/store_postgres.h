#ifndef RU_SERVER_STORE_POSTGRES_H
#define RU_SERVER_STORE_POSTGRES_H

#include <memory>
#include <string>

#include "store.h"

namespace ru {

namespace pg {
struct Database;
}

// The store in a schema of a PostgreSQL database, reached through a libpq URI
// (postgresql://user@host1:5432,host2:5432/db?target_session_attrs=read-write; with
// several hosts, libpq tries each in turn and, unless the URI says otherwise, takes the
// one that accepts writes, so that a promoted standby is found after a failover).
//
// Tables, in the schema (see README, "PostgreSQL"): transactions (append-only; each row
// with the id of the transaction that inserted it, xid8, for positions that no late
// commit can skip), students (one row per user: its latest card, enrolment, salt and
// hash and its credit, kept by the same transaction that appends its rows), headcounts,
// idempotency_keys, and meta (the layout version and the identity). The schema is made,
// or upgraded, once under an advisory lock when several servers start together.
//
// Connections: a pool for writes (StoreOptions::writeConnections) and a small one for
// reads, each connection made when first needed and made anew after a failure, with
// libpq's connect_timeout, TCP keep-alives and a user time-out, and every wait for an
// answer bounded by the request's deadline. Each session sets synchronous_commit to "on"
// unless the database already asks for "remote_apply": a commit returns once it is on
// disk, and on the synchronous standbys when there are any. A commit whose wait for the
// standbys was cut short (the warning PostgreSQL then gives) is not taken as durable.
//
// An upload locks its student's row only, so uploads of different students commit in
// parallel, and those of one student, from any number of servers, one after the other
// against the committed credit. The roster stream reads pages by sequence number inside
// one snapshot (pg_current_snapshot), holding no connection between pieces.
class PostgresStore : public Store {
  public:
    // Connects, and creates or upgrades the tables. Throws StoreError (StoreUnavailable
    // when the database cannot be reached).
    PostgresStore(const std::string& uri, const StoreOptions& options);
    ~PostgresStore() override;

    std::string name() const override;
    std::string identity() override;
    ImportSummary importRoster(std::istream& in,
                               const std::function<bool()>& cancelled = {}) override;
    ImportSummary appendRows(std::istream& in,
                             const std::function<bool()>& cancelled = {}) override;
    std::size_t pruneKeys(std::int64_t cutoff, std::size_t batch) override;
    void recordHeadCount(std::int32_t v, Clock::time_point arrived = Clock::now()) override;
    std::optional<HeadCount> latestHeadCount() override;
    Activity activity(std::int64_t from, std::int64_t to, std::int64_t slotSeconds) override;
    std::unique_ptr<RosterStream> openRoster() override;
    // The position is a snapshot (pg_current_snapshot): see store_postgres.cpp.
    CursorRoster openRosterWithCursor(const std::string* after) override;

  protected:
    AppendResult append(std::int32_t userId, std::int32_t value, const std::string* key,
                        Clock::time_point arrived, bool stamped) override;

  private:
    ImportSummary load(std::istream& in, const std::function<bool()>& cancelled, bool intoEmpty);

    // Shared with the roster streams, which may outlive the store.
    std::shared_ptr<pg::Database> db_;
};

}  // namespace ru

#endif
