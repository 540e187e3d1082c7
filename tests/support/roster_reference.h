#ifndef CATRACA_TESTS_ROSTER_REFERENCE_H
#define CATRACA_TESTS_ROSTER_REFERENCE_H

#include <cstddef>
#include <string>
#include <vector>

// A second, deliberately plain reading of a roster body, to hold the controller's
// load against: nlohmann-json parses the body as a document (json::parse, with its
// parse-event callback so that the rules are applied in the order the bytes come)
// and the rules of the roster are applied to the parsed values.
namespace rosterref {

struct Row {
    int user = 0;
    std::string card, matricula, salt, hash;
    int credit = 0;
    std::vector<int> events;
};

// What a load produced: `reason` empty and the students in list order, or the
// reason of the refusal (the students are then of no interest and left empty).
struct Outcome {
    std::string reason;
    std::vector<Row> students;
};

// The reference reading of `body`.
Outcome reference(const std::string& body);

// carregaTransacoes on `body` into a fresh list, in pieces of `piece` bytes,
// snapshotted. With `padded`, the body is handed over with spare capacity, as a
// downloaded body of announced size. A body not given back as it was handed over is
// reported as the reason "body changed".
Outcome load(const std::string& body, bool padded, size_t piece);

// "" when both outcomes agree (same refusal reason, or same students in the same
// order with the same fields, credits and event queues); else what differs.
std::string compare(const Outcome& expected, const Outcome& got);

}  // namespace rosterref

#endif
