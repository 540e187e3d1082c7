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

namespace {

[[noreturn]] void finding(const std::string& what) {
    std::fprintf(stderr, "roster_load: %s\n", what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string body(reinterpret_cast<const char*>(data), size);
    rosterref::Outcome expected = rosterref::reference(body);
    for (bool padded : {true, false}) {
        rosterref::Outcome got = rosterref::load(body, padded);
        std::string diff = rosterref::compare(expected, got);
        if (!diff.empty()) {
            finding(std::string(padded ? "in place: " : "copied: ") + diff);
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
