// The turnstile console loop fed arbitrary bytes after the start-up answers, against a
// small roster on an in-process server that answers at once (one student's uploads
// always refused, so that some stay awaiting upload). On the last screen every student
// of the roster is listed exactly once, the head-count equals the length of the inside
// list, and every request the loop made names a student of the roster.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "catraca.h"
#include "support/console.h"
#include "support/recording_server.h"

namespace {

[[noreturn]] void finding(const std::string& what) {
    std::fprintf(stderr, "console_loop: %s\n", what.c_str());
    std::abort();
}

// user_id, card, event: user 1 has two rows.
const char* const kRoster =
    "[{\"cardID\":\"AB12\",\"user_id\":1,\"event\":1,\"matricula\":\"1\",\"salt\":\"s\","
    "\"n_password_hash\":\"h\"},"
    "{\"cardID\":\"CD34\",\"user_id\":2,\"event\":0,\"matricula\":\"2\",\"salt\":\"s\","
    "\"n_password_hash\":\"h\"},"
    "{\"cardID\":\"EF56\",\"user_id\":3,\"event\":1,\"matricula\":\"3\",\"salt\":\"s\","
    "\"n_password_hash\":\"h\"},"
    "{\"cardID\":\"X\",\"user_id\":4,\"event\":1,\"matricula\":\"4\",\"salt\":\"s\","
    "\"n_password_hash\":\"h\"},"
    "{\"cardID\":\"AB12\",\"user_id\":1,\"event\":1,\"matricula\":\"1\",\"salt\":\"s\","
    "\"n_password_hash\":\"h\"}]";
const std::set<int> kUsers = {1, 2, 3, 4};
const int kRefused = 3;  // every upload of this user is answered 500

testsupport::RecordingServer& server() {
    static testsupport::RecordingServer* s = [] {
        auto* made = new testsupport::RecordingServer();
        made->setHandler([](const testsupport::RecordedRequest& r) {
            if (r.method == "GET" && r.target == "/transaction") {
                return testsupport::Reply{200, kRoster, "application/json"};
            }
            if (r.method == "POST" && r.target == "/transaction/" + std::to_string(kRefused)) {
                return testsupport::Reply{500, "{}", "application/json"};
            }
            if (r.method == "POST") {
                return testsupport::Reply{201, "{}", "application/json"};
            }
            return testsupport::Reply{404, "no such path"};
        });
        return made;
    }();
    return *s;
}

// The users listed by one list's lines ("User <id> Credito <c>" or "EMPTY").
void users(const std::string& lines, std::multiset<int>& into, int* count) {
    std::istringstream in(lines);
    std::string line;
    while (std::getline(in, line)) {
        int id = 0;
        long long credit = 0;
        char rest = 0;
        if (line.empty() || line == "EMPTY") {
            continue;
        }
        if (std::sscanf(line.c_str(), "User %d Credito %lld%c", &id, &credit, &rest) != 2) {
            finding("a list line that is not a student: \"" + line + "\"");
        }
        into.insert(id);
        ++*count;
    }
}

void checkLastScreen(const std::string& out) {
    static const std::string kTop = "Status atual dos usuarios fora do RU\n";
    static const std::string kCount = "\ntem ";
    static const std::string kInside = " pessoas dentro do RU. pessoas dentro do RU:\n";
    static const std::string kPrompt = "selecione 1 para a catraca de entrada";
    size_t top = out.rfind(kTop);
    if (top == std::string::npos) {
        finding("no screen");
    }
    size_t count = out.find(kCount, top);
    size_t inside = out.find(kInside, count);
    size_t prompt = out.find(kPrompt, inside);
    if (count == std::string::npos || inside == std::string::npos || prompt == std::string::npos) {
        finding("a screen cut short");
    }
    std::multiset<int> listed;
    int outside = 0;
    int in = 0;
    users(out.substr(top + kTop.size(), count - top - kTop.size()), listed, &outside);
    users(out.substr(inside + kInside.size(), prompt - inside - kInside.size()), listed, &in);
    if (std::set<int>(listed.begin(), listed.end()) != kUsers || listed.size() != kUsers.size()) {
        finding("a student missing or listed twice");
    }
    std::string headCount = out.substr(count + kCount.size(), inside - count - kCount.size());
    if (headCount != std::to_string(in)) {
        finding("head-count " + headCount + " but " + std::to_string(in) + " inside");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    testsupport::RecordingServer& s = server();
    s.clearRequests();
    std::string input = "127.0.0.1\n" + std::to_string(s.port()) + "\n" +
                        std::string(reinterpret_cast<const char*>(data), size);
    std::string out;
    {
        testsupport::ConsoleCapture console(input);
        Servidor::Ajustes ajustes;
        ajustes.timeout = 5;
        Catraca catraca(ajustes, nullptr);
        catraca.start();
        if (catraca.getStatus() != 1) {
            finding("the roster did not load");
        }
        catraca.run();
        out = console.output();
    }
    checkLastScreen(out);
    for (const testsupport::RecordedRequest& r : s.requests()) {
        bool known = r.target == "/transaction" || r.target == "/contador";
        for (int u : kUsers) {
            known = known || r.target == "/transaction/" + std::to_string(u);
        }
        if (!known) {
            finding("a request for no student: " + r.method + " " + r.target);
        }
    }
    return 0;
}
