// --refresh: a refused entry downloads the roster again and searches the card once
// more. Each row is a session against a scripted loopback server whose second
// roster download gets the row's answer. The online rows (--online) ask the server
// at each entry, whose questions get the row's answers in turn.
#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <optional>

#include "catraca.h"
#include "journal.h"
#include "support/console.h"
#include "support/loopback.h"
#include "support/roster_wire.h"
#include "support/scripted_server.h"
#include "turnstile.h"

namespace {

using namespace turnstile;
using testsupport::Act;
using testsupport::ScriptedRequest;
using testsupport::ScriptedServer;

// A session's output: the passes (screens taken out) after the start-up, the last screen
// up to its prompt, and what came after it.
void expectSession(const std::string& out, const std::string& port, const std::string& lines,
                   const std::string& lastScreen, const std::string& end) {
    const size_t last = out.rfind("Status atual dos usuarios fora do RU") - 101;
    const size_t after = out.find("saida: ", last) + 7;
    EXPECT_EQ(withoutScreens(out.substr(0, last)), startup("127.0.0.1", port) + lines);
    EXPECT_EQ(out.substr(last, after - last), lastScreen);
    EXPECT_EQ(out.substr(after), end);
}

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
    std::deque<Act> answers = {};  // online: to the questions at the entry
    std::string offered = "";      // the start-up roster's Roster-Cursor; "" none
};

template <class... A>
std::deque<Act> asks(A... answers) {
    return {answers...};
}

Act credit(int status, const std::string& c) {
    return Act::answer(status, "{\"user_id\": 2, \"event\": -1, \"credit\": " + c + "}");
}

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
    const Act down = Act::answer(503, "{}");
    const std::string alone = kCard + kFound + kAlone + admitted(4) + kCard + exited(4) + kUpdated;
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
        {"refused for good, then news of it in a download: tried at the next exit", 0, fresh, 404,
         "1 B\n2 B\n1 A\n2 A\n",
         kCard + kFound + admitted(4) + kCard + exited(4) + refusedForGood(2, 404) + kUpdated +
             kCard + kFound + kNoCredit + kRefreshing + kFound + admitted(2) + kCard + exited(2) +
             refusedForGood(1, 404) + kUpdated,
         screen({user(3, 2)}, {user(2, 14), user(1, 2)}, {}), undelivered(2),
         "G U2 C0 G U2 U1 C0 U2 U1"},
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
        {"online: bought at the cashier, the board says 0", -1, fresh, 201, "1 A\n2 A\n",
         kCard + kFound + admitted(2) + kCard + exited(2) + kUpdated,
         screen({user(2, 5), user(1, 2)}, {}, {}), "", "G E1 C0", asks(credit(201, "2"))},
        {"online: 409 takes the server's credit", -1, fresh, 201, "1 B\n",
         kCard + kFound + kNoCredit, screen({user(1, 0), user(2, 0)}, {}, {}), "", "G E2",
         asks(credit(409, "0"))},
        {"online: 201, the server's credit plus the pending", -1, fresh, 503, "1 B\n2 B\n1 B\n",
         alone + kCard + kFoundUpdate + admitted(3), screen({user(1, 0)}, {}, {user(2, 3)}),
         undelivered(1), "G E2 U2 E2 U2", asks(down, credit(201, "4"))},
        {"online: 409, the server's credit plus the pending", -1, fresh, 503, "1 B\n2 B\n1 B\n",
         alone + kCard + kFoundUpdate + kNoCredit, screen({user(1, 0)}, {user(2, -1)}, {}),
         undelivered(1), "G E2 U2 E2 U2", asks(down, credit(409, "0"))},
        {"online: 201 without a credit; no question unless found", -1, fresh, 201,
         "1 X\n1 B\n1 B\n", kCard + kNotFound + kCard + kFound + admitted(4) + kCard + kNotFound,
         screen({user(1, 0)}, {}, {user(2, 4)}), "", "G E2", asks(Act::answer(201, "{}"))},
        {"online: 409 with a credit beyond an int", -1, fresh, 201, "1 B\n",
         kCard + kFound + kNoCredit, screen({user(1, 0), user(2, 5)}, {}, {}), "", "G E2",
         asks(credit(409, "2147483648"))},
        {"online: 409 with a credit that an int would wrap", -1, fresh, 201, "1 B\n",
         kCard + kFound + kNoCredit, screen({user(1, 0), user(2, 5)}, {}, {}), "", "G E2",
         asks(credit(409, "4294967290"))},
        {"online: refused alone, dropped, refreshed, asked once", 0, fresh, 201, "1 A\n",
         kCard + kFound + kAlone + kNoCredit + kRefreshing + kFound + admitted(2),
         screen({user(2, 15), user(3, 2)}, {}, {user(1, 2)}), "", "G E1 G U1", asks(down)},
        {"online: 201, then the rows after the cursor bring that event back once", 0,
         Act::answer(200, roster({{"B", 2, -1}}))
             .with(wire::kRosterAfter, "c1")
             .with(wire::kRosterCursor, "c2"),
         201, "1 B\n2 B\n1 X\n",
         kCard + kFound + admitted(4) + kCard + exited(4) + kUpdated + kCard + kNotFound +
             kRefreshing + kNotFound,
         screen({user(1, 0), user(2, 4)}, {}, {}), "", "G E2 C0 G", asks(credit(201, "4")), "c1"},
    };
    for (const RefreshRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::mutex mutex;
        int gets = 0;
        std::deque<Act> answers = row.answers;
        ScriptedServer server([&](const ScriptedRequest& r) {
            std::lock_guard<std::mutex> lock(mutex);
            if (r.method == "GET") {
                if (++gets > 1) {
                    return row.second;
                }
                Act start = Act::answer(200, first);
                return row.offered.empty() ? start : start.with(wire::kRosterCursor, row.offered);
            }
            if (r.target.rfind("/entrada/", 0) == 0 && !answers.empty()) {
                Act a = answers.front();
                answers.pop_front();
                return a;
            }
            return Act::answer(r.target == "/contador" ? 201 : row.upload, "{}");
        });
        std::string port = std::to_string(server.port());
        Servidor::Ajustes ajustes;
        ajustes.timeout = 1;
        testsupport::TempDir dir;
        std::string error;
        std::unique_ptr<Journal> journal = Journal::abre(dir.file("j.db"), &error);
        testsupport::ConsoleCapture console("127.0.0.1\n" + port + "\n" + row.input);
        Catraca c(ajustes, journal.get(), row.refresh);
        c.setOnline(!row.answers.empty());
        c.start();
        ASSERT_EQ(c.getStatus(), 1);
        c.run();
        expectSession(console.output(), port, row.lines, row.last, row.end);
        EXPECT_EQ(requestCodes(server.requests()), row.requests);
        EXPECT_EQ(journal->eventos().size(), c.contaPendentes()) << "the journal mirrors them";
    }
}

}  // namespace

namespace {

using namespace turnstile;
using testsupport::Act;
using testsupport::ScriptedRequest;
using testsupport::ScriptedServer;

struct CursorRow {
    const char* name;
    std::string offered;  // the Roster-Cursor of the start-up answer; "" none
    Act second;           // the answers to the refreshes
    Act third;
    int upload;
    std::string lines;  // what the passes wrote, screens taken out
    std::string last;   // the last screen
    std::string end;
    std::vector<std::string> gets;  // the targets of the roster downloads
    std::string input = "1 A\n2 A\n1 B\n1 X\n";
    std::deque<int> uploads = {};   // the first upload answers, before `upload`
    std::optional<Act> whole = {};  // the answer to a later whole download
};

// The rows after a cursor, merged, give what the whole roster gives: the delta holds
// A's own acknowledged upload (counted once), credit B bought and a new student N.
TEST(Refresh, ACursorAsksForWhatChangedAndMergesItExactly) {
    const std::string first = roster({{"A", 1, 2}, {"B", 2, 0}});
    const std::string delta = roster({{"A", 1, -1}, {"B", 2, 3}, {"N", 3, 2}});
    const std::string whole =
        roster({{"A", 1, 2}, {"B", 2, 0}, {"A", 1, -1}, {"B", 2, 3}, {"N", 3, 2}});
    auto after = [](Act a, const std::string& from, const std::string& to) {
        return a.with(wire::kRosterAfter, from).with(wire::kRosterCursor, to);
    };
    const Act rest = after(Act::answer(200, "[]"), "c2", "c3");
    const std::string admittedB = kCard + kFound + admitted(1) + kCard + exited(1) + kUpdated +
                                  kCard + kFound + kNoCredit + kRefreshing + kFound + admitted(2) +
                                  kCard + kNotFound + kRefreshing + kNotFound;
    const std::string lastB = screen({user(1, 1), user(3, 2)}, {}, {user(2, 2)});
    const std::vector<std::string> c1c2 = {"/transaction", wire::rosterAfter("c1"),
                                           wire::rosterAfter("c2")};
    const std::vector<CursorRow> rows = {
        {"a delta", "c1", after(Act::answer(200, delta), "c1", "c2"), rest, 201, admittedB, lastB,
         "", c1c2},
        {"an unknown cursor: a whole roster replaces", "c1",
         Act::answer(200, whole).with("roster-cursor", "c2"), rest, 201, admittedB, lastB, "",
         c1c2},
        {"another cursor echoed: a whole roster", "c1", after(Act::answer(200, whole), "c0", "c2"),
         rest, 201, admittedB, lastB, "", c1c2},
        {"no cursor offered: today's request", "", Act::answer(200, whole), Act::answer(200, whole),
         201, admittedB, lastB, "", std::vector<std::string>(3, "/transaction")},
        {"a cursor not well formed is not used", "c 1", Act::answer(200, whole),
         Act::answer(200, whole), 201, admittedB, lastB, "",
         std::vector<std::string>(3, "/transaction")},
        {"a malformed delta changes nothing, the cursor stays",
         "c1",
         after(Act::answer(200, "[{\"cardID\":"), "c1", "c2"),
         after(Act::answer(200, delta), "c1", "c2"),
         201,
         kCard + kFound + admitted(1) + kCard + exited(1) + kUpdated + kCard + kFound + kNoCredit +
             kRefreshing + notRefreshed("o corpo n\xE3o \xE9 JSON v\xE1lido (byte 12)") + kCard +
             kNotFound + kRefreshing + kNotFound,
         screen({user(2, 3), user(1, 1), user(3, 2)}, {}, {}),
         "",
         {"/transaction", wire::rosterAfter("c1"), wire::rosterAfter("c1")}},
        {"a credit the pending events would take out of range changes nothing",
         "c1",
         after(
             Act::answer(
                 200, roster({{"A", 1, -2147483647 - 1}, {"A", 1, -1}, {"A", 1, -1}, {"B", 2, 3}})),
             "c1", "c2"),
         rest,
         503,
         kCard + kFound + admitted(1) + kCard + exited(1) + kUpdated + kCard + kFound + kNoCredit +
             kRefreshing +
             notRefreshed("o cr\xE9"
                          "dito do usu\xE1rio 1 sairia do intervalo de 32 bits") +
             kCard + kNotFound + kRefreshing + kNotFound,
         screen({user(2, 0)}, {user(1, 1)}, {}),
         undelivered(1),
         {"/transaction", wire::rosterAfter("c1"), wire::rosterAfter("c1")}},
        {"a pending upload is not in the delta and stays pending", "c1",
         after(Act::answer(200, roster({{"B", 2, 3}, {"N", 3, 2}})), "c1", "c2"), rest, 503,
         kCard + kFound + admitted(1) + kCard + exited(1) + kUpdated + kCard + kFound + kNoCredit +
             kRefreshing + kFound + admitted(2) + kCard + kNotFound + kRefreshing + kNotFound,
         screen({user(3, 2)}, {user(1, 1)}, {user(2, 2)}), undelivered(2), c1c2},
        // A's 503 came after its row was stored; the delta brings that row while the event
        // is still pending, and once the retry is acknowledged only a whole roster can
        // tell: it is asked for once, then the cursor serves again.
        {"an upload stored but unanswered: a whole roster once it is acknowledged",
         "c1",
         after(Act::answer(200, roster({{"A", 1, -1}, {"B", 2, 3}})), "c1", "c2"),
         rest,
         201,
         kCard + kFound + admitted(1) + kCard + exited(1) + kUpdated + kCard + kFound + kNoCredit +
             kRefreshing + kFound + admitted(2) + kCard + exited(2) + kUpdated + kCard + kNotFound +
             kRefreshing + kNotFound + kCard + kNotFound + kRefreshing + kNotFound,
         screen({user(1, 1), user(2, 2)}, {}, {}),
         "",
         {"/transaction", wire::rosterAfter("c1"), "/transaction", wire::rosterAfter("c3")},
         "1 A\n2 A\n1 B\n2 B\n1 X\n1 Y\n",
         {503},
         Act::answer(200,
                     roster({{"A", 1, 2}, {"B", 2, 0}, {"A", 1, -1}, {"B", 2, 3}, {"B", 2, -1}}))
             .with(wire::kRosterCursor, "c3")},
        // A delta row of A (inside) under another card: A's sum goes on from what the board
        // holds and its card stays; a whole roster gives the card of the first row.
        {"a delta continues the students inside, a whole roster renews the cards", "c1",
         after(Act::answer(200, roster({{"Z", 1, 4}, {"B", 2, 3}})), "c1", "c2"),
         Act::answer(200,
                     roster({{"A9", 1, 2}, {"B", 2, 0}, {"Z", 1, 4}, {"A", 1, -1}, {"B", 2, 3}})),
         201,
         kCard + kFound + admitted(1) + kCard + kFound + kNoCredit + kRefreshing + kFound +
             admitted(2) + kCard + exited(5) + kUpdated + kCard + kNotFound + kRefreshing +
             kNotFound + kCard + kFound + admitted(4),
         screen({}, {}, {user(2, 2), user(1, 4)}), "", c1c2, "1 A\n1 B\n2 A\n1 X\n1 A9\n"},
    };
    for (const CursorRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::mutex mutex;
        int gets = 0;
        size_t uploads = 0;
        ScriptedServer server([&](const ScriptedRequest& r) {
            std::lock_guard<std::mutex> lock(mutex);
            if (r.method == "GET") {
                ++gets;
                if (gets > 1 && r.target == "/transaction" && row.whole) {
                    return *row.whole;
                }
                Act start = Act::answer(200, first);
                return gets == 1
                           ? (row.offered.empty() ? start
                                                  : start.with(wire::kRosterCursor, row.offered))
                       : gets == 2 ? row.second
                                   : row.third;
            }
            if (r.target != "/contador" && uploads < row.uploads.size()) {
                return Act::answer(row.uploads[uploads++], "{}");
            }
            return Act::answer(r.target == "/contador" ? 201 : row.upload, "{}");
        });
        std::string port = std::to_string(server.port());
        testsupport::ConsoleCapture console("127.0.0.1\n" + port + "\n" + row.input);
        Catraca c(Servidor::Ajustes(), nullptr, 0);
        c.start();
        ASSERT_EQ(c.getStatus(), 1);
        c.run();
        expectSession(console.output(), port, row.lines, row.last, row.end);
        std::vector<std::string> targets;
        for (const ScriptedRequest& r : server.requests()) {
            if (r.method == "GET") {
                targets.push_back(r.target);
                EXPECT_EQ(r.head.substr(r.head.find("\r\n")),
                          server.requests()[0].head.substr(server.requests()[0].head.find("\r\n")))
                    << "a roster download carries the same fields as ever";
            }
        }
        EXPECT_EQ(targets, row.gets);
    }
}

}  // namespace

namespace {

using namespace turnstile;
using testsupport::Act;
using testsupport::ScriptedRequest;
using testsupport::ScriptedServer;

// Syncing before every pass: credit bought at the cashier admits at the first try,
// without a refusal; a failed sync writes its one line and changes nothing.
TEST(Sync, EachDueSyncFetchesWhatChangedBeforeThePass) {
    std::mutex mutex;
    int gets = 0;
    ScriptedServer server([&](const ScriptedRequest& r) {
        std::lock_guard<std::mutex> lock(mutex);
        if (r.method != "GET") {
            return Act::answer(201, "{}");
        }
        switch (++gets) {
            case 1:
                return Act::answer(200, roster({{"A", 1, 0}, {"B", 2, 5}}))
                    .with(wire::kRosterCursor, "c1");
            case 2:
                return Act::answer(200, roster({{"A", 1, 3}}))
                    .with(wire::kRosterAfter, "c1")
                    .with(wire::kRosterCursor, "c2");
            default:
                return Act::answer(503, "{}");
        }
    });
    std::string port = std::to_string(server.port());
    testsupport::ConsoleCapture console("127.0.0.1\n" + port + "\n1 A\n");
    Catraca c(Servidor::Ajustes(), nullptr, -1, "", std::chrono::milliseconds(0));
    c.start();
    ASSERT_EQ(c.getStatus(), 1);
    c.run();
    EXPECT_EQ(withoutScreens(console.output()), startup("127.0.0.1", port) + kCard + kFound +
                                                    admitted(2) +
                                                    notRefreshed("c\xF3"
                                                                 "digo do erro 503"));
    std::vector<std::string> sent;
    for (const ScriptedRequest& r : server.requests()) {
        sent.push_back(r.method + " " + r.target);
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"GET /transaction", "GET /transaction?after=c1",
                                              "GET /transaction?after=c2", "POST /transaction/1"}));
}

}  // namespace
