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
    // The reference: one event per row; a load: its student's queue.
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

// The controller's streamed reader on `body` handed over in pieces of pieces[0],
// pieces[1], ... bytes (the sizes taken in turn, again and again; none: the body in one
// piece), then its users put into a fresh list, snapshotted.
Outcome load(const std::string& body, const std::vector<size_t>& pieces = {});

// "" when both outcomes agree, else what differs: the same refusal reason (a body that
// is not JSON may be refused at any byte up to the one the reference names), or the
// same students in the same order with the same fields and credits, each student of
// `got` holding one event, its credit (its rows folded).
std::string compare(const Outcome& expected, const Outcome& got);

}  // namespace rosterref

#endif
