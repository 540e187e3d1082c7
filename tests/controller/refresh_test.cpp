// --refresh: a refused entry downloads the roster again and searches the card once
// more. Each row is a session against a scripted loopback server whose second
// roster download gets the row's answer.
#include <gtest/gtest.h>

#include <mutex>

#include "catraca.h"
#include "support/console.h"
#include "support/scripted_server.h"
#include "turnstile.h"

namespace {

using namespace turnstile;
using testsupport::Act;
using testsupport::ScriptedRequest;
using testsupport::ScriptedServer;

const std::string kRefreshing =
    "Atualizando a lista de transa\xE7\xF5"
    "es...\n";

std::string notRefreshed(const std::string& why) {
    return "Lista de transa\xE7\xF5"
           "es n\xE3o atualizada: " +
           why + "\n";
}

struct RefreshRow {
    const char* name;
    int refresh;  // seconds; -1 without --refresh
    Act second;   // the answer to the second roster download
    int upload;   // the answer to every upload
    std::string input;
    std::string lines;  // what the passes wrote, screens taken out
    std::string last;   // the last screen
    std::string end;    // after it
    std::string requests;
};

TEST(Refresh, RefusedEntryDownloadsTheRosterAgainOnce) {
    // A has no credit and B some; the second roster gives A 3 more, B 10 more, and
    // brings N in.
    const std::string first = roster({{"A", 1, 0}, {"B", 2, 5}});
    const std::string second =
        roster({{"A", 1, 0}, {"B", 2, 5}, {"A", 1, 3}, {"N", 3, 2}, {"B", 2, 10}});
    const Act fresh = Act::answer(200, second);
    const std::string cr =
        "c\xF3"
        "digo do erro ";
    const std::vector<RefreshRow> rows = {
        {"credit bought after start", 0, fresh, 201, "1 A\n",
         kCard + kFound + kNoCredit + kRefreshing + kFound + admitted(2),
         screen({user(2, 15), user(3, 2)}, {}, {user(1, 2)}), "", "G G U1"},
        {"a student enrolled after start", 0, fresh, 201, "1 N\n",
         kCard + kNotFound + kRefreshing + kFound + admitted(1),
         screen({user(1, 3), user(2, 15)}, {}, {user(3, 1)}), "", "G G U3"},
        {"inside, credit changed: stays inside, own event kept", 0, fresh, 201, "1 B\n1 X\n2 B\n",
         kCard + kFound + admitted(4) + kCard + kNotFound + kRefreshing + kNotFound + kCard +
             exited(14) + kUpdated,
         screen({user(1, 3), user(3, 2), user(2, 14)}, {}, {}), "", "G G U2 C0"},
        {"inside, entering again: not found, and no download", 0, fresh, 201, "1 B\n1 B\n2 B\n",
         kCard + kFound + admitted(4) + kCard + kNotFound + kCard + exited(4) + kUpdated,
         screen({user(1, 0), user(2, 4)}, {}, {}), "", "G U2 C0"},
        {"awaiting upload: keeps its list and its queue", 0, fresh, 503, "1 B\n2 B\n1 X\n",
         kCard + kFound + admitted(4) + kCard + exited(4) + kUpdated + kCard + kNotFound +
             kRefreshing + kNotFound,
         screen({user(1, 3), user(3, 2)}, {user(2, 14)}, {}), undelivered(1), "G U2 G U2"},
        {"refused download", 0, Act::answer(503, "{}"), 201, "1 A\n",
         kCard + kFound + kNoCredit + kRefreshing + notRefreshed(cr + "503"),
         screen({user(1, 0), user(2, 5)}, {}, {}), "", "G G"},
        {"malformed roster", 0, Act::answer(200, "{}"), 201, "1 A\n",
         kCard + kFound + kNoCredit + kRefreshing +
             notRefreshed("o corpo n\xE3o \xE9 um array JSON"),
         screen({user(1, 0), user(2, 5)}, {}, {}), "", "G G"},
        {"truncated roster", 0, Act::truncate(200, second), 201, "1 A\n",
         kCard + kFound + kNoCredit + kRefreshing + notRefreshed(cr + "-1"),
         screen({user(1, 0), user(2, 5)}, {}, {}), "", "G G"},
        {"time-out, then the quiet window", 0, Act::silent(), 201, "1 A\n1 A\n",
         kCard + kFound + kNoCredit + kRefreshing + notRefreshed(cr + "28") + kCard + kFound +
             kNoCredit + kRefreshing + notRefreshed(cr + "28"),
         screen({user(1, 0), user(2, 5)}, {}, {}), "", "G G"},
        {"refused within SECONDS of the last download", 3600, fresh, 201, "1 A\n1 N\n",
         kCard + kFound + kNoCredit + kCard + kNotFound, screen({user(1, 0), user(2, 5)}, {}, {}),
         "", "G"},
        {"without --refresh", -1, fresh, 201, "1 A\n1 N\n",
         kCard + kFound + kNoCredit + kCard + kNotFound, screen({user(1, 0), user(2, 5)}, {}, {}),
         "", "G"},
    };
    for (const RefreshRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::mutex mutex;
        int gets = 0;
        ScriptedServer server([&](const ScriptedRequest& r) {
            std::lock_guard<std::mutex> lock(mutex);
            if (r.method == "GET") {
                return ++gets == 1 ? Act::answer(200, first) : row.second;
            }
            return Act::answer(r.target == "/contador" ? 201 : row.upload, "{}");
        });
        std::string port = std::to_string(server.port());
        Servidor::Ajustes ajustes;
        ajustes.timeout = 1;
        testsupport::ConsoleCapture console("127.0.0.1\n" + port + "\n" + row.input);
        Catraca c(ajustes, nullptr, row.refresh);
        c.start();
        ASSERT_EQ(c.getStatus(), 1);
        c.run();
        std::string out = console.output();
        size_t last = out.rfind("Status atual dos usuarios fora do RU") - 101;
        size_t end = out.find("saida: ", last) + 7;
        EXPECT_EQ(withoutScreens(out.substr(0, last)), startup("127.0.0.1", port) + row.lines);
        EXPECT_EQ(out.substr(last, end - last), row.last);
        EXPECT_EQ(out.substr(end), row.end);
        EXPECT_EQ(requestCodes(server.requests()), row.requests);
    }
}

}  // namespace
