// Figures for the roster as the real ru-server serves it, on loopback:
//   - the whole roster of a history of --small-rows and of --rows rows (1M and 10M by
//     default): its size, how fast it is sent (MB/s) and ru-server's resident memory
//     before, during (the highest sample) and at its peak (VmHWM): constant when the roster
//     is streamed, whatever its length;
//   - a refresh with --new-rows rows (1,000) committed on that 10M-row history, with
//     ru-server --roster-cursors: the exchange alone (GET /transaction?after=<cursor>,
//     connection, request and every byte of the answer), and the whole refresh as the real
//     catraca --refresh 0 does it: a card typed, not found, the rows after its cursor
//     downloaded, read and merged into its students, the card found and admitted.
// The histories are made once, by the store's own import from a roster generated as it is
// read (no 2 GB file, no HTTP), into --data (default build/bench-data): an SQLite file per
// size, and with --pg URI a schema per size in that PostgreSQL database; later runs reuse
// them. Each refresh adds its rows for good (uploads to the server, and a new student
// through the store, as an administrator's append). Prints figures; asserts nothing.
//
// Usage: ru_roster_bench [--rows N] [--small-rows N] [--students N] [--new-rows N]
//                        [--refreshes N] [--data DIR] [--pg URI] [--no-sqlite]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <istream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "loopback_socket.h"
#include "store.h"
#include "store_postgres.h"
#include "store_sqlite.h"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// A roster of `rows` rows spread round-robin over `students` (user ids 1..students), about
// 200 bytes a row as in a real one (8-character card, 10-digit enrolment, 32-character
// salt, 64-character hash); each student's first row carries 20, later ones 5 or -1. Made
// as it is read.
class GeneratedRoster : public std::streambuf {
  public:
    GeneratedRoster(long rows, long students) : rows_(rows), students_(students) {}

  protected:
    int_type underflow() override {
        buffer_.clear();
        while (buffer_.size() < 65536 && next_ <= rows_) {
            if (next_ < 0) {
                buffer_ += '[';
            } else if (next_ == rows_) {
                buffer_ += ']';
            } else {
                const long u = next_ % students_;
                char row[320];
                const int n = std::snprintf(
                    row, sizeof row,
                    "%s{\"cardID\":\"%08lX\",\"user_id\":%ld,\"event\":%s,\"matricula\":"
                    "\"2026%06ld\",\"salt\":\"%032lx\",\"n_password_hash\":\"%064lx\"}",
                    next_ == 0 ? "" : ",", 0x8F3A0000L + u, u + 1,
                    next_ < students_ ? "20" : (next_ % 3 == 0 ? "5" : "-1"), u,
                    0x9f8e7d6c5b4aL + u, 0x5e884898da2804UL * static_cast<unsigned long>(u + 1));
                buffer_.append(row, static_cast<std::size_t>(n));
            }
            ++next_;
        }
        if (buffer_.empty()) {
            return traits_type::eof();
        }
        setg(buffer_.data(), buffer_.data(), buffer_.data() + buffer_.size());
        return traits_type::to_int_type(buffer_[0]);
    }

  private:
    long rows_, students_;
    long next_ = -1;
    std::string buffer_;
};

// Where one history lives, and how ru-server is pointed at it.
struct History {
    long rows = 0;
    std::vector<std::string> serverArgs;  // --db ... (and --db-schema)
    std::function<std::unique_ptr<ru::Store>()> open;
};

void importInto(ru::Store& store, long rows, long students) {
    GeneratedRoster roster(rows, students);
    std::istream in(&roster);
    const auto t = Clock::now();
    const ru::ImportSummary s = store.importRoster(in);
    std::printf("  made: %zu rows of %zu students in %.0f s\n", s.transactions, s.students,
                since(t));
}

History sqliteHistory(const std::string& dir, long rows, long students) {
    const std::string path =
        dir + "/roster-" + std::to_string(rows) + "-" + std::to_string(students) + ".db";
    if (!std::filesystem::exists(path)) {
        std::printf("SQLite history of %ld rows: making %s (once)\n", rows, path.c_str());
        std::fflush(stdout);
        const std::string partial = path + ".part";
        std::filesystem::remove(partial);
        {
            ru::SqliteStore store(partial);
            importInto(store, rows, students);
        }
        std::filesystem::rename(partial, path);
        std::filesystem::remove(partial + "-wal");
        std::filesystem::remove(partial + "-shm");
    }
    History h;
    h.rows = rows;
    h.serverArgs = {"--db", path};
    h.open = [path] { return std::make_unique<ru::SqliteStore>(path); };
    return h;
}

History postgresHistory(const std::string& uri, long rows, long students) {
    const std::string schema = "roster_" + std::to_string(rows) + "_" + std::to_string(students);
    const auto open = [uri](const std::string& name) {
        ru::StoreOptions options;
        options.schema = name;
        return std::make_unique<ru::PostgresStore>(uri, options);
    };
    // A schema whose import finished holds transactions; one cut short holds none (the
    // import is one transaction) and is filled now.
    {
        const auto store = open(schema);
        std::string first;
        store->openRoster()->read(first, 2);
        if (first == "[]") {
            std::printf("PostgreSQL history of %ld rows: making schema %s (once)\n", rows,
                        schema.c_str());
            std::fflush(stdout);
            importInto(*store, rows, students);
        }
    }
    History h;
    h.rows = rows;
    h.serverArgs = {"--db", uri, "--db-schema", schema};
    h.open = [open, schema] { return open(schema); };
    return h;
}

// The resident memory of `pid` from /proc ("VmRSS"), in bytes.
long memoryOf(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, key.size(), key) == 0) {
            return std::atol(line.c_str() + key.size()) * 1024L;
        }
    }
    return 0;
}

double mb(double bytes) {
    return bytes / 1e6;
}

// The real ru-server on a free port, its log in a file of its own in `dir`.
class ServerProcess {
  public:
    ServerProcess(const std::vector<std::string>& args, const std::string& dir) {
        static int started = 0;
        const std::string logFile = dir + "/ru-server-" + std::to_string(++started) + ".log";
        std::vector<std::string> argv = {RU_SERVER_BIN, "--port", "0", "--roster-cursors"};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            dup2(fd, STDOUT_FILENO);
            std::vector<char*> raw;
            for (const std::string& a : argv) {
                raw.push_back(const_cast<char*>(a.c_str()));
            }
            raw.push_back(nullptr);
            execv(raw[0], raw.data());
            _exit(127);
        }
        for (int tries = 0; tries < 6000 && port_ == 0; ++tries) {
            std::ifstream log(logFile);
            std::string line;
            if (std::getline(log, line) &&
                line.find("listening on 127.0.0.1:") != std::string::npos) {
                port_ = std::atoi(line.c_str() + line.rfind(':') + 1);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                throw std::runtime_error("ru-server ended at start");
            }
        }
        if (port_ == 0) {
            throw std::runtime_error("ru-server did not start");
        }
    }
    ~ServerProcess() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    pid_t pid() const { return pid_; }
    int port() const { return port_; }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// One GET on a connection of its own, read to its end as fast as loopback gives it.
struct Download {
    double seconds = 0;
    double bytes = 0;  // of the answer's body, chunk framing included
    std::string head;
    std::string header(const std::string& name) const {
        const std::size_t at = head.find("\r\n" + name + ": ");
        if (at == std::string::npos) {
            return "";
        }
        const std::size_t start = at + name.size() + 4;
        return head.substr(start, head.find("\r\n", start) - start);
    }
};

Download get(int port, const std::string& target, const std::string& method = "GET") {
    Download d;
    const auto t = Clock::now();
    const int fd = connectTo(port);
    const std::string request =
        method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        throw std::runtime_error("write");
    }
    std::vector<char> buffer(1 << 20);
    bool inBody = false;
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n <= 0) {
            break;
        }
        if (inBody) {
            d.bytes += static_cast<double>(n);
            continue;
        }
        d.head.append(buffer.data(), static_cast<std::size_t>(n));
        const std::size_t end = d.head.find("\r\n\r\n");
        if (end != std::string::npos) {
            inBody = true;
            d.bytes = static_cast<double>(d.head.size() - end - 4);
            d.head.resize(end + 2);
        }
    }
    close(fd);
    d.seconds = since(t);
    if (d.head.compare(0, 12, "HTTP/1.1 200") != 0) {
        throw std::runtime_error("GET " + target + ": " + d.head.substr(0, 40));
    }
    return d;
}

// `count` uploads of -1 to students spread over 1..students, on one kept-alive connection.
void upload(int port, long count, long students, long& next) {
    const int fd = connectTo(port);
    const std::string body = "{\"event_id\": -1}";
    std::string answer;
    char buffer[4096];
    for (long i = 0; i < count; ++i) {
        const std::string request = "POST /transaction/" + std::to_string(next++ % students + 1) +
                                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                                    "application/json\r\nContent-Length: " +
                                    std::to_string(body.size()) + "\r\n\r\n" + body;
        if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
            throw std::runtime_error("upload write");
        }
        answer.clear();
        // The answer is small: its header and a body of its Content-Length.
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                throw std::runtime_error("upload: no answer");
            }
            answer.append(buffer, static_cast<std::size_t>(n));
            const std::size_t end = answer.find("\r\n\r\n");
            const std::size_t length = answer.find("Content-Length: ");
            if (end != std::string::npos && length != std::string::npos &&
                answer.size() >= end + 4 + std::stoul(answer.substr(length + 16))) {
                break;
            }
        }
        if (answer.compare(0, 12, "HTTP/1.1 201") != 0) {
            throw std::runtime_error("upload: " + answer.substr(0, 40));
        }
    }
    close(fd);
}

// The real catraca, its console on pipes.
class Board {
  public:
    explicit Board(const std::vector<std::string>& args) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            std::vector<std::string> argv = {CATRACA_BIN};
            argv.insert(argv.end(), args.begin(), args.end());
            std::vector<char*> raw;
            for (const std::string& a : argv) {
                raw.push_back(const_cast<char*>(a.c_str()));
            }
            raw.push_back(nullptr);
            execv(raw[0], raw.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        toIn_ = in[1];
        fromOut_ = out[0];
    }
    ~Board() {
        if (toIn_ >= 0) {
            close(toIn_);
        }
        char buffer[65536];
        while (read(fromOut_, buffer, sizeof buffer) > 0) {
        }
        close(fromOut_);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    void type(const std::string& text) {
        if (write(toIn_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            throw std::runtime_error("write to catraca");
        }
    }
    // Reads the console until `needle`; the time it came, and that of `mark` on the way
    // (when `mark` is given and seen). What came after `needle` is kept for the next call.
    Clock::time_point readUntil(const std::string& needle, const std::string& mark = "",
                                Clock::time_point* marked = nullptr) {
        char buffer[65536];
        for (;;) {
            const auto now = Clock::now();
            if (!mark.empty() && marked != nullptr && pending_.find(mark) != std::string::npos) {
                *marked = now;
                marked = nullptr;
            }
            const std::size_t at = pending_.find(needle);
            if (at != std::string::npos) {
                pending_.erase(0, at + needle.size());
                return now;
            }
            const ssize_t n = read(fromOut_, buffer, sizeof buffer);
            if (n <= 0) {
                throw std::runtime_error("catraca ended before \"" + needle + "\"");
            }
            pending_.append(buffer, static_cast<std::size_t>(n));
        }
    }

  private:
    pid_t pid_ = -1;
    int toIn_ = -1;
    int fromOut_ = -1;
    std::string pending_;  // read from the console, not yet matched
};

const std::string kPrompt = "selecione 1 para a catraca de entrada ou 2 para a catraca de saida: ";

// Samples the resident memory of `pid` every few milliseconds while it lives; the highest.
class MemoryWatch {
  public:
    explicit MemoryWatch(pid_t pid)
        : thread_([this, pid] {
              while (!stop_) {
                  highest_ = std::max(highest_.load(), memoryOf(pid, "VmRSS"));
                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
              }
          }) {}
    ~MemoryWatch() {
        stop_ = true;
        thread_.join();
    }
    long highest() const { return highest_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<long> highest_{0};
    std::thread thread_;
};

struct Options {
    long rows = 10000000;
    long smallRows = 1000000;
    long students = 20000;
    long newRows = 1000;
    int refreshes = 5;
    std::string data = "build/bench-data";
    std::string pg;
    bool sqlite = true;
};

// The whole roster of `h` from a ru-server of its own: the speed and the memory.
std::string serveWhole(const char* backend, const History& h, const std::string& dir) {
    ServerProcess server(h.serverArgs, dir);
    const long before = memoryOf(server.pid(), "VmRSS");
    Download d;
    long during = 0;
    {
        MemoryWatch watch(server.pid());
        d = get(server.port(), "/transaction");
        during = watch.highest();
    }
    std::printf(
        "%s, %ld rows: whole roster %.1f MB in %.2f s, %.0f MB/s; ru-server RSS %.1f MB before, "
        "%.1f MB at most while sending (sampled every 5 ms), %.1f MB after\n",
        backend, h.rows, mb(d.bytes), d.seconds, mb(d.bytes) / d.seconds, mb(before), mb(during),
        mb(memoryOf(server.pid(), "VmRSS")));
    std::fflush(stdout);
    return d.header("Roster-Cursor");
}

// Refreshes of `newRows` rows each on the history `h`: the exchange alone, then catraca's.
void refreshes(const char* backend, const History& h, const Options& o, const std::string& dir) {
    ServerProcess server(h.serverArgs, dir);
    long next = 0;
    std::vector<double> exchange, exchangeBytes;
    // A HEAD has the cursor of the roster a GET would send.
    std::string cursor = get(server.port(), "/transaction", "HEAD").header("Roster-Cursor");
    for (int i = 0; i < o.refreshes && !cursor.empty(); ++i) {
        upload(server.port(), o.newRows, o.students, next);
        const Download d = get(server.port(), "/transaction?after=" + cursor);
        if (d.header("Roster-After") != cursor) {
            throw std::runtime_error("the cursor was not continued");
        }
        exchange.push_back(d.seconds);
        exchangeBytes.push_back(d.bytes);
        cursor = d.header("Roster-Cursor");
    }
    std::printf(
        "%s, %ld rows: rows after a cursor, %ld new rows (%.0f kB): GET ?after= %.1f ms "
        "(median of %zu)\n",
        backend, h.rows, o.newRows, median(exchangeBytes) / 1e3, median(exchange) * 1e3,
        exchange.size());
    std::fflush(stdout);

    // The board: a start-up on the whole history, then refreshes of the rows after its
    // cursor, each for a student enrolled meanwhile (so the card is refused, then found).
    Board board({"--refresh", "0"});
    board.type("127.0.0.1\n" + std::to_string(server.port()) + "\n");
    const auto started = Clock::now();
    board.readUntil(kPrompt);
    std::printf("%s, %ld rows: catraca's first prompt from ru-server %.2f s\n", backend, h.rows,
                since(started));
    std::fflush(stdout);
    const auto store = h.open();
    std::vector<double> total, refresh;
    const long base = 100000000L + static_cast<long>(std::time(nullptr) % 10000000L) * 10;
    for (int i = 0; i < o.refreshes; ++i) {
        upload(server.port(), o.newRows - 1, o.students, next);
        char card[16];
        std::snprintf(card, sizeof card, "N%07ld", (base + i) % 10000000L);
        std::istringstream enrolled("[{\"cardID\":\"" + std::string(card) +
                                    "\",\"user_id\":" + std::to_string(base + i) +
                                    ",\"event\":1,\"matricula\":\"2026999999\",\"salt\":\"s\","
                                    "\"n_password_hash\":\"h\"}]");
        store->appendRows(enrolled);
        Clock::time_point updating{};
        const auto typed = Clock::now();
        board.type(std::string("1 ") + card + "\n");
        const auto admitted = board.readUntil("AUTORIZADO", "Atualizando", &updating);
        board.readUntil(kPrompt);
        total.push_back(std::chrono::duration<double>(admitted - typed).count());
        if (updating != Clock::time_point{}) {
            refresh.push_back(std::chrono::duration<double>(admitted - updating).count());
        }
    }
    std::printf(
        "%s, %ld rows: catraca --refresh, %ld new rows: card typed to admitted %.1f ms, "
        "\"Atualizando...\" to admitted %.1f ms (medians of %zu)\n",
        backend, h.rows, o.newRows, median(total) * 1e3, median(refresh) * 1e3, total.size());
    std::fflush(stdout);
}

void run(const char* backend, const std::function<History(long)>& history, const Options& o,
         const std::string& dir) {
    const History small = history(o.smallRows);
    const History big = history(o.rows);
    serveWhole(backend, small, dir);
    serveWhole(backend, big, dir);
    refreshes(backend, big, o, dir);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--no-sqlite") {
            o.sqlite = false;
        } else if (arg == "--rows" && hasValue) {
            o.rows = std::atol(argv[++i]);
        } else if (arg == "--small-rows" && hasValue) {
            o.smallRows = std::atol(argv[++i]);
        } else if (arg == "--students" && hasValue) {
            o.students = std::atol(argv[++i]);
        } else if (arg == "--new-rows" && hasValue) {
            o.newRows = std::atol(argv[++i]);
        } else if (arg == "--refreshes" && hasValue) {
            o.refreshes = std::atoi(argv[++i]);
        } else if (arg == "--data" && hasValue) {
            o.data = argv[++i];
        } else if (arg == "--pg" && hasValue) {
            o.pg = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: ru_roster_bench [--rows N] [--small-rows N] [--students N] "
                         "[--new-rows N] [--refreshes N] [--data DIR] [--pg URI] [--no-sqlite]\n");
            return 2;
        }
    }
    if (o.rows < o.students || o.smallRows < o.students || o.newRows < 1 || o.refreshes < 1) {
        std::fprintf(stderr, "ru_roster_bench: every history needs a row per student at least\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    try {
        std::filesystem::create_directories(o.data);
        const std::string dir = (std::filesystem::temp_directory_path() /
                                 ("ru-roster-bench-" + std::to_string(getpid())))
                                    .string();
        std::filesystem::create_directories(dir);
        if (o.sqlite) {
            run(
                "SQLite", [&o](long rows) { return sqliteHistory(o.data, rows, o.students); }, o,
                dir);
        }
        if (!o.pg.empty()) {
            run(
                "PostgreSQL", [&o](long rows) { return postgresHistory(o.pg, rows, o.students); },
                o, dir);
        }
        std::filesystem::remove_all(dir);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ru_roster_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
