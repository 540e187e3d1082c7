#ifndef CATRACA_TESTS_PG_CLUSTER_H
#define CATRACA_TESTS_PG_CLUSTER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/loopback.h"

namespace testsupport {

// A throwaway PostgreSQL cluster: initdb into a fresh temporary directory, the server
// listening on a unix socket in that directory only (no TCP port), the superuser
// "postgres" admitted without a password. Run as the `postgres` system user when the
// tests run as root (initdb refuses root). The server is a child of this process that
// dies with it (a crashed test leaves no server behind); the destructor stops it and
// removes the directory. The binaries come from $RU_TEST_PG_BIN, by default
// /usr/lib/postgresql/15/bin: when they are missing the constructor throws, so a test
// that needs a cluster fails rather than skips (scripts/deps installs them).
class PgCluster {
  public:
    // `settings`: more "name=value" server settings, after the defaults (fsync off: the
    // tests survive no power cut, and the disk is shared).
    explicit PgCluster(std::vector<std::string> settings = {});
    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    // A libpq URI of database `dbname` as `user`.
    std::string uri(const std::string& dbname = "postgres",
                    const std::string& user = "postgres") const;
    const std::string& socketDir() const { return dir_.path(); }
    // The folder of PostgreSQL's programs (initdb, pg_dump, ...).
    const std::string& binDir() const { return bin_; }
    int port() const { return port_; }

    // Stops the server (fast shutdown: sessions are cut) / starts it again on the same
    // socket, waiting until it takes connections.
    void stop();
    void start();
    // Stops every process of the server (SIGSTOP: a paused machine, a storage stall) /
    // lets them go on: connections stay open, nothing is answered meanwhile.
    void pause();
    void resume();
    // Stops the server and starts it as a recovery to the end of its WAL does (a
    // point-in-time recovery, a standby promoted): the same data on a new timeline.
    void restartOnNewTimeline();

    // Runs `sql` (one or more statements) as `user` on `dbname`: the first column of the
    // first row of the last statement, "" when it has none. Throws std::runtime_error.
    std::string query(const std::string& sql, const std::string& dbname = "postgres",
                      const std::string& user = "postgres") const;

  private:
    TempDir dir_;
    std::string bin_;
    std::vector<std::string> settings_;
    int port_ = 5432;
    pid_t pid_ = -1;
};

// One cluster for the whole test program, started at its first use and stopped at exit.
PgCluster& sharedCluster();

}  // namespace testsupport

#endif
