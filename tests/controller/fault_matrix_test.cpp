// Every way the server can fail each of the three exchanges, one row each, against a
// scripted loopback server: what the console shows, which requests go out, and that
// no admitted event is lost: after every row, the events the server stored plus
// those still pending (in memory and in the journal alike) equal the admissions,
// plus the events stored twice because their acknowledgement was lost (the
// exchange carries no identifier, so delivery is at least once). With idempotency
// keys, the server stores a key's event once, and a lost acknowledgement stores
// nothing twice. Online (the Entry rows), the question at each entry is a fourth
// exchange: an entry it does not decide is decided by the board alone, as offline,
// and its event is uploaded after the exit with the question's own key.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>

#include "catraca.h"
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

enum Exchange { Roster, Upload, Count, Entry };
enum Fault {
    None,
    Refused4xx,
    Refused5xx,
    WrongSuccess,
    NotListening,
    ResetBefore,
    AckLost,
    Truncated,
    Drip,
    Silent,
    Gone,  // every upload of user 1 refused with 404: the user was removed
    ResetHalfway,
    StallHalfway,
    // Refused once with that status.
    Refused400 = 400,
    Refused408 = 408,
    Refused421 = 421,
    Refused423 = 423,
    Refused425 = 425,
    Refused429 = 429,
};

struct FaultRow {
    const char* name;
    Exchange exchange;
    Fault fault;
    int loadCode;          // the code of the failed load; 0 when the roster loads
    std::string afterA;    // console lines of A's exit, before "servidor atualizado"
    std::string afterB;    // the same for B's exit
    std::string end;       // after the last screen
    std::string requests;  // G roster, U<user> upload, C<v> head-count
    int stored;            // events the server stored
    unsigned pending;      // events pending at the end
    int duplicates;        // events stored twice
    int quietMs = 60000;   // the quiet window after a time-out
    bool keys = false;     // --idempotency-keys, and a server that honours them
    // The entries (A, B) the board decided without the server.
    std::string alone = "";
};

const char* const kSession = "1 A\n2 A\n1 B\n2 B\n";
const int kTimeout = 1;

// A body that takes 1.5 s to drip, longer than the time-out.
std::string slow(const std::string& body) {
    return body + std::string(300 - body.size(), ' ');
}

Act faulty(Fault f, int status, const std::string& body) {
    switch (f) {
        case Refused4xx:
            return Act::answer(404, "{}");
        case Refused5xx:
            return Act::answer(503, "{}");
        case WrongSuccess:
            return Act::answer(status == 200 ? 201 : 200, body);
        case ResetBefore:
        case AckLost:
            return Act::reset();
        case Truncated:
            return Act::truncate(status, body);
        case Drip:
            return Act::drip(status, slow(body), 5);
        case Silent:
            return Act::silent();
        case Refused400:
        case Refused408:
        case Refused421:
        case Refused423:
        case Refused425:
        case Refused429:
            return Act::answer(f, "{}");
        case ResetHalfway:
            return Act::cutReset(status, body);
        case StallHalfway:
            return Act::cutStall(status, body);
        case None:
        case NotListening:
        case Gone:
            break;
    }
    return Act::answer(status, body);
}

TEST(FaultMatrix, EveryFaultOfEveryExchangeLosesNoEvent) {
    const std::string& kCR = kCountRefused;
    const std::string r404 = refusedForGood(1, 404);
    const std::vector<FaultRow> rows = {
        {"roster 4xx", Roster, Refused4xx, 404, "", "", "", "G", 0, 0, 0},
        {"roster 5xx", Roster, Refused5xx, 503, "", "", "", "G", 0, 0, 0},
        {"roster 201", Roster, WrongSuccess, 201, "", "", "", "G", 0, 0, 0},
        {"roster nothing listening", Roster, NotListening, -1, "", "", "", "", 0, 0, 0},
        {"roster reset", Roster, ResetBefore, -1, "", "", "", "G", 0, 0, 0},
        {"roster reset after", Roster, AckLost, -1, "", "", "", "G", 0, 0, 0},
        {"roster truncated", Roster, Truncated, -1, "", "", "", "G", 0, 0, 0},
        {"roster drip", Roster, Drip, 0, "", "", "", "G U1 C0 U2 C0", 2, 0, 0},
        {"roster silent", Roster, Silent, 28, "", "", "", "G", 0, 0, 0},
        {"roster reset half-way", Roster, ResetHalfway, -1, "", "", "", "G", 0, 0, 0},
        {"roster stalls half-way", Roster, StallHalfway, 28, "", "", "", "G", 0, 0, 0},
        {"upload 4xx", Upload, Refused4xx, 0, r404, "", "", "G U1 C0 U2 C0 U1", 2, 0, 0},
        {"upload 400", Upload, Refused400, 0, refusedForGood(1, 400), "", "", "G U1 C0 U2 C0 U1", 2,
         0, 0},
        {"upload 408", Upload, Refused408, 0, "", "", "", "G U1 U1 U2 C0", 2, 0, 0},
        {"upload 421", Upload, Refused421, 0, "", "", "", "G U1 U1 U2 C0", 2, 0, 0},
        {"upload 423", Upload, Refused423, 0, "", "", "", "G U1 U1 U2 C0", 2, 0, 0},
        {"upload 425", Upload, Refused425, 0, "", "", "", "G U1 U1 U2 C0", 2, 0, 0},
        {"upload 429", Upload, Refused429, 0, "", "", "", "G U1 U1 U2 C0", 2, 0, 0},
        {"upload 404 for good", Upload, Gone, 0, r404, "", undelivered(1), "G U1 C0 U2 C0 U1", 1, 1,
         0},
        {"upload 5xx", Upload, Refused5xx, 0, "", "", "", "G U1 U1 U2 C0", 2, 0, 0},
        {"upload 200", Upload, WrongSuccess, 0, "", "", "", "G U1 U1 U2 C0", 2, 0, 0},
        {"upload nothing listening", Upload, NotListening, 0, "", "", undelivered(2), "G", 0, 2, 0},
        {"upload reset", Upload, ResetBefore, 0, "", "", "", "G U1 U1 U2 C0", 2, 0, 0},
        {"upload ack lost", Upload, AckLost, 0, "", "", "", "G U1 U1 U2 C0", 3, 0, 1},
        {"upload truncated", Upload, Truncated, 0, "", "", "", "G U1 U1 U2 C0", 3, 0, 1},
        {"upload ack lost, keys", Upload, AckLost, 0, "", "", "", "G U1 U1 U2 C0", 2, 0, 0, 60000,
         true},
        {"upload truncated, keys", Upload, Truncated, 0, "", "", "", "G U1 U1 U2 C0", 2, 0, 0,
         60000, true},
        {"upload drip", Upload, Drip, 0, "", "", "", "G U1 C0 U2 C0", 2, 0, 0},
        {"upload silent", Upload, Silent, 0, "", "", "", "G U1 U1 U2", 2, 0, 0},
        {"upload silent, window over", Upload, Silent, 0, "", "", "", "G U1 U1 U2 C0", 2, 0, 0, 0},
        {"count 4xx", Count, Refused4xx, 0, kCR, "", "", "G U1 C0 U2 C0", 2, 0, 0},
        {"count 5xx", Count, Refused5xx, 0, kCR, "", "", "G U1 C0 U2 C0", 2, 0, 0},
        {"count 200", Count, WrongSuccess, 0, kCR, "", "", "G U1 C0 U2 C0", 2, 0, 0},
        {"count nothing listening", Count, NotListening, 0, kCR, "", undelivered(1), "G U1", 1, 1,
         0},
        {"count reset", Count, ResetBefore, 0, kCR, "", "", "G U1 C0 U2 C0", 2, 0, 0},
        {"count ack lost", Count, AckLost, 0, kCR, "", "", "G U1 C0 U2 C0", 2, 0, 0},
        {"count truncated", Count, Truncated, 0, kCR, "", "", "G U1 C0 U2 C0", 2, 0, 0},
        {"count drip", Count, Drip, 0, "", "", "", "G U1 C0 U2 C0", 2, 0, 0},
        {"count silent", Count, Silent, 0, kCR, "", "", "G U1 C0 U2", 2, 0, 0},
        {"entry 201", Entry, None, 0, "", "", "", "G E1 C0 E2 C0", 2, 0, 0},
        {"entry 4xx", Entry, Refused4xx, 0, "", "", "", "G E1 U1 C0 E2 C0", 2, 0, 0, 60000, false,
         "A"},
        {"entry nothing listening", Entry, NotListening, 0, "", "", undelivered(2), "G", 0, 2, 0,
         60000, false, "AB"},
        {"entry reset", Entry, ResetBefore, 0, "", "", "", "G E1 U1 C0 E2 C0", 2, 0, 0, 60000,
         false, "A"},
        {"entry ack lost", Entry, AckLost, 0, "", "", "", "G E1 U1 C0 E2 C0", 3, 0, 1, 60000, false,
         "A"},
        {"entry ack lost, keys", Entry, AckLost, 0, "", "", "", "G E1 U1 C0 E2 C0", 2, 0, 0, 60000,
         true, "A"},
        {"entry drip, keys", Entry, Drip, 0, "", "", "", "G E1 U1 U2", 2, 0, 0, 60000, true, "AB"},
        {"entry silent", Entry, Silent, 0, "", "", "", "G E1 U1 U2", 2, 0, 0, 60000, false, "AB"},
        {"entry silent, window over", Entry, Silent, 0, "", "", "", "G E1 U1 C0 E2 C0", 2, 0, 0, 0,
         false, "A"},
    };
    const std::string rosterBody = roster({{"A", 1, 5}, {"B", 2, 5}});
    for (const FaultRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::mutex mutex;
        int stored = 0;
        bool faultDone = false;
        std::set<std::string> keys;
        ScriptedServer server([&](const ScriptedRequest& r) {
            std::lock_guard<std::mutex> lock(mutex);
            Exchange e = r.method == "GET"                     ? Roster
                         : r.target == "/contador"             ? Count
                         : r.target.rfind("/entrada/", 0) == 0 ? Entry
                                                               : Upload;
            int status = e == Roster ? 200 : 201;
            std::string body = e == Roster  ? rosterBody
                               : e == Entry ? "{\"user_id\": 0, \"event\": -1, \"credit\": 4}"
                                            : "{}";
            Act act = Act::answer(status, body);
            if (e == row.exchange && !faultDone && row.fault != NotListening) {
                faultDone = true;
                act = faulty(row.fault, status, body);
            }
            if (row.fault == Gone && r.target == "/transaction/1") {
                act = Act::answer(404, "{}");
            }
            // Nothing listens from the exchange under test on: the server stops
            // after answering the request before it.
            bool before = ((row.exchange == Upload || row.exchange == Entry) && e == Roster) ||
                          (row.exchange == Count && e == Upload);
            if (row.fault == NotListening && before && !faultDone) {
                faultDone = true;
                act.stopListening = true;
            }
            bool stores = act.kind == Act::Answer ? act.status == 201
                                                  : act.status == 201 || row.fault == AckLost;
            std::string key = r.header("Idempotency-Key");
            EXPECT_EQ(key.empty(), !(row.keys && (e == Upload || e == Entry))) << r.head;
            if ((e == Upload || e == Entry) && stores && act.kind != Act::Silent &&
                (key.empty() || keys.insert(key).second)) {
                ++stored;
            }
            return act;
        });
        std::string port = std::to_string(server.port());
        if (row.exchange == Roster && row.fault == NotListening) {
            ScriptedServer gone([](const ScriptedRequest&) { return Act::answer(200, ""); });
            port = std::to_string(gone.port());
        }

        testsupport::TempDir dir;
        std::string error;
        std::unique_ptr<Journal> journal = Journal::abre(dir.file("j.db"), &error);
        ASSERT_TRUE(journal) << error;
        Servidor::Ajustes ajustes;
        ajustes.timeout = kTimeout;
        ajustes.janela = std::chrono::milliseconds(row.quietMs);
        unsigned pending = 0;
        std::string out;
        {
            testsupport::ConsoleCapture console("127.0.0.1\n" + port + "\n" + kSession);
            Catraca c(ajustes, journal.get(), -1, row.keys ? journal->placa(&error) : "");
            c.setOnline(row.exchange == Entry);
            c.start();
            if (c.getStatus() == 1) {
                c.run();
                pending = c.contaPendentes();
            }
            out = withoutScreens(console.output());
        }
        if (row.loadCode != 0) {
            EXPECT_EQ(out, loadFailure("127.0.0.1", port, row.loadCode));
        } else {
            auto alone = [&row](char who) {
                return row.alone.find(who) == std::string::npos ? "" : kAlone;
            };
            EXPECT_EQ(out, startup("127.0.0.1", port) + kCard + kFound + alone('A') + admitted(4) +
                               kCard + exited(4) + row.afterA + kUpdated + kCard + kFound +
                               alone('B') + admitted(4) + kCard + exited(4) + row.afterB +
                               kUpdated + row.end);
        }
        EXPECT_EQ(requestCodes(server.requests()), row.requests);
        int admissions = 0;
        for (size_t at = out.find("AUTORIZADO"); at != std::string::npos;
             at = out.find("AUTORIZADO", at + 1)) {
            ++admissions;
        }
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(stored, row.stored);
        EXPECT_EQ(pending, row.pending);
        EXPECT_EQ(journal->eventos().size(), pending) << "the journal mirrors what is pending";
        EXPECT_EQ(stored + static_cast<int>(pending), admissions + row.duplicates);
    }
}

}  // namespace
