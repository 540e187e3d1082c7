#ifndef RU_SERVER_TESTS_SERVER_FIXTURE_H
#define RU_SERVER_TESTS_SERVER_FIXTURE_H

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http_server.h"
#include "store.h"
#include "store_sqlite.h"
#include "support/loopback.h"
#include "support/process.h"

namespace rutest {

// The tables of a database made by an ru-server of layout version 1, without rows and
// without its user_version: tests of the upgrades add both.
constexpr const char* kLayout1Schema = R"sql(
CREATE TABLE transactions (
    seq INTEGER PRIMARY KEY,
    card_id TEXT NOT NULL,
    user_id INTEGER NOT NULL,
    event INTEGER NOT NULL,
    matricula TEXT NOT NULL,
    salt TEXT NOT NULL,
    n_password_hash TEXT NOT NULL
);
CREATE INDEX transactions_by_user ON transactions (user_id, event);
CREATE TABLE headcounts (
    seq INTEGER PRIMARY KEY,
    v INTEGER NOT NULL,
    received_at TEXT NOT NULL
);
PRAGMA application_id = 1381331830;
)sql";

using testsupport::TempDir;

// Writes `text` to the file at `path`, replacing it.
void writeFile(const std::string& path, const std::string& text);

// A roster element with the six keys.
nlohmann::json row(const std::string& cardID, long long userId, long long event,
                   const std::string& matricula = "2020000001", const std::string& salt = "s1",
                   const std::string& hash = "h1");

// A Store (an SQLite file, unless given) and ru-server's HTTP transport at 127.0.0.1 and an
// ephemeral port, running on a thread of its own. The destructor stops and joins it, then
// closes the database.
class RunningServer {
  public:
    // `settings` as given, but host and port are always 127.0.0.1 and a free port.
    explicit RunningServer(const std::string& dbPath, ru::ServerSettings settings = {});
    // The same over a store of any back end.
    explicit RunningServer(std::unique_ptr<ru::Store> store, ru::ServerSettings settings = {});
    ~RunningServer();
    RunningServer(const RunningServer&) = delete;
    RunningServer& operator=(const RunningServer&) = delete;

    ru::Store& store() { return *store_; }
    int port() const { return port_; }
    // Asks the server to stop, as a stop signal does, without waiting for it.
    void stop() { server_->stop(); }
    // A client of this server; reads wait as long as the server may take.
    httplib::Client client() const;

  private:
    std::unique_ptr<ru::Store> store_;
    std::unique_ptr<ru::HttpServer> server_;
    int port_ = -1;
    std::thread thread_;
};

// Everything a client can see of the server's state: the roster and the head-count
// body, for checking that a refused request changed nothing.
std::string observableState(httplib::Client& client);

// The whole text of a roster stream read in pieces of `pieceBytes`, and of a store's roster.
std::string readAll(ru::RosterStream& stream, std::size_t pieceBytes);
std::string rosterText(ru::Store& store);
// importRoster and appendRows of the rows of a JSON array.
void importRows(ru::Store& store, const nlohmann::json& rows);
ru::ImportSummary appendRows(ru::Store& store, const nlohmann::json& rows);

// GET /transaction, parsed; fails the test (and returns null) on anything but 200 JSON.
nlohmann::json fetchRoster(httplib::Client& client);

// The sum of the events of `userId` in a parsed roster.
long long creditOf(const nlohmann::json& roster, long long userId);

// A ru-server program started from `binary` with `args`, and the port its first line
// reported (-1, with a test failure, when that line did not come).
struct StartedProgram {
    std::unique_ptr<testsupport::ChildProcess> process;
    int port = -1;
};
StartedProgram startProgram(const std::string& binary, const std::vector<std::string>& args);

}  // namespace rutest

#endif
