// ru-server's transport and routes fed arbitrary request bytes (method, target, header
// fields and body, one request or several pipelined) over a loopback connection to an
// in-process server on a temporary database. Every connection ends with its answers,
// and what is stored changes only through accepted requests: with no 201 among the
// answers nothing stored changed, and never more rows were added than 201s sent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "http_server.h"
#include "store.h"
#include "store_sqlite.h"

namespace {

[[noreturn]] void finding(const std::string& what) {
    std::fprintf(stderr, "server_request: %s\n", what.c_str());
    std::abort();
}

const char* const kRoster =
    "[{\"cardID\":\"AB12\",\"user_id\":1,\"event\":5,\"matricula\":\"1\",\"salt\":\"s\","
    "\"n_password_hash\":\"h\"},"
    "{\"cardID\":\"CD34\",\"user_id\":2,\"event\":0,\"matricula\":\"2\",\"salt\":\"s\","
    "\"n_password_hash\":\"h\"},"
    "{\"cardID\":\"EF56\",\"user_id\":-7,\"event\":2147483646,\"matricula\":\"3\","
    "\"salt\":\"s\",\"n_password_hash\":\"h\"}]";

// After this many accepted uploads the database starts afresh, so that the roster
// every check reads stays small.
constexpr int kMaxAppended = 200;

// A store with the roster above and the server over it, on a thread of its own.
struct World {
    World() {
        char modelo[] = "/dev/shm/server_request.XXXXXX";
        char* feito = mkdtemp(modelo);
        if (feito == nullptr) {
            char outro[] = "/tmp/server_request.XXXXXX";
            feito = mkdtemp(outro);
        }
        if (feito == nullptr) {
            finding("no temporary directory");
        }
        dir = feito;
        store = std::make_unique<ru::SqliteStore>(dir + "/ru.db");
        std::istringstream roster(kRoster);
        store->importRoster(roster);
        ru::ServerSettings settings;
        settings.host = "127.0.0.1";
        settings.port = 0;
        settings.idleTimeout = std::chrono::milliseconds(2000);
        settings.headerTimeout = std::chrono::milliseconds(2000);
        settings.bodyTimeout = std::chrono::milliseconds(2000);
        settings.writeTimeout = std::chrono::milliseconds(2000);
        settings.workers = 1;
        http = std::make_unique<ru::HttpServer>(*store, settings);
        thread = std::thread([this] { http->run(); });
    }
    ~World() {
        http->stop();
        thread.join();
        http.reset();
        store.reset();
        for (const char* f : {"/ru.db", "/ru.db-wal", "/ru.db-shm", "/ru.db-journal"}) {
            std::remove((dir + f).c_str());
        }
        rmdir(dir.c_str());
    }

    std::string dir;
    std::unique_ptr<ru::Store> store;
    std::unique_ptr<ru::HttpServer> http;
    std::thread thread;
    int appended = 0;
};

std::unique_ptr<World>& world() {
    static std::unique_ptr<World> w;
    return w;
}

void endWorld() {
    world().reset();
}

std::string storedState(ru::Store& store) {
    std::string text;
    std::unique_ptr<ru::RosterStream> r = store.openRoster();
    while (r->read(text, 1 << 16)) {
    }
    std::optional<ru::HeadCount> h = store.latestHeadCount();
    text += h ? "\n" + std::to_string(h->v) + " " + std::to_string(h->receivedAt) : "\nnone";
    return text;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// Sends `request` on a new connection, ends the sending side, and returns every byte
// the server answers until it closes.
std::string exchange(unsigned short port, const std::string& request) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        finding("no socket");
    }
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        finding("cannot connect");
    }
    timeval wait = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    for (size_t sent = 0; sent < request.size();) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;  // the server refused and closed: what it answered is still read below
        }
        sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    std::string answer;
    char buffer[16384];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            answer.append(buffer, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                finding("the connection was neither answered nor closed");
            }
            break;
        }
    }
    close(fd);
    return answer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<World>& w = world();
    // After world()'s first call: its pointer then outlives the clean-up at exit.
    static bool registered = std::atexit(endWorld) == 0;
    (void)registered;
    if (!w || w->appended > kMaxAppended) {
        w.reset();
        w = std::make_unique<World>();
    }
    const std::string before = storedState(*w->store);
    const std::string answer =
        exchange(w->http->port(), std::string(reinterpret_cast<const char*>(data), size));
    const std::string after = storedState(*w->store);

    size_t accepted = count(answer, "HTTP/1.1 201 ");
    size_t rowsBefore = count(before, "\"user_id\":");
    size_t rowsAfter = count(after, "\"user_id\":");
    if (accepted == 0 && after != before) {
        finding("refused requests changed what is stored");
    }
    if (rowsAfter < rowsBefore || rowsAfter - rowsBefore > accepted) {
        finding("rows added " + std::to_string(rowsAfter - rowsBefore) + " for " +
                std::to_string(accepted) + " accepted requests");
    }
    if (!answer.empty() && answer.compare(0, 9, "HTTP/1.1 ") != 0) {
        finding("an answer that is not HTTP/1.1");
    }
    w->appended += static_cast<int>(rowsAfter - rowsBefore);
    return 0;
}
