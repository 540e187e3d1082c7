// The roster as the controller reads it: what it accepts, and every way a body can
// break the expected form, each rejected whole with a reason naming the element.
#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <utility>

#include "catraca.h"
#include "support/console.h"
#include "support/roster_reference.h"
#include "transacoes.h"
#include "turnstile.h"

namespace {

const std::string kRow =
    R"("cardID":"A1","user_id":1,"event":2,"matricula":"m","salt":"s","n_password_hash":"h")";

const std::string kNul(1, '\0');

std::string row(const std::string& fields) {
    return "{" + fields + "}";
}

std::string replaced(const std::string& key, const std::string& value) {
    std::string fields = kRow;
    size_t at = fields.find("\"" + key + "\":");
    size_t end = fields.find(",\"", at + 1);
    fields.replace(at, (end == std::string::npos ? fields.size() : end) - at,
                   value.empty() ? "\"zz\":0" : "\"" + key + "\":" + value);
    return row(fields);
}

struct Malformed {
    std::string body;
    std::string reason;
};

TEST(Roster, MalformedBodiesAreRejectedWithTheirReason) {
    const std::string notJson = "o corpo n\xE3o \xE9 JSON v\xE1lido";
    const std::string notArray = "o corpo n\xE3o \xE9 um array JSON";
    const std::string notText = "\" n\xE3o \xE9 um texto";
    const std::string notInt = "\" n\xE3o \xE9 um inteiro";
    const std::string good = row(kRow);
    const std::vector<Malformed> cases = {
        {"", notJson},
        {"hello", notJson},
        {"[" + good + ",", notJson},
        {"[" + good + "] x", notJson},
        {"[" + good + "]" + kNul + ",{\"cardID\": 7}]]] <html>", notJson},
        {"[" + good + "] \n" + kNul, notJson},
        {"[{\"cardID\":\"A\x01\"}]", notJson},
        {"{}", notArray},
        {"5", notArray},
        {"\"[]\"", notArray},
        {"null", notArray},
        {"[1]", "elemento 1 n\xE3o \xE9 um objeto"},
        {"[" + good + ",[]]", "elemento 2 n\xE3o \xE9 um objeto"},
        {"[" + good + ",null]", "elemento 2 n\xE3o \xE9 um objeto"},
        {"[" + replaced("event", "") + "]", "elemento 1 sem a chave \"event\""},
        {"[" + good + "," + replaced("cardID", "") + "]", "elemento 2 sem a chave \"cardID\""},
        {"[" + replaced("n_password_hash", "") + "]", "elemento 1 sem a chave \"n_password_hash\""},
        {"[{}]", "elemento 1 sem a chave \"cardID\""},
        {"[" + replaced("cardID", "5") + "]", "elemento 1: \"cardID" + notText},
        {"[" + replaced("matricula", "{\"a\":1}") + "]", "elemento 1: \"matricula" + notText},
        {"[" + replaced("salt", "[]") + "]", "elemento 1: \"salt" + notText},
        {"[" + replaced("n_password_hash", "null") + "]",
         "elemento 1: \"n_password_hash" + notText},
        {"[" + replaced("user_id", "\"7\"") + "]", "elemento 1: \"user_id" + notInt},
        {"[" + replaced("event", "1.5") + "]", "elemento 1: \"event" + notInt},
        {"[" + replaced("event", "1e3") + "]", "elemento 1: \"event" + notInt},
        {"[" + replaced("event", "true") + "]", "elemento 1: \"event" + notInt},
        {"[" + replaced("event", "[1]") + "]", "elemento 1: \"event" + notInt},
        {"[" + replaced("user_id", "2147483648") + "]",
         "elemento 1: \"user_id\" fora do intervalo de 32 bits"},
        {"[" + replaced("event", "-2147483649") + "]",
         "elemento 1: \"event\" fora do intervalo de 32 bits"},
        {"[" + replaced("event", "99999999999999999999") + "]", "elemento 1: \"event" + notInt},
        {"[" + replaced("event", "18446744073709551615") + "]",
         "elemento 1: \"event\" fora do intervalo de 32 bits"},
        {"[" + replaced("user_id", "18446744073709551615") + "]",
         "elemento 1: \"user_id\" fora do intervalo de 32 bits"},
        {"[" + replaced("event", "9223372036854775808") + "]",
         "elemento 1: \"event\" fora do intervalo de 32 bits"},
        {"[" + replaced("user_id", "9223372036854775808") + "]",
         "elemento 1: \"user_id\" fora do intervalo de 32 bits"},
        {"[" + replaced("event", "2147483647") + "," + replaced("event", "1") + "]",
         "elemento 2: o cr\xE9"
         "dito do usu\xE1rio 1 sairia do intervalo de 32 bits"},
        {"[" + replaced("event", "-2147483648") + "," + replaced("event", "-1") + "]",
         "elemento 2: o cr\xE9"
         "dito do usu\xE1rio 1 sairia do intervalo de 32 bits"},
    };
    for (const Malformed& c : cases) {
        SCOPED_TRACE(c.body);
        List l;
        std::string body = c.body;
        std::string reason = carregaTransacoes(body, l);
        EXPECT_EQ(reason.substr(0, c.reason.size()), c.reason) << "got: " << reason;
    }
}

TEST(Roster, ExtraKeysBoundaryValuesAndRepeatedKeysAreAccepted) {
    std::string body =
        "[" + row(kRow + R"(,"extra":{"deep":[1,{"cardID":5}],"event":"x"},"n":null)") + "," +
        replaced("event", "2147483645") + "," +
        row(R"("cardID":"B","cardID":"B2","user_id":-2147483648,"event":-2147483648,)"
            R"("matricula":"","salt":"","n_password_hash":"")") +
        "]";
    List l;
    EXPECT_EQ(carregaTransacoes(body, l), "");
    ASSERT_EQ(l.getContador(), 2);
    EXPECT_EQ(l.getHead()->getData()->getCredito(), 2147483647);
    Student* b = l.getTail()->getData();
    EXPECT_EQ(b->getCardID(), "B2");
    EXPECT_EQ(b->getUserID(), -2147483648);
    EXPECT_EQ(b->getCredito(), -2147483648);
}

TEST(Roster, DeepNestingInAnIgnoredKeyNeitherCrashesNorRejects) {
    std::string deep(100000, '[');
    deep += std::string(100000, ']');
    List l;
    std::string body = "[" + row(kRow + ",\"x\":" + deep) + "]";
    EXPECT_EQ(carregaTransacoes(body, l), "");
    EXPECT_EQ(l.getContador(), 1);
}

// The load against a plain document parse applying the same rules: each body must be
// refused with the same reason, or give the same students, in the same order, with the
// same credits, each folded into one event; and the same body streamed in pieces cut
// anywhere must give the same result as in one piece.
TEST(Roster, LoadAgreesWithADocumentParseOfTheSameBody) {
    const std::string good = row(kRow);
    const std::string other =
        row(R"("cardID":"B7","user_id":2,"event":-3,"matricula":"m2","salt":"s2",)"
            R"("n_password_hash":"h2")");
    const std::vector<std::string> bodies = {
        "[]",
        " \t\r\n[ ] \n",
        "[" + good + "]",
        "[" + good + "," + other + "," + good + "," + replaced("event", "-7") + "]",
        "[" + other + "," + replaced("cardID", "\"OTHER\"") + "," + other + "]",
        // Escapes and non-ASCII text, in the six keys and in others.
        "[" + replaced("cardID", R"("A\u0031\"\\\/\b\f\n\r\t")") + "]",
        "[" + replaced("salt", "\"\xC3\xA7\xE2\x82\xAC\xF0\x9F\x98\x80\"") + "]",
        "[" + replaced("salt", R"("\ud83d\ude00")") + "]",
        "[" + replaced("salt", R"("\udc00")") + "]",
        "[" + replaced("salt", R"("\ud800x")") + "]",
        "[" + replaced("salt", R"("\x")") + "]",
        "[" + replaced("salt", "\"\xC0\xAF\"") + "]",
        "[" + replaced("salt", "\"\xED\xA0\x80\"") + "]",
        "[" + replaced("salt", "\"\xFF\"") + "]",
        "[" + replaced("salt", "\"a\x7F\"") + "]",
        "[" + row(R"("card\u0049D":"Z",)" + kRow) + "]",
        "[" + row(kRow + R"(,"card\u0049D":"Z")") + "]",
        "[" + row(kRow + R"(,"x\"y":1)") + "]",
        // One byte past the longest name: none of the six.
        "[" + row(kRow + R"(,"n_password_hashX":"x","n_password_hash\u0058":"y")") + "]",
        // Texts longer than what is kept, cut inside an escape and a character.
        "[" + replaced("cardID", "\"" + std::string(256, 'A') + "\\u00e7" + "\"") + "]",
        "[" + replaced("salt", "\"" + std::string(1024, 's') + "\xC3\xA7z\"") + "]",
        // Keys that the load ignores, with every kind of value.
        "[" + row(kRow + R"(,"a":true,"b":false,"c":null,"d":-0,"e":1.5e-3,"f":"t")") + "]",
        "[" + row(kRow + R"(,"a":99999999999999999999,"b":[],"c":{},"d":[{"e":[null]}])") + "]",
        "[" + row(kRow + R"(,"a":tru)") + "]",
        "[" + row(kRow + R"(,"a":1e309)") + "]",
        "[" + row(kRow + R"(,"a":nul)") + "]",
        "[" + row(kRow + R"(,"a":[1,])") + "]",
        "[" + row(kRow + R"(,"a":[}])") + "]",
        "[" + row(kRow + R"(,"a":01)") + "]",
        "[" + row(kRow + R"(,"a":1.)") + "]",
        "[" + row(kRow + R"(,"a":"x" "b")") + "]",
        // Numbers at and past the edges.
        "[" + replaced("event", "-0") + "]",
        "[" + replaced("event", "0.0") + "]",
        "[" + replaced("event", "1E2") + "]",
        "[" + replaced("event", "-") + "]",
        "[" + replaced("event", "+1") + "]",
        "[" + replaced("event", "00") + "]",
        "[" + replaced("user_id", "-9223372036854775808") + "]",
        "[" + replaced("user_id", "-9223372036854775809") + "]",
        "[" + replaced("user_id", "9223372036854775807") + "]",
        "[" + replaced("event", "999999999999999999") + "]",
        "[" + replaced("event", "-999999999999999999") + "]",
        "[" + replaced("event", "1000000000000000000") + "]",
        "[" + replaced("event", "-01") + "]",
        "[" + row(kRow + R"(,"a":123456789012345678901234567890,"b":-0.0e-0)") + "]",
        "[" + row(kRow + ",\"a\":1" + std::string(320, '0') + ",\"b\":1") + "]",
        "[" + row(kRow + ",\"a\":17976931348623157" + std::string(292, '0')) + "]",
        "[" + replaced("event", "2147483647") + "," + replaced("event", "0") + "]",
        "[" + replaced("event", "2147483647") + "," + other + "," + replaced("event", "1") + "]",
        // The frame of the array.
        "[" + good + "]]",
        "[" + good + "]}",
        "[" + good + "],",
        "[" + good + "] []",
        "[" + good + ",]",
        "[," + good + "]",
        "[" + good + " " + good + "]",
        "[" + good,
        "[" + good + "," + good,
        "\xEF\xBB\xBF[" + good + "]",
        "[" + good + "]\x00",
        "[" + good + "]\r\n\t " + kNul + ",{\"cardID\": 7}]]] <html>",
        "[" + good + "," + kNul + good + "]",
        "[" + replaced("salt", "\"a" + kNul + "b\"") + "]",
        "[" + replaced("event", "2" + kNul) + "]",
        "[" + row(R"("cardID":"A1","user_id":1,,"event":2)") + "]",
        "[" + row(R"("cardID":"A1" "user_id":1)") + "]",
        "[" + row(R"("cardID":"A1","user_id":1,)") + "]",
        "[" + row(R"("cardID" "A1")") + "]",
        "[" + row(R"("cardID":)") + "]",
        "[{" + kRow + "]",
        // A rule broken before the text goes bad: the rule is what the load reports.
        "[" + replaced("event", "") + ", x",
        "[" + replaced("cardID", "5") + "x",
        "[1, x",
        "{\"a\": x",
    };
    std::mt19937 random(20);
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body);
        rosterref::Outcome whole = rosterref::load(body);
        EXPECT_EQ(rosterref::compare(rosterref::reference(body), whole), "");
        // Streamed in pieces: cut at every place, byte by byte, and in random sizes, the
        // same students, or the same reason to the byte.
        std::vector<std::vector<size_t>> ways = {{1}};
        for (size_t at = 1; at < body.size(); ++at) {
            ways.push_back({at, body.size()});
        }
        for (int i = 0; i < 8; ++i) {
            ways.push_back({random() % 9 + 1, random() % 9 + 1, random() % 30 + 1});
        }
        for (const std::vector<size_t>& way : ways) {
            rosterref::Outcome got = rosterref::load(body, way);
            EXPECT_EQ(got.reason, whole.reason) << "cut after " << way[0];
            EXPECT_EQ(rosterref::compare(whole, got), "") << "cut after " << way[0];
        }
    }
}

// The rows after a cursor continue the sums the board holds: the range is that of the
// continued sum, and users the board does not hold start from 0.
TEST(Roster, RowsAfterACursorContinueTheSumsTheBoardHolds) {
    const std::unordered_map<int, int> held = {{1, 2147483640}, {2, 5}};
    LeitorTransacoes delta(&held);
    std::string body = turnstile::roster({{"A", 1, 7}, {"N", 3, 4}, {"B", 2, -1}});
    delta.le(body.data(), body.size());
    ASSERT_EQ(delta.termina(), "");
    std::vector<std::pair<int, int>> sums;
    for (const LeitorTransacoes::Usuario& u : delta.usuarios()) {
        sums.emplace_back(u.user, u.soma);
    }
    EXPECT_EQ(sums, (std::vector<std::pair<int, int>>{{1, 2147483647}, {3, 4}, {2, 4}}));
    LeitorTransacoes over(&held);
    body = turnstile::roster({{"B", 2, 1}, {"A", 1, 8}});
    over.le(body.data(), body.size());
    EXPECT_EQ(over.termina(),
              "elemento 2: o cr\xE9"
              "dito do usu\xE1rio 1 sairia do intervalo de 32 bits");
}

// Through the start-up: the reason is one line, status is -1, and main's failure
// line follows (checked in the program tests).
TEST(Roster, RejectedRosterFailsTheLoad) {
    turnstile::Server server;
    server.rosterBody = "[" + row(kRow) + ",[]]";
    testsupport::ConsoleCapture console("127.0.0.1\n" + server.port() + "\n");
    Catraca c;
    c.start();
    EXPECT_EQ(c.getStatus(), -1);
    EXPECT_EQ(console.output(), turnstile::startup("127.0.0.1", server.port()) +
                                    "Lista de transa\xE7\xF5"
                                    "es recusada: elemento 2 n\xE3o \xE9 "
                                    "um objeto\n");
}

}  // namespace
