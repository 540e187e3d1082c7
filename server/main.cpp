// ru-server: serves the restaurant's roster of credit transactions over HTTP, kept in an
// SQLite file or a PostgreSQL database. See --help.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "access.h"
#include "credit.h"
#include "http_server.h"
#include "key_pruner.h"
#include "log_writer.h"
#include "overdrawn_command.h"
#include "roster.h"
#include "stoppable_input.h"
#include "store.h"

namespace {

constexpr const char* kUsage = R"(Usage: ru-server [OPTION]...
       ru-server credit --db PATH (USER_ID AMOUNT | --file FILE)
       ru-server overdrawn --db DB [--db-schema NAME]
Serves the restaurant's roster of credit transactions over HTTP, kept in an SQLite file
or a PostgreSQL database. "ru-server credit" adds credit (below); "ru-server overdrawn"
lists the students that uploads left below zero (see ru-server overdrawn --help).

  --db PATH       the SQLite database file, created when absent (default: ru-server.db)
  --db URI        a PostgreSQL database instead, as a libpq URI: postgresql://USER@HOST/DB,
                  also with several hosts (postgresql://USER@H1,H2/DB?target_session_
                  attrs=read-write) so that a promoted standby is found after a failover;
                  the password from ~/.pgpass or PGPASSWORD rather than the URI
  --db-schema NAME  with PostgreSQL, the schema of ru-server's tables, created when
                  absent (default: ru)
  --import FILE   load the roster in FILE, a JSON array of transactions, into the database
                  before serving; all or nothing, and only into a database that holds no
                  transaction yet, since importing a roster twice would count every credit
                  twice
  --host HOST     address to listen on (default: 127.0.0.1, reachable from this machine
                  only; 0.0.0.0 or :: for every interface)
  --port PORT     TCP port to listen on (default: 8080; 0 picks a free port)
  --allow CIDR    let clients of this network in, e.g. 192.168.10.0/24, fd00::/64 or a
                  single address; repeatable. A connection from anyone else is closed as
                  soon as it is made, unanswered (default: 127.0.0.0/8 and ::1, this
                  machine only)
  --allow-viewers CIDR  let clients of this network in as viewers of the occupancy page
                  only (the page, its data and GET /contador; never student data);
                  repeatable (default: the --allow networks)
  --allow-metrics CIDR  let clients of this network in to read GET /metrics (the
                  Prometheus exposition), and only that; being a board or a viewer does
                  not let a client read it. Repeatable (default: 127.0.0.0/8 and ::1,
                  this machine only)
  --cert FILE     serve HTTPS only (TLS 1.2 and later) with the certificate chain in FILE
  --key FILE        (PEM) and its private key in FILE; both or neither
  --client-ca FILE  with HTTPS: a board is a client with a certificate of the authority in
                  FILE (PEM), not revoked, whose common name is the board's name in the
                  log; any other client of the --allow and --allow-viewers networks is at
                  most a viewer. Without it, the clients of the --allow networks are boards
  --crl FILE      the revocation list (PEM) of the --client-ca authority: a revoked board
                  is refused as any stranger is. Read again, without a restart, within a
                  second of a change of FILE
  --server-name NAME  answer only requests whose Host is NAME (a host name or address);
                  repeatable. Others get 421, so that a page of another site cannot reach
                  this server through a browser (default: any name)
  --timeout SECS  close a connection that sits idle, or takes longer to send a request's
                  header or body, or to take an answer, than SECS seconds each (default: 5)
  --max-connections N  connections open at once; more are refused (default: 2048)
  --max-per-client N   connections open at once from one address (default: 64)
  --max-per-network N  connections open at once from one IPv6 /64 network (default: 256)
  --max-viewer-connections N  connections open at once of clients that are no board
                  (viewers); the rest of --max-connections stays the boards' (default:
                  a quarter of --max-connections)
  --opening-hours LIST  the restaurant's opening hours in local time, e.g.
                  10:30-14:00,17:00-20:30 (the default); the occupancy page marks
                  turnstiles silent for 10 minutes within them
  --no-idempotency-keys  ignore the Idempotency-Key field of event uploads, storing a
                  repeat again. By default the field is honoured: a key is stored with its
                  event, and an upload whose key is already stored stores nothing and
                  answers 201 as the first time (422 when its user or event differ); a
                  malformed key is refused with 400. A board is charged once per event
                  only when it sends keys too (catraca --idempotency-keys)
  --idempotency-keys  the default; accepted for older configurations
  --idempotency-days DAYS  forget keys after DAYS days (default: 30; 1 to 3650); an
                  upload repeated later than that is stored again
  --roster-cursors  offer roster cursors: every roster carries the header Roster-Cursor,
                  and GET /transaction?after=<cursor> answers only the rows committed
                  since (with Roster-After), or the whole roster for a cursor it does not
                  know; catraca --refresh and --sync then download only what changed
  --online        answer the boards' online entries (catraca --online): POST
                  /entrada/<user_id> stores the meal only if the student's committed
                  credit covers it (201), or answers 409 with that credit
  --no-serve      stop after opening the database and importing, without listening
  --help          show this text and exit
  --version       show the version and exit

Routes of a board: GET /transaction (the roster), POST /transaction/<user_id>
{"event_id": -1} (an admission; any other event is refused with 422), POST /contador
{"v": N} (the board's head-count), and with --online POST /entrada/<user_id>. A board
names itself with Catraca-Board: NAME. Routes of a viewer (and of a board): GET
/contador (the restaurant's head-count: the sum of each board's latest; {"v":0} before
any), GET / (the occupancy page, for a browser) and GET /painel (its data, JSON). Route
of a metrics reader: GET /metrics (counters in the Prometheus text format). A client
without the route's role gets 403. POST bodies must be sent as application/json.

  ru-server credit --db PATH USER_ID AMOUNT
  ru-server credit --db PATH --file FILE
Adds credit on this machine, straight into the database (the server may be running):
AMOUNT meals to the student USER_ID, who must be in the database already, or every row
of FILE, a JSON array in the roster's form (new students included), all or nothing.
Each addition is a row of the roster, which boards see at their next download. With
PostgreSQL, PATH is the URI, and --db-schema NAME goes with it.

Once listening, the first line on standard output is "ru-server listening on HOST:PORT",
then one line per request: method, target, status, and board=NAME for a board known by
its certificate. A reader too slow for the log never holds up a request: lines it cannot
take are dropped and counted in a later line. SIGINT, SIGTERM or SIGHUP stops it cleanly,
also during an import (which then imports nothing): it stops accepting, closes idle
connections and answers the requests in progress.
Exit status: 0 after a clean stop or credit added, 1 when the database, the import, the
certificates or listening fails or no credit was added, 2 for bad options.
)";

// The write lanes (and write connections) with PostgreSQL; SQLite keeps the transport's
// two, since it commits one write at a time.
constexpr std::size_t kPostgresWriteLanes = 8;

struct Options {
    std::string db = "ru-server.db";
    std::optional<std::string> dbSchema;
    std::optional<std::string> importFile;
    std::string host = "127.0.0.1";
    int port = 8080;
    std::vector<ru::Network> allow;
    std::vector<ru::Network> allowViewers;
    std::vector<ru::Network> allowMetrics;
    std::string certFile;
    std::string keyFile;
    std::string clientCaFile;
    std::string crlFile;
    std::vector<std::string> serverNames;
    int timeoutSeconds = 5;
    std::size_t maxConnections = 2048;
    std::size_t maxPerClient = 64;
    std::size_t maxPerNetwork = 256;
    std::optional<std::size_t> maxViewerConnections;
    ru::OpeningHours openingHours;
    bool serve = true;
    bool help = false;
    bool version = false;
    bool idempotencyKeys = true;
    std::optional<int> idempotencyDays;
    bool rosterCursors = false;
    bool online = false;
};

struct UsageError {
    std::string message;
};

std::optional<long long> parseNumber(const std::string& text, long long min, long long max) {
    long long number = -1;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, number);
    if (ec != std::errc() || ptr != end || number < min || number > max) {
        return std::nullopt;
    }
    return number;
}

// A host name (letters, digits, '-' and '.') or an IP address, an IPv6 one with or
// without brackets: what a Host field may name.
bool isServerName(const std::string& text) {
    const std::string bare = text.size() > 2 && text.front() == '[' && text.back() == ']'
                                 ? text.substr(1, text.size() - 2)
                                 : text;
    boost::system::error_code ec;
    boost::asio::ip::make_address(bare, ec);
    if (!ec) {
        return bare.find('%') == std::string::npos;
    }
    return !text.empty() && text.size() <= 253 && text.front() != '.' && text.front() != '-' &&
           text.find("..") == std::string::npos &&
           text.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") ==
               std::string::npos;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> inlineValue;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = arg.substr(eq + 1);
            arg.resize(eq);
        }
        const auto value = [&]() -> std::string {
            if (inlineValue) {
                return *inlineValue;
            }
            if (i + 1 >= argc) {
                throw UsageError{"option " + arg + " needs a value"};
            }
            return argv[++i];
        };
        const auto nonEmpty = [&](std::string v) {
            if (v.empty()) {
                throw UsageError{"option " + arg + " needs a non-empty value"};
            }
            return v;
        };
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--no-serve") {
            options.serve = false;
        } else if (arg == "--online") {
            options.online = true;
        } else if (arg == "--idempotency-keys" || arg == "--no-idempotency-keys") {
            options.idempotencyKeys = arg == "--idempotency-keys";
        } else if (arg == "--roster-cursors") {
            options.rosterCursors = true;
        } else if (arg == "--idempotency-days") {
            const std::string text = value();
            const auto days = parseNumber(text, 1, 3650);
            if (!days) {
                throw UsageError{"--idempotency-days wants days from 1 to 3650, not '" + text +
                                 "'"};
            }
            options.idempotencyDays = static_cast<int>(*days);
        } else if (arg == "--db") {
            options.db = nonEmpty(value());
        } else if (arg == "--db-schema") {
            options.dbSchema = nonEmpty(value());
        } else if (arg == "--import") {
            options.importFile = nonEmpty(value());
        } else if (arg == "--host") {
            options.host = nonEmpty(value());
        } else if (arg == "--port") {
            const std::string text = value();
            const auto port = parseNumber(text, 0, 65535);
            if (!port) {
                throw UsageError{"--port wants a number from 0 to 65535, not '" + text + "'"};
            }
            options.port = static_cast<int>(*port);
        } else if (arg == "--allow") {
            const std::string text = value();
            const auto network = ru::parseNetwork(text);
            if (!network) {
                throw UsageError{
                    "--allow wants a network such as 192.168.0.0/24 or fd00::/64 (IPv4 ones "
                    "written as IPv4), not '" +
                    text + "'"};
            }
            options.allow.push_back(*network);
        } else if (arg == "--allow-viewers") {
            const std::string text = value();
            const auto network = ru::parseNetwork(text);
            if (!network) {
                throw UsageError{
                    "--allow-viewers wants a network such as 192.168.0.0/16 or fd00::/48 (IPv4 "
                    "ones written as IPv4), not '" +
                    text + "'"};
            }
            options.allowViewers.push_back(*network);
        } else if (arg == "--allow-metrics") {
            const std::string text = value();
            const auto network = ru::parseNetwork(text);
            if (!network) {
                throw UsageError{
                    "--allow-metrics wants a network such as 192.168.10.5 or fd00::/64 (IPv4 "
                    "ones written as IPv4), not '" +
                    text + "'"};
            }
            options.allowMetrics.push_back(*network);
        } else if (arg == "--client-ca") {
            options.clientCaFile = nonEmpty(value());
        } else if (arg == "--crl") {
            options.crlFile = nonEmpty(value());
        } else if (arg == "--server-name") {
            const std::string text = value();
            if (!isServerName(text)) {
                throw UsageError{
                    "--server-name wants a host name or an address, such as ru-server.lan or "
                    "192.168.10.2, not '" +
                    text + "'"};
            }
            options.serverNames.push_back(text);
        } else if (arg == "--cert") {
            options.certFile = nonEmpty(value());
        } else if (arg == "--key") {
            options.keyFile = nonEmpty(value());
        } else if (arg == "--timeout") {
            const std::string text = value();
            const auto seconds = parseNumber(text, 1, 3600);
            if (!seconds) {
                throw UsageError{"--timeout wants seconds from 1 to 3600, not '" + text + "'"};
            }
            options.timeoutSeconds = static_cast<int>(*seconds);
        } else if (arg == "--max-connections" || arg == "--max-per-client" ||
                   arg == "--max-per-network" || arg == "--max-viewer-connections") {
            const std::string text = value();
            const auto count = parseNumber(text, 1, 1000000);
            if (!count) {
                throw UsageError{arg + " wants a number from 1 to 1000000, not '" + text + "'"};
            }
            (arg == "--max-connections"   ? options.maxConnections
             : arg == "--max-per-client"  ? options.maxPerClient
             : arg == "--max-per-network" ? options.maxPerNetwork
                                          : options.maxViewerConnections.emplace()) =
                static_cast<std::size_t>(*count);
        } else if (arg == "--opening-hours") {
            const std::string text = value();
            const auto hours = ru::OpeningHours::parse(text);
            if (!hours) {
                throw UsageError{
                    "--opening-hours wants periods such as 10:30-14:00,17:00-20:30, not '" + text +
                    "'"};
            }
            options.openingHours = *hours;
        } else {
            throw UsageError{"unknown argument '" + std::string(argv[i]) + "'"};
        }
        if (inlineValue &&
            (arg == "--help" || arg == "-h" || arg == "--version" || arg == "--no-serve" ||
             arg == "--idempotency-keys" || arg == "--no-idempotency-keys" ||
             arg == "--roster-cursors" || arg == "--online")) {
            throw UsageError{"option " + arg + " takes no value"};
        }
    }
    if (options.certFile.empty() != options.keyFile.empty()) {
        throw UsageError{"--cert and --key go together"};
    }
    if (!options.clientCaFile.empty() && options.certFile.empty()) {
        throw UsageError{"--client-ca needs HTTPS: --cert and --key"};
    }
    if (!options.crlFile.empty() && options.clientCaFile.empty()) {
        throw UsageError{"--crl goes with --client-ca"};
    }
    if (options.dbSchema && !ru::isPostgresUri(options.db)) {
        throw UsageError{"--db-schema needs a PostgreSQL database (--db postgresql://...)"};
    }
    if (options.idempotencyDays && !options.idempotencyKeys) {
        throw UsageError{"--idempotency-days has no use with --no-idempotency-keys"};
    }
    return options;
}

// Turns SIGINT, SIGTERM and SIGHUP into a request to stop. Construct it before starting
// any thread: it blocks the three signals in the calling thread, so every thread started
// later inherits the mask, and waits for them on a thread of its own. Once a signal has
// come, requested() is true, stopFd() is readable for good (an import waiting on its input
// wakes up), and the server given to stopServer(), now or later, is stopped.
class SignalWatcher {
  public:
    SignalWatcher() {
        if (pipe2(stopPipe_, O_CLOEXEC) != 0) {
            throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
        }
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        thread_ = std::thread([this] { run(); });
    }
    ~SignalWatcher() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
            server_ = nullptr;
        }
        // Wakes the thread if it is still in sigwait; the signal is blocked everywhere.
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
        close(stopPipe_[0]);
        close(stopPipe_[1]);
    }
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    bool requested() const { return requested_; }
    int stopFd() const { return stopPipe_[0]; }

    // `server` must stay valid until the watcher goes or stopServer(nullptr) is called.
    void stopServer(ru::HttpServer* server) {
        std::lock_guard<std::mutex> lock(mutex_);
        server_ = server;
        if (requested_ && server_ != nullptr) {
            server_->stop();
        }
    }

  private:
    void run() {
        int signal = 0;
        sigwait(&signals_, &signal);
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) {
            return;
        }
        requested_ = true;
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(stopPipe_[1], &byte, 1);
        if (server_ != nullptr) {
            server_->stop();
        }
    }

    sigset_t signals_;
    int stopPipe_[2] = {-1, -1};
    std::atomic<bool> requested_{false};
    std::mutex mutex_;
    bool finished_ = false;
    ru::HttpServer* server_ = nullptr;
    std::thread thread_;
};

// A thousand open connections need a thousand descriptors: the soft limit (often 1024)
// is raised to the hard one.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string hostPort(const std::string& host, int port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

int fail(const std::string& message) {
    std::cerr << "ru-server: " << message << std::endl;
    return 1;
}

int serve(const Options& options) {
    // A reader of the log that goes away must not take the server down with it.
    signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    SignalWatcher signals;

    ru::ServerSettings settings;
    settings.host = options.host;
    settings.port = static_cast<unsigned short>(options.port);
    if (!options.allow.empty()) {
        settings.allow = ru::AllowList(options.allow);
    }
    if (!options.allowViewers.empty()) {
        settings.viewers = ru::AllowList(options.allowViewers);
    }
    settings.metricsReaders = options.allowMetrics.empty() ? ru::AllowList::loopback()
                                                           : ru::AllowList(options.allowMetrics);
    settings.certFile = options.certFile;
    settings.keyFile = options.keyFile;
    settings.clientCaFile = options.clientCaFile;
    settings.crlFile = options.crlFile;
    settings.serverNames = options.serverNames;
    // Bound before the store: opening it may upgrade an older database for good, which a
    // start that then cannot listen must not have done. Listening waits for the server.
    std::optional<ru::Listener> listener;
    if (options.serve) {
        try {
            listener.emplace(settings);
        } catch (const ru::ServerError& e) {
            return fail(e.what());
        }
    }

    ru::StoreOptions storeOptions;
    const bool postgres = ru::isPostgresUri(options.db);
    storeOptions.schema = options.dbSchema.value_or("ru");
    // Uploads of different students commit in parallel on PostgreSQL: as many write
    // lanes as connections (see bench/RESULTS.md).
    storeOptions.writeConnections = kPostgresWriteLanes;
    const std::unique_ptr<ru::Store> opened = ru::openStore(options.db, storeOptions);
    ru::Store& store = *opened;
    std::optional<ru::ImportSummary> imported;
    if (options.importFile) {
        const std::string& file = *options.importFile;
        if (std::filesystem::is_directory(file)) {
            return fail("cannot read " + file + ": it is a directory");
        }
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return fail("cannot read " + file + ": " + std::strerror(errno));
        }
        ru::StoppableInput buffer(fd, signals.stopFd());
        std::istream in(&buffer);
        try {
            imported = store.importRoster(in, [&signals] { return signals.requested(); });
        } catch (const ru::RosterError& e) {
            close(fd);
            if (signals.requested()) {
                return fail("import interrupted; nothing imported");
            }
            return fail(file + ": " + e.what() + "; nothing imported");
        } catch (const ru::ImportCancelled& e) {
            close(fd);
            return fail(std::string(e.what()) + "; nothing imported");
        }
        close(fd);
    }
    const auto importLine = [&] {
        return "imported " + std::to_string(imported->transactions) + " transactions of " +
               std::to_string(imported->students) + " students from " + *options.importFile +
               " into " + store.name();
    };
    if (!options.serve) {
        if (imported) {
            std::cout << importLine() << std::endl;
        }
        return 0;
    }
    if (signals.requested()) {
        return 0;
    }

    ru::LogWriter log(STDOUT_FILENO);
    const std::chrono::milliseconds timeout = std::chrono::seconds(options.timeoutSeconds);
    settings.idleTimeout = settings.headerTimeout = settings.bodyTimeout = settings.writeTimeout =
        timeout;
    settings.maxConnections = options.maxConnections;
    settings.maxPerClient = options.maxPerClient;
    settings.maxPerNetwork = options.maxPerNetwork;
    settings.maxViewerConnections =
        options.maxViewerConnections.value_or(std::max<std::size_t>(1, options.maxConnections / 4));
    settings.openingHours = options.openingHours;
    settings.log = [&log](std::string line) { log.line(std::move(line)); };
    settings.metrics = std::make_shared<ru::Metrics>();
    settings.metrics->countLogDropped([&log] { return log.droppedEver(); });
    settings.idempotencyKeys = options.idempotencyKeys;
    settings.rosterCursors = options.rosterCursors;
    settings.online = options.online;
    if (postgres) {
        settings.workers = 2 * static_cast<int>(kPostgresWriteLanes);
    }
    std::optional<ru::HttpServer> server;
    server.emplace(store, settings, std::move(*listener));
    log.line("ru-server listening on " + hostPort(options.host, server->port()));
    if (imported) {
        log.line(importLine());
    }
    std::optional<ru::KeyPruner> pruner;
    if (options.idempotencyKeys) {
        pruner.emplace(store, std::chrono::hours(24) * options.idempotencyDays.value_or(30),
                       std::chrono::hours(1), 500, settings.log);
    }
    signals.stopServer(&*server);
    server->run();
    signals.stopServer(nullptr);
    log.finish(std::chrono::seconds(1));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The administrator's commands, on this machine's database.
    if (argc > 1 && std::string(argv[1]) == "credit") {
        return ru::creditCommand(argc - 1, argv + 1);
    }
    if (argc > 1 && std::string(argv[1]) == "overdrawn") {
        return ru::overdrawnCommand(std::vector<std::string>(argv + 2, argv + argc), std::cout,
                                    std::cerr);
    }
    Options options;
    try {
        options = parseOptions(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "ru-server: " << e.message << " (see --help)" << std::endl;
        return 2;
    }
    if (options.help) {
        std::cout << kUsage;
        return 0;
    }
    if (options.version) {
        std::cout << "ru-server " CATRACA_VERSION "\n";
        return 0;
    }
    try {
        return serve(options);
    } catch (const ru::StoreError& e) {
        return fail(e.what());
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}
