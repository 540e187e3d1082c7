// The built program as the operator runs it: console bytes, exit status, nothing
// on standard error, and how end of input and stop signals end it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/syscall.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "journal.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/roster_wire.h"
#include "support/scripted_server.h"
#include "turnstile.h"

namespace {

using namespace turnstile;
using testsupport::ChildProcess;
using testsupport::RecordedRequest;
using testsupport::Reply;

const std::string kNoServer = "N\xE3o foi poss\xEDvel conectar com o servidor. Servidor Rodando?\n";
const std::string kPrompt = "selecione 1 para a catraca de entrada ou 2 para a catraca de saida: ";

std::vector<std::string> targets(const std::vector<RecordedRequest>& requests) {
    std::vector<std::string> t;
    for (const RecordedRequest& r : requests) {
        t.push_back(r.method + " " + r.target + " " + r.body);
    }
    return t;
}

// True once `pid` has sat in a write call for several looks in a row: its standard
// output is full and nobody reads it.
bool stuckInWrite(pid_t pid) {
    const std::string write = std::to_string(SYS_write) + " ";
    int looks = 0;
    for (int i = 0; i < 2000 && looks < 5; ++i) {
        std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
        std::string line;
        std::getline(f, line);
        looks = line.compare(0, write.size(), write) == 0 ? looks + 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return looks >= 5;
}

TEST(Program, ScriptedSessionGivesExactConsoleAndRequests) {
    Server server;
    server.rosterBody =
        roster({{"AB12CD", 1, 2}, {"CD34", 2, 0}, {"EF56", 3, 1}, {"AB12CD", 1, 1}});
    ChildProcess p(CATRACA_BIN, {});
    p.write("127.0.0.1\n" + server.port() + "\n1 ab12cd\n1 CD34\n1 EF56\n2 AB12CD\n1 XX\n");
    p.closeInput();
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(p.err(), "");
    EXPECT_EQ(
        p.out(),
        startup("127.0.0.1", server.port()) + screen({user(1, 3), user(2, 0), user(3, 1)}, {}, {}) +
            kCard + kFound + admitted(2) + screen({user(2, 0), user(3, 1)}, {}, {user(1, 2)}) +
            kCard + kFound + kNoCredit + screen({user(2, 0), user(3, 1)}, {}, {user(1, 2)}) +
            kCard + kFound + admitted(0) + screen({user(2, 0)}, {}, {user(1, 2), user(3, 0)}) +
            kCard + exited(2) + kUpdated + screen({user(2, 0), user(1, 2)}, {}, {user(3, 0)}) +
            kCard + kNotFound + screen({user(2, 0), user(1, 2)}, {}, {user(3, 0)}));
    EXPECT_EQ(targets(server.http.requests()),
              (std::vector<std::string>{
                  "GET /transaction ", "POST /transaction/1 {\"event_id\": -1}",
                  "POST /contador {\"v\":1}", "POST /transaction/3 {\"event_id\": -1}"}));
}

TEST(Program, FailedStartWritesBothLinesAndExitsZero) {
    int port;
    {
        testsupport::RecordingServer gone;
        port = gone.port();
    }
    ChildProcess p(CATRACA_BIN, {});
    p.write("127.0.0.1\n" + std::to_string(port) + "\n");
    p.closeInput();
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(p.err(), "");
    EXPECT_EQ(p.out(), loadFailure("127.0.0.1", std::to_string(port), -1) + kNoServer);
}

TEST(Program, RejectedRosterWritesReasonThenMainLine) {
    Server server;
    server.rosterBody = "[{\"cardID\":\"A\"}]";
    ChildProcess p(CATRACA_BIN, {});
    p.write("127.0.0.1\n" + server.port() + "\n");
    p.closeInput();
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(p.err(), "");
    EXPECT_EQ(p.out(), startup("127.0.0.1", server.port()) +
                           "Lista de transa\xE7\xF5"
                           "es recusada: elemento 1 sem a chave "
                           "\"user_id\"\n" +
                           kNoServer);
}

TEST(Program, UndeliveredEventsAtEndOfInputExitWithOne) {
    Server server;
    server.rosterBody = roster({{"A", 1, 5}, {"B", 2, 5}});
    server.upload = [](const RecordedRequest&) { return Reply{503, "busy"}; };
    ChildProcess p(CATRACA_BIN, {});
    p.write("127.0.0.1\n" + server.port() + "\n1 A\n1 B\n2 B\n");
    p.closeInput();
    EXPECT_EQ(p.wait(), 1);
    EXPECT_EQ(p.err(), "");
    std::string tail =
        "N\xE3o foi poss\xEDvel enviar 2 eventos de cr\xE9"
        "dito ao servidor.\n";
    ASSERT_GE(p.out().size(), tail.size());
    EXPECT_EQ(p.out().substr(p.out().size() - tail.size()), tail);
    // The exit's update, then the last attempt: B awaiting upload first, then A inside.
    EXPECT_EQ(targets(server.updates()),
              (std::vector<std::string>{"POST /transaction/2 {\"event_id\": -1}",
                                        "POST /transaction/2 {\"event_id\": -1}",
                                        "POST /transaction/1 {\"event_id\": -1}"}));
}

// A stop signal while the program waits at its prompt: the admissions of those
// still inside are uploaded, and it ends by itself.
TEST(Program, StopSignalAtPromptUploadsPendingEventsAndEnds) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        Server server;
        server.rosterBody = roster({{"A", 1, 5}, {"B", 2, 5}});
        ChildProcess p(CATRACA_BIN, {});
        p.write("127.0.0.1\n" + server.port() + "\n1 A\n1 B\n");
        ASSERT_TRUE(p.waitForOutput(kPrompt, 3)) << p.out();
        p.signal(sig);
        EXPECT_EQ(p.wait(), 0);
        EXPECT_EQ(p.err(), "");
        EXPECT_EQ(targets(server.updates()),
                  (std::vector<std::string>{"POST /transaction/1 {\"event_id\": -1}",
                                            "POST /transaction/2 {\"event_id\": -1}"}));
    }
}

// With the waits unbounded, a stop signal during an upload lets that upload and its
// update finish first.
TEST(Program, StopSignalDuringUploadLetsItComplete) {
    Server server;
    server.rosterBody = roster({{"A", 1, 5}});
    server.upload = [](const RecordedRequest&) { return Reply{201, "{}", "text/plain", 1500}; };
    ChildProcess p(CATRACA_BIN, {"--timeout", "0"});
    p.write("127.0.0.1\n" + server.port() + "\n1 A\n2 A\n1 A\n");
    ASSERT_TRUE(p.waitForOutput("Saida registrada")) << p.out();
    for (int i = 0; i < 500 && server.updates().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(p.err(), "");
    EXPECT_NE(p.out().find(kUpdated), std::string::npos) << "the update did not finish";
    EXPECT_EQ(p.out().find(kFound, p.out().find(kUpdated)), std::string::npos)
        << "the input after the signal was still served";
    EXPECT_EQ(targets(server.updates()),
              (std::vector<std::string>{"POST /transaction/1 {\"event_id\": -1}",
                                        "POST /contador {\"v\":0}"}));
}

// Five students inside, and a server that takes eight seconds over each upload: the
// last attempt at the stop ends after its 20 s, within the board unit's 30, or at once
// at one more stop request (0: the end of input, or none); what it could not send is
// reported and stays in the journal.
TEST(Program, LastAttemptAtAStopEndsAfterItsLimitOrAtOneMoreSignal) {
    const std::string five =
        roster({{"A", 1, 5}, {"B", 2, 5}, {"C", 3, 5}, {"D", 4, 5}, {"E", 5, 5}});
    for (auto [first, second] :
         std::vector<std::pair<int, int>>{{0, 0}, {SIGTERM, SIGINT}, {0, SIGTERM}}) {
        SCOPED_TRACE(std::to_string(first) + " then " + std::to_string(second));
        testsupport::TempDir dir;
        testsupport::ScriptedServer server([&](const testsupport::ScriptedRequest& r) {
            return r.method == "GET" ? testsupport::Act::answer(200, five)
                                     : testsupport::Act::drip(201, "{}      ", 1000);
        });
        ChildProcess p(CATRACA_BIN, {"--journal", dir.file("j.db")});
        p.write("127.0.0.1\n" + std::to_string(server.port()) + "\n1 A\n1 B\n1 C\n1 D\n1 E\n");
        ASSERT_TRUE(p.waitForOutput(kPrompt, 6)) << p.out();
        first != 0 ? p.signal(first) : p.closeInput();
        for (int i = 0; i < 500 && second != 0 && server.requests().size() < 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (second != 0) {
            p.signal(second);
        }
        EXPECT_EQ(p.wait(second != 0 ? 10000 : 30000), 1) << "forty seconds of uploads";
        std::string e;
        size_t left = Journal::abre(dir.file("j.db"), &e)->eventos().size();
        EXPECT_GT(left, 0u);
        EXPECT_EQ(left == 5, second != 0) << left << " left";
        EXPECT_EQ(p.out().rfind(undelivered(left)), p.out().size() - undelivered(left).size());
    }
}

// A stop signal while a redraw is held up by a console nobody reads (the write is
// interrupted): once the console is read again, the redraw is whole and the last
// warning is its final line.
TEST(Program, StopSignalDuringABlockedRedrawLosesNoOutput) {
    if (testsupport::runsEmulated(CATRACA_BIN)) {
        // Which call a process sits in is read from /proc, which shows the emulator's
        // own calls of this machine, not the program's.
        GTEST_SKIP() << "the program's system calls cannot be watched under emulation";
    }
    Server server;
    std::vector<Row> rows;
    for (int i = 0; i < 4000; ++i) {
        rows.push_back({"C" + std::to_string(i), i + 1, 5});
    }
    server.rosterBody = roster(rows);
    server.upload = [](const RecordedRequest&) { return Reply{503, "busy"}; };
    ChildProcess p(CATRACA_BIN, {});
    p.write("127.0.0.1\n" + server.port() + "\n1 C0\n");
    ASSERT_TRUE(p.waitForOutput(kPrompt)) << p.out();
    // A write that had moved some bytes returns their count when interrupted; the next
    // one then starts on the full pipe, and a signal there makes it fail outright.
    ASSERT_TRUE(stuckInWrite(p.pid())) << "the second screen never filled the pipe";
    p.signal(SIGTERM);
    for (int i = 0; i < 2 && stuckInWrite(p.pid()); ++i) {
        p.signal(SIGTERM);
    }
    EXPECT_EQ(p.wait(), 1);
    EXPECT_EQ(p.err(), "");
    const std::string& out = p.out();
    size_t second = out.find(kPrompt, out.find(kPrompt) + 1);
    ASSERT_NE(second, std::string::npos) << "the redraw was cut short";
    EXPECT_EQ(out.substr(second + kPrompt.size()), undelivered(1));
    EXPECT_NE(out.rfind(user(4000, 5) + "\n", second), std::string::npos);
}

}  // namespace

namespace {

const std::string kSyncTimedOut =
    "Lista de transa\xE7\xF5"
    "es n\xE3o atualizada: c\xF3"
    "digo do erro 28\n";

// A roster download with a cursor at start, then a server that never answers one again
// (or gives every later one `later`).
struct SilentAfterStart {
    explicit SilentAfterStart(testsupport::Act l = testsupport::Act::silent()) : later(l) {}
    testsupport::Act later;
    std::atomic<int> gets{0};
    testsupport::ScriptedServer server{[this](const testsupport::ScriptedRequest& r) {
        if (r.method != "GET") {
            return testsupport::Act::answer(201, "{}");
        }
        return ++gets == 1 ? testsupport::Act::answer(200, roster({{"A", 1, 5}}))
                                 .with(wire::kRosterCursor, "c1")
                           : later;
    }};
    std::string port() const { return std::to_string(server.port()); }
};

// The idle console syncs; a server gone silent costs one bounded wait, then its quiet
// window sends nothing, and the turnstile keeps answering cards.
TEST(Program, SyncAgainstASilentServerWaitsOnceAndTheTurnstileKeepsWorking) {
    SilentAfterStart s;
    ChildProcess p(CATRACA_BIN, {"--sync", "1", "--timeout", "1"});
    p.write("127.0.0.1\n" + s.port() + "\n");
    ASSERT_TRUE(p.waitForOutput(kSyncTimedOut)) << p.out();
    ASSERT_TRUE(p.waitForOutput(kSyncTimedOut, 2)) << "the next sync, in the quiet window";
    p.write("1 A\n");
    ASSERT_TRUE(p.waitForOutput(admitted(4))) << p.out();
    p.closeInput();
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(p.err(), "");
    EXPECT_EQ(s.gets, 2) << "the start-up, then the one sync that waited";
}

// A card typed while a sync waits for the server cuts the sync short: the card is
// answered at once, not after the sync's time-out, and the sync writes nothing.
TEST(Program, ACardTypedDuringASyncIsAnsweredAtOnce) {
    SilentAfterStart s;
    ChildProcess p(CATRACA_BIN, {"--sync", "1", "--timeout", "60"});
    p.write("127.0.0.1\n" + s.port() + "\n");
    // Its console unread meanwhile: an idle wait redraws nothing until it syncs.
    for (int i = 0; i < 500 && s.gets < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(s.gets, 2) << "no sync began";
    p.write("1 A\n");
    EXPECT_TRUE(p.waitForOutput(admitted(4), 1, 10000)) << "the card waited for the sync";
    // So does a stop: the run ends without a line about the sync it cut.
    for (int i = 0; i < 500 && s.gets < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(p.out().find("atualizada"), std::string::npos) << p.out();
}

// A failed sync waits its period like any other: the console does not ask again at once.
TEST(Program, AFailedSyncWaitsItsPeriod) {
    SilentAfterStart s(testsupport::Act::answer(503, "{}"));
    ChildProcess p(CATRACA_BIN, {"--sync", "1"});
    p.write("127.0.0.1\n" + s.port() + "\n");
    const std::string refused =
        "Lista de transa\xE7\xF5"
        "es n\xE3o atualizada: c\xF3"
        "digo do erro 503\n";
    ASSERT_TRUE(p.waitForOutput(refused, 2)) << p.out();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(s.gets, 4) << "the start-up and about one sync a second";
    p.closeInput();
    EXPECT_EQ(p.wait(), 0);
}

}  // namespace
