// The start-up and turnstile benchmark: the real catraca binary driven through its
// console against a loopback server, beside floor programs that do the least the same
// work needs. Prints one table (figure, ours, floor, ratio, target) and asserts
// nothing about speed: a figure past its target is marked, not failed.
//
// Usage: catraca_bench [--rows N] [--big-rows N] [--students N] [--pass-students N]
//                      [--passes N] [--repeat N] [--link MBIT_PER_S (0: none)]
#include <fcntl.h>
#include <httplib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

long option(int argc, char** argv, const std::string& name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (argv[i] == name) {
            return std::atol(argv[i + 1]);
        }
    }
    return fallback;
}

// A roster of `rows` rows spread round-robin over `students` (user ids 1..students),
// with field lengths of a real roster (about 200 bytes a row); each student's first row
// carries 20, later ones 5 or -1. Made as it is sent, from two pieces of text per
// student, so that a body of gigabytes needs no memory and the server keeps ahead of
// any reader.
class Roster {
  public:
    Roster(long rows, long students) : rows_(rows), students_(students) {
        for (long u = 0; u < students; ++u) {
            char text[320];
            int n = std::snprintf(
                text, sizeof text,
                "{\"cardID\":\"%08lX\",\"user_id\":%ld,\"event\":", 0x8F3A0000L + u, u + 1);
            before_.emplace_back(text, static_cast<size_t>(n));
            n = std::snprintf(text, sizeof text,
                              ",\"matricula\":\"2026%06ld\",\"salt\":\"%032lx\","
                              "\"n_password_hash\":\"%064lx\"}",
                              u, 0x9f8e7d6c5b4aL + u,
                              0x5e884898da2804UL * static_cast<unsigned long>(u + 1));
            after_.emplace_back(text, static_cast<size_t>(n));
        }
        size_ = 2;
        for (long i = 0; i < rows; ++i) {
            long u = i % students;
            size_ += (i == 0 ? 0 : 1) + before_[u].size() + event(i).size() + after_[u].size();
        }
    }
    size_t size() const { return size_; }
    long rows() const { return rows_; }
    long students() const { return students_; }

    // Appends the body's next bytes to `out`, a row at a time, until it holds at least
    // `want` bytes or the body is over; `next` counts the rows already made (-1 before
    // the opening bracket, rows() + 1 once over).
    void fill(long& next, std::string& out, size_t want) const {
        while (out.size() < want && next <= rows_) {
            if (next < 0) {
                out += '[';
            } else if (next == rows_) {
                out += ']';
            } else {
                long u = next % students_;
                if (next > 0) {
                    out += ',';
                }
                out += before_[u];
                out += event(next);
                out += after_[u];
            }
            ++next;
        }
    }

  private:
    std::string event(long i) const { return i < students_ ? "20" : (i % 3 == 0 ? "5" : "-1"); }

    long rows_, students_;
    std::vector<std::string> before_, after_;
    size_t size_ = 0;
};

std::string card(long student) {
    char c[16];
    std::snprintf(c, sizeof c, "%08lX", 0x8F3A0000L + student - 1);
    return c;
}

// The loopback server of every run: the roster, made as it is sent, with its
// Content-Length, and 201 to every upload and head-count.
class Server {
  public:
    Server() {
        http_.Get("/transaction", [this](const httplib::Request&, httplib::Response& res) {
            const Roster* r = roster_;
            const double pace = pace_;
            auto next = std::make_shared<long>(-1);
            auto pending = std::make_shared<std::string>();
            auto start = Clock::now();
            res.set_content_provider(
                r->size(), "application/json",
                [r, next, pending, pace, start](size_t offset, size_t length,
                                                httplib::DataSink& sink) {
                    // `length` is all that is left: the body goes in pieces of 256 KiB.
                    r->fill(*next, *pending, 256 * 1024);
                    size_t n = std::min(length, pending->size());
                    if (pace > 0) {
                        std::this_thread::sleep_until(
                            start + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>((offset + n) / pace)));
                    }
                    bool ok = sink.write(pending->data(), n);
                    pending->erase(0, n);
                    return ok;
                });
        });
        http_.Post(R"(/transaction/\d+)",
                   [](const httplib::Request&, httplib::Response& res) { res.status = 201; });
        http_.Post("/contador",
                   [](const httplib::Request&, httplib::Response& res) { res.status = 201; });
        port_ = http_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { http_.listen_after_bind(); });
        while (!http_.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~Server() {
        http_.stop();
        thread_.join();
    }
    // `pace`: bytes a second that the roster goes out at, as over a real link; 0: as
    // fast as loopback takes them.
    void serve(const Roster* roster, double pace = 0) {
        roster_ = roster;
        pace_ = pace;
    }
    std::string port() const { return std::to_string(port_); }

  private:
    httplib::Server http_;
    const Roster* roster_ = nullptr;
    double pace_ = 0;
    int port_ = 0;
    std::thread thread_;
};

// A child process with a pipe on its standard input; standard output goes to `out`,
// or to a pipe (`fromOut`) when `out` is -1.
struct Child {
    pid_t pid = -1;
    int toIn = -1;
    int fromOut = -1;

    Child(const std::vector<std::string>& argv, int out) {
        int in[2], o[2] = {-1, -1};
        if (pipe2(in, O_CLOEXEC) != 0 || (out < 0 && pipe2(o, O_CLOEXEC) != 0)) {
            throw std::runtime_error("pipe");
        }
        pid = fork();
        if (pid == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out < 0 ? o[1] : out, STDOUT_FILENO);
            std::vector<char*> args;
            for (const std::string& a : argv) {
                args.push_back(const_cast<char*>(a.c_str()));
            }
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(in[0]);
        toIn = in[1];
        if (out < 0) {
            close(o[1]);
            fromOut = o[0];
        }
    }
    void write(const std::string& s) {
        if (::write(toIn, s.data(), s.size()) != static_cast<ssize_t>(s.size())) {
            throw std::runtime_error("write to child");
        }
    }
    // Returns once the child has read everything written to its input.
    void waitInputTaken() {
        int left = 1;
        while (ioctl(toIn, FIONREAD, &left) == 0 && left > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    }
    void closeInput() {
        close(toIn);
        toIn = -1;
    }
    // Reads standard output until `needle` has come; false at its end.
    bool readUntil(const std::string& needle) {
        std::string tail;
        char buf[65536];
        for (;;) {
            ssize_t n = read(fromOut, buf, sizeof buf);
            if (n <= 0) {
                return false;
            }
            tail.append(buf, static_cast<size_t>(n));
            if (tail.find(needle) != std::string::npos) {
                return true;
            }
            if (tail.size() > needle.size()) {
                tail.erase(0, tail.size() - needle.size());
            }
        }
    }
    // CPU seconds (user and system) of the whole child, once it ended.
    double cpu = 0;

    // Waits for the end; the peak resident set size in bytes.
    long end() {
        if (toIn >= 0) {
            closeInput();
        }
        if (fromOut >= 0) {
            char buf[65536];
            while (read(fromOut, buf, sizeof buf) > 0) {
            }
            close(fromOut);
        }
        int status = 0;
        struct rusage ru = {};
        wait4(pid, &status, 0, &ru);
        if (!WIFEXITED(status)) {
            throw std::runtime_error("child ended by a signal");
        }
        cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
              ru.ru_stime.tv_usec / 1e6;
        return ru.ru_maxrss * 1024L;
    }
};

// Returns once `pid` sits waiting for console input, seen in /proc/<pid>/syscall on
// three looks in a row: a read of descriptor 0 (the floor), or a poll of two
// descriptors without a time limit (catraca's console; libcurl's waits always have
// one).
void waitUntilReading(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    int looks = 0;
    for (long i = 0; i < 200000 && looks < 3; ++i) {
        std::ifstream f(path);
        std::string nr, a0, a1, a2;
        f >> nr >> a0 >> a1 >> a2;
        // "running" while the child runs; otherwise the call's number and arguments.
        auto is = [](const std::string& text, unsigned long value) {
            return !text.empty() && std::isdigit(static_cast<unsigned char>(text[0])) &&
                   std::strtoul(text.c_str(), nullptr, 0) == value;
        };
        bool waiting =
            (is(nr, SYS_read) && is(a0, 0)) || (is(nr, SYS_ppoll) && is(a1, 2) && is(a2, 0));
#ifdef SYS_poll
        waiting = waiting || (is(nr, SYS_poll) && is(a1, 2) && is(a2, 0xffffffffUL));
#endif
        looks = waiting ? looks + 1 : 0;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    if (looks < 3) {
        throw std::runtime_error("the child never waited for input");
    }
}

const std::string kPrompt = "selecione 1 para a catraca de entrada ou 2 para a catraca de saida: ";

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Startup {
    double seconds;
    long peakRss;
    double cpu;  // of the whole run, which ends at the first prompt
};

// From the port typed to the first turnstile prompt on the console.
Startup firstPrompt(Server& server) {
    Child c({CATRACA_BIN}, -1);
    c.write("127.0.0.1\n");
    if (!c.readUntil("Digite a porta\n")) {
        throw std::runtime_error("no port prompt");
    }
    auto t = Clock::now();
    c.write(server.port() + "\n");
    if (!c.readUntil(kPrompt)) {
        throw std::runtime_error("no turnstile prompt");
    }
    double s = since(t);
    long rss = c.end();
    return {s, rss, c.cpu};
}

double floorLoad(const char* program, Server& server) {
    Child c({program, "127.0.0.1:" + server.port() + "/transaction"}, -1);
    char buf[64] = {};
    ssize_t n = read(c.fromOut, buf, sizeof buf - 1);
    c.end();
    if (n <= 0) {
        throw std::runtime_error(std::string(program) + " failed");
    }
    return std::atof(buf);
}

// Standard output for the pass: /dev/null, or a pseudo-terminal drained by a thread.
class Console {
  public:
    explicit Console(bool pty) {
        if (!pty) {
            slave_ = open("/dev/null", O_WRONLY | O_CLOEXEC);
            return;
        }
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        drain_ = std::thread([this] {
            char buf[65536];
            while (read(master_, buf, sizeof buf) > 0) {
            }
        });
    }
    ~Console() {
        if (slave_ >= 0) {
            close(slave_);
        }
        if (drain_.joinable()) {
            drain_.join();
        }
        if (master_ >= 0) {
            close(master_);
        }
    }
    int fd() const { return slave_; }
    // The child holds its own copy: once ours is closed, the drain ends with the child.
    void release() {
        close(slave_);
        slave_ = -1;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::thread drain_;
};

// An entry then an exit of the last student, `passes` times: from the input typed to
// the program waiting for the next; per pass.
double passOurs(Server& server, long students, int passes, bool pty) {
    Console console(pty);
    Child c({CATRACA_BIN}, console.fd());
    console.release();
    c.write("127.0.0.1\n" + server.port() + "\n");
    waitUntilReading(c.pid);
    std::string input;
    for (int i = 0; i < passes; ++i) {
        input += "1 " + card(students) + "\n2 " + card(students) + "\n";
    }
    auto t = Clock::now();
    c.write(input);
    c.waitInputTaken();
    waitUntilReading(c.pid);
    double s = since(t);
    c.end();
    return s / passes;
}

double passFloor(Server& server, long students, int passes, bool pty, bool fresh) {
    Console console(pty);
    std::vector<std::string> argv = {FLOOR_PASS_BIN, server.port(), std::to_string(students),
                                     std::to_string(passes)};
    if (fresh) {
        argv.push_back("fresh");
    }
    Child c(argv, console.fd());
    console.release();
    waitUntilReading(c.pid);
    auto t = Clock::now();
    c.write("\n");
    c.waitInputTaken();
    waitUntilReading(c.pid);
    double s = since(t);
    c.end();
    return s / passes;
}

struct Row {
    std::string figure, ours, floor, ratio, target;
};

std::string fmt(const char* f, double v) {
    char b[64];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

Row row(const std::string& figure, double ours, double floor, const char* unit, double target) {
    double r = ours / floor;
    std::string t = target > 0 ? fmt("at most %.1f\xC3\x97", target) : "";
    if (target > 0 && r > target) {
        t += " (missed)";
    }
    return {figure, fmt(unit, ours), fmt(unit, floor), fmt("%.2f\xC3\x97", r), t};
}

std::string thousands(long n) {
    std::string s = std::to_string(n);
    for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3) {
        s.insert(static_cast<size_t>(i), ",");
    }
    return s;
}

// A figure with a fixed limit rather than a floor.
Row limit(const std::string& figure, double ours, const char* unit, double most) {
    std::string t = "at most " + fmt(unit, most);
    if (ours > most) {
        t += " (missed)";
    }
    return {figure, fmt(unit, ours), "", "", t};
}

}  // namespace

int main(int argc, char** argv) {
    const long rows = option(argc, argv, "--rows", 1000000);
    const long bigRows = option(argc, argv, "--big-rows", 10000000);
    const long students = option(argc, argv, "--students", 20000);
    const long passStudents = option(argc, argv, "--pass-students", 20000);
    const int repeat = static_cast<int>(option(argc, argv, "--repeat", 3));
    const int passes = static_cast<int>(option(argc, argv, "--passes", 10));
    const double link = static_cast<double>(option(argc, argv, "--link", 1000));

    Server server;
    std::vector<Row> table;
    auto sized = [](const Roster& r) {
        return thousands(r.rows()) + " rows (" + thousands(r.students()) + " students, " +
               fmt("%.1f MB", r.size() / 1e6) + ")";
    };
    Roster small(rows, students);
    server.serve(&small);
    std::vector<double> first, firstCpu, a, b, c;
    long rss = 0;
    for (int i = 0; i < repeat; ++i) {
        Startup st = firstPrompt(server);
        first.push_back(st.seconds);
        firstCpu.push_back(st.cpu);
        rss = std::max(rss, st.peakRss);
        a.push_back(floorLoad(FLOOR_A_BIN, server));
        b.push_back(floorLoad(FLOOR_B_BIN, server));
        c.push_back(floorLoad(FLOOR_C_BIN, server));
    }
    const double firstSmall = median(first);
    table.push_back(
        row("first prompt, " + sized(small) + " vs (a)", firstSmall, median(a), "%.3f s", 0));
    table.push_back(
        row("first prompt, " + sized(small) + " vs (b)", firstSmall, median(b), "%.3f s", 1.0));
    table.push_back(
        row("first prompt, " + sized(small) + " vs (c)", firstSmall, median(c), "%.3f s", 0));
    table.push_back(limit("peak RSS of that start-up", rss / 1e6, "%.1f MB", 64));
    if (link > 0) {
        // Over a link slower than the reader, the reading hides behind the transfer.
        server.serve(&small, link * 1e6 / 8);
        std::vector<double> paced, pacedFloor;
        for (int i = 0; i < repeat; ++i) {
            paced.push_back(firstPrompt(server).seconds);
            pacedFloor.push_back(floorLoad(FLOOR_C_BIN, server));
        }
        table.push_back(row("first prompt, " + thousands(rows) + " rows over a " +
                                fmt("%.0f", link) + " Mbit/s link vs (c)",
                            median(paced), median(pacedFloor), "%.3f s", 0));
    }
    {
        Roster big(bigRows, students);
        server.serve(&big);
        std::vector<double> bigOurs, bigCpu;
        long bigRss = 0;
        for (int i = 0; i < repeat; ++i) {
            Startup st = firstPrompt(server);
            bigOurs.push_back(st.seconds);
            bigCpu.push_back(st.cpu);
            bigRss = std::max(bigRss, st.peakRss);
        }
        table.push_back(row("first prompt, " + sized(big) + " vs " + thousands(rows) + " rows",
                            median(bigOurs), firstSmall, "%.3f s",
                            static_cast<double>(bigRows) / static_cast<double>(rows) * 1.1));
        // The processor time is what the rows cost whatever else the machine runs.
        table.push_back(
            row("catraca's CPU time, " + thousands(bigRows) + " vs " + thousands(rows) + " rows",
                median(bigCpu), median(firstCpu), "%.3f s", 0));
        table.push_back(limit("peak RSS of that start-up", bigRss / 1e6, "%.1f MB", 64));
    }

    Roster passRoster(passStudents, passStudents);
    server.serve(&passRoster);
    for (bool pty : {true, false}) {
        std::vector<double> ours, floor, fresh;
        for (int i = 0; i < repeat; ++i) {
            ours.push_back(passOurs(server, passStudents, passes, pty));
            floor.push_back(passFloor(server, passStudents, passes, pty, false));
            fresh.push_back(passFloor(server, passStudents, passes, pty, true));
        }
        std::string what = "one pass (entry, exit) at " + thousands(passStudents) +
                           " students, to " + (pty ? "a pty" : "/dev/null");
        table.push_back(row(what, median(ours), median(floor), "%.4f s", 2.0));
        table.push_back(row(what + ", floor with a connection per request", median(ours),
                            median(fresh), "%.4f s", 0));
    }

    std::printf("| figure | ours | floor | ratio | target |\n|---|---|---|---|---|\n");
    for (const Row& r : table) {
        std::printf("| %s | %s | %s | %s | %s |\n", r.figure.c_str(), r.ours.c_str(),
                    r.floor.c_str(), r.ratio.c_str(), r.target.c_str());
    }
    std::printf(
        "\n(a): download, then nlohmann-json SAX parse with a handler that does nothing.\n"
        "(b): download, then simdjson On-Demand visiting every row and field, credit "
        "summed per user.\n(c): the download alone, every byte dropped as it comes.\n"
        "The roster is made by the server as it is sent. Medians of %d runs.\n",
        repeat);
    return 0;
}
