// Figures for ru-server under load on loopback: uploads per second and latency (median
// and 99th percentile) with 1 and with 16 concurrent clients, each on a kept-alive
// connection, first alone and then while idle connections are held open (half of them
// silent, half having sent the start of a request). Every upload is
// a committed SQLite transaction (an fsync each), as in service. Prints one line per
// scenario; asserts nothing about speed.
//
// With --pg URI, the same uploads then go to a PostgreSQL store (a schema of its own in
// that database) through one server with 2 and with 8 write lanes, and through two
// servers on that one database, the clients spread over both, after an unreported
// warm-up round.
//
// Then, on each back end, the online entries (ru-server --online, with keys, as from
// catraca --online --idempotency-keys): the time an entry adds at the board, which is the
// board's own question (its client code, a connection each, as at the turnstile) asked
// --entries times one after the other, and the entries per second the server can
// authorize, 16 clients asking at once on kept-alive connections.
//
// Usage: ru_server_bench [--uploads N] [--idle N] [--dir PATH] [--keys] [--pg URI]
//                        [--entries N]
//   --uploads N  uploads per scenario, spread over its clients (default 2000)
//   --idle N     idle connections held open in the second round (default 1000)
//   --dir PATH   where the database goes (default: a fresh directory under /tmp); its
//                file system's fsync sets the pace
//   --keys       the server honours idempotency keys and every upload carries a new one,
//                as from catraca --idempotency-keys
//   --pg URI     also the PostgreSQL rows, on the database of this libpq URI
//   --entries N  online entries per figure (default 1000)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "admissao.h"
#include "http_server.h"
#include "idempotencia.h"
#include "loopback_socket.h"
#include "servidor.h"
#include "store.h"
#include "store_postgres.h"
#include "store_sqlite.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUsers = 1000;

// With --keys, the number of the next upload's key; otherwise -1.
std::atomic<long long> nextKey{-1};

// Sends one upload (or, with `path` "/entrada/", one online entry) on `fd` and reads its
// whole answer; the status.
int upload(int fd, int user, std::string& buffer, const char* path = "/transaction/") {
    const std::string body = "{\"event_id\": -1}";
    // A key of catraca's form: a board of 32 hexadecimal digits and an event number.
    const std::string key = nextKey < 0 ? ""
                                        : "Idempotency-Key: \"0123456789abcdef0123456789abcdef-" +
                                              std::to_string(nextKey++) + "\"\r\n";
    const std::string request =
        "POST " + std::string(path) + std::to_string(user) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
        key + "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n\r\n" + body;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        throw std::runtime_error("send failed");
    }
    buffer.clear();
    for (;;) {
        const std::size_t end = buffer.find("\r\n\r\n");
        if (end != std::string::npos) {
            const std::size_t length = buffer.find("Content-Length: ");
            const std::size_t size = std::strtoul(buffer.c_str() + length + 16, nullptr, 10);
            if (buffer.size() >= end + 4 + size) {
                return std::atoi(buffer.c_str() + 9);
            }
        }
        char piece[4096];
        const ssize_t n = recv(fd, piece, sizeof piece, 0);
        if (n <= 0) {
            throw std::runtime_error("the server closed the connection");
        }
        buffer.append(piece, static_cast<std::size_t>(n));
    }
}

struct Figures {
    double seconds = 0;
    std::vector<double> latenciesMs;
    int failures = 0;
};

Figures run(const std::vector<int>& ports, int clients, int uploads,
            const char* path = "/transaction/") {
    Figures figures;
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
    std::vector<int> failures(static_cast<std::size_t>(clients), 0);
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            const int fd = connectTo(ports[static_cast<std::size_t>(c) % ports.size()]);
            std::string buffer;
            const int mine = uploads / clients + (c < uploads % clients ? 1 : 0);
            for (int i = 0; i < mine; ++i) {
                const auto sent = Clock::now();
                const int status = upload(fd, 1 + (c * 131 + i) % kUsers, buffer, path);
                latencies[c].push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
                failures[c] += status == 201 ? 0 : 1;
            }
            close(fd);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (int c = 0; c < clients; ++c) {
        figures.latenciesMs.insert(figures.latenciesMs.end(), latencies[c].begin(),
                                   latencies[c].end());
        figures.failures += failures[c];
    }
    std::sort(figures.latenciesMs.begin(), figures.latenciesMs.end());
    return figures;
}

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) {
        return 0;
    }
    const auto index = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

std::string rosterText() {
    std::ostringstream roster;
    roster << '[';
    for (int u = 1; u <= kUsers; ++u) {
        roster << (u > 1 ? "," : "") << "{\"cardID\":\"C" << u << "\",\"user_id\":" << u
               << ",\"event\":1000000,\"matricula\":\"2026" << u
               << "\",\"salt\":\"9f8e7d6c\",\"n_password_hash\":\"5e884898da28\"}";
    }
    roster << ']';
    return roster.str();
}

// One line of figures; false when an upload failed.
bool report(const std::string& label, const Figures& f) {
    std::printf("  %-42s %7.0f uploads/s, latency p50 %6.2f ms, p99 %6.2f ms%s\n", label.c_str(),
                static_cast<double>(f.latenciesMs.size()) / f.seconds,
                percentile(f.latenciesMs, 0.50), percentile(f.latenciesMs, 0.99),
                f.failures > 0 ? (" (" + std::to_string(f.failures) + " failed)").c_str() : "");
    return f.failures == 0;
}

// The online entries on `store`, through a server of its own with `lanes` write lanes (0:
// the transport's default): the board's question one at a time, then 16 clients at once.
// 0 when every entry was admitted.
int runEntries(ru::Store& store, int entries, int lanes) {
    ru::ServerSettings settings;
    settings.port = 0;
    settings.online = true;
    settings.idempotencyKeys = true;
    if (lanes > 0) {
        settings.workers = 2 * lanes;
    }
    ru::HttpServer server(store, settings);
    std::thread serving([&server] { server.run(); });

    Servidor::Ajustes ajustes;
    ajustes.placa = "bench";
    Servidor servidor(ajustes);
    servidor.setEndereco("127.0.0.1:" + std::to_string(server.port()));
    const std::string board = novaIdentidadePlaca();
    std::vector<double> latencies;
    int refused = 0;
    for (int i = 0; i < entries; ++i) {
        const auto sent = Clock::now();
        const Veredito v =
            perguntaEntrada(servidor, 1 + i % kUsers, chaveIdempotencia(board, i + 1));
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        refused += v.tipo == Veredito::Admite ? 0 : 1;
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("  %-42s added to an entry: p50 %6.2f ms, p99 %6.2f ms%s\n",
                "online entry, the board's own question", percentile(latencies, 0.50),
                percentile(latencies, 0.99),
                refused > 0 ? (" (" + std::to_string(refused) + " not admitted)").c_str() : "");

    // The server's part alone, on a kept-alive connection, and its capacity.
    const long long saved = nextKey;
    nextKey = 1000000000;
    int failures = 0;
    for (const int clients : {1, 16}) {
        const Figures f = run({server.port()}, clients, entries, "/entrada/");
        std::printf(
            "  online entries, %2d client%s%-23s %7.0f entries/s, latency p50 %6.2f ms, "
            "p99 %6.2f ms%s\n",
            clients, clients == 1 ? " " : "s", clients == 1 ? " (kept alive)" : "",
            static_cast<double>(f.latenciesMs.size()) / f.seconds, percentile(f.latenciesMs, 0.50),
            percentile(f.latenciesMs, 0.99),
            f.failures > 0 ? (" (" + std::to_string(f.failures) + " failed)").c_str() : "");
        failures += f.failures;
    }
    nextKey = saved;
    server.stop();
    serving.join();
    return refused > 0 || failures > 0 ? 1 : 0;
}

// The PostgreSQL rows: one server with 2 and with 8 write lanes, then two servers.
int runPostgres(const std::string& uri, int uploads, bool keys, int entries) {
    ru::StoreOptions options;
    options.schema = "ru_bench_" + std::to_string(getpid());
    int status = 0;
    {
        ru::PostgresStore store(uri, options);
        std::istringstream in(rosterText());
        store.importRoster(in);
    }
    std::printf("PostgreSQL (%s), schema %s:\n", uri.c_str(), options.schema.c_str());
    const auto serve = [&](std::vector<std::size_t> lanes, const std::vector<int>& clientsList,
                           const std::string& what) {
        std::vector<std::unique_ptr<ru::PostgresStore>> stores;
        std::vector<std::unique_ptr<ru::HttpServer>> servers;
        std::vector<std::thread> threads;
        std::vector<int> ports;
        for (const std::size_t l : lanes) {
            ru::StoreOptions o = options;
            o.writeConnections = l;
            stores.push_back(std::make_unique<ru::PostgresStore>(uri, o));
            ru::ServerSettings settings;
            settings.port = 0;
            settings.idempotencyKeys = keys;
            settings.workers = 2 * static_cast<int>(l);
            servers.push_back(std::make_unique<ru::HttpServer>(*stores.back(), settings));
            ports.push_back(servers.back()->port());
            ru::HttpServer* server = servers.back().get();
            threads.emplace_back([server] { server->run(); });
        }
        for (const int clients : clientsList) {
            const Figures f = run(ports, clients, uploads);
            if (what.empty()) {
                continue;
            }
            status |= report(std::to_string(clients) +
                                 (clients == 1 ? " client,  " : " clients, ") + what,
                             f)
                          ? 0
                          : 1;
        }
        for (auto& server : servers) {
            server->stop();
        }
        for (auto& t : threads) {
            t.join();
        }
    };
    // Unreported: a new cluster first makes its log files (16 MiB each, written and
    // synced), which a database in service has long done.
    serve({8}, {16, 16}, "");
    serve({2}, {1, 16}, "one server, 2 write lanes");
    serve({8}, {1, 16}, "one server, 8 write lanes");
    serve({8, 8}, {16}, "two servers, 8 lanes each");
    {
        ru::StoreOptions o = options;
        o.writeConnections = 8;
        ru::PostgresStore store(uri, o);
        status |= runEntries(store, entries, 8);
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    int uploads = 2000;
    int idle = 1000;
    int entries = 1000;
    std::string dir;
    std::string pg;
    bool keys = false;
    for (int i = 1; i < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--keys") {
            keys = true;
            --i;
        } else if (i + 1 == argc) {
            std::fprintf(stderr, "ru_server_bench: %s needs a value\n", arg.c_str());
            return 2;
        } else if (arg == "--uploads") {
            uploads = std::atoi(argv[i + 1]);
        } else if (arg == "--idle") {
            idle = std::atoi(argv[i + 1]);
        } else if (arg == "--dir") {
            dir = argv[i + 1];
        } else if (arg == "--pg") {
            pg = argv[i + 1];
        } else if (arg == "--entries") {
            entries = std::atoi(argv[i + 1]);
        } else {
            std::fprintf(stderr,
                         "usage: ru_server_bench [--uploads N] [--idle N] [--dir PATH] "
                         "[--keys] [--pg URI] [--entries N]\n");
            return 2;
        }
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    std::string made;
    if (dir.empty()) {
        std::string pattern = "/tmp/ru-server-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        dir = made = pattern;
    }
    const std::string db = dir + "/bench.db";
    int status = 0;
    {
        ru::SqliteStore store(db);
        std::istringstream in(rosterText());
        store.importRoster(in);

        ru::ServerSettings settings;
        settings.port = 0;
        // The idle connections must outlast the runs, and all come from one address.
        settings.idleTimeout = settings.headerTimeout = std::chrono::seconds(600);
        settings.maxConnections = static_cast<std::size_t>(idle) + 100;
        settings.maxPerClient = settings.maxConnections;
        settings.idempotencyKeys = keys;
        if (keys) {
            nextKey = 1;
        }
        ru::HttpServer server(store, settings);
        std::thread serving([&server] { server.run(); });
        const int port = server.port();

        std::printf("ru-server under load: %d uploads per run%s, database in %s\n", uploads,
                    keys ? ", each with an idempotency key" : "", dir.c_str());
        std::vector<int> held;
        for (const int idleCount : {0, idle}) {
            // Half send nothing, half the start of a request and then nothing.
            while (static_cast<int>(held.size()) < idleCount) {
                held.push_back(connectTo(port));
                if (held.size() % 2 == 0) {
                    const std::string partial = "POST /transaction/1 HTTP/1.1\r\nHo";
                    send(held.back(), partial.data(), partial.size(), MSG_NOSIGNAL);
                }
            }
            for (const int clients : {1, 16}) {
                const Figures f = run({port}, clients, uploads);
                std::printf(
                    "  %2d client%s, %4d idle connections: %7.0f uploads/s, latency p50 %6.2f ms, "
                    "p99 %6.2f ms%s\n",
                    clients, clients == 1 ? " " : "s", idleCount,
                    static_cast<double>(f.latenciesMs.size()) / f.seconds,
                    percentile(f.latenciesMs, 0.50), percentile(f.latenciesMs, 0.99),
                    f.failures > 0 ? (" (" + std::to_string(f.failures) + " failed)").c_str() : "");
                status = f.failures > 0 ? 1 : status;
            }
        }
        // Still open: a held connection that the server closed would read end of file now.
        int open = 0;
        for (const int fd : held) {
            char byte;
            open += recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN ? 1 : 0;
            close(fd);
        }
        std::printf("  idle connections still open at the end: %d of %zu\n", open, held.size());
        server.stop();
        serving.join();
        status |= runEntries(store, entries, 0);
    }
    if (!made.empty()) {
        std::filesystem::remove_all(made);
    }
    if (!pg.empty()) {
        status |= runPostgres(pg, uploads, keys, entries);
    }
    return status;
}
