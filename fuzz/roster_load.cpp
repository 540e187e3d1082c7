// The streamed roster load against a plain document parse of the same body: accepted
// bodies give the same students in the same order with the same credits, refused ones
// the same reason; in pieces it reads as in one; an accepted roster has each credit
// equal to the sum of its student's events and no user twice.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

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
    // In one piece, byte by byte, and in pieces whose sizes the input's own bytes choose.
    std::vector<size_t> chosen;
    for (size_t i = 0; i < size && chosen.size() < 16; i += 7) {
        chosen.push_back(data[i] % 64 + 1);
    }
    const std::vector<size_t> ways[] = {{}, {1}, chosen};
    rosterref::Outcome whole;
    for (size_t way = 0; way < 3; ++way) {
        rosterref::Outcome got = rosterref::load(body, ways[way]);
        std::string diff = rosterref::compare(expected, got);
        if (!diff.empty()) {
            finding("way " + std::to_string(way) + ": " + diff);
        }
        if (way == 0) {
            whole = got;
        } else if (got.reason != whole.reason) {
            finding("way " + std::to_string(way) + ": \"" + got.reason + "\" in pieces, \"" +
                    whole.reason + "\" whole");
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
