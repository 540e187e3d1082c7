// The journal in-process: ids that are never reused, and an entry refused when the
// journal cannot be written; and the private authority of --cacert.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "catraca.h"
#include "journal.h"
#include "support/console.h"
#include "support/loopback.h"
#include "support/scripted_server.h"
#include "support/tls_server.h"
#include "turnstile.h"

namespace {

using namespace turnstile;
using testsupport::TempDir;

Servidor::Ajustes quick() {
    Servidor::Ajustes a;
    a.timeout = 2;
    return a;
}

TEST(JournalFile, IdsGrowAndAreNeverReusedAcrossDeletionsAndReopening) {
    TempDir dir;
    std::string e;
    std::vector<int64_t> ids;
    {
        auto j = Journal::abre(dir.file("j.db"), &e);
        ASSERT_TRUE(j) << e;
        ids.push_back(j->grava(7, -1, &e));
        ids.push_back(j->grava(8, -2, &e));
        EXPECT_TRUE(j->apaga(ids[1]));
    }
    auto j = Journal::abre(dir.file("j.db"), &e);
    ASSERT_TRUE(j) << e;
    ids.push_back(j->grava(9, -3, &e));
    EXPECT_EQ(ids, (std::vector<int64_t>{1, 2, 3}));
    std::vector<Journal::Evento> left = j->eventos();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].id, 1);
    EXPECT_EQ(left[0].userID, 7);
    EXPECT_EQ(left[0].valor, -1);
    EXPECT_EQ(left[1].id, 3);
    EXPECT_EQ(left[1].valor, -3);
}

// An event asked at an online entry stays marked until the board decides alone; a later
// start drops the one still marked, and only it.
TEST(JournalFile, QuestionLeftUndecidedIsDroppedAndOnlyIt) {
    TempDir dir;
    std::string e;
    {
        auto j = Journal::abre(dir.file("j.db"), &e);
        ASSERT_GT(j->grava(4, -1, &e, true), 0) << e;
        ASSERT_TRUE(j->decide(&e)) << e;
        ASSERT_GT(j->grava(5, -1, &e), 0) << e;
        ASSERT_GT(j->grava(6, -1, &e, true), 0) << e;
    }
    auto j = Journal::abre(dir.file("j.db"), &e);
    EXPECT_EQ(j->descartaPergunta(&e), 6);
    EXPECT_EQ(j->descartaPergunta(&e), std::nullopt);
    std::vector<int> left;
    for (const Journal::Evento& ev : j->eventos()) {
        left.push_back(ev.userID);
    }
    EXPECT_EQ(left, (std::vector<int>{4, 5}));
}

// Another program holding the file's write lock makes every write fail, as a full or
// failing disk would: the entry is refused with the reason and changes nothing;
// once the lock goes, entries work again.
TEST(JournalFile, EntryIsRefusedWhenTheJournalCannotBeWritten) {
    TempDir dir;
    std::string e;
    auto journal = Journal::abre(dir.file("j.db"), &e);
    ASSERT_TRUE(journal) << e;
    Server server;
    server.rosterBody = roster({{"A", 1, 3}});
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(dir.file("j.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    testsupport::ConsoleCapture console("127.0.0.1\n" + server.port() + "\n1 A\n");
    Catraca c(quick(), journal.get());
    c.start();
    ASSERT_EQ(c.getStatus(), 1);
    c.run();
    EXPECT_EQ(console.output(),
              startup("127.0.0.1", server.port()) + screen({user(1, 3)}, {}, {}) + kCard + kFound +
                  "Entrada recusada: n\xE3o foi poss\xEDvel gravar o evento no di\xE1rio "
                  "(database is locked)\n" +
                  screen({user(1, 3)}, {}, {}));
    EXPECT_EQ(c.contaPendentes(), 0u);
    EXPECT_TRUE(journal->eventos().empty());

    ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    std::cin.clear();
    testsupport::ConsoleCapture again("1 A\n");
    c.run();
    EXPECT_EQ(again.output(), screen({user(1, 3)}, {}, {}) + kCard + kFound + admitted(2) +
                                  screen({}, {}, {user(1, 2)}));
    EXPECT_EQ(c.contaPendentes(), 0u) << "the end of input delivered it";
    EXPECT_EQ(server.updates().size(), 1u);
    EXPECT_TRUE(journal->eventos().empty());
}

// A user missing from the roster at start keeps its journal events; when a refresh
// brings it in, they become its own again: counted against its credit and uploaded.
TEST(JournalFile, RefreshGivesLeftOverEventsToAUserThatCameIn) {
    TempDir dir;
    std::string e;
    auto journal = Journal::abre(dir.file("j.db"), &e);
    ASSERT_TRUE(journal) << e;
    ASSERT_GT(journal->grava(3, -1, &e), 0) << e;
    Server server;
    server.rosterBody = roster({{"A", 1, 0}});

    testsupport::ConsoleCapture console("127.0.0.1\n" + server.port() + "\n");
    Catraca c(quick(), journal.get(), 0);
    c.start();
    ASSERT_EQ(c.getStatus(), 1);
    EXPECT_NE(console.output().find("1 evento de um usu\xE1rio fora da lista continua"),
              std::string::npos)
        << console.output();

    server.rosterBody = roster({{"A", 1, 0}, {"N", 3, 2}});
    std::cin.clear();
    testsupport::ConsoleCapture session("1 N\n");
    c.run();
    EXPECT_NE(session.output().find(kFoundUpdate + admitted(0)), std::string::npos)
        << session.output();
    EXPECT_EQ(c.contaPendentes(), 0u);
    EXPECT_EQ(server.updates().size(), 3u) << "two uploads and the head-count";
    EXPECT_TRUE(journal->eventos().empty());
}

// Another program holds the journal's lock from A's upload to the head-count: the
// acknowledged event stays in the journal, where a refresh (looking for user 9's
// event) must not find it and send it twice; the stop's retry deletes it.
TEST(JournalFile, AcknowledgedEventWhoseDeleteFailedIsNotSentAgain) {
    TempDir dir;
    std::string e;
    auto journal = Journal::abre(dir.file("j.db"), &e);
    ASSERT_GT(journal->grava(9, -1, &e), 0) << e;
    sqlite3* other = nullptr;
    testsupport::ScriptedServer server([&](const testsupport::ScriptedRequest& r) {
        if (r.target == "/contador") {
            sqlite3_close(other);  // rolls the lock back
        } else if (r.method == "POST") {
            sqlite3_open(dir.file("j.db").c_str(), &other);
            EXPECT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        }
        return testsupport::Act::answer(r.method == "GET" ? 200 : 201, roster({{"A", 1, 5}}));
    });
    std::string port = std::to_string(server.port());
    testsupport::ConsoleCapture console("127.0.0.1\n" + port + "\n1 A\n2 A\n1 X\n");
    Catraca c(quick(), journal.get(), 0);
    c.start();
    ASSERT_EQ(c.getStatus(), 1);
    c.run();
    const std::string kept = " 1 confirmado pelo servidor, mas n\xE3o apagado do di\xE1rio (";
    EXPECT_NE(console.output().find(kept + "database is locked)\n" + kUpdated), std::string::npos)
        << console.output();
    EXPECT_EQ(requestCodes(server.requests()), "G U1 C0 G") << "one upload only";
    ASSERT_EQ(journal->eventos().size(), 1u) << "the stop's retry deleted it";
    EXPECT_EQ(journal->eventos()[0].userID, 9);
}

// The lock held from A's upload until the first head-count (1), the second (2), or past
// the stop (0), with a refresh after both exits that looks for user 9's event: each
// admission is uploaded once, a delete set aside is tried again at each update (staying
// set aside while it fails: J3) and at the stop, B's delete waits behind A's, and what is
// left at the end is reported and fails the run.
TEST(JournalFile, SetAsideDeletesAreRetriedAtEachUpdateAndReportedAtTheStop) {
    const std::string kept =
        "Evento de cr\xE9"
        "dito do usu\xE1rio ";
    const std::string notDeleted = " confirmado pelo servidor, mas n\xE3o apagado do di\xE1rio (";
    const std::string behind =
        kept + "2" + notDeleted + "atr\xE1s de um anterior ainda n\xE3o apagado)\n";
    for (int releasedAt : {1, 2, 0}) {
        SCOPED_TRACE(releasedAt);
        TempDir dir;
        std::string e;
        auto journal = Journal::abre(dir.file("j.db"), &e);
        ASSERT_GT(journal->grava(9, -1, &e), 0) << e;
        sqlite3* other = nullptr;
        int counts = 0;
        testsupport::ScriptedServer server([&](const testsupport::ScriptedRequest& r) {
            if (r.target == "/contador" && ++counts == releasedAt) {
                sqlite3_close(other);  // rolls the lock back
            } else if (r.target == "/transaction/1") {
                sqlite3_open(dir.file("j.db").c_str(), &other);
                EXPECT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr),
                          SQLITE_OK);
            }
            return testsupport::Act::answer(r.method == "GET" ? 200 : 201,
                                            roster({{"A", 1, 5}, {"B", 2, 5}}));
        });
        std::string port = std::to_string(server.port());
        testsupport::ConsoleCapture console("127.0.0.1\n" + port + "\n1 A\n1 B\n2 A\n2 B\n1 X\n");
        Catraca c(quick(), journal.get(), 0);
        c.start();
        c.run();
        EXPECT_EQ(withoutScreens(console.output()),
                  startup("127.0.0.1", port) +
                      "1 evento de um usu\xE1rio fora da lista continua no di\xE1rio\n" + kCard +
                      kFound + admitted(4) + kCard + kFound + admitted(4) + kCard + exited(4) +
                      kept + "1" + notDeleted + "database is locked)\n" + kUpdated + kCard +
                      exited(4) + (releasedAt == 1 ? "" : behind) + kUpdated + kCard + kNotFound +
                      "Atualizando a lista de transa\xE7\xF5"
                      "es...\n" +
                      kNotFound +
                      (releasedAt != 0 ? ""
                                       : "2 eventos de cr\xE9"
                                         "dito confirmados pelo servidor continuam no di\xE1rio "
                                         "(database is locked)\n"));
        EXPECT_EQ(requestCodes(server.requests()), "G U1 C1 U2 C0 G") << "one upload each";
        EXPECT_EQ(c.tudoEntregue(), releasedAt != 0);
        sqlite3_close(releasedAt == 0 ? other : nullptr);
        EXPECT_EQ(journal->eventos().size(), releasedAt == 0 ? 3u : 1u);
    }
}

}  // namespace

namespace {

// --cacert against an HTTPS server whose certificate a private authority signed:
// with that authority every request goes through; with another one, or with the
// system's, the load fails exactly as against an unreachable server.
TEST(CaCert, PrivateAuthorityIsTrustedForEveryRequest) {
    TempDir dir;
    testsupport::TestCertificates certs(dir);
    TempDir otherDir;
    testsupport::TestCertificates other(otherDir);
    struct Case {
        const char* name;
        std::string cacert;
        bool trusted;
    };
    const std::vector<Case> cases = {
        {"the server's authority", certs.caFile, true},
        {"another authority", other.caFile, false},
        {"the system's authorities", "", false},
    };
    const std::string body = roster({{"A", 1, 2}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TlsServer server(certs, [&](const std::string& method, const std::string&) {
            return method == "GET" ? std::make_pair(200, body) : std::make_pair(201, "{}");
        });
        std::string port = std::to_string(server.port());
        Servidor::Ajustes a = quick();
        a.cacert = c.cacert;
        testsupport::ConsoleCapture console("https://127.0.0.1\n" + port + "\n1 A\n2 A\n");
        Catraca catraca(a, nullptr);
        catraca.start();
        if (!c.trusted) {
            EXPECT_EQ(catraca.getStatus(), -1);
            EXPECT_EQ(console.output(), loadFailure("https://127.0.0.1", port, -1));
            EXPECT_EQ(server.requests(), 0);
            continue;
        }
        ASSERT_EQ(catraca.getStatus(), 1);
        catraca.run();
        EXPECT_EQ(catraca.contaPendentes(), 0u);
        EXPECT_EQ(server.requests(), 3) << "roster, upload and head-count";
        EXPECT_EQ(console.output(), startup("https://127.0.0.1", port) +
                                        screen({user(1, 2)}, {}, {}) + kCard + kFound +
                                        admitted(1) + screen({}, {}, {user(1, 1)}) + kCard +
                                        exited(1) + kUpdated + screen({user(1, 1)}, {}, {}));
    }
}

}  // namespace
