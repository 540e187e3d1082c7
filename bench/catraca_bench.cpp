// Figures for the controller at restaurant scale: loading a roster of a million rows,
// redrawing the status screen, finding a card, and uploading events one request
// each. Prints one line per figure; asserts nothing about speed.
//
// Usage: catraca_bench [--rows N] [--users N] [--uploads N] [--dom]
#include <httplib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "catraca.h"
#include "list.h"
#include "student.h"
#include "transacoes.h"

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Peak resident set size of this process so far, in MiB.
double peakMiB() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

// Resident set size now, in MiB.
double residentMiB() {
    long pages = 0, resident = 0;
    std::ifstream statm("/proc/self/statm");
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
           (1024.0 * 1024.0);
}

// Rows spread round-robin over `users`; each user's first row carries its credit.
std::string rosterBody(long rows, long users) {
    std::string body = "[";
    body.reserve(static_cast<size_t>(rows) * 150);
    for (long i = 0; i < rows; ++i) {
        long u = i % users;
        int event = i < users ? 20 : (i % 3 == 0 ? 5 : -1);
        if (i > 0) {
            body += ',';
        }
        body += "{\"cardID\":\"C" + std::to_string(100000 + u) +
                "\",\"user_id\":" + std::to_string(u + 1) + ",\"event\":" + std::to_string(event) +
                ",\"matricula\":\"2026" + std::to_string(u) +
                "\",\"salt\":\"9f8e7d6c5b4a3928\",\"n_password_hash\":"
                "\"5e884898da28047151d0e56f8dc6292773603d0d6aabbdd62a11ef721d1542d8\"}";
    }
    body += "]";
    return body;
}

long option(int argc, char** argv, const std::string& name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (argv[i] == name) {
            return std::atol(argv[i + 1]);
        }
    }
    return fallback;
}

bool flag(int argc, char** argv, const std::string& name) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == name) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const long rows = option(argc, argv, "--rows", 1000000);
    const long users = option(argc, argv, "--users", 30000);
    const long uploads = option(argc, argv, "--uploads", 300);

    auto t = std::chrono::steady_clock::now();
    std::string body = rosterBody(rows, users);
    std::printf("roster body: %ld rows, %ld users, %.1f MiB (built in %.2f s)\n", rows, users,
                static_cast<double>(body.size()) / (1024.0 * 1024.0), seconds(t));
    double before = residentMiB();

    List* lista = new List();
    t = std::chrono::steady_clock::now();
    std::string motivo = carregaTransacoes(body, *lista);
    double load = seconds(t);
    if (!motivo.empty()) {
        std::printf("roster rejected: %s\n", motivo.c_str());
        return 1;
    }
    std::printf(
        "roster load: %.3f s (%.0f rows/s), %d students and their events holding %.0f MiB\n", load,
        static_cast<double>(rows) / load, lista->getContador(), residentMiB() - before);

    // The status screen, written where a terminal would not slow it down.
    std::ofstream devnull("/dev/null");
    std::streambuf* console = std::cout.rdbuf(devnull.rdbuf());
    t = std::chrono::steady_clock::now();
    lista->print();
    double screen = seconds(t);
    t = std::chrono::steady_clock::now();
    const int finds = 200;
    std::string last = "C" + std::to_string(100000 + users - 1);
    for (int i = 0; i < finds; ++i) {
        if (lista->find(last) == nullptr) {
            std::abort();
        }
    }
    double find = seconds(t) / finds;
    std::cout.rdbuf(console);
    std::printf("status screen of %d students: %.1f ms; find of the last card: %.3f ms\n",
                lista->getContador(), screen * 1000.0, find * 1000.0);

    // The whole start-up against a loopback server: download and load.
    {
        httplib::Server server;
        server.Get("/transaction", [&](const httplib::Request&, httplib::Response& res) {
            res.set_content(body, "application/json");
        });
        server.Post(R"(/transaction/\d+)",
                    [](const httplib::Request&, httplib::Response& res) { res.status = 201; });
        server.Post("/contador",
                    [](const httplib::Request&, httplib::Response& res) { res.status = 201; });
        int port = server.bind_to_any_port("127.0.0.1");
        std::thread thread([&] { server.listen_after_bind(); });
        while (!server.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }

        std::istringstream in("127.0.0.1\n" + std::to_string(port) + "\n");
        std::streambuf* keyboard = std::cin.rdbuf(in.rdbuf());
        std::cout.rdbuf(devnull.rdbuf());
        Catraca* catraca = new Catraca();
        t = std::chrono::steady_clock::now();
        catraca->start();
        double start = seconds(t);
        std::cout.rdbuf(console);
        std::cin.rdbuf(keyboard);
        std::printf("start-up (download and load over loopback): %.3f s, status %d\n", start,
                    catraca->getStatus());
        delete catraca;

        // One request per event, each on a fresh connection.
        Student s;
        s.setUserId(1);
        s.insertEvent(new Node<int>(new int(static_cast<int>(uploads) + 1)));
        for (long i = 0; i < uploads; ++i) {
            s.insertEvent(new Node<int>(new int(-1)));
            s.incContEvent();
        }
        t = std::chrono::steady_clock::now();
        unsigned ok = s.atualizaEvents("127.0.0.1", static_cast<unsigned>(port));
        double up = seconds(t);
        std::printf("event upload: %ld events in %.3f s (%.0f events/s), result %u\n", uploads, up,
                    static_cast<double>(uploads) / up, ok);
        server.stop();
        thread.join();
    }

    if (flag(argc, argv, "--dom")) {
        // For comparison: the same body parsed into a document tree.
        double base = residentMiB();
        t = std::chrono::steady_clock::now();
        nlohmann::json doc = nlohmann::json::parse(body);
        std::printf("document-tree parse (comparison): %.3f s, the tree holding %.0f MiB\n",
                    seconds(t), residentMiB() - base);
    }
    delete lista;
    std::printf("peak RSS: %.0f MiB\n", peakMiB());
    return 0;
}
