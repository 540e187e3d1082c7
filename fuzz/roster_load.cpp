// The roster load against a plain document parse of the same body: accepted bodies give
// the same students in the same order with the same queues, refused ones the same
// reason; an accepted roster has each credit equal to the sum of its student's events
// and no user twice.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "support/roster_reference.h"
#include "transacoes.h"

namespace {

[[noreturn]] void finding(const std::string& what) {
    std::fprintf(stderr, "roster_load: %s\n", what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string body(reinterpret_cast<const char*>(data), size);
    rosterref::Outcome expected = rosterref::reference(body);
    // In place and copied, in the usual pieces and cut at every row.
    for (int way = 0; way < 4; ++way) {
        bool padded = way % 2 == 0;
        size_t piece = way < 2 ? kPedacoTransacoes : 1;
        rosterref::Outcome got = rosterref::load(body, padded, piece);
        std::string diff = rosterref::compare(expected, got);
        if (!diff.empty()) {
            finding("way " + std::to_string(way) + ": " + diff);
        }
        std::set<int> users;
        for (const rosterref::Row& s : got.students) {
            int64_t sum = 0;
            for (int e : s.events) {
                sum += e;
            }
            if (sum != s.credit || !users.insert(s.user).second) {
                finding("user " + std::to_string(s.user) + ": credit or uniqueness broken");
            }
        }
    }
    return 0;
}
