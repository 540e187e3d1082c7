// Runs the ru-server program as a child process, as the demo and an operator would.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "raw_client.h"
#include "restclient/connection.h"
#include "server_fixture.h"
#include "support/process.h"

namespace {

using boost::asio::ip::tcp;
using nlohmann::json;
using testsupport::ChildProcess;

const std::string kServer = RU_SERVER_BIN;
const std::string kExampleRoster = RU_SERVER_EXAMPLE_ROSTER;

using Started = rutest::StartedProgram;

Started start(const std::vector<std::string>& args) {
    return rutest::startProgram(kServer, args);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t begin = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         begin = end + 1, end = text.find('\n', begin)) {
        result.push_back(text.substr(begin, end - begin));
    }
    if (begin < text.size()) {
        result.push_back(text.substr(begin));
    }
    return result;
}

// One line, naming the program, ending in a line end.
void expectOneErrorLine(const std::string& err, const std::string& context) {
    EXPECT_EQ(err.rfind("ru-server: ", 0), 0u) << context << ": " << err;
    EXPECT_EQ(lines(err).size(), 1u) << context << ": " << err;
    EXPECT_EQ(err.empty() ? '\0' : err.back(), '\n') << context << ": " << err;
}

httplib::Client clientOf(const Started& started) {
    httplib::Client client("127.0.0.1", started.port);
    client.set_read_timeout(std::chrono::seconds(60));
    return client;
}

TEST(ServerProgram, FirstLineIsTheAddressThenOneLogLinePerRequest) {
    rutest::TempDir dir;
    Started server = start({"--db", dir.file("ru.db"), "--import", kExampleRoster, "--port", "0"});
    ASSERT_GT(server.port, 0);
    auto client = clientOf(server);
    ASSERT_EQ(client.Get("/transaction")->status, 200);
    ASSERT_EQ(client.Post("/transaction/1001", "{\"event_id\": -1}", "application/json")->status,
              201);
    ASSERT_EQ(client.Get("/nowhere?x=%0A")->status, 404);
    // Each request came on a connection of its own, served by its own thread, and is
    // logged once answered: the lines may come in any order.
    ASSERT_TRUE(server.process->waitForOutput(" 404\n") &&
                server.process->waitForOutput(" 201\n") && server.process->waitForOutput(" 200\n"))
        << server.process->out();
    const std::vector<std::string> out = lines(server.process->out());
    std::vector<std::string> requests(out.end() - 3, out.end());
    std::sort(requests.begin(), requests.end());
    EXPECT_EQ(requests, (std::vector<std::string>{"GET /nowhere?x=%0A 404", "GET /transaction 200",
                                                  "POST /transaction/1001 201"}));
    server.process->signal(SIGTERM);
    EXPECT_EQ(server.process->wait(), 0);
    EXPECT_EQ(server.process->err(), "");
}

TEST(ServerProgram, StopsCleanlyOnSigintAndSigterm) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        rutest::TempDir dir;
        Started server = start({"--db", dir.file("ru.db"), "--port", "0"});
        ASSERT_GT(server.port, 0);
        auto client = clientOf(server);
        // A connection kept alive must not hold the stop up.
        ASSERT_EQ(client.Get("/contador")->status, 200);
        server.process->signal(sig);
        EXPECT_EQ(server.process->wait(), 0) << "signal " << sig;
        EXPECT_EQ(server.process->err(), "") << "signal " << sig;
    }
}

// With its key, as keys are honoured by default: the repeat of an upload whose answer
// the kill may have lost is not stored again.
TEST(ServerProgram, AcknowledgedEventSurvivesAKilledServer) {
    const httplib::Headers key = {{"Idempotency-Key", "\"b-1\""}};
    rutest::TempDir dir;
    const std::string db = dir.file("ru.db");
    {
        Started server = start({"--db", db, "--import", kExampleRoster, "--port", "0"});
        ASSERT_GT(server.port, 0);
        auto client = clientOf(server);
        ASSERT_EQ(
            client.Post("/transaction/1003", key, "{\"event_id\": -1}", "application/json")->status,
            201);
        ASSERT_EQ(client.Post("/contador", "{\"v\":1}", "application/json")->status, 201);
        server.process->signal(SIGKILL);
        EXPECT_EQ(server.process->wait(), 128 + SIGKILL);
    }
    Started server = start({"--db", db, "--port", "0", "--idempotency-keys"});  // as of old
    ASSERT_GT(server.port, 0);
    auto client = clientOf(server);
    EXPECT_EQ(
        client.Post("/transaction/1003", key, "{\"event_id\": -1}", "application/json")->status,
        201);
    const json roster = rutest::fetchRoster(client);
    ASSERT_FALSE(roster.empty());
    EXPECT_EQ(roster.back()["user_id"], 1003);
    EXPECT_EQ(roster.back()["event"], -1);
    EXPECT_EQ(rutest::creditOf(roster, 1003), 6);
    EXPECT_EQ(client.Get("/contador")->body, "{\"v\":1}");
}

TEST(ServerProgram, ExampleRosterShowsTheInterestingStudents) {
    rutest::TempDir dir;
    Started server = start({"--db", dir.file("ru.db"), "--import", kExampleRoster, "--port", "0"});
    ASSERT_GT(server.port, 0);
    auto client = clientOf(server);
    const json roster = rutest::fetchRoster(client);
    std::map<long long, long long> credit;
    std::map<long long, int> rows;
    bool lowerCaseCard = false;
    for (const auto& element : roster) {
        credit[element["user_id"]] += element["event"].get<long long>();
        ++rows[element["user_id"]];
        const std::string card = element["cardID"];
        lowerCaseCard =
            lowerCaseCard || card.find_first_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos;
    }
    EXPECT_GE(credit.size(), 10u);
    EXPECT_LE(credit.size(), 15u);
    const auto any = [](const auto& map, auto predicate) {
        for (const auto& [user, value] : map) {
            if (predicate(value)) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(any(rows, [](int n) { return n >= 2; })) << "a student with two rows";
    EXPECT_TRUE(any(credit, [](long long c) { return c == 0; })) << "credit 0";
    EXPECT_TRUE(any(credit, [](long long c) { return c < 0; })) << "a negative credit";
    EXPECT_TRUE(any(credit, [](long long c) { return c == 1; })) << "one meal left";
    EXPECT_TRUE(lowerCaseCard);
}

TEST(ServerProgram, HelpListsTheOptions) {
    ChildProcess help(kServer, {"--help"});
    EXPECT_EQ(help.wait(), 0);
    for (const char* word : {"--db",
                             "--import",
                             "--host",
                             "--port",
                             "127.0.0.1",
                             "8080",
                             "--no-serve",
                             "SIGTERM",
                             "SIGHUP",
                             "--allow",
                             "--cert",
                             "--key",
                             "--timeout",
                             "--max-connections",
                             "--max-per-client",
                             "--max-per-network",
                             "--max-viewer-connections",
                             "--no-idempotency-keys",
                             "--idempotency-days",
                             "postgresql://",
                             "--db-schema",
                             "--roster-cursors",
                             "--online",
                             "POST /entrada/<user_id>",
                             "ru-server overdrawn --db DB"}) {
        EXPECT_NE(help.out().find(word), std::string::npos) << word;
    }
    // The occupancy page, the roles and the administrator's command.
    for (const char* word :
         {"--opening-hours", "GET /painel", "--allow-viewers", "--client-ca", "--crl",
          "--server-name", "ru-server credit --db PATH USER_ID AMOUNT",
          "ru-server credit --db PATH --file FILE", "--allow-metrics", "GET /metrics"}) {
        EXPECT_NE(help.out().find(word), std::string::npos) << word;
    }
    EXPECT_EQ(help.err(), "");
}

TEST(ServerProgram, BadOptionsExitWithStatus2AndOneLine) {
    const std::vector<std::vector<std::string>> cases = {
        {"--port", "70000"},
        {"--port", "-1"},
        {"--port", "80x"},
        {"--port"},
        {"--bogus"},
        {"extra"},
        {"--db", ""},
        {"--no-serve=yes"},
        {"--allow", "10.0.0.0/33"},
        {"--allow", "host.lan"},
        {"--allow", "1.2.3.4/-0"},
        {"--allow", "::ffff:127.0.0.1"},
        {"--max-per-network", "0"},
        {"--allow"},
        {"--cert", "server.pem"},
        {"--key", "server.key"},
        {"--timeout", "0"},
        {"--timeout", "2.5"},
        {"--max-connections", "0"},
        {"--max-per-client", "x"},
        {"--max-viewer-connections", "0"},
        {"--opening-hours", "14:00-10:30"},
        {"--opening-hours", "lunch"},
        {"--opening-hours"},
        {"--idempotency-keys", "--idempotency-days", "0"},
        {"--idempotency-keys", "--idempotency-days", "3651"},
        {"--no-idempotency-keys", "--idempotency-days", "30"},
        {"--idempotency-keys=yes"},
        {"--no-idempotency-keys=yes"},
        {"--roster-cursors=yes"},
        {"--version=1"},
        {"--allow-viewers", "10.0.0.0/33"},
        {"--allow-metrics", "prometheus.lan"},
        {"--allow-metrics"},
        {"--client-ca", "ca.pem"},                                  // without HTTPS
        {"--cert", "s.pem", "--key", "s.key", "--crl", "crl.pem"},  // without --client-ca
        {"--server-name", "ru-server.lan:8443"},
        {"credit"},
        {"credit", "--db", "ru.db", "1001", "0"},
        {"credit", "--db", "ru.db", "01001", "5"},
        {"credit", "--db", "ru.db", "--file", "f.json", "1001", "5"},
        {"--db-schema", "ru"},
        {"--db", "ru.db", "--db-schema", "ru"},
        {"--db", "postgresql:///ru", "--db-schema", ""},
        {"--db", "postgresql:///ru", "--db-schema"},
        {"--online=yes"},
        {"--online", "overdrawn"},
    };
    for (const auto& args : cases) {
        ChildProcess run(kServer, args);
        const std::string label = args[0] + (args.size() > 1 ? " " + args[1] : "");
        EXPECT_EQ(run.wait(), 2) << label;
        EXPECT_EQ(run.out(), "") << label;
        expectOneErrorLine(run.err(), label);
    }
}

TEST(ServerProgram, FailedImportExitsWith1AndLeavesTheDatabaseEmpty) {
    rutest::TempDir dir;
    const std::string db = dir.file("ru.db");
    const std::string malformed = dir.file("malformed.json");
    rutest::writeFile(malformed, "[" + rutest::row("AB12", 7, 1).dump() +
                                     ",{\"cardID\":\"CD34\",\"user_id\":8}]");
    struct Case {
        std::string file;
        std::string mention;
    };
    const Case cases[] = {
        {dir.file("missing.json"), "missing.json"},
        {malformed, "element at index 1"},
        {dir.path(), "directory"},
    };
    for (const Case& c : cases) {
        ChildProcess run(kServer, {"--db", db, "--import", c.file, "--port", "0"});
        EXPECT_EQ(run.wait(), 1) << c.file;
        EXPECT_EQ(run.out(), "") << c.file;
        expectOneErrorLine(run.err(), c.file);
        EXPECT_NE(run.err().find(c.mention), std::string::npos) << run.err();
    }
    // Nothing got in: a good roster still imports.
    ChildProcess good(kServer, {"--db", db, "--import", kExampleRoster, "--no-serve"});
    EXPECT_EQ(good.wait(), 0) << good.err();
    EXPECT_EQ(good.out(), "imported 14 transactions of 12 students from " + kExampleRoster +
                              " into " + db + "\n");
}

// The administrator's command beside a running server: a purchase of a student already
// there, or a file of rows in the roster's form (new students included), each added whole
// or not at all.
TEST(ServerProgram, CreditAddsAPurchaseOrAFileWholeOrNothing) {
    rutest::TempDir dir;
    const std::string db = dir.file("ru.db");
    const std::string file = dir.file("bought.json");
    Started server = start({"--db", db, "--import", kExampleRoster, "--port", "0"});
    ASSERT_GT(server.port, 0);
    auto client = clientOf(server);
    const json bought =
        json::array({rutest::row("7B22F5D1", 1004, 3), rutest::row("0A0B0C0D", 2001, 5)});
    json noSalt = bought;
    noSalt[1].erase("salt");
    json overflow = bought;
    overflow[0]["event"] = 2147483647;
    struct Case {
        std::vector<std::string> args;
        std::string file;  // written to `file` first, when not empty
        int status;
        std::string line;  // in the one line of standard output, or else of standard error
        long long credit;  // of 1004, after
        std::size_t rows;
    };
    const Case cases[] = {
        {{"1004", "2"}, "", 0, "added 2 to the credit of user 1004 in " + db + ": 2\n", 2, 15},
        {{"9999", "2"}, "", 1, "no user 9999 in " + db, 2, 15},
        {{"1004", "2147483647"}, "", 1, "would leave the signed 32-bit range", 2, 15},
        {{"--file", file}, noSalt.dump(), 1, "element at index 1", 2, 15},
        {{"--file", file}, overflow.dump(), 1, "; nothing added\n", 2, 15},
        {{"--file", file}, "[{", 1, "; nothing added\n", 2, 15},
        {{"--file", file},
         bought.dump(),
         0,
         "added 2 transactions of 2 students from " + file + " to " + db + "\n",
         5,
         17},
    };
    for (const Case& c : cases) {
        if (!c.file.empty()) {
            rutest::writeFile(file, c.file);
        }
        std::vector<std::string> args = {"credit", "--db", db};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ChildProcess credit(kServer, args);
        EXPECT_EQ(credit.wait(), c.status) << c.line;
        EXPECT_NE((c.status == 0 ? credit.out() : credit.err()).find(c.line), std::string::npos)
            << credit.out() << credit.err();
        const json roster = rutest::fetchRoster(client);
        EXPECT_EQ(roster.size(), c.rows) << c.line;
        EXPECT_EQ(rutest::creditOf(roster, 1004), c.credit) << c.line;
    }
    // A file that comes slowly (a pipe) is read whole before the database is written, so
    // that uploads meanwhile are not held up.
    const std::string pipe = dir.file("pipe.json");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    ChildProcess slow(kServer, {"credit", "--db", db, "--file", pipe});
    std::ofstream writer(pipe);  // open once the command reads
    writer << "[" << rutest::row("7B22F5D1", 1004, 1).dump() << std::flush;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto upload = client.Post("/transaction/1008", "{\"event_id\": -1}", "application/json");
    ASSERT_TRUE(upload);
    EXPECT_EQ(upload->status, 201);
    writer << "]";
    writer.close();
    EXPECT_EQ(slow.wait(), 0) << slow.err();
    ChildProcess none(kServer, {"credit", "--db", dir.file("none.db"), "1004", "1"});
    ChildProcess help(kServer, {"credit", "--help"});
    EXPECT_EQ(help.wait(), 0);
    EXPECT_NE(help.out().find("ru-server credit --db PATH [--db-schema NAME] --file FILE"),
              std::string::npos);
    ChildProcess schema(kServer, {"credit", "--db", db, "--db-schema", "ru", "1004", "1"});
    EXPECT_EQ(schema.wait(), 2);  // a schema is PostgreSQL's
    expectOneErrorLine(schema.err(), "--db-schema");
    EXPECT_EQ(none.wait(), 1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.db")));
}

TEST(ServerProgram, ImportIntoADatabaseWithTransactionsIsRefused) {
    rutest::TempDir dir;
    const std::string db = dir.file("ru.db");
    ChildProcess first(kServer, {"--db", db, "--import", kExampleRoster, "--no-serve"});
    ASSERT_EQ(first.wait(), 0) << first.err();
    ChildProcess second(kServer, {"--db", db, "--import", kExampleRoster, "--no-serve"});
    EXPECT_EQ(second.wait(), 1);
    expectOneErrorLine(second.err(), "second import");
    EXPECT_NE(second.err().find("already holds transactions"), std::string::npos) << second.err();

    Started server = start({"--db", db, "--port", "0"});
    ASSERT_GT(server.port, 0);
    auto client = clientOf(server);
    EXPECT_EQ(rutest::fetchRoster(client).size(), 14u);
}

TEST(ServerProgram, UnusableDatabaseOrAddressExitsWith1AndOneLine) {
    rutest::TempDir dir;
    const std::string text = dir.file("notes.txt");
    rutest::writeFile(text, std::string(4096, 'x'));
    Started busy = start({"--db", dir.file("busy.db"), "--port", "0"});
    ASSERT_GT(busy.port, 0);
    const std::string old = dir.file("old.db");
    sqlite3* db = nullptr;  // a database of an older layout, which opening would upgrade
    sqlite3_open(old.c_str(), &db);
    sqlite3_exec(db, (std::string(rutest::kLayout1Schema) + "PRAGMA user_version = 1;").c_str(),
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    const auto written = std::filesystem::last_write_time(old);
    const std::vector<std::vector<std::string>> cases = {
        {"--db", text, "--port", "0"},
        {"--db", dir.file("no/such/dir.db"), "--port", "0"},
        {"--db", dir.file("ru.db"), "--port", std::to_string(busy.port)},
        {"--db", old, "--port", std::to_string(busy.port)},
        {"--db", old, "--host", "256.0.0.1", "--port", "0"},
        // No PostgreSQL server behind the socket, also named by a later --db.
        {"--db", "postgresql://ru@/ru?host=" + dir.path() + "&port=1", "--port", "0"},
        {"--db", dir.file("ru.db"), "--db", "postgres://ru@/ru?host=" + dir.path() + "&port=1",
         "--port", "0"},
    };
    for (const auto& args : cases) {
        ChildProcess run(kServer, args);
        EXPECT_EQ(run.wait(), 1) << args[1] << " " << args.back();
        EXPECT_EQ(run.out(), "") << args[1];
        expectOneErrorLine(run.err(), args[1]);
    }
    EXPECT_EQ(std::filesystem::last_write_time(old), written);  // not upgraded
}

TEST(ServerProgram, StopSignalEndsAnImportFromAPipeThatStaysOpen) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        rutest::TempDir dir;
        const std::string db = dir.file("ru.db");
        ChildProcess server(kServer, {"--db", db, "--import", "/dev/stdin", "--port", "0"});
        // Rows enough to be past the first checks, then nothing more, the pipe still open.
        std::string text = "[";
        for (int i = 0; i < 5000; ++i) {
            text += rutest::row("AB" + std::to_string(i), i, 1).dump() + ",";
        }
        server.write(text);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        server.signal(sig);
        EXPECT_EQ(server.wait(5000), 1) << "signal " << sig;
        EXPECT_EQ(server.out(), "") << "signal " << sig;
        EXPECT_EQ(server.err(), "ru-server: import interrupted; nothing imported\n")
            << "signal " << sig;
        ChildProcess good(kServer, {"--db", db, "--import", kExampleRoster, "--no-serve"});
        EXPECT_EQ(good.wait(), 0) << "signal " << sig << ": " << good.err();
    }
}

// Refused, not queued, until it serves: a request queued through a long import would be
// stored after its client gave up and sent it again.
TEST(ServerProgram, RefusesConnectionsUntilItServes) {
    rutest::TempDir dir;
    boost::asio::io_context ioc;
    const int port =
        tcp::acceptor(ioc, {boost::asio::ip::make_address("127.0.0.1"), 0}).local_endpoint().port();
    ChildProcess server(kServer, {"--db", dir.file("ru.db"), "--import", "/dev/stdin", "--port",
                                  std::to_string(port)});
    std::string text = "[";
    for (int i = 0; i < 5000; ++i) {
        text += rutest::row("AB" + std::to_string(i), i, 1).dump() + ",";
    }
    server.write(text);  // once most of it is read, and so the port bound
    EXPECT_FALSE(rutest::RawConnection(port).connected());
    server.write(rutest::row("CD34", 5000, 1).dump() + "]");
    server.closeInput();
    ASSERT_TRUE(server.waitForOutput("\n")) << server.err();
    EXPECT_TRUE(rutest::RawConnection(port).connected());
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(), 0);
}

// Only IPv6 clients have a /64 network: this one needs the IPv6 loopback.
TEST(ServerProgram, CapsConnectionsPerIpv6Network) {
    boost::asio::io_context ioc;
    tcp::acceptor probe(ioc);
    boost::system::error_code ec;
    probe.open(tcp::v6(), ec);
    if (probe.bind({boost::asio::ip::make_address("::1"), 0}, ec); ec) {
        GTEST_SKIP() << "no IPv6 loopback: " << ec.message();
    }
    rutest::TempDir dir;
    Started server = start({"--db", dir.file("ru.db"), "--host", "::1", "--port", "0",
                            "--max-per-network", "1", "--timeout", "60"});
    ASSERT_GT(server.port, 0);
    const tcp::endpoint at(boost::asio::ip::make_address("::1"), server.port);
    tcp::socket first(ioc), second(ioc);
    first.connect(at);
    second.connect(at);
    EXPECT_TRUE(server.process->waitForOutput(
        "refused a connection from ::1: 1 connections open from its /64 network"));
}

TEST(ServerProgram, AnswersWhileNobodyReadsItsLogAndCountsTheDroppedLines) {
    rutest::TempDir dir;
    Started server = start({"--db", dir.file("ru.db"), "--port", "0"});
    ASSERT_GT(server.port, 0);
    auto client = clientOf(server);
    client.set_read_timeout(std::chrono::seconds(10));
    // Log lines of 4 KB: far more than a pipe and the log queue hold together. Nothing
    // reads the server's standard output meanwhile.
    const std::string target = "/contador?" + std::string(4000, 'x');
    int answered = 0;
    for (int i = 0; i < 600; ++i) {
        auto res = client.Get(target);
        if (!res || res->status != 200) {
            ADD_FAILURE() << "request " << i << " got no answer";
            break;
        }
        ++answered;
    }
    EXPECT_EQ(answered, 600);
    // This machine reads the metrics by default, and they count the lines dropped.
    const auto metrics = client.Get("/metrics");
    ASSERT_TRUE(metrics && metrics->status == 200);
    const std::size_t at = metrics->body.find("\nru_log_lines_dropped_total ");
    ASSERT_NE(at, std::string::npos) << metrics->body;
    EXPECT_GT(std::stoll(metrics->body.substr(at + 28)), 0);
    server.process->signal(SIGTERM);
    EXPECT_EQ(server.process->wait(), 0);
    EXPECT_NE(server.process->out().find("\nru-server: "), std::string::npos);
    EXPECT_NE(server.process->out().find(" log lines dropped\n"), std::string::npos);
}

TEST(ServerProgram, LongPathIsAnsweredWithASmallStack) {
    rutest::TempDir dir;
    // The stack limit that the shell sets is inherited by the server and its threads
    // (under emulation, by the emulator, which sizes the server's stacks from it).
    std::vector<std::string> args = {"-c", "ulimit -s 1024 && exec \"$0\" \"$@\""};
    const std::vector<std::string> program = testsupport::commandFor(kServer);
    args.insert(args.end(), program.begin(), program.end());
    args.insert(args.end(), {"--db", dir.file("ru.db"), "--port", "0"});
    Started server = rutest::startProgram("/bin/sh", args);
    ASSERT_GT(server.port, 0);
    auto client = clientOf(server);
    for (const std::string& path :
         {"/x/" + std::string(2000, 'a'), "/transaction/" + std::string(8000, '7')}) {
        auto res = client.Get(path);
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_NE(res->status / 100, 2);
    }
    auto res = client.Get("/contador");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    server.process->signal(SIGTERM);
    EXPECT_EQ(server.process->wait(), 0) << server.process->err();
}

TEST(ServerProgram, StopClosesIdleConnectionsWithoutWaitingForTheirTimeOut) {
    rutest::TempDir dir;
    Started server = start({"--db", dir.file("ru.db"), "--port", "0", "--timeout", "600"});
    ASSERT_GT(server.port, 0);
    std::vector<std::unique_ptr<rutest::RawConnection>> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(std::make_unique<rutest::RawConnection>(server.port));
        idle.back()->send(rutest::rawRequest("GET", "/contador", {}, "", true));
        ASSERT_TRUE(idle.back()->readAnswers(1, 10000));
    }
    server.process->signal(SIGTERM);
    // Far less than the idle time-out.
    EXPECT_EQ(server.process->wait(10000), 0);
    for (auto& connection : idle) {
        EXPECT_TRUE(connection->readUntilClosed(1000));
    }
}

#ifdef OPENSSL_BIN
// Makes a private certificate authority and a certificate for 127.0.0.1 signed by it,
// as the README's deployment section does. Returns false when openssl failed.
bool makeCertificates(const rutest::TempDir& dir) {
    const std::string openssl = OPENSSL_BIN;
    const std::string script =
        "set -e; cd '" + dir.path() + "'; o='" + openssl +
        "'\n"
        "$o req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=test-ca -keyout ca.key -out ca.pem 2>/dev/null\n"
        "$o req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1 "
        "-keyout server.key -out server.csr 2>/dev/null\n"
        "printf 'subjectAltName=IP:127.0.0.1\\n' > server.ext\n"
        "$o x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile server.ext -out server.pem 2>/dev/null\n"
        "$o req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=other-ca -keyout other.key -out other.pem 2>/dev/null\n";
    ChildProcess make("/bin/sh", {"-c", script});
    return make.wait() == 0;
}

TEST(ServerProgram, ServesHttpsOnlyWithACertificateThatItsAuthorityVerifies) {
    rutest::TempDir dir;
    ASSERT_TRUE(makeCertificates(dir));
    Started server =
        start({"--db", dir.file("ru.db"), "--import", kExampleRoster, "--port", "0", "--cert",
               dir.file("server.pem"), "--key", dir.file("server.key"), "--allow", "127.0.0.1",
               "--allow-metrics", "127.0.0.1", "--timeout", "60"});
    ASSERT_GT(server.port, 0);
    const std::string https = "https://127.0.0.1:" + std::to_string(server.port);
    rutest::RawConnection outsider(server.port, "127.0.0.2");
    EXPECT_TRUE(outsider.readUntilClosed(10000));  // no handshake, no wait for one
    struct Case {
        std::string url;
        std::string caFile;  // empty: the system's authorities
        bool answered;
    };
    const Case cases[] = {
        {https, dir.file("ca.pem"), true},
        {https, dir.file("other.pem"), false},
        {https, "", false},
        {"http://127.0.0.1:" + std::to_string(server.port), "", false},
    };
    for (const Case& c : cases) {
        RestClient::Connection connection("");
        connection.SetTimeout(10);
        if (!c.caFile.empty()) {
            connection.SetCAInfoFilePath(c.caFile);
        }
        const RestClient::Response roster = connection.get(c.url + "/transaction");
        const std::string label = c.url + " " + c.caFile;
        if (c.answered) {
            EXPECT_EQ(roster.code, 200) << label << ": " << roster.body;
            EXPECT_EQ(json::parse(roster.body, nullptr, false).size(), 14u) << label;
            RestClient::Connection upload("");
            upload.SetCAInfoFilePath(c.caFile);
            upload.AppendHeader("Content-Type", "application/json");
            EXPECT_EQ(upload.post(c.url + "/transaction/1001", "{\"event_id\": -1}").code, 201);
        } else {
            EXPECT_NE(roster.code, 200) << label;
            EXPECT_EQ(roster.body.find("cardID"), std::string::npos) << label;
        }
    }
    // A refusal that comes while the client still sends a body far over the cap arrives.
    int refused = 0;
    for (int i = 0; i < 10; ++i) {
        RestClient::Connection upload("");
        upload.SetCAInfoFilePath(dir.file("ca.pem"));
        upload.AppendHeader("Transfer-Encoding", "chunked");
        refused += upload.post(https + "/contador", std::string(4 << 20, ' ')).code == 413;
    }
    EXPECT_EQ(refused, 10);
    server.process->signal(SIGTERM);
    EXPECT_EQ(server.process->wait(), 0) << server.process->err();
}

// The deployment of the README: scripts/board-cert makes the authority, the server's
// certificate and one per board; a board it revokes is refused once the new list is
// renamed over the server's, without a restart, and a list that cannot be read leaves it so.
TEST(ServerProgram, BoardsOfTheCertificateScriptAndTheirRetirement) {
    rutest::TempDir dir;
    const std::string ca = dir.file("ca");
    const auto script = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--dir", ca});
        ChildProcess run(BOARD_CERT_SCRIPT, args);
        return run.wait(60000);
    };
    for (const std::vector<std::string>& args : {std::vector<std::string>{"authority"},
                                                 {"server", "127.0.0.1"},
                                                 {"board", "catraca-01"},
                                                 {"board", "catraca-02"}}) {
        ASSERT_EQ(script(args), 0) << args[0];
    }
    const std::string crl = dir.file("crl.pem");
    const auto copyList = [&](const std::string& from) {
        std::filesystem::copy_file(from, crl + ".new");
        std::filesystem::rename(crl + ".new", crl);
    };
    copyList(ca + "/crl.pem");
    const std::string kept = ca + "/boards/catraca-01", retired = dir.file("catraca-02");
    std::filesystem::copy_file(ca + "/boards/catraca-02.pem", retired + ".pem");
    std::filesystem::copy_file(ca + "/boards/catraca-02.key", retired + ".key");
    Started server =
        start({"--db", dir.file("ru.db"), "--port", "0", "--cert", ca + "/server.pem", "--key",
               ca + "/server.key", "--client-ca", ca + "/ca.pem", "--crl", crl, "--timeout", "60"});
    ASSERT_GT(server.port, 0);
    const auto roster = [&](const std::string& board) {
        RestClient::Connection connection("");
        connection.SetTimeout(10);
        connection.SetCAInfoFilePath(ca + "/ca.pem");
        connection.SetCertPath(board.empty() ? "" : board + ".pem");
        connection.SetKeyPath(board.empty() ? "" : board + ".key");
        return connection.get("https://127.0.0.1:" + std::to_string(server.port) + "/transaction")
            .code;
    };
    EXPECT_EQ(roster(kept), 200);
    EXPECT_EQ(roster(retired), 200);
    EXPECT_EQ(roster(""), 403);
    // A connection of the board made before its retirement and kept open after it.
    RestClient::Connection keptOpen("");
    keptOpen.SetCAInfoFilePath(ca + "/ca.pem");
    keptOpen.SetCertPath(retired + ".pem");
    keptOpen.SetKeyPath(retired + ".key");
    const std::string url = "https://127.0.0.1:" + std::to_string(server.port) + "/transaction";
    EXPECT_EQ(keptOpen.get(url).code, 200);
    ASSERT_EQ(script({"revoke", "catraca-02"}), 0);
    copyList(ca + "/crl.pem");
    for (int i = 0; i < 100 && roster(retired) != 403; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(roster(retired), 403);
    EXPECT_EQ(keptOpen.get(url).code, 403);
    EXPECT_EQ(keptOpen.get(url).code, 403);  // a new connection, whose session is not resumed
    rutest::writeFile(dir.file("half.pem"), "-----BEGIN X509 CRL-----\nMIIB");
    copyList(dir.file("half.pem"));
    for (int i = 0; i < 100 && !server.process->waitForOutput("stays in force", 1, 100); ++i) {
        roster(kept);
    }
    EXPECT_EQ(roster(retired), 403);
    EXPECT_EQ(roster(kept), 200);
    // A list past its next update, and one whose start is to come (this machine's clock
    // behind), still revoke what they name; a certificate made for another purpose (the
    // server's) stays refused meanwhile.
    for (const auto& [year, line, times] : std::vector<std::tuple<std::string, std::string, int>>{
             {"2020", "again: 1 revoked", 2}, {"2040", "is not valid yet", 1}}) {
        const std::string dates = year + "0101000000Z -crl_nextupdate " + year + "0201000000Z";
        ASSERT_EQ(
            ChildProcess("/bin/sh",
                         {"-c", "BOARD_CERT_ALT_NAMES=DNS:x " OPENSSL_BIN " ca -batch -config " +
                                    ca + "/.board-cert.cnf -gencrl -crl_lastupdate " + dates +
                                    " -out " + crl + ".new && mv " + crl + ".new " + crl})
                .wait(),
            0);
        for (int i = 0; i < 100 && !server.process->waitForOutput(line, times, 100); ++i) {
            roster(kept);
        }
        EXPECT_EQ(roster(retired), 403) << line;
        EXPECT_EQ(roster(kept), 200) << line;
        EXPECT_EQ(roster(ca + "/server"), 403) << line;
    }
    EXPECT_EQ(script({"board", "catraca-01"}), 1);  // issued already
    EXPECT_EQ(script({"board", "catraca 03"}), 1);  // not a board's name
    EXPECT_NE(server.process->out().find("GET /transaction 200 board=catraca-02\n"),
              std::string::npos);
    EXPECT_NE(server.process->out().find("refused the client certificate of 127.0.0.1: "
                                         "certificate revoked\n"),
              std::string::npos);
}

TEST(ServerProgram, UnusableCertificateOrKeyExitsWith1AndOneLine) {
    rutest::TempDir dir;
    ASSERT_TRUE(makeCertificates(dir));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir.file("missing.pem"), dir.file("server.key")},
        {dir.file("server.pem"), dir.file("missing.key")},
        {dir.file("server.pem"), dir.file("ca.key")},  // a key of another certificate
        {dir.file("server.key"), dir.file("server.key")},
    };
    for (const auto& [cert, key] : cases) {
        ChildProcess run(kServer,
                         {"--db", dir.file("ru.db"), "--port", "0", "--cert", cert, "--key", key});
        EXPECT_EQ(run.wait(), 1) << cert << " " << key;
        EXPECT_EQ(run.out(), "") << cert;
        expectOneErrorLine(run.err(), cert + " " + key);
    }
    // The boards' authority and its revocation list, read before the database is opened.
    ChildProcess other(BOARD_CERT_SCRIPT, {"--dir", dir.file("other"), "authority"});
    ASSERT_EQ(other.wait(60000), 0) << other.err();
    for (const auto& [ca, crl] :
         std::vector<std::pair<std::string, std::string>>{{"missing.pem", ""},
                                                          {"server.pem", ""},
                                                          {"ca.pem", "missing.pem"},
                                                          {"ca.pem", "other/crl.pem"}}) {
        std::vector<std::string> args = {"--db",        dir.file("none.db"),
                                         "--port",      "0",
                                         "--cert",      dir.file("server.pem"),
                                         "--key",       dir.file("server.key"),
                                         "--client-ca", dir.file(ca)};
        if (!crl.empty()) {
            args.insert(args.end(), {"--crl", dir.file(crl)});
        }
        ChildProcess run(kServer, args);
        EXPECT_EQ(run.wait(), 1) << ca << " " << crl;
        expectOneErrorLine(run.err(), ca + " " + crl);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.db")));
    // Authorities that the script makes have names of their own; one without a list, and
    // more authorities than a restaurant needs, are told at start.
    ASSERT_EQ(ChildProcess("/bin/sh", {"-c", "cd " + dir.path() +
                                                 " && " BOARD_CERT_SCRIPT
                                                 " --dir another authority && cat other/ca.pem "
                                                 "another/ca.pem ca.pem other/ca.pem > cas.pem"})
                  .wait(60000),
              0);
    Started server = start({"--db", dir.file("ru.db"), "--port", "0", "--cert",
                            dir.file("server.pem"), "--key", dir.file("server.key"), "--client-ca",
                            dir.file("cas.pem"), "--crl", dir.file("other/crl.pem")});
    ASSERT_GT(server.port, 0);
    EXPECT_TRUE(server.process->waitForOutput("holds 4 authorities"));
    EXPECT_TRUE(std::regex_search(server.process->out(),
                                  std::regex("authority /CN=RU turnstiles authority [0-9a-f]{16} "
                                             "of.*\n.*authority /CN=test-ca of")))
        << server.process->out();
}
#endif

}  // namespace
