// Idempotency keys on the event uploads: one field more on each upload and nothing
// else on the wire, the same key on every retry of an event, and a new key for each
// event (restarts: command_line_test.cpp).
#include <gtest/gtest.h>

#include <bitset>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "catraca.h"
#include "idempotencia.h"
#include "journal.h"
#include "support/console.h"
#include "support/loopback.h"
#include "support/scripted_server.h"
#include "turnstile.h"

namespace {

using namespace turnstile;
using testsupport::Act;
using testsupport::ScriptedRequest;
using testsupport::ScriptedServer;

// Uploads refused while `refused` is above 0 (one per upload), accepted after.
class Uploads {
  public:
    explicit Uploads(int refused) : refused_(refused) {}

    std::vector<ScriptedRequest> uploads() const {
        std::vector<ScriptedRequest> sent;
        for (const ScriptedRequest& r : server_.requests()) {
            if (r.target.rfind("/transaction/", 0) == 0) {
                sent.push_back(r);
            }
        }
        return sent;
    }
    std::string port() const { return std::to_string(server_.port()); }

  private:
    std::mutex mutex_;
    int refused_;
    ScriptedServer server_{[this](const ScriptedRequest& r) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (r.method == "GET") {
            return Act::answer(200, roster({{"A", 1, 5}, {"B", 2, 5}}));
        }
        bool refuse = r.target != "/contador" && refused_ > 0;
        refused_ -= refuse ? 1 : 0;
        return Act::answer(refuse ? 503 : 201, "{}");
    }};
};

// Runs one session of the controller; returns how many events are left pending.
unsigned session(const std::string& port, Journal* journal, const std::string& placa,
                 const std::string& input, const std::string& board = "") {
    Servidor::Ajustes ajustes;
    ajustes.timeout = 2;
    ajustes.placa = board;
    testsupport::ConsoleCapture console("127.0.0.1\n" + port + "\n" + input);
    Catraca c(ajustes, journal, -1, placa);
    c.start();
    EXPECT_EQ(c.getStatus(), 1);
    c.run();
    return c.contaPendentes();
}

std::string withoutKey(const std::string& head) {
    return std::regex_replace(head, std::regex("Idempotency-Key: [^\r]*\r\n"), "");
}

struct KeyWireCase {
    const char* name;
    bool journal;
    bool keys;
    std::string board = "";  // --board
};

TEST(IdempotencyKey, OnlyTheOptionAddsOneFieldAndEachEventKeepsItsKeyOnRetry) {
    const std::vector<KeyWireCase> cases = {
        {"no option", false, false},     {"no option, journal", true, false},
        {"keys", false, true},           {"keys, journal", true, true},
        {"board", false, false, "ru-1"}, {"board, keys, journal", true, true, "ru-1"},
    };
    for (const KeyWireCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        std::string error;
        std::unique_ptr<Journal> journal;
        if (c.journal) {
            journal = Journal::abre(dir.file("j.db"), &error);
            ASSERT_TRUE(journal) << error;
        }
        std::string placa;
        if (c.keys) {
            placa = journal ? journal->placa(&error) : novaIdentidadePlaca();
        }
        Uploads server(1);
        // A's upload is refused and sent again at B's exit, before B's own.
        EXPECT_EQ(session(server.port(), journal.get(), placa, "1 A\n2 A\n1 B\n2 B\n", c.board),
                  0u);
        std::vector<ScriptedRequest> sent = server.uploads();
        ASSERT_EQ(sent.size(), 3u);
        const std::vector<std::string> users = {"1", "1", "2"};
        const std::vector<std::string> keys = {"\"" + placa + "-1\"", "\"" + placa + "-1\"",
                                               "\"" + placa + "-2\""};
        for (size_t i = 0; i < sent.size(); ++i) {
            const std::string bare = "POST /transaction/" + users[i] +
                                     " HTTP/1.1\r\nHost: 127.0.0.1:" + server.port() +
                                     "\r\nUser-Agent: restclient\r\nAccept: */*\r\n" +
                                     (c.board.empty() ? "" : "Catraca-Board: " + c.board + "\r\n") +
                                     "Content-Type: application/json\r\nContent-Length: 16\r\n\r\n";
            if (!c.keys) {
                EXPECT_EQ(sent[i].head, bare);
                continue;
            }
            EXPECT_EQ(withoutKey(sent[i].head), bare);
            EXPECT_EQ(sent[i].header("Idempotency-Key"), keys[i]);
        }
    }
    // Two boards never share an identity.
    const std::string a = novaIdentidadePlaca();
    EXPECT_TRUE(std::regex_match(a, std::regex("[0-9a-f]{32}"))) << a;
    EXPECT_NE(a, novaIdentidadePlaca());
}

// Two boards with one identity would lose meals at a server that honours keys. Of a
// thousand uniform draws all differ, each position shows all 16 digits and each two at
// least half their 256 pairs, but for a vanishing chance; 16 random bits spread fail.
TEST(IdempotencyKey, BoardIdentitiesAreDistinctAndEveryDigitIsItsOwn) {
    std::set<std::string> boards;
    std::vector<std::bitset<256>> pairs(32 * 32);  // the digits seen at i / 32 and i % 32
    for (int n = 0; n < 1000; ++n) {
        const std::string b = novaIdentidadePlaca();
        boards.insert(b);
        auto digit = [&b](size_t k) { return b[k] <= '9' ? b[k] - '0' : b[k] - 'a' + 10; };
        for (size_t i = 0; i < pairs.size(); ++i) {
            pairs[i].set(digit(i / 32) * 16 + digit(i % 32));
        }
    }
    EXPECT_EQ(boards.size(), 1000u);
    for (size_t i = 0; i < pairs.size(); ++i) {
        EXPECT_GE(pairs[i].count(), i / 32 == i % 32 ? 16u : 128u) << i / 32 << ", " << i % 32;
    }
}

}  // namespace
