// Whole console sessions of the controller, in-process: start-up, the turnstile
// loop and the server update, compared byte for byte with the console text and
// with the requests the loopback server recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <regex>
#include <streambuf>
#include <vector>

#include "catraca.h"
#include "support/console.h"
#include "turnstile.h"

namespace {

using namespace turnstile;
using testsupport::Act;
using testsupport::RecordedRequest;
using testsupport::Reply;
using testsupport::ScriptedRequest;
using testsupport::ScriptedServer;

const std::string kEvent = "{\"event_id\": -1}";

class Session : public ::testing::Test {
  protected:
    // Types the address and port, then `input`; runs the loop when the load worked
    // and returns everything written to the console.
    std::string play(const std::string& input) {
        testsupport::ConsoleCapture console("127.0.0.1\n" + server.port() + "\n" + input);
        Catraca c;
        c.start();
        status = c.getStatus();
        if (status == 1) {
            c.run();
            pending = c.contaPendentes();
        }
        return console.output();
    }
    std::string begin() const { return startup("127.0.0.1", server.port()); }

    Server server;
    int status = 0;
    unsigned pending = 0;
};

void expectUpload(const RecordedRequest& r, int user) {
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/transaction/" + std::to_string(user));
    EXPECT_EQ(r.body, kEvent);
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_EQ(r.header("Content-Length"), "16");
    EXPECT_EQ(r.header("User-Agent"), "restclient");
}

void expectCount(const RecordedRequest& r, const std::string& body) {
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/contador");
    EXPECT_EQ(r.body, body);
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_EQ(r.header("User-Agent"), "restclient");
}

TEST_F(Session, EmptyRosterShowsThreeEmptyLists) {
    std::string out = play("");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, begin() + screen({}, {}, {}));
    ASSERT_EQ(server.http.requests().size(), 1u);
    RecordedRequest get = server.http.requests()[0];
    EXPECT_EQ(get.method, "GET");
    EXPECT_EQ(get.target, "/transaction");
    EXPECT_EQ(get.header("User-Agent"), "restclient");
    EXPECT_FALSE(get.hasHeader("Content-Type"));
}

TEST_F(Session, RowsOfOneUserMergeInRosterOrder) {
    server.rosterBody = roster({{"A", 1, 2}, {"B", 2, 1}, {"A2", 1, 3}, {"C", 3, 0}});
    EXPECT_EQ(play(""), begin() + screen({user(1, 5), user(2, 1), user(3, 0)}, {}, {}));
}

// An entry, a second entry, an exit: the exit uploads the leaver's event and then
// the head-count taken after the exit; at the end of input the one still inside
// gets its event uploaded too.
TEST_F(Session, ExitUploadsEventThenHeadCountAfterExit) {
    server.rosterBody = roster({{"AB12CD", 1, 2}, {"CD34", 2, 5}});
    std::string out = play("1 ab12cd\n1\nCD34\n2 AB12CD\n");
    EXPECT_EQ(out, begin() + screen({user(1, 2), user(2, 5)}, {}, {}) + kCard + kFound +
                       admitted(1) + screen({user(2, 5)}, {}, {user(1, 1)}) + kCard + kFound +
                       admitted(4) + screen({}, {}, {user(1, 1), user(2, 4)}) + kCard + exited(1) +
                       kUpdated + screen({user(1, 1)}, {}, {user(2, 4)}));
    std::vector<RecordedRequest> sent = server.updates();
    ASSERT_EQ(sent.size(), 3u);
    expectUpload(sent[0], 1);
    expectCount(sent[1], "{\"v\":1}");
    expectUpload(sent[2], 2);  // last attempt at the end of input
    EXPECT_EQ(pending, 0u);
}

TEST_F(Session, RefusedUploadKeepsStudentAwaitingUntilNextExit) {
    server.rosterBody = roster({{"A", 1, 3}, {"B", 2, 1}});
    std::atomic<int> uploads{0};
    server.upload = [&](const RecordedRequest&) { return Reply{++uploads == 1 ? 500 : 201, "{}"}; };
    std::string out = play("1 A\n2 A\n1 A\n2 A\n");
    EXPECT_EQ(out, begin() + screen({user(1, 3), user(2, 1)}, {}, {}) + kCard + kFound +
                       admitted(2) + screen({user(2, 1)}, {}, {user(1, 2)}) + kCard + exited(2) +
                       kUpdated + screen({user(2, 1)}, {user(1, 2)}, {}) + kCard + kFoundUpdate +
                       admitted(1) + screen({user(2, 1)}, {}, {user(1, 1)}) + kCard + exited(1) +
                       kUpdated + screen({user(2, 1), user(1, 1)}, {}, {}));
    std::vector<RecordedRequest> sent = server.updates();
    ASSERT_EQ(sent.size(), 4u);
    expectUpload(sent[0], 1);  // refused: no head-count follows
    expectUpload(sent[1], 1);  // both pending events, in order
    expectUpload(sent[2], 1);
    expectCount(sent[3], "{\"v\":0}");
    EXPECT_EQ(pending, 0u);
}

TEST_F(Session, TransportFailureCountsAsRefusalAndIsReportedAtTheEnd) {
    server.rosterBody = roster({{"A", 1, 3}});
    server.upload = [](const RecordedRequest&) {
        Reply r{201, "{}"};
        r.cutShort = true;
        return r;
    };
    std::string out = play("1 A\n2 A\n");
    EXPECT_EQ(out, begin() + screen({user(1, 3)}, {}, {}) + kCard + kFound + admitted(2) +
                       screen({}, {}, {user(1, 2)}) + kCard + exited(2) + kUpdated +
                       screen({}, {user(1, 2)}, {}) + undelivered(1));
    std::vector<RecordedRequest> sent = server.updates();
    ASSERT_EQ(sent.size(), 2u);
    expectUpload(sent[0], 1);
    expectUpload(sent[1], 1);
    EXPECT_EQ(pending, 1u);
}

TEST_F(Session, HeadCountNotAnswered201IsReported) {
    server.rosterBody = roster({{"A", 1, 3}});
    server.contadorStatus = 200;
    std::string out = play("1 A\n2 A\n");
    EXPECT_EQ(out, begin() + screen({user(1, 3)}, {}, {}) + kCard + kFound + admitted(2) +
                       screen({}, {}, {user(1, 2)}) + kCard + exited(2) + kCountRefused + kUpdated +
                       screen({user(1, 2)}, {}, {}));
}

// Three students awaiting upload, the second refused: the first goes back outside,
// the walk stops, no head-count is sent.
TEST_F(Session, UpdateStopsAtFirstRefusedStudent) {
    server.rosterBody = roster({{"A", 1, 3}, {"B", 2, 3}, {"C", 3, 3}, {"D", 4, 3}});
    std::vector<int> script = {500, 500, 500, 201, 500};
    std::atomic<size_t> uploads{0};
    server.upload = [&](const RecordedRequest&) {
        size_t i = uploads++;
        return Reply{i < script.size() ? script[i] : 201, "{}"};
    };
    std::string out = play("1 A\n1 B\n1 C\n2 A\n2 B\n2 C\n1 D\n2 D\n");
    std::string last = screen({user(1, 2)}, {user(2, 2), user(3, 2), user(4, 2)}, {});
    ASSERT_GE(out.size(), last.size());
    EXPECT_EQ(out.substr(out.size() - last.size()), last);
    std::vector<RecordedRequest> sent = server.updates();
    std::vector<std::string> targets;
    for (const RecordedRequest& r : sent) {
        targets.push_back(r.target);
    }
    // Exits of A, B, C each retry A; the exit of D gets A through and B refused;
    // the end of input then delivers B, C and D.
    EXPECT_EQ(targets,
              (std::vector<std::string>{"/transaction/1", "/transaction/1", "/transaction/1",
                                        "/transaction/1", "/transaction/2", "/transaction/2",
                                        "/transaction/3", "/transaction/4"}));
    EXPECT_EQ(pending, 0u);
}

// Every upload refused for good (a route lost behind a proxy): each exit costs its own
// student's upload and the head-count, not a resend of everyone waiting, the stop tries
// each once more, and a line comes once per student and status.
TEST_F(Session, RefusedForGoodCostsOneUploadAnExitAndOneLineAStatus) {
    std::vector<Row> rows;
    std::string input;
    for (int i = 1; i <= 30; ++i) {
        rows.push_back({"C" + std::to_string(i), i, 5});
        input += "1 C" + std::to_string(i) + "\n2 C" + std::to_string(i) + "\n";
    }
    server.rosterBody = roster(rows);
    std::atomic<int> uploads{0};
    server.upload = [&](const RecordedRequest&) {
        int n = ++uploads;
        return Reply{n > 30 && n % 2 == 0 ? 410 : 404, "{}"};
    };
    std::string out = play(input);
    EXPECT_EQ(uploads, 30 + 30);
    EXPECT_EQ(server.updates().size(), 30u + 30u + 30u) << "and a head-count an exit";
    std::regex line(
        "recusado pelo servidor: c\xF3"
        "digo do erro 4");
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), line), {}), 30 + 15);
}

// The stop's limits, shrunk, whatever --timeout says, against 2 s uploads: no upload
// starts after the first, the one in flight (the server may have stored it) runs until
// the second; the clock starts at the first stop request (`stopAt`: the upload it comes with) or
// the end of input, and one more stop request ends the upload in flight.
TEST(Stop, NothingStartsAfterTheLimitAndTheUploadInFlightRunsToTheHardOne) {
    struct {
        int timeout, limitMs, hardMs, stopAt;
        std::string requests;
        unsigned pending;
    } const rows[] = {{10, 3000, 5000, 0, "G U1 C4 U2 U3", 2},
                      {0, 3000, 5000, 0, "G U1 C4 U2 U3", 2},
                      {0, 500, 1000, 0, "G U1 C4 U2", 4},
                      {0, 3000, 5000, 1, "G U1 C4 U2", 3},
                      {0, 20000, 25000, 2, "G U1 C4 U2", 4}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.requests + " " + std::to_string(row.pending));
        std::atomic<int> stops{0}, uploads{0};
        ScriptedServer server([&](const ScriptedRequest& r) {
            if (r.method == "GET") {
                return Act::answer(
                    200, roster({{"A", 1, 5}, {"B", 2, 5}, {"C", 3, 5}, {"D", 4, 5}, {"E", 5, 5}}));
            }
            stops += r.target != "/contador" && ++uploads == row.stopAt;
            return r.target == "/contador" ? Act::answer(201, "{}")
                                           : Act::drip(201, "{}      ", 250);
        });
        Servidor::Ajustes a;
        a.timeout = row.timeout;
        a.paradas = [&stops] { return static_cast<unsigned>(stops); };
        a.limiteFinal = std::chrono::milliseconds(row.limitMs);
        a.limiteDuro = std::chrono::milliseconds(row.hardMs);
        testsupport::ConsoleCapture console("127.0.0.1\n" + std::to_string(server.port()) +
                                            "\n1 A\n1 B\n1 C\n1 D\n1 E\n2 A\n");
        Catraca c(a, nullptr);
        c.start();
        c.run();
        EXPECT_EQ(requestCodes(server.requests()), row.requests);
        EXPECT_EQ(c.contaPendentes(), row.pending);
    }
}

// As shipped, the stop ends before the board's unit would kill it: the upload in flight
// is cut up to a second late (libcurl's progress check), and two journal deletes may
// wait a second each.
TEST(Stop, ShippedLimitsEndWithinTheUnitsStopTime) {
    std::ifstream unit(UNIT_FILE);
    int stopSec = 0;
    for (std::string line; std::getline(unit, line);) {
        stopSec = line.rfind("TimeoutStopSec=", 0) == 0 ? std::stoi(line.substr(15)) : stopSec;
    }
    Servidor::Ajustes a;
    EXPECT_LT(a.limiteFinal, a.limiteDuro);
    EXPECT_LE(a.limiteDuro + std::chrono::seconds(3), std::chrono::seconds(stopSec));
}

TEST_F(Session, CreditOneIsAdmittedOnceThenRefused) {
    server.rosterBody = roster({{"A", 1, 1}});
    std::string out = play("1 A\n2 A\n1 A\n");
    EXPECT_EQ(out, begin() + screen({user(1, 1)}, {}, {}) + kCard + kFound + admitted(0) +
                       screen({}, {}, {user(1, 0)}) + kCard + exited(0) + kUpdated +
                       screen({user(1, 0)}, {}, {}) + kCard + kFound + kNoCredit +
                       screen({user(1, 0)}, {}, {}));
}

TEST_F(Session, CreditZeroOrBelowIsRefusedAndStaysOutside) {
    for (int credit : {0, -3}) {
        SCOPED_TRACE(credit);
        Server s;
        s.rosterBody = roster({{"A", 1, credit}});
        testsupport::ConsoleCapture console("127.0.0.1\n" + s.port() + "\n1 A\n");
        Catraca c;
        c.start();
        c.run();
        EXPECT_EQ(console.output(), startup("127.0.0.1", s.port()) +
                                        screen({user(1, credit)}, {}, {}) + kCard + kFound +
                                        kNoCredit + screen({user(1, credit)}, {}, {}));
        EXPECT_TRUE(s.updates().empty());
    }
}

TEST_F(Session, SecondEntryOfSomeoneInsideIsNotFound) {
    server.rosterBody = roster({{"A", 1, 5}});
    std::string out = play("1 A\n1 A\n");
    EXPECT_EQ(out, begin() + screen({user(1, 5)}, {}, {}) + kCard + kFound + admitted(4) +
                       screen({}, {}, {user(1, 4)}) + kCard + kNotFound +
                       screen({}, {}, {user(1, 4)}));
}

// Only the typed card is upper-cased, in the C locale: a lower-case cardID is never
// found, and bytes of 0x80 and above stay as they are.
TEST_F(Session, TypedCardIsUpperCasedButRosterCardIsNot) {
    server.rosterBody = roster({{"AB12", 1, 5}, {"cd34", 2, 5}, {"\xC3\xA9X", 3, 5}});
    std::string out = play("1 cd34\n1 \xC3\xA9x\n");
    std::string outside = screen({user(1, 5), user(2, 5), user(3, 5)}, {}, {});
    EXPECT_EQ(out, begin() + outside + kCard + kNotFound + outside + kCard + kFound + admitted(4) +
                       screen({user(1, 5), user(2, 5)}, {}, {user(3, 4)}));
}

TEST_F(Session, SameCardOnTwoUsersFindsTheFirstLoaded) {
    server.rosterBody = roster({{"X", 7, 2}, {"X", 8, 9}});
    std::string out = play("1 X\n");
    EXPECT_EQ(out, begin() + screen({user(7, 2), user(8, 9)}, {}, {}) + kCard + kFound +
                       admitted(1) + screen({user(8, 9)}, {}, {user(7, 1)}));
}

TEST_F(Session, OtherTurnstileNumbersTakeACardAndChangeNothing) {
    server.rosterBody = roster({{"A", 1, 5}});
    std::string same = screen({user(1, 5)}, {}, {});
    EXPECT_EQ(play("0 A\n3 A\n-1 A\n2 A\n"),
              begin() + same + kCard + same + kCard + same + kCard + same + kCard + same);
    EXPECT_TRUE(server.updates().empty());
}

// An answer that is not a decimal int drops the rest of its line and redraws.
TEST_F(Session, AnswerThatIsNotANumberIsDroppedWithItsLine) {
    server.rosterBody = roster({{"A", 1, 5}});
    std::string same = screen({user(1, 5)}, {}, {});
    for (std::string bad : {"abc 1 A", "99999999999 1 A", "-", "+x", "\xE3"}) {
        SCOPED_TRACE(bad);
        server.http.clearRequests();
        EXPECT_EQ(play(bad + "\n1 A\n"), begin() + same + same + kCard + kFound + admitted(4) +
                                             screen({}, {}, {user(1, 4)}));
    }
}

TEST_F(Session, EndOfInputInsideTheCardPromptEndsCleanly) {
    server.rosterBody = roster({{"A", 1, 5}});
    EXPECT_EQ(play("1"), begin() + screen({user(1, 5)}, {}, {}) + kCard);
    EXPECT_EQ(play("zzz"), begin() + screen({user(1, 5)}, {}, {}));
}

TEST_F(Session, EndOfInputUploadsEventsOfStudentsStillInside) {
    server.rosterBody = roster({{"A", 1, 5}, {"B", 2, 5}});
    server.upload = [](const RecordedRequest& r) {
        return Reply{r.target == "/transaction/2" ? 403 : 201, "{}"};
    };
    std::string out = play("1 A\n1 B\n");
    EXPECT_EQ(out, begin() + screen({user(1, 5), user(2, 5)}, {}, {}) + kCard + kFound +
                       admitted(4) + screen({user(2, 5)}, {}, {user(1, 4)}) + kCard + kFound +
                       admitted(4) + screen({}, {}, {user(1, 4), user(2, 4)}) +
                       refusedForGood(2, 403) + undelivered(1));
    std::vector<RecordedRequest> sent = server.updates();
    ASSERT_EQ(sent.size(), 2u);
    expectUpload(sent[0], 1);
    expectUpload(sent[1], 2);
    EXPECT_EQ(pending, 1u);
}

TEST_F(Session, ExitOfSomeoneNotInsideWritesNothing) {
    server.rosterBody = roster({{"A", 1, 5}});
    std::string same = screen({user(1, 5)}, {}, {});
    EXPECT_EQ(play("2 A\n2 NOBODY\n"), begin() + same + kCard + same + kCard + same);
    EXPECT_TRUE(server.updates().empty());
}

struct StartFailure {
    const char* name;
    int rosterStatus;
    bool cutShort;
    int code;
};

TEST(StartUp, FailedLoadShowsCodeAndCreatesNothing) {
    for (const StartFailure& f :
         {StartFailure{"404", 404, false, 404}, StartFailure{"201 is not 200", 201, false, 201},
          StartFailure{"500", 500, false, 500}, StartFailure{"body cut short", 200, true, -1}}) {
        SCOPED_TRACE(f.name);
        testsupport::RecordingServer http;
        Reply r{f.rosterStatus, "[]", "application/json"};
        r.cutShort = f.cutShort;
        http.setFallback(r);
        std::string port = std::to_string(http.port());
        testsupport::ConsoleCapture console("127.0.0.1\n" + port + "\n");
        Catraca c;
        c.start();
        EXPECT_EQ(c.getStatus(), -1);
        EXPECT_EQ(console.output(), loadFailure("127.0.0.1", port, f.code));
        EXPECT_EQ(c.contaPendentes(), 0u);
    }
}

TEST(StartUp, NothingListeningGivesCodeMinusOne) {
    int port;
    {
        testsupport::RecordingServer gone;
        port = gone.port();
    }
    testsupport::ConsoleCapture console("127.0.0.1\n" + std::to_string(port) + "\n");
    Catraca c;
    c.start();
    EXPECT_EQ(c.getStatus(), -1);
    EXPECT_EQ(console.output(), loadFailure("127.0.0.1", std::to_string(port), -1));
    EXPECT_EQ(c.getServerIP(), "127.0.0.1");
    EXPECT_EQ(c.getServerPort(), port);
}

TEST(StartUp, InputEndingBeforeAddressLeavesDefaults) {
    testsupport::ConsoleCapture console("");
    Catraca c;
    c.start();
    EXPECT_EQ(c.getStatus(), -1);
    EXPECT_EQ(console.output(), loadFailure("", "0", -1));
}

// Collects the console text flush by flush.
class FlushRecorder : public std::streambuf {
  public:
    std::vector<std::string> flushed;

  protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            pending_ += traits_type::to_char_type(c);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        pending_.append(s, static_cast<size_t>(n));
        return n;
    }
    int sync() override {
        if (!pending_.empty()) {
            flushed.push_back(pending_);
            pending_.clear();
        }
        return 0;
    }

  private:
    std::string pending_;
};

// Each screen, its prompt included, reaches the console in one flush, and that flush
// comes before the read that waits for the answer.
TEST_F(Session, EachScreenIsFlushedWholeBeforeTheRead) {
    server.rosterBody = roster({{"A", 1, 2}, {"B", 2, 0}});
    FlushRecorder recorder;
    testsupport::ConsoleCapture console("127.0.0.1\n" + server.port() + "\n1 A\n");
    std::cout.rdbuf(&recorder);
    Catraca c;
    c.start();
    ASSERT_EQ(c.getStatus(), 1);
    c.run();
    const std::vector<std::string> screens = {
        screen({user(1, 2), user(2, 0)}, {}, {}),
        screen({user(2, 0)}, {}, {user(1, 1)}),
    };
    for (const std::string& s : screens) {
        EXPECT_EQ(std::count(recorder.flushed.begin(), recorder.flushed.end(), s), 1) << s;
    }
}

}  // namespace
