// catraca against ru-server, both as built programs on loopback: every admission the
// turnstile uploads lowers the served roster by exactly one, and the head-count the
// server keeps is the one after the last exit.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sqlite3.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "server_fixture.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/tls_server.h"

namespace {

using testsupport::ChildProcess;

std::map<int, long> credits(const std::string& rosterJson) {
    std::map<int, long> sum;
    for (const nlohmann::json& row : nlohmann::json::parse(rosterJson)) {
        sum[row.at("user_id").get<int>()] += row.at("event").get<long>();
    }
    return sum;
}

class EndToEnd : public ::testing::Test {
  protected:
    // Starts ru-server on a free port with `args`; the port, or 0 on failure.
    static int startServer(std::unique_ptr<ChildProcess>& server,
                           const std::vector<std::string>& args) {
        rutest::StartedProgram started = rutest::startProgram(RU_SERVER_BIN, args);
        server = std::move(started.process);
        return started.port > 0 ? started.port : 0;
    }

    testsupport::TempDir dir;
};

TEST_F(EndToEnd, AdmissionsLowerTheServedRosterAndHeadCountMatches) {
    std::ifstream sample(SAMPLE_ROSTER);
    std::stringstream text;
    text << sample.rdbuf();
    std::map<int, long> before = credits(text.str());

    std::string db = dir.file("ru.db");
    std::unique_ptr<ChildProcess> server;
    int port = startServer(server, {"--db", db, "--import", SAMPLE_ROSTER, "--port", "0"});
    ASSERT_GT(port, 0);

    // 1001 (credit 10) enters, leaves, enters again and leaves; 1002 (credit 2) enters
    // and leaves; 1007 (credit 1) enters and stays; 1004 (credit 0) is refused; the
    // lower-case card of 1006 is never found; 1003 enters and leaves.
    ChildProcess catraca(CATRACA_BIN, {});
    catraca.write("127.0.0.1\n" + std::to_string(port) +
                  "\n1 8f3a21c0\n1 5D90B7E2\n2 8F3A21C0\n1 A17C44E8\n1 7B22F5D1\n"
                  "1 3F9D0B7A\n1 8F3A21C0\n2 5D90B7E2\n1 C4E1096A\n2 8F3A21C0\n2 C4E1096A\n");
    catraca.closeInput();
    ASSERT_EQ(catraca.wait(), 0) << catraca.out();
    EXPECT_EQ(catraca.err(), "");

    httplib::Client client("127.0.0.1", port);
    auto roster = client.Get("/transaction");
    ASSERT_TRUE(roster);
    ASSERT_EQ(roster->status, 200);
    std::map<int, long> after = credits(roster->body);
    std::map<int, long> admissions = {{1001, 2}, {1002, 1}, {1003, 1}, {1007, 1}};
    for (const auto& [user, credit] : before) {
        EXPECT_EQ(after[user], credit - admissions[user]) << "user " << user;
    }
    EXPECT_EQ(after.size(), before.size());

    auto count = client.Get("/contador");
    ASSERT_TRUE(count);
    EXPECT_EQ(nlohmann::json::parse(count->body).at("v"), 1) << "1007 is still inside";

    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0) << server->err();
}

// The server keeps what it acknowledged: a second server on the same database serves
// the admissions of the first session.
TEST_F(EndToEnd, AcknowledgedEventsSurviveAServerRestart) {
    std::string db = dir.file("ru.db");
    int port;
    {
        std::unique_ptr<ChildProcess> server;
        port = startServer(server, {"--db", db, "--import", SAMPLE_ROSTER, "--port", "0"});
        ASSERT_GT(port, 0);
        ChildProcess catraca(CATRACA_BIN, {});
        catraca.write("127.0.0.1\n" + std::to_string(port) + "\n1 D2B8E6F3\n2 D2B8E6F3\n");
        catraca.closeInput();
        ASSERT_EQ(catraca.wait(), 0) << catraca.out();
        server->signal(SIGKILL);  // no clean shutdown: only committed data may count
        server->wait();
    }
    std::unique_ptr<ChildProcess> again;
    port = startServer(again, {"--db", db, "--port", "0"});
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    auto roster = client.Get("/transaction");
    ASSERT_TRUE(roster);
    EXPECT_EQ(credits(roster->body)[1008], 19);
}

// The deployment over HTTPS: ru-server with a certificate of a private authority made
// here, the board trusting that authority alone. Another authority's board never gets
// past the start-up, exactly as with an unreachable server.
TEST_F(EndToEnd, BoardTrustsItsPrivateAuthorityOverHttps) {
    testsupport::TestCertificates certs(dir);
    testsupport::TempDir other;
    testsupport::TestCertificates stranger(other);
    std::unique_ptr<ChildProcess> server;
    int port = startServer(server, {"--db", dir.file("ru.db"), "--import", SAMPLE_ROSTER, "--port",
                                    "0", "--cert", certs.certFile, "--key", certs.keyFile});
    ASSERT_GT(port, 0);
    const std::string answers = "https://127.0.0.1\n" + std::to_string(port) + "\n";

    ChildProcess refused(CATRACA_BIN, {"--cacert", stranger.caFile});
    refused.write(answers);
    refused.closeInput();
    EXPECT_EQ(refused.wait(), 0);
    EXPECT_NE(refused.out().find("erro na inicializacao! codigo do erro :-1\n"), std::string::npos)
        << refused.out();

    ChildProcess catraca(CATRACA_BIN, {"--cacert", certs.caFile});
    catraca.write(answers + "1 D2B8E6F3\n2 D2B8E6F3\n");
    catraca.closeInput();
    ASSERT_EQ(catraca.wait(), 0) << catraca.out();
    EXPECT_NE(catraca.out().find("servidor atualizado"), std::string::npos) << catraca.out();
    EXPECT_EQ(catraca.out().find("Nao foi possivel alterar a contagem"), std::string::npos);

    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0) << server->err();
    std::unique_ptr<ChildProcess> plain;
    port = startServer(plain, {"--db", dir.file("ru.db"), "--port", "0"});
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    auto roster = client.Get("/transaction");
    ASSERT_TRUE(roster);
    EXPECT_EQ(credits(roster->body)[1008], 19) << "the one admission reached the server";
}

// The deployment with boards known by certificate. Without its own, a board is at most a
// viewer: the roster is refused and the start fails as against an unreachable server.
// With it, every exchange goes through, logged under the board's name; and credit bought,
// and a student enrolled, on the server's machine reach the board at its next refresh.
TEST_F(EndToEnd, CertifiedBoardAndCreditAddedOnTheServersMachine) {
    testsupport::TestCertificates certs(dir);
    const testsupport::ClientCertificate board = certs.client("catraca-01");
    const std::string db = dir.file("ru.db");
    std::unique_ptr<ChildProcess> server;
    const int port =
        startServer(server, {"--db", db, "--import", SAMPLE_ROSTER, "--port", "0", "--cert",
                             certs.certFile, "--key", certs.keyFile, "--client-ca", certs.caFile});
    ASSERT_GT(port, 0);
    const std::string address = "https://127.0.0.1\n" + std::to_string(port) + "\n";

    ChildProcess refused(CATRACA_BIN, {"--cacert", certs.caFile});
    refused.write(address + "1 D2B8E6F3\n");
    refused.closeInput();
    EXPECT_EQ(refused.wait(), 0);
    EXPECT_EQ(refused.out(),
              "Digite o ip do servidor\nDigite a porta\nConectando a https://127.0.0.1:" +
                  std::to_string(port) +
                  "\nerro na inicializacao! codigo do erro :403\n"
                  "N\xE3o foi poss\xEDvel conectar com o servidor. Servidor Rodando?\n");

    // 1008 (credit 20) enters; 1004 has no credit, and nobody has the card 0A0B0C0D yet.
    ChildProcess catraca(CATRACA_BIN, {"--cacert", certs.caFile, "--cert", board.certFile, "--key",
                                       board.keyFile, "--refresh", "0"});
    catraca.write(address + "1 D2B8E6F3\n1 7B22F5D1\n1 0A0B0C0D\n");
    ASSERT_TRUE(catraca.waitForOutput("Pessoa n\xE3o encontrada")) << catraca.out();
    ASSERT_NE(catraca.out().find("Creditos insuficientes"), std::string::npos) << catraca.out();
    const std::string file = dir.file("bought.json");
    std::ofstream(file) << nlohmann::json::array(
        {rutest::row("7B22F5D1", 1004, 2), rutest::row("0A0B0C0D", 2001, 1)});
    ChildProcess credit(RU_SERVER_BIN, {"credit", "--db", db, "--file", file});
    EXPECT_EQ(credit.wait(), 0) << credit.err();
    catraca.write("1 7B22F5D1\n1 0A0B0C0D\n2 D2B8E6F3\n");
    catraca.closeInput();
    EXPECT_EQ(catraca.wait(), 0) << catraca.out();
    for (const char* line : {"AUTORIZADO... novo credito (na placa): 1\n",
                             "AUTORIZADO... novo credito (na placa): 0\n", "servidor atualizado"}) {
        EXPECT_NE(catraca.out().find(line), std::string::npos) << line << catraca.out();
    }
    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0) << server->err();
    for (const char* line :
         {"GET /transaction 403\n", "GET /transaction 200 board=catraca-01\n",
          "POST /transaction/1008 201 board=catraca-01\n", "POST /contador 201 board=catraca-01\n",
          "POST /transaction/1004 201 board=catraca-01\n",
          "POST /transaction/2001 201 board=catraca-01\n"}) {
        EXPECT_NE(server->out().find(line), std::string::npos) << line << server->out();
    }
}

// The two programs with roster cursors: a refresh asks for the rows after the cursor of
// the start-up roster; the board's own upload comes back among them and counts once, and
// the credit bought at the cashier meanwhile admits the student it was refused to.
TEST_F(EndToEnd, ARefreshAfterACursorCountsOwnUploadsOnceAndSeesNewCredit) {
    std::unique_ptr<ChildProcess> server;
    const std::string db = dir.file("ru.db");
    int port = startServer(
        server, {"--db", db, "--import", SAMPLE_ROSTER, "--port", "0", "--roster-cursors"});
    ASSERT_GT(port, 0);
    ChildProcess catraca(CATRACA_BIN, {"--refresh", "0"});
    // 1001 (credit 10) enters and leaves: its event is uploaded.
    catraca.write("127.0.0.1\n" + std::to_string(port) + "\n1 8F3A21C0\n2 8F3A21C0\n");
    ASSERT_TRUE(catraca.waitForOutput("servidor atualizado")) << catraca.out();
    // 1004 (credit 0) buys three meals at the cashier.
    ChildProcess credit(RU_SERVER_BIN, {"credit", "--db", db, "1004", "3"});
    ASSERT_EQ(credit.wait(), 0) << credit.err();
    catraca.write("1 7B22F5D1\n1 8F3A21C0\n");
    catraca.closeInput();
    ASSERT_EQ(catraca.wait(), 0) << catraca.out();
    const std::string& out = catraca.out();
    EXPECT_NE(out.find("Atualizando a lista de transa\xE7\xF5"
                       "es...\nPessoa encontrada\nAUTORIZADO... novo credito (na placa): 2\n"),
              std::string::npos)
        << out;
    // 10, less its first meal (back from the server once) and the second.
    EXPECT_NE(out.find("AUTORIZADO... novo credito (na placa): 8\n"), std::string::npos) << out;
    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0) << server->err();
    const std::string& log = server->out();
    EXPECT_NE(log.find("GET /transaction?after="), std::string::npos) << log;
    EXPECT_EQ(log.find("GET /transaction 200", log.find("GET /transaction 200") + 1),
              std::string::npos)
        << "one whole download, at the start: " << log;
}

// Two entrances of one restaurant, each a catraca with a name, against one ru-server
// --online: a student with one credit left (user 7), at both.
class TwoBoards : public EndToEnd {
  protected:
    static constexpr const char* kAlone = "Decidido na placa, sem o servidor";

    void SetUp() override {
        db = dir.file("ru.db");
        rutest::writeFile(dir.file("roster.json"),
                          nlohmann::json::array({rutest::row("AB12", 7, 1)}).dump());
        port = startServer(
            server, {"--db", db, "--import", dir.file("roster.json"), "--port", "0", "--online"});
        ASSERT_GT(port, 0);
    }

    // A board named `name`, online (which brings keys) with `extra` options, at its first
    // prompt.
    std::unique_ptr<ChildProcess> board(const std::string& name,
                                        std::vector<std::string> extra = {}) {
        extra.insert(extra.end(), {"--online", "--board=" + name});
        auto p = std::make_unique<ChildProcess>(CATRACA_BIN, extra);
        p->write("127.0.0.1\n" + std::to_string(port) + "\n");
        EXPECT_TRUE(p->waitForOutput("selecione 1")) << p->out();
        return p;
    }

    // The meals stored for user 7, and its credit, as the server serves them.
    std::pair<long, long long> meals() {
        httplib::Client client("127.0.0.1", port);
        const nlohmann::json roster = rutest::fetchRoster(client);
        return {static_cast<long>(roster.size()) - 1, rutest::creditOf(roster, 7)};
    }

    std::string db;
    int port = 0;
    std::unique_ptr<ChildProcess> server;
};

TEST_F(TwoBoards, OnlineTheLastCreditAdmitsOnceAndRefusesAtTheOtherEntrance) {
    auto north = board("norte");
    auto south = board("sul");
    north->write("1 AB12\n");
    ASSERT_TRUE(north->waitForOutput("AUTORIZADO")) << north->out();
    south->write("1 AB12\n");
    ASSERT_TRUE(south->waitForOutput("Creditos insuficientes")) << south->out();
    south->closeInput();
    EXPECT_EQ(south->wait(), 0) << south->out();
    EXPECT_EQ(south->out().find("AUTORIZADO"), std::string::npos) << south->out();
    EXPECT_EQ(meals(), std::make_pair(1L, 0LL)) << "never below zero from online admissions";
    EXPECT_TRUE(server->waitForOutput("POST /entrada/7 409 board=sul\n")) << server->out();
}

// The same with the server silent (stopped): each board waits one --entry-timeout, decides
// alone and admits; once the server is back their uploads store both meals, and the
// administrator's list shows the student in debt.
TEST_F(TwoBoards, SilentServerBothAdmitAndTheUploadsMarkTheStudent) {
    auto north = board("norte");
    auto south = board("sul");
    server->signal(SIGSTOP);
    north->write("1 AB12\n");
    south->write("1 AB12\n");
    const bool admitted = north->waitForOutput(kAlone) && north->waitForOutput("AUTORIZADO") &&
                          south->waitForOutput(kAlone) && south->waitForOutput("AUTORIZADO");
    server->signal(SIGCONT);
    ASSERT_TRUE(admitted) << north->out() << south->out();
    north->closeInput();
    south->closeInput();
    EXPECT_EQ(north->wait(), 0) << north->out();
    EXPECT_EQ(south->wait(), 0) << south->out();
    EXPECT_EQ(meals(), std::make_pair(2L, -1LL));
    ChildProcess list(RU_SERVER_BIN, {"overdrawn", "--db", db});
    EXPECT_EQ(list.wait(), 0) << list.err();
    EXPECT_TRUE(
        std::regex_search(list.out(), std::regex("\n7\t2020000001\t-1\t1\t.*\t(norte|sul)\n")))
        << list.out();
}

// An online question that the database cannot take within the entry's short wait (a lock
// held elsewhere) is answered 503 with nothing stored, before the board's --entry-timeout:
// the board decides alone, and its upload stores the meal once. Were the entry stored after
// the board gave up, a board refusing alone would leave a meal charged and not served.
TEST_F(TwoBoards, AnEntryTheDatabaseCannotTakeInTimeIs503AndStoredOnceByTheUpload) {
    auto north = board("norte", {"--journal", dir.file("j.db")});
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    north->write("1 AB12\n");
    const bool admitted = north->waitForOutput(kAlone) && north->waitForOutput("AUTORIZADO");
    sqlite3_close(holder);
    ASSERT_TRUE(admitted) << north->out();
    EXPECT_TRUE(server->waitForOutput("POST /entrada/7 503 board=norte\n")) << server->out();
    north->closeInput();
    EXPECT_EQ(north->wait(), 0) << north->out();
    EXPECT_TRUE(server->waitForOutput("POST /transaction/7 201 board=norte\n")) << server->out();
    EXPECT_EQ(meals(), std::make_pair(1L, 0LL));
}

}  // namespace
