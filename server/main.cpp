// ru-server: serves the restaurant's roster of credit transactions over HTTP, kept in an
// SQLite file. See --help.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "roster.h"
#include "routes.h"
#include "store.h"

namespace {

constexpr const char* kUsage = R"(Usage: ru-server [OPTION]...
Serves the restaurant's roster of credit transactions over HTTP, kept in an SQLite file.

  --db PATH       the SQLite database file, created when absent (default: ru-server.db)
  --import FILE   load the roster in FILE, a JSON array of transactions, into the database
                  before serving; all or nothing, and only into a database that holds no
                  transaction yet, since importing a roster twice would count every credit
                  twice
  --host HOST     address to listen on (default: 127.0.0.1, reachable from this machine
                  only)
  --port PORT     TCP port to listen on (default: 8080; 0 picks a free port)
  --no-serve      stop after opening the database and importing, without listening
  --help          show this text and exit

Routes: GET /transaction (the roster), POST /transaction/<user_id> {"event_id": N},
POST /contador {"v": N}, GET /contador (the latest head-count; {"v":0} before any).

Once listening, the first line on standard output is "ru-server listening on HOST:PORT",
then one line per request: method, target, status. SIGINT or SIGTERM stops it cleanly.
Exit status: 0 after a clean stop, 1 when the database, the import or listening fails,
2 for bad options.
)";

struct Options {
    std::string db = "ru-server.db";
    std::optional<std::string> importFile;
    std::string host = "127.0.0.1";
    int port = 8080;
    bool serve = true;
    bool help = false;
};

struct UsageError {
    std::string message;
};

std::optional<int> parsePort(const std::string& text) {
    int port = -1;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, port);
    if (ec != std::errc() || ptr != end || port < 0 || port > 65535) {
        return std::nullopt;
    }
    return port;
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
        } else if (arg == "--no-serve") {
            options.serve = false;
        } else if (arg == "--db") {
            options.db = nonEmpty(value());
        } else if (arg == "--import") {
            options.importFile = nonEmpty(value());
        } else if (arg == "--host") {
            options.host = nonEmpty(value());
        } else if (arg == "--port") {
            const std::string text = value();
            const auto port = parsePort(text);
            if (!port) {
                throw UsageError{"--port wants a number from 0 to 65535, not '" + text + "'"};
            }
            options.port = *port;
        } else {
            throw UsageError{"unknown argument '" + std::string(argv[i]) + "'"};
        }
        if (inlineValue && (arg == "--help" || arg == "-h" || arg == "--no-serve")) {
            throw UsageError{"option " + arg + " takes no value"};
        }
    }
    return options;
}

// Turns SIGINT and SIGTERM into a request to stop `server`, which must outlive the watcher.
// Construct it before starting any thread: it blocks both signals in the calling thread, so
// every thread started later inherits the mask, and waits for them on a thread of its own.
// Once a signal has come, requested() is true and the server is stopped; the stop is
// repeated until the watcher is destroyed, since a server that is not listening yet would
// ignore a single one.
class SignalWatcher {
  public:
    explicit SignalWatcher(httplib::Server& server) : server_(server) {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        thread_ = std::thread([this] { run(); });
    }
    ~SignalWatcher() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        changed_.notify_all();
        // Wakes the thread if it is still in sigwait; the signal is blocked everywhere.
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
    }
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    bool requested() const { return requested_; }

  private:
    void run() {
        int signal = 0;
        sigwait(&signals_, &signal);
        std::unique_lock<std::mutex> lock(mutex_);
        if (finished_) {
            return;
        }
        requested_ = true;
        while (!finished_) {
            server_.stop();
            changed_.wait_for(lock, std::chrono::milliseconds(20));
        }
    }

    sigset_t signals_;
    std::atomic<bool> requested_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    bool finished_ = false;
    httplib::Server& server_;
    std::thread thread_;
};

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
    // Declared first so that it goes last: the watcher may stop it until it is destroyed.
    httplib::Server server;
    SignalWatcher signals(server);

    ru::Store store(options.db);
    std::optional<ru::ImportSummary> imported;
    if (options.importFile) {
        const std::string& file = *options.importFile;
        if (std::filesystem::is_directory(file)) {
            return fail("cannot read " + file + ": it is a directory");
        }
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            return fail("cannot read " + file + ": " + std::strerror(errno));
        }
        try {
            imported = store.importRoster(in, [&signals] { return signals.requested(); });
        } catch (const ru::RosterError& e) {
            return fail(file + ": " + e.what() + "; nothing imported");
        } catch (const ru::ImportCancelled& e) {
            return fail(std::string(e.what()) + "; nothing imported");
        }
    }
    const auto reportImport = [&] {
        if (imported) {
            std::cout << "imported " << imported->transactions << " transactions of "
                      << imported->students << " students from " << *options.importFile << " into "
                      << options.db << std::endl;
        }
    };
    if (!options.serve) {
        reportImport();
        return 0;
    }

    ru::installRoutes(server, store);
    std::mutex logMutex;
    server.set_logger([&logMutex](const httplib::Request& req, const httplib::Response& res) {
        const std::string line = ru::requestLogLine(req, res);
        std::lock_guard<std::mutex> lock(logMutex);
        std::cout << line << std::endl;
    });
    errno = 0;
    int port = options.port;
    if (port == 0) {
        port = server.bind_to_any_port(options.host);
    } else if (!server.bind_to_port(options.host, port)) {
        port = -1;
    }
    if (port <= 0) {
        const int error = errno;
        return fail("cannot listen on " + hostPort(options.host, options.port) +
                    (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
    }
    std::cout << "ru-server listening on " << hostPort(options.host, port) << std::endl;
    reportImport();

    if (!signals.requested()) {
        server.listen_after_bind();
    }
    if (!signals.requested()) {
        return fail("the server stopped accepting connections");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
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
    try {
        return serve(options);
    } catch (const ru::StoreError& e) {
        return fail(e.what());
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}
