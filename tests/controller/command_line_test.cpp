// The built program's command line, its start with standard descriptors closed, and
// its journal as seen from outside: refused files, events that survive a SIGKILL.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "journal.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/scripted_server.h"
#include "support/tls_server.h"
#include "turnstile.h"

namespace {

using namespace turnstile;
using testsupport::ChildProcess;
using testsupport::RecordedRequest;
using testsupport::Reply;
using testsupport::TempDir;

const std::string kNoServer = "N\xE3o foi poss\xEDvel conectar com o servidor. Servidor Rodando?\n";
const std::string kPrompt = "selecione 1 para a catraca de entrada ou 2 para a catraca de saida: ";
const std::string kSeeHelp = " (veja catraca --help)\n";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

void sql(const std::string& path, const std::string& statements) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, statements.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
}

std::string kBadBoard(const std::string& name) {
    return "valor inv\xE1lido para --board: \"" + name +
           "\" (de 1 a 64 caracteres ASCII vis\xEDveis, sem espa\xE7os)";
}

struct UsageCase {
    std::vector<std::string> args;
    std::string line;  // after "catraca: ", before " (veja catraca --help)"
};

TEST(CommandLine, BadOptionIsOneLineOnStandardErrorAndStatusTwoBeforeAnythingElse) {
    TempDir pki;
    testsupport::TestCertificates certs(pki);
    const testsupport::ClientCertificate board = certs.client("catraca-01");
    const testsupport::ClientCertificate other = certs.client("catraca-02");
    const std::string secret = board.keyFile + ".secret";
    ASSERT_EQ(ChildProcess("/bin/sh", {"-c", "openssl pkey -aes256 -passout pass:x -in " +
                                                 board.keyFile + " -out " + secret})
                  .wait(),
              0);
    const std::vector<UsageCase> cases = {
        {{"--bogus"}, "op\xE7\xE3o desconhecida: --bogus"},
        {{"--bogus=1"}, "op\xE7\xE3o desconhecida: --bogus=1"},
        {{"-x"}, "op\xE7\xE3o desconhecida: -x"},
        {{"-xy"}, "op\xE7\xE3o desconhecida: -x"},
        {{"--timeout"}, "a op\xE7\xE3o --timeout precisa de um valor"},
        {{"--help=yes"}, "a op\xE7\xE3o --help n\xE3o aceita valor"},
        {{"--idempotency-keys=yes"}, "a op\xE7\xE3o --idempotency-keys n\xE3o aceita valor"},
        {{"--timeout", "abc"},
         "valor inv\xE1lido para --timeout: \"abc\" (segundos, de 0 a 86400)"},
        {{"--timeout=-1"}, "valor inv\xE1lido para --timeout: \"-1\" (segundos, de 0 a 86400)"},
        {{"--timeout="}, "valor inv\xE1lido para --timeout: \"\" (segundos, de 0 a 86400)"},
        {{"--timeout", "+5"}, "valor inv\xE1lido para --timeout: \"+5\" (segundos, de 0 a 86400)"},
        {{"--timeout", " 5"}, "valor inv\xE1lido para --timeout: \" 5\" (segundos, de 0 a 86400)"},
        {{"--timeout", "5s"}, "valor inv\xE1lido para --timeout: \"5s\" (segundos, de 0 a 86400)"},
        {{"--timeout", "86401"},
         "valor inv\xE1lido para --timeout: \"86401\" (segundos, de 0 a 86400)"},
        {{"--timeout", "99999999999999999999"},
         "valor inv\xE1lido para --timeout: \"99999999999999999999\" (segundos, de 0 a 86400)"},
        {{"--journal="}, "--journal precisa do nome de um arquivo"},
        {{"--refresh"}, "a op\xE7\xE3o --refresh precisa de um valor"},
        {{"--refresh=-5"}, "valor inv\xE1lido para --refresh: \"-5\" (segundos, de 0 a 86400)"},
        {{"--refresh", "1m"}, "valor inv\xE1lido para --refresh: \"1m\" (segundos, de 0 a 86400)"},
        {{"--sync"}, "a op\xE7\xE3o --sync precisa de um valor"},
        {{"--sync", "0"}, "valor inv\xE1lido para --sync: \"0\" (segundos, de 1 a 86400)"},
        {{"--sync=86401"}, "valor inv\xE1lido para --sync: \"86401\" (segundos, de 1 a 86400)"},
        {{"--cacert", "/nonexistent/ca.pem"},
         "n\xE3o \xE9 poss\xEDvel ler o arquivo de --cacert \"/nonexistent/ca.pem\": No such file "
         "or directory"},
        {{"--key", "/nonexistent/board.key"},
         "n\xE3o \xE9 poss\xEDvel ler o arquivo de --key \"/nonexistent/board.key\": No such "
         "file or directory"},
        {{"--cert", "/dev/null"}, "--cert e --key v\xE3o juntas"},
        {{"--key", "/dev/null"}, "--cert e --key v\xE3o juntas"},
        {{"--cert", board.certFile, "--key", secret},
         "a chave de --key \"" + secret +
             "\" tem senha, que catraca n\xE3o pede: use uma chave sem senha"},
        {{"--cert", board.certFile, "--key", other.keyFile},
         "a chave de --key \"" + other.keyFile + "\" n\xE3o \xE9 a do certificado de --cert \"" +
             board.certFile + "\""},
        {{"--cert", board.certFile, "--key", board.certFile},
         "n\xE3o h\xE1 chave privada PEM em --key \"" + board.certFile + "\""},
        {{"--cert", board.keyFile, "--key", board.keyFile},
         "n\xE3o h\xE1 certificado PEM em --cert \"" + board.keyFile + "\""},
        {{"extra"}, "argumento inesperado: extra"},
        {{"--timeout", "5", "--", "--help"}, "argumento inesperado: --help"},
        {{"--help", "--bogus"}, "op\xE7\xE3o desconhecida: --bogus"},
        {{"--idempotency-keys", "--journal="}, "--journal precisa do nome de um arquivo"},
        {{"--board="}, kBadBoard("")},
        {{"--board", "a b"}, kBadBoard("a b")},
        {{"--board", std::string(65, 'x')}, kBadBoard(std::string(65, 'x'))},
        {{"--board=ru\xE9"}, kBadBoard("ru\xE9")},
        {{"--entry-timeout", "0"},
         "valor inv\xE1lido para --entry-timeout: \"0\" (segundos, de 1 a 60)"},
        {{"--entry-timeout=61"},
         "valor inv\xE1lido para --entry-timeout: \"61\" (segundos, de 1 a 60)"},
        {{"--entry-timeout", "3", "--timeout", "2"}, "--entry-timeout 3 passa de --timeout 2"},
    };
    Server server;
    TempDir dir;
    for (const UsageCase& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "" : c.args[0]);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"--journal", dir.file("never.db")});
        ChildProcess p(CATRACA_BIN, args);
        p.write("127.0.0.1\n" + server.port() + "\n");
        p.closeInput();
        EXPECT_EQ(p.wait(), 2);
        EXPECT_EQ(p.out(), "");
        EXPECT_EQ(p.err(), "catraca: " + c.line + kSeeHelp);
    }
    EXPECT_TRUE(server.http.requests().empty());
    EXPECT_FALSE(std::ifstream(dir.file("never.db")).good()) << "the journal was created";
}

TEST(CommandLine, HelpAndVersionGoToStandardOutput) {
    ChildProcess help(CATRACA_BIN, {"--help"});
    EXPECT_EQ(help.wait(), 0);
    EXPECT_EQ(help.err(), "");
    EXPECT_EQ(help.out().rfind("Uso: catraca [OP\xC7\xC3O]...\n", 0), 0u) << help.out();
    for (const char* option :
         {"--timeout SEGUNDOS", "--journal ARQUIVO", "--cacert ARQUIVO", "--cert ARQUIVO",
          "--key ARQUIVO", "--sync SEGUNDOS", "--idempotency-keys", "--board[=NOME]", "--online",
          "--entry-timeout SEGUNDOS", "--help", "--version"}) {
        EXPECT_NE(help.out().find(option), std::string::npos) << option;
    }
    ChildProcess version(CATRACA_BIN, {"--version"});
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(version.out(), "catraca " CATRACA_VERSION "\n");
}

// Both spellings and an unambiguous abbreviation run the program as usual. The board's
// name goes on every request (roster, upload, head-count) of a named board only.
TEST(CommandLine, GoodOptionsKeepTheConsoleBytes) {
    TempDir dir;
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    const std::vector<std::string> boards = {"", "", "", "", "", "ru-1", "-x!~", host, host, ""};
    auto board = boards.begin();
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--timeout", "3", "--journal", dir.file("a.db")},
          std::vector<std::string>{"--timeout=3", "--journal=" + dir.file("b.db")},
          std::vector<std::string>{"--time", "3", "--refresh", "3600"},
          std::vector<std::string>{"--timeout", "86400"},
          std::vector<std::string>{"--refresh=86400"},
          std::vector<std::string>{"--timeout=0", "--entry-timeout=60", "--board", "ru-1"},
          std::vector<std::string>{"--board=-x!~"}, std::vector<std::string>{"--board"},
          std::vector<std::string>{"--board", "--timeout", "3"},
          std::vector<std::string>{"--sync", "86400", "--refresh", "0"}}) {
        Server server;
        server.rosterBody = roster({{"A", 1, 2}});
        ChildProcess p(CATRACA_BIN, args);
        p.write("127.0.0.1\n" + server.port() + "\n1 A\n2 A\n");
        p.closeInput();
        EXPECT_EQ(p.wait(), 0);
        EXPECT_EQ(p.err(), "");
        EXPECT_EQ(p.out(), startup("127.0.0.1", server.port()) + screen({user(1, 2)}, {}, {}) +
                               kCard + kFound + admitted(1) + screen({}, {}, {user(1, 1)}) + kCard +
                               exited(1) + kUpdated + screen({user(1, 1)}, {}, {}));
        for (const RecordedRequest& r : server.http.requests()) {
            EXPECT_EQ(r.hasHeader("Catraca-Board"), !board->empty()) << r.target;
            EXPECT_EQ(r.header("Catraca-Board"), *board) << r.target;
        }
        ++board;
    }
    EXPECT_EQ(board, boards.end()) << "one board per row";
}

// Without its standard descriptors the program must not read its own stop pipe (or
// anything else it opens) as the console: each missing one reads as empty.
TEST(CommandLine, ClosedStandardDescriptorsReadAsEmpty) {
    const std::vector<std::vector<int>> cases = {{0}, {0, 2}, {0, 1}, {0, 1, 2}, {1, 2}};
    for (const std::vector<int>& closed : cases) {
        SCOPED_TRACE(::testing::PrintToString(closed));
        TempDir dir;
        ChildProcess p(CATRACA_BIN, {"--journal", dir.file("j.db")}, closed);
        p.closeInput();
        EXPECT_EQ(p.wait(10000), 0) << "it waited for input that never comes";
        bool outOpen = std::find(closed.begin(), closed.end(), 1) == closed.end();
        EXPECT_EQ(p.out(), outOpen ? loadFailure("", "0", -1) + kNoServer : "");
        EXPECT_EQ(p.err(), "");
    }
}

struct RefusedJournal {
    const char* name;
    std::function<std::string(const TempDir&)> make;  // returns the path
    std::string reason;
};

TEST(Journal, UnusableFileStopsTheStartWithOneLineAndStaysUntouched) {
    const std::vector<RefusedJournal> cases = {
        {"text file",
         [](const TempDir& d) {
             writeFile(d.file("t"), "not a journal, just text\n");
             return d.file("t");
         },
         "n\xE3o \xE9 um di\xE1rio de eventos (file is not a database)"},
        {"another database",
         [](const TempDir& d) {
             sql(d.file("o.db"), "CREATE TABLE alunos(id INTEGER); INSERT INTO alunos VALUES(1);");
             return d.file("o.db");
         },
         "n\xE3o \xE9 um di\xE1rio de eventos"},
        {"damaged journal",
         [](const TempDir& d) {
             {
                 std::string e;
                 auto j = Journal::abre(d.file("d.db"), &e);
                 for (int i = 0; i < 400; ++i) {
                     j->grava(i, -1, &e);
                 }
             }
             std::string bytes = readFile(d.file("d.db"));
             std::remove(d.file("d.db-wal").c_str());
             writeFile(d.file("d.db"), bytes.substr(0, 4096 + 100));
             return d.file("d.db");
         },
         "o di\xE1rio est\xE1 danificado ("},
        // Found by fuzzing: a schema that merely reads as empty was taken for a new
        // journal and written over, and a reason could span lines.
        {"damaged, with a schema that reads as empty",
         [](const TempDir& d) {
             writeFile(d.file("e.db"), readFile(CATRACA_FUZZ_CORPUS
                                                "/journal_open/regression_damaged_empty_schema"));
             return d.file("e.db");
         },
         "o di\xE1rio est\xE1 danificado (Fragmentation"},
        {"damaged, a line end in a name",
         [](const TempDir& d) {
             writeFile(d.file("n.db"),
                       readFile(CATRACA_FUZZ_CORPUS "/journal_open/regression_line_end_in_name"));
             return d.file("n.db");
         },
         "o di\xE1rio est\xE1 danificado (malformed database schema"},
        {"a column renamed",
         [](const TempDir& d) {
             writeFile(d.file("r.db"),
                       readFile(CATRACA_FUZZ_CORPUS "/journal_open/regression_renamed_column"));
             return d.file("r.db");
         },
         "n\xE3o \xE9 um di\xE1rio de eventos"},
        {"a directory", [](const TempDir& d) { return d.path(); }, "unable to open database file"},
        {"missing directory", [](const TempDir& d) { return d.file("no/such/j.db"); },
         "unable to open database file"},
    };
    for (const RefusedJournal& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = c.make(dir);
        std::string before = readFile(path);
        Server server;
        ChildProcess p(CATRACA_BIN, {"--journal", path});
        p.write("127.0.0.1\n" + server.port() + "\n");
        p.closeInput();
        EXPECT_EQ(p.wait(), 1);
        std::string line = "N\xE3o foi poss\xEDvel abrir o di\xE1rio de eventos " + path + ": ";
        EXPECT_EQ(p.out().substr(0, line.size()), line);
        EXPECT_NE(p.out().find(c.reason, line.size()), std::string::npos) << p.out();
        EXPECT_EQ(std::count(p.out().begin(), p.out().end(), '\n'), 1) << p.out();
        EXPECT_EQ(p.err(), "");
        EXPECT_EQ(readFile(path), before);
        EXPECT_TRUE(server.http.requests().empty());
    }
}

}  // namespace

namespace {

// SIGKILL right after an admission: the next run on the same journal gives the
// event back to its student, who awaits upload, and the end of input delivers it.
TEST(Journal, AdmissionSurvivesSigkillAndIsDeliveredByTheNextRun) {
    TempDir dir;
    Server server;
    server.rosterBody = roster({{"A", 1, 5}, {"B", 2, 5}, {"C", 3, 5}});
    server.upload = [](const RecordedRequest&) { return Reply{503, "down"}; };
    {
        ChildProcess p(CATRACA_BIN, {"--journal", dir.file("j.db")});
        p.write("127.0.0.1\n" + server.port() + "\n1 C\n1 A\n2 A\n1 A\n");
        ASSERT_TRUE(p.waitForOutput("AUTORIZADO", 3)) << p.out();
        p.signal(SIGKILL);
        EXPECT_EQ(p.wait(), 128 + SIGKILL);
    }
    server.upload = [](const RecordedRequest&) { return Reply{201, "{}"}; };
    server.http.clearRequests();
    ChildProcess p(CATRACA_BIN, {"--journal", dir.file("j.db")});
    p.write("127.0.0.1\n" + server.port() + "\n");
    p.closeInput();
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(p.err(), "");
    EXPECT_EQ(p.out(), startup("127.0.0.1", server.port()) +
                           "3 eventos de cr\xE9"
                           "dito recuperados do di\xE1rio\n" +
                           screen({user(2, 5)}, {user(3, 4), user(1, 3)}, {}));
    std::vector<std::string> sent;
    for (const RecordedRequest& r : server.updates()) {
        sent.push_back(r.target + " " + r.body);
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"/transaction/3 {\"event_id\": -1}",
                                              "/transaction/1 {\"event_id\": -1}",
                                              "/transaction/1 {\"event_id\": -1}"}));
    std::string e;
    EXPECT_TRUE(Journal::abre(dir.file("j.db"), &e)->eventos().empty()) << e;
}

TEST(Journal, EventsOfUsersMissingFromTheRosterStayInTheJournal) {
    TempDir dir;
    {
        std::string e;
        auto j = Journal::abre(dir.file("j.db"), &e);
        j->grava(9, -1, &e);
        j->grava(1, -1, &e);
        j->grava(9, -1, &e);
    }
    Server server;
    server.rosterBody = roster({{"A", 1, 5}});
    ChildProcess p(CATRACA_BIN, {"--journal", dir.file("j.db")});
    p.write("127.0.0.1\n" + server.port() + "\n");
    p.closeInput();
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(p.out(), startup("127.0.0.1", server.port()) +
                           "1 evento de cr\xE9"
                           "dito recuperado do di\xE1rio\n"
                           "2 eventos de usu\xE1rios fora da lista continuam no di\xE1rio\n" +
                           screen({}, {user(1, 4)}, {}));
    std::string e;
    std::vector<Journal::Evento> left = Journal::abre(dir.file("j.db"), &e)->eventos();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].userID, 9);
    EXPECT_EQ(left[1].userID, 9);
}

// Against a server that accepts and never answers, a stop ends the request in
// flight; the last attempt gives up at its first time-out and sends nothing more.
TEST(Program, StopAgainstASilentServerEndsAfterOneMoreWait) {
    std::atomic<int> uploads{0};
    std::string rosterBody = roster({{"A", 1, 5}, {"B", 2, 5}});
    testsupport::ScriptedServer server([&](const testsupport::ScriptedRequest& r) {
        if (r.method == "GET") {
            return testsupport::Act::answer(200, rosterBody);
        }
        ++uploads;
        return testsupport::Act::silent();
    });
    std::string port = std::to_string(server.port());
    ChildProcess p(CATRACA_BIN, {"--timeout", "1"});
    p.write("127.0.0.1\n" + port + "\n1 A\n1 B\n2 A\n");
    ASSERT_TRUE(p.waitForOutput("Saida registrada")) << p.out();
    while (uploads == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(20000), 1);
    EXPECT_EQ(p.err(), "");
    ASSERT_GE(p.out().size(), undelivered(2).size());
    EXPECT_EQ(p.out().substr(p.out().size() - undelivered(2).size()), undelivered(2));
    EXPECT_EQ(uploads, 2) << "the interrupted upload, then the last attempt's first";
}

}  // namespace

namespace {

// The Idempotency-Key of every upload the server got, in order.
std::vector<std::string> uploadKeys(const Server& server) {
    std::vector<std::string> keys;
    for (const RecordedRequest& r : server.updates()) {
        if (r.path.rfind("/transaction/", 0) == 0) {
            keys.push_back(r.header("Idempotency-Key"));
        }
    }
    return keys;
}

TEST(IdempotencyKeys, BoardIdentityStaysInTheJournalAndIsDrawnEachRunWithout) {
    TempDir dir;
    Server server;
    server.rosterBody = roster({{"A", 1, 5}});
    server.upload = [](const RecordedRequest&) { return Reply{503, "down"}; };
    const std::vector<std::string> withJournal = {"--journal", dir.file("j.db"),
                                                  "--idempotency-keys"};
    {
        ChildProcess p(CATRACA_BIN, withJournal);
        p.write("127.0.0.1\n" + server.port() + "\n1 A\n2 A\n");
        p.closeInput();
        EXPECT_EQ(p.wait(), 1);
    }
    const std::vector<std::string> refused = uploadKeys(server);
    ASSERT_EQ(refused.size(), 2u) << "the exit's upload and the last attempt";
    EXPECT_TRUE(std::regex_match(refused[0], std::regex("\"[0-9a-f]{32}-1\""))) << refused[0];
    EXPECT_EQ(refused[1], refused[0]);

    server.upload = [](const RecordedRequest&) { return Reply{201, "{}"}; };
    server.http.clearRequests();
    {
        ChildProcess p(CATRACA_BIN, withJournal);
        p.write("127.0.0.1\n" + server.port() + "\n1 A\n2 A\n");
        p.closeInput();
        EXPECT_EQ(p.wait(), 0);
    }
    // The recovered event with its key, then the next event of the same board.
    const std::string board = refused[0].substr(0, 33);
    EXPECT_EQ(uploadKeys(server), (std::vector<std::string>{refused[0], board + "-2\""}));

    std::vector<std::string> boards;
    for (int run = 0; run < 2; ++run) {
        server.http.clearRequests();
        ChildProcess p(CATRACA_BIN, {"--idempotency-keys"});
        p.write("127.0.0.1\n" + server.port() + "\n1 A\n2 A\n");
        p.closeInput();
        EXPECT_EQ(p.wait(), 0);
        const std::vector<std::string> keys = uploadKeys(server);
        ASSERT_EQ(keys.size(), 1u);
        EXPECT_TRUE(std::regex_match(keys[0], std::regex("\"[0-9a-f]{32}-1\""))) << keys[0];
        boards.push_back(keys[0]);
    }
    EXPECT_NE(boards[0], boards[1]);
    EXPECT_NE(boards[0], refused[0]);
}

}  // namespace

namespace {

// Online against a server that never answers the question: a SIGKILL while it is asked
// leaves an event the next start drops (the turnstile never opened for it); a run against
// the same silence waits once (--entry-timeout, not --timeout), decides alone and lets
// the next card pass unasked; killed then, both its admissions are recovered at the next
// start and uploaded with the keys their question carried.
TEST(Online, SilentServerCostsOneShortWaitAndAKillChargesNothingUnused) {
    TempDir dir;
    const std::string rosterBody = roster({{"A", 1, 5}, {"B", 2, 5}, {"C", 3, 5}});
    testsupport::ScriptedServer server([&](const testsupport::ScriptedRequest& r) {
        if (r.method == "GET") {
            return testsupport::Act::answer(200, rosterBody);
        }
        return r.target.rfind("/entrada/", 0) == 0 ? testsupport::Act::silent()
                                                   : testsupport::Act::answer(201, "{}");
    });
    const std::string port = std::to_string(server.port());
    const std::vector<std::string> args = {"--journal",         dir.file("j.db"), "--online",
                                           "--board=ru-1",      "--timeout",      "30",
                                           "--idempotency-keys"};
    {
        ChildProcess p(CATRACA_BIN, args);
        p.write("127.0.0.1\n" + port + "\n1 A\n");
        for (int i = 0; i < 500 && server.requests().size() < 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        p.signal(SIGKILL);
        EXPECT_EQ(p.wait(), 128 + SIGKILL);
    }
    {
        auto begin = std::chrono::steady_clock::now();
        ChildProcess p(CATRACA_BIN, args);
        p.write("127.0.0.1\n" + port + "\n1 B\n1 C\n");
        ASSERT_TRUE(p.waitForOutput("AUTORIZADO", 2)) << p.out();
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
        p.signal(SIGKILL);
        EXPECT_EQ(p.wait(), 128 + SIGKILL);
        EXPECT_EQ(withoutScreens(p.out()), startup("127.0.0.1", port) +
                                               "Evento de cr\xE9"
                                               "dito do usu\xE1rio 1 perguntado ao servidor sem "
                                               "decis\xE3o: retirado do di\xE1rio\n" +
                                               kCard + kFound + kAlone + admitted(4) + kCard +
                                               kFound + kAlone + admitted(4));
    }
    ChildProcess p(CATRACA_BIN, args);
    p.write("127.0.0.1\n" + port + "\n2 B\n");
    p.closeInput();
    EXPECT_EQ(p.wait(), 0);
    EXPECT_NE(p.out().find("2 eventos de cr\xE9"
                           "dito recuperados do di\xE1rio\n"),
              std::string::npos)
        << p.out();
    std::vector<testsupport::ScriptedRequest> sent = server.requests();
    ASSERT_EQ(requestCodes(sent), "G E1 G E2 G U2 U3");
    EXPECT_TRUE(std::regex_match(
        sent[3].head,
        std::regex("POST /entrada/2 HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                   "\r\nUser-Agent: restclient\r\nAccept: \\*/\\*\r\n"
                   "Catraca-Board: ru-1\r\nContent-Type: application/json\r\n"
                   "Idempotency-Key: \"[0-9a-f]{32}-2\"\r\nContent-Length: 16\r\n\r\n")))
        << sent[3].head;
    EXPECT_EQ(sent[3].body, "{\"event_id\": -1}");
    EXPECT_EQ(sent[5].header("Idempotency-Key"), sent[3].header("Idempotency-Key"));
}

}  // namespace
